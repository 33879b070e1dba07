// Where the bitmap goes. The kernel resolves the destfile's name, with its
// own link rules (protected_symlinks, /dev/stdout, /dev/fd/N), and what it
// finds chooses the route:
// - a regular file linked in a directory, or no file yet: a temporary in that
//   directory, put in place by commit.cpp, so that the name holds the old
//   bytes or all the new ones, across a crash or a power cut too;
// - a device, FIFO, terminal or unlinked file: written directly.
// Owns the destination (found file, directory, leaf, route) until commit.cpp
// or a failure drops it. Works relative to the directory's descriptor, so
// that a path swapped mid-run cannot redirect the write.
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_path.h"

namespace posix_host {

output_route route = output_route::direct;
int dir_fd = -1;
bool dir_readable = false;
char leaf[PATH_MAX];
struct stat source_id {};
int found_fd = -1;

namespace {

constexpr int max_link_hops = 40;

struct stat found {};  // what the kernel found for the name

void close_kept(int& fd)
{
	if (fd >= 0)
		close(fd);
	fd = -1;
}

// The output that cannot be had, its cause in errno.
host_file refuse()
{
	drop_destination();
	return no_file;
}

std::size_t dir_length(const char* path)
{
	const char* slash = std::strrchr(path, '/');
	return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// Opens the directory of path as dir_fd and puts the last component in leaf.
bool open_directory(const char* path)
{
	close_kept(dir_fd);
	const std::size_t length = dir_length(path);
	char dir[PATH_MAX];
	if (!copy_path(leaf, "", 0, path + length) || !copy_path(dir, path, length, length == 0 ? "." : ""))
		return false;
	dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	dir_readable = dir_fd >= 0;
#ifdef HAVE_O_PATH
	if (dir_fd < 0 && errno == EACCES)
		dir_fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
#elif defined(O_SEARCH)
	if (dir_fd < 0 && errno == EACCES)
		dir_fd = open(dir, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#endif
	return dir_fd >= 0;
}

// What the kernel finds for name, into found; no permission on the file
// itself is needed.
bool resolve_name(const char* name)
{
#ifdef HAVE_O_PATH
	found_fd = open(name, O_PATH | O_CLOEXEC);
	return found_fd >= 0 && fstat(found_fd, &found) == 0;
#else
	return stat(name, &found) == 0;
#endif
}

// The found file, opened again for writing; refuses what may not be written
// (permissions, immutable and append-only files).
int reopen_found(const char* name, int flags)
{
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

// Finds the directory entry of the found file, following links as text from
// name, each step relative to the directory it is in, and accepts only an
// entry that is that very file.
bool locate_entry(const char* name)
{
	char path[PATH_MAX];
	if (!copy_path(path, "", 0, name))
		return false;
	for (int hops = 0; hops <= max_link_hops; ++hops) {
		struct stat st {};
		if (!open_directory(path) || fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0)
			return false;
		if (is_same_file(st, found))
			return true;
		if (!S_ISLNK(st.st_mode)) {
			errno = EAGAIN;  // another file took the name meanwhile
			return false;
		}
		char link[PATH_MAX];
		const ssize_t n = readlinkat(dir_fd, leaf, link, sizeof link - 1);
		if (n < 0)
			return false;
		link[n] = '\0';
		if (!copy_path(path, path, link[0] == '/' ? 0 : dir_length(path), link))
			return false;
	}
	errno = ENOENT;
	return false;
}

// Whether leaf may be renamed over: not a mount point (a bind-mounted file),
// nor in an append-only directory, where its temporary could never be
// removed.
bool may_replace()
{
#ifdef HAVE_STATX_ATTRIBUTES
	struct statx entry {};
	struct statx dir {};
	if (statx(dir_fd, leaf, AT_SYMLINK_NOFOLLOW, 0, &entry) != 0 ||
	    statx(dir_fd, "", AT_EMPTY_PATH, 0, &dir) != 0)
		return false;
	if ((entry.stx_attributes & entry.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
		errno = EBUSY;
		return false;
	}
	if ((dir.stx_attributes & dir.stx_attributes_mask & STATX_ATTR_APPEND) != 0) {
		errno = EPERM;
		return false;
	}
#elif defined(UF_APPEND) && defined(SF_APPEND)
	// The BSDs: no mount flag, but the directory's own.
	struct stat dir {};
	if (fstat(dir_fd, &dir) != 0)
		return false;
	if ((dir.st_flags & (UF_APPEND | SF_APPEND)) != 0) {
		errno = EPERM;
		return false;
	}
#endif
	return true;
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

// The output for name, or no_file; EAGAIN if name changed while it was
// looked at.
host_file choose_output(const char* name)
{
	route = output_route::direct;
	if (!resolve_name(name)) {
		struct stat st {};
		// A dangling link: its target cannot be asked of the kernel without
		// creating it.
		if (errno != ENOENT || lstat(name, &st) == 0 || !open_directory(name))
			return refuse();
		if (leaf[0] == '\0') {
			errno = EISDIR;
			return refuse();
		}
		return create_replacement(nullptr);
	}

	// Identity first, before anything that could fail on permissions.
	errno = is_same_file(found, source_id) ? EBUSY
	        : S_ISDIR(found.st_mode)       ? EISDIR
	        : S_ISSOCK(found.st_mode)      ? ENXIO
	                                       : 0;
	if (errno != 0)
		return refuse();
	// Devices, FIFOs (waiting for a reader, as a shell does) and files no
	// directory holds are written as they are.
	if (!S_ISREG(found.st_mode) || found.st_nlink == 0) {
		const int fd = reopen_found(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
		return fd >= 0 ? fd : refuse();
	}
	// The old file must be writable to be replaced, as it must be to be
	// emptied.
	const int old = reopen_found(name, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
	if (old < 0 || close(old) != 0 || !locate_entry(name) || !may_replace())
		return refuse();
	return create_replacement(&found);
}

}  // namespace

void drop_destination()
{
	const int error = errno;
	close_kept(found_fd);
	close_kept(dir_fd);
	errno = error;
}

}  // namespace posix_host

host_file host_create_output(const char* name, host_file source)
{
	using namespace posix_host;
	if (fstat(static_cast<int>(source), &source_id) != 0)
		return no_file;
	if (*name == '\0') {
		errno = ENOENT;
		return no_file;
	}
	// Other runs may be replacing the same file: look again.
	for (int tries = 1;; ++tries) {
		const host_file file = choose_output(name);
		if (file != no_file || errno != EAGAIN || tries == max_tries)
			return file;
	}
}
