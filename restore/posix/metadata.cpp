// What an old destfile carries over to the temporary that replaces it, so
// that the replaced file looks as one written in place would: its owner,
// group and mode, as far as the filesystem keeps them; on macOS its ACL and
// extended attributes too. Owns nothing; called by temporary.cpp on a
// temporary no one else can have opened yet.
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

#ifdef HAVE_FCOPYFILE
#include <copyfile.h>
#include <fcntl.h>
#endif

namespace posix_host {
namespace {

#ifdef HAVE_FCOPYFILE
// The old file's ACL and extended attributes, by the system's own copier,
// read from the entry while it is still the old file. Not COPYFILE_STAT (nor
// COPYFILE_METADATA, which has it): the new bitmap keeps its own times.
void keep_acl_and_attributes(int fd, const struct stat& old)
{
	const int old_fd = openat(dir_fd, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (old_fd < 0)
		return;
	struct stat now {};
	if (fstat(old_fd, &now) == 0 && is_same_file(now, old))
		(void)fcopyfile(old_fd, fd, nullptr, COPYFILE_ACL | COPYFILE_XATTR);
	close(old_fd);
}
#endif

}  // namespace

// Set-ID bits only with the owner or group they were for.
void keep_metadata(int fd, const struct stat& old)
{
	// The owner first: giving a file away clears its set-ID bits. Where the
	// owner may not be given, the group still may be.
	if (fchown(fd, old.st_uid, old.st_gid) != 0)
		(void)!fchown(fd, static_cast<uid_t>(-1), old.st_gid);
	// Some filesystems report success and change nothing: what counts is
	// what is there now.
	struct stat now {};
	const bool known = fstat(fd, &now) == 0;
	mode_t mode = old.st_mode & 07777;
	if (!known || now.st_uid != old.st_uid)
		mode &= ~static_cast<mode_t>(S_ISUID);
	if (!known || now.st_gid != old.st_gid)
		mode &= ~static_cast<mode_t>(S_ISGID);
	(void)fchmod(fd, mode);
#ifdef HAVE_FCOPYFILE
	keep_acl_and_attributes(fd, old);
#endif
}

}  // namespace posix_host
