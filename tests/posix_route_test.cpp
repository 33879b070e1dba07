// The POSIX host's route from what a destfile name leads to: each row one file the kernel may find.
#include "restore/posix/posix_host.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <initializer_list>
#include <tuple>

namespace {

using namespace posix_host;

struct stat status_of(mode_t type, nlink_t links, ino_t inode = 2)
{
	struct stat st {};
	st.st_mode = type | 0644;
	st.st_nlink = links;
	st.st_ino = inode;
	return st;
}

constexpr ino_t source_inode = 1;

TEST(Route, SomeFilesAreNeverTheDestfile)
{
	// refused_with 0: may be the destfile
	for (const auto& [type, inode, refused_with] : std::initializer_list<std::tuple<mode_t, ino_t, int>>{
	         {S_IFREG, source_inode, EBUSY},  // the sourcefile under another name
	         {S_IFDIR, 2, EISDIR},
	         {S_IFSOCK, 2, ENXIO},  // as opening one would say
	         {S_IFREG, 2, 0},
	         {S_IFIFO, 2, 0},
	         {S_IFCHR, 2, 0},
	     }) {
		SCOPED_TRACE(type);
		EXPECT_EQ(may_be_destination(status_of(type, 1, inode), status_of(S_IFREG, 1, source_inode)),
		          refused_with == 0);
		EXPECT_EQ(errno, refused_with);
	}
}

TEST(Route, WhereTheNameLeadsDecides)
{
	for (const auto& [type, links, where, expected] :
	     std::initializer_list<std::tuple<mode_t, nlink_t, location, finding>>{
	         {S_IFREG, 1, location::listed, finding::old_file},
	         {S_IFREG, 1, location::caller, finding::caller_file},
	         {S_IFIFO, 1, location::caller, finding::caller_file},  // a pipe as /dev/stdout
	         {S_IFIFO, 1, location::listed, finding::other_file},
	         {S_IFCHR, 1, location::failed, finding::other_file},  // /dev/null past a private dir
	         {S_IFREG, 0, location::listed, finding::other_file},  // a deleted file's /proc name
	         {S_IFREG, 0, location::failed, finding::other_file},
	         {S_IFREG, 0, location::moved, finding::refused},  // replaced since found: look again
	         {S_IFREG, 1, location::moved, finding::refused},
	         {S_IFREG, 1, location::failed, finding::refused},
	     }) {
		SCOPED_TRACE(testing::Message() << type << " " << links << " " << static_cast<int>(where));
		errno = ENOENT;
		EXPECT_EQ(judge_location(status_of(type, links), where), expected);
		if (expected == finding::refused) {  // a look again, or the cause the look met
			EXPECT_EQ(errno, where == location::moved ? EAGAIN : ENOENT);
		}
	}
}

}  // namespace
