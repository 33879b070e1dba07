// Where the bitmap goes. The kernel resolves the destfile's name, with its
// own link rules (protected_symlinks, /dev/stdout, /dev/fd/N), and what it
// finds chooses the route:
// - a regular file linked in a directory, or no file yet: a temporary in that
//   directory, put in place by commit.cpp, so that the name holds the old
//   bytes or all the new ones, across a crash or a power cut too;
// - one of the caller's own descriptors: written through it (caller.cpp);
// - a device, FIFO, terminal or unlinked file: written directly.
// Owns the destination (found file, directory, leaf, route) until commit.cpp
// or a failure drops it. Works relative to the directory's descriptor, so
// that a path swapped mid-run cannot redirect the write.
#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"

namespace posix_host {

output_route route = output_route::direct;
int dir_fd = -1;
bool dir_readable = false;
char leaf[PATH_MAX];
int found_fd = -1;
struct stat found {};

namespace {

const char* chosen_name = nullptr;  // the destfile's name, as given

// What the name leads to now.
enum class finding {
	refused,      // errno says why
	new_name,     // nothing yet: dir_fd and leaf are where it goes
	old_file,     // a regular file that may be replaced, at dir_fd and leaf
	caller_file,  // one of the caller's descriptors, caller_fd
	other_file,   // a device, FIFO or unlinked file
};

// What the kernel finds for name, into found; no permission on the file
// itself is needed.
bool resolve_name(const char* name)
{
	close_kept(found_fd);
#ifdef HAVE_O_PATH
	found_fd = open(name, O_PATH | O_CLOEXEC);
	if (found_fd < 0)
		return false;
	if (fstat(found_fd, &found) == 0)
		return true;
	// FUSE forgets a file another program has replaced: look again.
	if (errno == ENOENT)
		errno = EAGAIN;
	return false;
#else
	return stat(name, &found) == 0;
#endif
}

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
	if (fd >= 0 && (fstat(fd, &st) != 0 || !is_same_file(st, found))) {
		close(fd);
		errno = EAGAIN;  // the name now leads elsewhere
		return -1;
	}
	return fd;
}

finding examine(const char* name)
{
	if (!resolve_name(name)) {
		struct stat st {};
		if (errno != ENOENT)
			return finding::refused;
		// A dangling link: its target cannot be asked of the kernel without
		// creating it. Anything else there now came meanwhile.
		if (lstat(name, &st) == 0) {
			errno = S_ISLNK(st.st_mode) ? ENOENT : EAGAIN;
			return finding::refused;
		}
		if (!open_directory(name))
			return finding::refused;
		errno = EISDIR;
		return leaf[0] == '\0' ? finding::refused : finding::new_name;
	}
	// Identity first, before anything that could fail on permissions.
	errno = is_same_file(found, input_id) ? EBUSY
	        : S_ISDIR(found.st_mode)      ? EISDIR
	        : S_ISSOCK(found.st_mode)     ? ENXIO
	                                      : 0;
	if (errno != 0)
		return finding::refused;
	const bool located = locate_entry(name);
	if (caller_fd >= 0)
		return finding::caller_file;
	// A file no directory holds: the name was one of /proc's for it, or the
	// file was replaced since the name was resolved (look again).
	if (!S_ISREG(found.st_mode) || (found.st_nlink == 0 && (located || errno != EAGAIN)))
		return finding::other_file;
	return located && may_replace_entry() ? finding::old_file : finding::refused;
}

// The output that cannot be had, its cause in errno.
host_file refuse()
{
	drop_destination();
	return no_file;
}

// A temporary in dir_fd, and the route that puts it in place.
host_file create_replacement(const struct stat* old)
{
	const int fd = create_temporary(old);
	if (fd < 0)
		return refuse();
	route = temp_exists != 0 ? output_route::named
	        : old != nullptr ? output_route::unnamed_old
	                         : output_route::unnamed_new;
	return fd;
}

host_file written_directly(int fd, output_route how)
{
	if (fd < 0)
		return refuse();
	route = how;
	return fd;
}

// The output for name, or no_file; EAGAIN if name changed while it was
// looked at.
host_file choose_output(const char* name)
{
	route = output_route::direct;
	switch (examine(name)) {
	case finding::new_name:
		return create_replacement(nullptr);
	case finding::old_file:
		return create_replacement(&found);
	case finding::caller_file:
		return written_directly(open_caller_descriptor(found), output_route::caller);
	case finding::other_file:
		// A FIFO waits for its reader, as a shell's redirection does.
		return written_directly(reopen_found(name), output_route::direct);
	case finding::refused:
		break;
	}
	return refuse();
}

}  // namespace

bool reconsider_destination(int fd)
{
	switch (examine(chosen_name)) {
	case finding::new_name:
		route = output_route::unnamed_new;
		return true;
	case finding::old_file:
		route = output_route::unnamed_old;
		return keep_metadata(fd, found);
	case finding::caller_file:
	case finding::other_file:
		errno = EEXIST;  // not a file to replace: it stays as it is
		return false;
	case finding::refused:
		break;
	}
	return false;
}

void drop_destination()
{
	const int error = errno;
	close_kept(found_fd);
	close_kept(dir_fd);
	errno = error;
}

}  // namespace posix_host

// The sourcefile is the input opened last: its identity is known.
host_file host_create_output(const char* name, host_file)
{
	using namespace posix_host;
	if (*name == '\0') {
		errno = ENOENT;
		return no_file;
	}
	chosen_name = name;
	// Other runs may be replacing the same file: look again, a little later
	// each time, so that a busy name settles (a quarter second in all).
	for (int tries = 1;; ++tries) {
		const host_file file = choose_output(name);
		if (file != no_file || errno != EAGAIN || tries == max_tries)
			return file;
		const timespec pause{0, tries * 50'000L};
		nanosleep(&pause, nullptr);
	}
}
