// Putting the written temporary in place of the destfile, or discarding it.
// The data reaches the disk before the name does, and the name before the
// run reports success; a temporary is renamed or removed with every signal
// held, so that it is one or the other. Owns nothing; reads the route, the
// directory and the leaf (destination.cpp) and the temporary's record
// (temporary.cpp), and drops the destination when done.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

namespace posix_host {
namespace {

bool flush_data(int fd)
{
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
	return fdatasync(fd) == 0;
#else
	return fsync(fd) == 0;
#endif
}

// Gives the unnamed file fd the name in dir_fd.
bool link_unnamed(int fd, const char* name)
{
#ifdef HAVE_O_TMPFILE
	if (linkat(AT_FDCWD, fd_path(fd).text, dir_fd, name, AT_SYMLINK_FOLLOW) == 0)
		return true;
	if (errno != ENOENT)
		return false;
	// No /proc here: a privileged process may still link the descriptor.
	return linkat(fd, "", dir_fd, name, AT_EMPTY_PATH) == 0;
#else
	(void)fd;
	(void)name;
	errno = ENOSYS;
	return false;
#endif
}

// Renames the named temporary over leaf, or removes it.
bool rename_temporary()
{
	if (renameat(dir_fd, temp_name, dir_fd, leaf) != 0) {
		remove_temporary();
		return false;
	}
	temp_exists = 0;
	return true;
}

// Links the unnamed file fd under a temporary name, then renames that over
// leaf: nothing links an unnamed file over an existing name directly.
bool replace_with_unnamed(int fd)
{
	hold_signals();
	for (int tries = 0; tries < max_tries && temp_exists == 0; ++tries) {
		name_temporary();
		temp_exists = link_unnamed(fd, temp_name);
		if (temp_exists == 0 && errno != EEXIST)
			break;
	}
	const bool replaced = temp_exists != 0 && rename_temporary();
	release_signals();
	return replaced;
}

bool put_in_place(int fd)
{
	switch (route) {
	case output_route::direct:
		return true;
	case output_route::named: {
		hold_signals();
		const bool renamed = rename_temporary();
		release_signals();
		return renamed;
	}
	case output_route::unnamed_old:
		return replace_with_unnamed(fd);
	case output_route::unnamed_new:
		if (link_unnamed(fd, leaf))
			return true;
		if (errno != EEXIST)
			return false;
		break;
	}
	// Another program made the name meanwhile: a regular file other than the
	// sourcefile is replaced as an old destfile would be.
	struct stat st {};
	if (fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return false;
	if (!S_ISREG(st.st_mode) || is_same_file(st, source_id)) {
		errno = EEXIST;
		return false;
	}
	return replace_with_unnamed(fd);
}

}  // namespace
}  // namespace posix_host

bool host_commit_output(host_file file)
{
	using namespace posix_host;
	const int fd = static_cast<int>(file);
	bool done = false;
	if (route == output_route::direct) {
		// An unlinked file keeps only the new bytes; others take no length.
		struct stat st {};
		const off_t end = lseek(fd, 0, SEEK_CUR);
		done = fstat(fd, &st) == 0 && (!S_ISREG(st.st_mode) || (end >= 0 && ftruncate(fd, end) == 0));
	} else {
		done = flush_data(fd) && put_in_place(fd) && fsync(dir_readable ? dir_fd : fd) == 0;
	}
	if (!done) {
		host_discard_output(file);
		return false;
	}
	// After a flush, close has nothing left to report.
	done = close(fd) == 0 || route != output_route::direct;
	drop_destination();
	return done;
}

void host_discard_output(host_file file)
{
	using namespace posix_host;
	const int error = errno;
	if (file != no_file)
		close(static_cast<int>(file));
	if (temp_exists != 0) {
		hold_signals();
		remove_temporary();
		release_signals();
	}
	drop_destination();
	errno = error;
}
