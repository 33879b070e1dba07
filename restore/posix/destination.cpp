// Where the bitmap goes. The kernel resolves the destfile's name, with its
// own link rules (protected_symlinks, /dev/stdout, /dev/fd/N), and what it
// finds chooses the route (route.cpp):
// - a regular file listed in a directory, or no file yet: a temporary in that
//   directory, put in place by commit.cpp, so that the name holds the old
//   bytes or all the new ones, across a crash or a power cut too;
// - one of the caller's own descriptors: written through it;
// - a device, FIFO, terminal or unlinked file: written in place.
// Owns the destination (found file, directory, leaf, route), the only file
// that assigns them, from the first look until commit.cpp or a failure drops
// it; a name that appears mid-run is decided again here. Works relative to
// the directory's descriptor, so that a path swapped mid-run cannot redirect
// the write.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_loops.h"

namespace posix_host {

output_route route = output_route::in_place;
int dir_fd = -1;
bool dir_readable = false;
char leaf[PATH_MAX];
struct stat found_status {};
int found_fd = -1;

namespace {

const char* destfile = nullptr;  // the name as given
struct stat source_status {};
std::int64_t bitmap_size = -1;  // the sourcefile's, where it has one
int caller_number = -1;         // the caller's descriptor the name leads through

// What the kernel finds for name; no permission on the file itself is
// needed.
bool resolve_name(const char* name)
{
	close_kept(found_fd);
#ifdef HAVE_O_PATH
	found_fd = open(name, O_PATH | O_CLOEXEC);
	if (found_fd < 0)
		return false;
	if (fstat(found_fd, &found_status) == 0)
		return true;
	// FUSE forgets a file another program has replaced: look again.
	if (errno == ENOENT)
		errno = EAGAIN;
	return false;
#else
	return stat(name, &found_status) == 0;
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

// Records the directory and leaf that directory_entry.cpp found, in place of
// those held; the directory it returns is ours to close.
bool record(bool held, const directory_entry& entry)
{
	close_kept(dir_fd);
	dir_fd = entry.dir;
	dir_readable = entry.readable;
	std::memcpy(leaf, entry.leaf, sizeof leaf);
	caller_number = entry.caller;
	return held;
}

// A name that leads nowhere: a new file in its directory, unless it is a
// dangling link, whose target cannot be asked of the kernel without creating
// it. Anything else there now came meanwhile.
finding examine_new(const char* name)
{
	struct stat st {};
	if (lstat(name, &st) == 0) {
		errno = S_ISLNK(st.st_mode) ? ENOENT : EAGAIN;
		return finding::refused;
	}
	directory_entry entry;
	if (!record(open_directory(name, entry), entry))
		return finding::refused;
	errno = EISDIR;
	return leaf[0] == '\0' ? finding::refused : finding::new_name;
}

// What name leads to now.
finding examine(const char* name)
{
	if (!resolve_name(name))
		return errno == ENOENT ? examine_new(name) : finding::refused;
	if (!may_be_destination(found_status, source_status))
		return finding::refused;
	directory_entry entry;
	const location where = locate_entry(name, found_status, entry);
	record(true, entry);
	const finding what = judge_location(found_status, where);
	return what != finding::old_file || may_replace_entry(dir_fd, leaf) ? what : finding::refused;
}

// The output that cannot be had, its cause in errno.
host_file refuse()
{
	drop_destination();
	return no_file;
}

// The output for the name as it is now, or no_file; EAGAIN if the name
// changed while it was looked at.
host_file choose_output()
{
	const finding what = examine(destfile);
	int fd = -1;
	switch (what) {
	case finding::new_name:
	case finding::old_file:
		fd = create_temporary(what == finding::old_file);
		if (fd >= 0 && what == finding::old_file && !keep_metadata(fd, found_status)) {
			host_discard_output(fd);  // the temporary, and what is held of the destination
			return no_file;
		}
		break;
	case finding::caller_file:
		fd = open_caller_descriptor(caller_number, found_status);
		break;
	case finding::other_file:
		// A FIFO waits for its reader, as a shell's redirection does.
		fd = reopen_found(destfile);
		break;
	case finding::refused:
		break;
	}
	if (fd >= 0 && (what == finding::caller_file || what == finding::other_file) && !has_room(fd)) {
		close_kept(fd);
		return refuse();
	}
	if (fd < 0)
		return refuse();
	route = route_for(what, temp_exists != 0);
	return fd;
}

}  // namespace

bool reconsider_destination(int fd)
{
	const finding what = examine(destfile);
	switch (what) {
	case finding::new_name:
	case finding::old_file:
		route = route_for(what, false);
		return what == finding::new_name || keep_metadata(fd, found_status);
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
	close_kept(found_fd);
	close_kept(dir_fd);
}

}  // namespace posix_host

host_file host_create_output(const char* name, host_file source)
{
	using namespace posix_host;
	if (!name_given(name) || fstat(static_cast<int>(source), &source_status) != 0)
		return no_file;
	destfile = name;
	bitmap_size = host_size(source);
	// Other runs may be replacing the same file: look again, a little later
	// each time, so that a busy name settles (a quarter second in all).
	for (int tries = 1;; ++tries) {
		const host_file file = choose_output();
		if (file != no_file || errno != EAGAIN || tries == max_lookups)
			return file;
		const timespec pause{0, tries * 50'000L};
		nanosleep(&pause, nullptr);
	}
}
