// host_create_output: the route the bitmap takes to the destfile, from what
// lookup.cpp finds its name leads to:
// - a regular file listed in a directory, or no file yet: a temporary in that
//   directory (temporary.cpp), put in place at the commit, so that the name
//   holds the old bytes or all the new ones, across a crash or a power cut
//   too; over an old file, dressed as it by metadata.cpp;
// - one of the caller's own descriptors: written through it;
// - a device, FIFO, terminal or file no directory holds: written in place; a
//   block device too small for the whole bitmap is refused first.
// Owns destination, what the output is written for, set once it is open.
// Works relative to the directory lookup.cpp holds, so that a path swapped
// mid-run cannot redirect the write.
#include <cerrno>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_loops.h"

namespace posix_host {

finding destination = finding::refused;

namespace {

std::int64_t bitmap_size = -1;  // the sourcefile's, where it has one

// The found file, opened again for writing.
int reopen_found(const char* name)
{
	constexpr int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
#ifdef HAVE_O_PATH
	const int reopened = open(fd_path(found_fd).text, flags);
	if (reopened >= 0 || errno != ENOENT)
		return reopened;
		// No /proc here: by name, checked below like any other.
#endif
	const int fd = open(name, flags);
	struct stat st {};
	if (fd >= 0 && (fstat(fd, &st) != 0 || !is_same_file(st, found_status))) {
		close(fd);
		errno = EAGAIN;  // the name now leads elsewhere
		return -1;
	}
	return fd;
}

// A block device too small for the whole bitmap, from where it is written
// on, is refused before anything is written to it (ENOSPC). Its status
// tells no size (0); its end does, where the system tells it (Linux, the
// BSDs); one of unknown size is tried.
bool has_room(int fd)
{
	struct stat st {};
	if (fstat(fd, &st) != 0)
		return false;
	if (!S_ISBLK(st.st_mode) || bitmap_size < 0)
		return true;
	const off_t start = lseek(fd, 0, SEEK_CUR);
	const off_t size = start < 0 ? -1 : lseek(fd, 0, SEEK_END);
	if (size < 0 || lseek(fd, start, SEEK_SET) < 0)
		return false;
	errno = size > 0 && size - start < bitmap_size ? ENOSPC : 0;
	return errno == 0;
}

// The output for the name as it is now, or no_file with what is held of the
// lookup dropped; EAGAIN if the name changed while it was looked at.
host_file choose_output(const char* name, const struct stat& source)
{
	const finding what = look_up(name, source);
	int fd = -1;
	switch (what) {
	case finding::new_name:
	case finding::old_file:
		fd = create_temporary(what == finding::old_file);
		if (fd >= 0 && what == finding::old_file && !keep_metadata(fd, found_status)) {
			host_discard_output(fd);  // the temporary, and what is held of the lookup
			return no_file;
		}
		break;
	case finding::caller_file:
		fd = open_caller_descriptor();
		break;
	case finding::other_file:
		// A FIFO waits for its reader, as a shell's redirection does.
		fd = reopen_found(name);
		break;
	case finding::refused:
		break;
	}
	if (fd >= 0 && !is_own_temporary(what) && !has_room(fd))
		close_kept(fd);
	if (fd < 0) {
		drop_lookup();
		return no_file;
	}
	destination = what;
	return fd;
}

}  // namespace
}  // namespace posix_host

host_file host_create_output(const char* name, host_file source)
{
	using namespace posix_host;
	struct stat source_status {};
	if (!name_given(name) || fstat(static_cast<int>(source), &source_status) != 0)
		return no_file;
	bitmap_size = host_size(source);
	// Other runs may be replacing the same file: look again, a little later
	// each time, so that a busy name settles (a quarter second in all).
	for (int tries = 1;; ++tries) {
		const host_file file = choose_output(name, source_status);
		if (file != no_file || errno != EAGAIN || tries == max_lookups)
			return file;
		const timespec pause{0, tries * 50'000L};
		nanosleep(&pause, nullptr);
	}
}
