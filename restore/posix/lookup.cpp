// What the destfile's name leads to, decided by what the kernel opens. The
// kernel resolves the name with its own link rules (protected_symlinks,
// /dev/stdout, /dev/fd/N); the file it finds is then located by walking the
// name's links as text, each step relative to the directory it is in:
// - a step into a directory that lists this process's descriptors (its own
//   or a thread's fd directory, on any procfs mount, by self, thread-self,
//   pid or task id): one of the caller's open files;
// - a step to the found file's own entry: an old file, replaced if that
//   entry may be;
// - a link the kernel follows to a file no directory holds (a deleted
//   file's name under /proc/PID/fd): a file of its own, as a device is;
// - a name nothing has yet: a new file in its directory.
// Anything else there came meanwhile: the name is looked at again.
// Owns the record of the last look: the name and the sourcefile's status it
// was given, the found file (held with O_PATH where there is one), its
// directory and leaf, and the caller's descriptor; assigned only here, at a
// look by destination.cpp or by the commit (temporary.cpp), and kept until
// drop_lookup. Assumes process.cpp has filled the caller's closed streams.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_path.h"

namespace posix_host {

int dir_fd = -1;
bool dir_readable = false;
char leaf[PATH_MAX];
struct stat found_status {};
int found_fd = -1;

namespace {

constexpr int max_link_hops = 40;

const char* destfile = nullptr;  // the name as given
struct stat source_status {};
int caller_number = -1;  // the caller's descriptor the name leads through, or -1

std::size_t dir_length(const char* path)
{
	const char* slash = std::strrchr(path, '/');
	return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// The directory of path, held in dir_fd, and its leaf. One this process may
// only search is held with O_PATH or O_SEARCH (dir_readable clear).
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
#elif defined(HAVE_O_SEARCH)
	if (dir_fd < 0 && errno == EACCES)
		dir_fd = open(dir, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#endif
	return dir_fd >= 0;
}

// Whether dir lists this process's descriptors, by what the kernel opens
// there: a pipe made now, which no other process holds, under its own
// number. No spelling of the directory's path, pid or mount can pass for it,
// and opening the name could not tell: that makes a new open file of the
// descriptor's file. -1 with errno where no pipe can be made.
int lists_own_descriptors(int dir)
{
	int probe[2];
	if (pipe(probe) != 0)
		return -1;
	char number[16];
	(void)std::snprintf(number, sizeof number, "%d", probe[0]);
	struct stat listed {};
	struct stat own {};
	const bool own_list =
	    fstatat(dir, number, &listed, 0) == 0 && fstat(probe[0], &own) == 0 && is_same_file(listed, own);
	close_kept(probe[0]);
	close_kept(probe[1]);
	return own_list ? 1 : 0;
}

// Where the system's /dev/fd shows no descriptor's own file (only devices of
// its own), the directory itself tells.
bool is_dev_fd(int dir)
{
	struct stat st {};
	struct stat dev_fd {};
	return fstat(dir, &st) == 0 && stat("/dev/fd", &dev_fd) == 0 && is_same_file(st, dev_fd);
}

// The descriptor number dir/name names, -1 if none of this process's, or -2
// with errno where that cannot be told.
int own_descriptor(int dir, const char* name)
{
	char* end = nullptr;
	const long fd = std::strtol(name, &end, 10);
	if (end == name || *end != '\0' || fd < 0 || fd > 1 << 20)
		return -1;
	const int own = lists_own_descriptors(dir);
	if (own < 0)
		return -2;
	return own == 1 || is_dev_fd(dir) ? static_cast<int>(fd) : -1;
}

// The marks of name in dir_fd (of the directory itself if name is empty)
// that refuse a replace: immutable, append-only, and a mount point, which a
// rename cannot replace. From statx, or the BSDs' st_flags; none where
// neither tells (statx before Linux 4.11).
struct replace_marks {
	bool immutable, append, mount_root;
};

bool marks_of([[maybe_unused]] const char* name, replace_marks& found)
{
	found = {};
#ifdef HAVE_STATX_ATTRIBUTES
	struct statx entry {};
	const int flags = *name != '\0' ? AT_SYMLINK_NOFOLLOW : AT_EMPTY_PATH;
#ifdef HAVE_STATX_SYSCALL
	const long failed = syscall(SYS_statx, dir_fd, name, flags, 0U, &entry);
#else
	const int failed = statx(dir_fd, name, flags, 0U, &entry);
#endif
	if (failed != 0)
		return errno == ENOSYS;
	const std::uint64_t known = entry.stx_attributes & entry.stx_attributes_mask;
	found = {(known & STATX_ATTR_IMMUTABLE) != 0, (known & STATX_ATTR_APPEND) != 0,
	         (known & STATX_ATTR_MOUNT_ROOT) != 0};
#elif defined(HAVE_FILE_FLAGS)
	struct stat entry {};
	if ((*name != '\0' ? fstatat(dir_fd, name, &entry, AT_SYMLINK_NOFOLLOW) : fstat(dir_fd, &entry)) != 0)
		return false;
	found = {(entry.st_flags & (UF_IMMUTABLE | SF_IMMUTABLE)) != 0,
	         (entry.st_flags & (UF_APPEND | SF_APPEND)) != 0, false};
#endif
	return true;
}

// Root may write anything but an immutable file: the entry's own marks
// tell, and whether it is a mount point.
bool attributes_allow_replacing()
{
	replace_marks entry{};
	if (!marks_of(leaf, entry))
		return false;
	if (entry.mount_root) {
		errno = EBUSY;  // a bind-mounted file
		return false;
	}
	if (entry.immutable || entry.append) {
		errno = EPERM;
		return false;
	}
	return true;
}

// Whether the leaf may be replaced. Its write permission is asked without
// opening it: a write-open would break a lease, wake watchers and refuse a
// running program, none of which a rename does. A C library without
// AT_SYMLINK_NOFOLLOW here refuses it (EINVAL); the leaf was just found to be
// no link anyway. Not a mount point (a bind-mounted file), nor in an
// append-only directory, where its temporary could never be removed.
bool may_replace_entry()
{
	const bool writable = faccessat(dir_fd, leaf, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ||
	                      (errno == EINVAL && faccessat(dir_fd, leaf, W_OK, AT_EACCESS) == 0);
	if (!writable || !attributes_allow_replacing()) {
		if (errno == ENOENT)
			errno = EAGAIN;  // the entry went meanwhile
		return false;
	}
	replace_marks directory{};
	if (!marks_of("", directory))
		return false;
	if (directory.append) {
		errno = EPERM;
		return false;
	}
	return true;
}

// Where the found file is, walked from destfile: old_file at its own entry,
// or refused with EAGAIN where the name now leads elsewhere.
finding locate()
{
	char path[PATH_MAX];
	if (!copy_path(path, "", 0, destfile))
		return finding::refused;
	for (int hops = 0; hops <= max_link_hops; ++hops) {
		struct stat st {};
		if (!open_directory(path))
			return finding::refused;
		caller_number = own_descriptor(dir_fd, leaf);
		if (caller_number != -1)
			return caller_number >= 0 ? finding::caller_file : finding::refused;
		const bool listed = fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
		if (listed && is_same_file(st, found_status))
			return finding::old_file;
		// The kernel found it by this name: another file took it meanwhile,
		// or it went (some filesystems rename in two steps). Past a link, a
		// missing entry is a link to no entry, as a deleted file's name
		// under /proc/PID/fd reads.
		if (!listed && errno != ENOENT)
			return finding::refused;
		if (!listed || !S_ISLNK(st.st_mode)) {
			errno = listed || hops == 0 ? EAGAIN : ENOENT;
			return finding::refused;
		}
		// The kernel's own step through this link reaches a file no
		// directory holds: the link's text names none of its entries,
		// whatever file has that name now.
		if (found_status.st_nlink == 0 && fstatat(dir_fd, leaf, &st, 0) == 0 &&
		    is_same_file(st, found_status))
			return finding::other_file;
		char link[PATH_MAX];
		const ssize_t n = readlinkat(dir_fd, leaf, link, sizeof link - 1);
		if (n < 0)
			return finding::refused;
		link[n] = '\0';
		if (!copy_path(path, path, link[0] == '/' ? 0 : dir_length(path), link))
			return finding::refused;
	}
	errno = ELOOP;
	return finding::refused;
}

// What the kernel finds for destfile; no permission on the file itself is
// needed.
bool resolve_name()
{
	close_kept(found_fd);
#ifdef HAVE_O_PATH
	found_fd = open(destfile, O_PATH | O_CLOEXEC);
	if (found_fd < 0)
		return false;
	if (fstat(found_fd, &found_status) == 0)
		return true;
	// FUSE forgets a file another program has replaced: look again.
	if (errno == ENOENT)
		errno = EAGAIN;
	return false;
#else
	return stat(destfile, &found_status) == 0;
#endif
}

// A name that leads nowhere: a new file in its directory, unless it is a
// dangling link, whose target cannot be asked of the kernel without creating
// it. Anything else there now came meanwhile.
finding look_at_new_name()
{
	struct stat st {};
	if (lstat(destfile, &st) == 0) {
		errno = S_ISLNK(st.st_mode) ? ENOENT : EAGAIN;
		return finding::refused;
	}
	if (!open_directory(destfile))
		return finding::refused;
	errno = EISDIR;
	return leaf[0] == '\0' ? finding::refused : finding::new_name;
}

}  // namespace

finding look_again()
{
	if (!resolve_name())
		return errno == ENOENT ? look_at_new_name() : finding::refused;
	// Identity first, before anything that could fail on permissions.
	errno = is_same_file(found_status, source_status) ? EBUSY
	        : S_ISDIR(found_status.st_mode)           ? EISDIR
	        : S_ISSOCK(found_status.st_mode)          ? ENXIO
	                                                  : 0;
	if (errno != 0)
		return finding::refused;
	const finding where = locate();
	// Not a regular file, or one no directory holds, unless it was replaced
	// since the name was resolved: written as it is.
	const bool moved = where == finding::refused && errno == EAGAIN;
	if (where != finding::caller_file &&
	    (!S_ISREG(found_status.st_mode) || (found_status.st_nlink == 0 && !moved)))
		return finding::other_file;
	return where != finding::old_file || may_replace_entry() ? where : finding::refused;
}

finding look_up(const char* name, const struct stat& source)
{
	destfile = name;
	source_status = source;
	return look_again();
}

int open_caller_descriptor()
{
	if (is_filled_stream(caller_number)) {
		errno = EBADF;  // closed by the caller, as cat would find it
		return -1;
	}
	const int flags = fcntl(caller_number, F_GETFL);
	struct stat st {};
	if (flags < 0 || fstat(caller_number, &st) != 0)
		return -1;
	if ((flags & O_ACCMODE) == O_RDONLY) {
		errno = EBADF;  // open for reading only, as a shell's < gives
		return -1;
	}
	if (!is_same_file(st, found_status)) {
		errno = EAGAIN;  // the descriptor changed meanwhile
		return -1;
	}
	return fcntl(caller_number, F_DUPFD_CLOEXEC, 0);
}

void drop_lookup()
{
	close_kept(found_fd);
	close_kept(dir_fd);
}

}  // namespace posix_host
