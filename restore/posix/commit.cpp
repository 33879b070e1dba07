// Putting the written temporary in place of the destfile, or discarding it.
// The data reaches the disk before the name does, and the name before the
// run reports success; a temporary is renamed or removed with every signal
// held, so that it is one or the other. Owns nothing: keeps the order of the
// flushes and says how each route is put in place; reads the route and the
// directory (destination.cpp), asks temporary.cpp to link, rename or remove
// the temporary, and drops the destination when done.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

namespace posix_host {
namespace {

// The file's data and metadata, on the disk itself: where F_FULLFSYNC exists
// (macOS), fsync leaves them in the drive's own cache. A filesystem that
// refuses F_FULLFSYNC still takes fsync.
bool flush_all(int fd)
{
#ifdef HAVE_F_FULLFSYNC
	if (fcntl(fd, F_FULLFSYNC) == 0)
		return true;
	if (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY)
		return false;
#endif
	return fsync(fd) == 0;
}

bool flush_data(int fd)
{
#ifdef HAVE_F_FULLFSYNC
	return flush_all(fd);
#elif defined(HAVE_FDATASYNC)
	return fdatasync(fd) == 0;
#else
	return fsync(fd) == 0;
#endif
}

// The directory's entries, the new name among them, on the disk. One this
// process may only write and search is held without reading (O_PATH,
// O_SEARCH), and no such descriptor takes a flush: then the filesystem
// holding the file fd is flushed where the system can, and elsewhere only the
// file itself.
bool flush_directory(int fd)
{
	if (dir_readable)
		return flush_all(dir_fd);
#ifdef HAVE_SYNCFS
	return syncfs(fd) == 0;
#else
	return flush_all(fd);
#endif
}

// Over the old file: the unnamed temporary takes a temporary name, which is
// then renamed over it.
bool replace_with_unnamed(int fd)
{
	hold_signals();
	const bool replaced = name_unnamed(fd) && rename_temporary();
	release_signals();
	return replaced;
}

// Links a new destfile, or, if another program made the name meanwhile,
// replaces what is there now as a destfile found there from the start.
bool link_new(int fd)
{
	for (int tries = 0; tries < max_lookups; ++tries) {
		if (link_as_destfile(fd))
			return true;
		if (errno != EEXIST || (!reconsider_destination(fd) && errno != EAGAIN))
			return false;
		if (route == output_route::unnamed_old)
			return flush_all(fd) && replace_with_unnamed(fd);
	}
	return false;
}

bool put_in_place(int fd)
{
	switch (route) {
	case output_route::in_place:
	case output_route::caller:
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
		break;
	}
	return link_new(fd);
}

// Written in place: an unlinked file keeps only the new bytes, a caller's
// file all it held, and a block device is flushed, as a file would be.
bool finish_in_place(int fd)
{
	struct stat st {};
	if (fstat(fd, &st) != 0)
		return false;
	if (S_ISBLK(st.st_mode))
		return flush_all(fd);
	const off_t end = route == output_route::in_place && S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : 0;
	return end >= 0 && (end == 0 || ftruncate(fd, end) == 0);
}

}  // namespace
}  // namespace posix_host

bool host_commit_output(host_file file)
{
	using namespace posix_host;
	const int fd = static_cast<int>(file);
	const bool in_place = !is_own_temporary(route);
	// A filesystem that shut down after the rename may still answer the
	// directory's flush with success (XFS does); the file's flush after it
	// tells.
	bool done = in_place ? finish_in_place(fd)
	                     : keep_set_id_bits(fd) && flush_data(fd) && put_in_place(fd) &&
	                           flush_directory(fd) && flush_data(fd);
	if (!done) {
		host_discard_output(file);
		return false;
	}
	// After a flush, close has nothing left to report.
	done = close(fd) == 0 || !in_place;
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
