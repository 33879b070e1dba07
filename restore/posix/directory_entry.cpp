// Where a found file is listed: its entry in a directory, found by following
// the name's links as text, each step relative to the directory it is in,
// and accepted only if it is that very file; a step into one of this
// process's descriptors, or through a link the kernel follows to a file no
// directory holds, ends the walk there. And whether that entry may be
// replaced. Owns nothing: what it finds, it returns in a directory_entry,
// which destination.cpp records.
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_path.h"

namespace posix_host {
namespace {

constexpr int max_link_hops = 40;

std::size_t dir_length(const char* path)
{
	const char* slash = std::strrchr(path, '/');
	return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

#ifdef HAVE_STATX_ATTRIBUTES
// The attributes the kernel tells of name in dir, into known; none where it
// has no statx (before Linux 4.11).
bool attributes_of(int dir, const char* name, int flags, std::uint64_t& known)
{
	struct statx entry {};
#ifdef HAVE_STATX_SYSCALL
	const long failed = syscall(SYS_statx, dir, name, flags, 0U, &entry);
#else
	const int failed = statx(dir, name, flags, 0U, &entry);
#endif
	known = failed != 0 ? 0 : entry.stx_attributes & entry.stx_attributes_mask;
	return failed == 0 || errno == ENOSYS;
}
#endif

// Root may write anything but an immutable file: the entry's own attributes
// tell, and whether it is a mount point, which a rename cannot replace.
bool attributes_allow_replacing(int dir, const char* name)
{
#ifdef HAVE_STATX_ATTRIBUTES
	std::uint64_t entry = 0;
	if (!attributes_of(dir, name, AT_SYMLINK_NOFOLLOW, entry))
		return false;
	if ((entry & STATX_ATTR_MOUNT_ROOT) != 0) {
		errno = EBUSY;  // a bind-mounted file
		return false;
	}
	if ((entry & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0) {
		errno = EPERM;
		return false;
	}
#elif defined(HAVE_FILE_FLAGS)
	struct stat entry {};
	if (fstatat(dir, name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
		return false;
	if ((entry.st_flags & (UF_IMMUTABLE | SF_IMMUTABLE | UF_APPEND | SF_APPEND)) != 0) {
		errno = EPERM;
		return false;
	}
#else
	(void)dir;
	(void)name;
#endif
	return true;
}

// Whether the leaf may be written, asked without opening it: a write-open
// would break a lease, wake watchers and refuse a running program, none of
// which a rename does. A C library without AT_SYMLINK_NOFOLLOW here refuses
// it (EINVAL); the leaf was just found to be no link anyway.
bool entry_writable(int dir, const char* name)
{
	const bool writable = faccessat(dir, name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ||
	                      (errno == EINVAL && faccessat(dir, name, W_OK, AT_EACCESS) == 0);
	return writable && attributes_allow_replacing(dir, name);
}

}  // namespace

bool open_directory(const char* path, directory_entry& entry)
{
	close_kept(entry.dir);
	const std::size_t length = dir_length(path);
	char dir[PATH_MAX];
	if (!copy_path(entry.leaf, "", 0, path + length) ||
	    !copy_path(dir, path, length, length == 0 ? "." : ""))
		return false;
	entry.dir = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	entry.readable = entry.dir >= 0;
#ifdef HAVE_O_PATH
	if (entry.dir < 0 && errno == EACCES)
		entry.dir = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
#elif defined(HAVE_O_SEARCH)
	if (entry.dir < 0 && errno == EACCES)
		entry.dir = open(dir, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#endif
	return entry.dir >= 0;
}

location locate_entry(const char* name, const struct stat& found, directory_entry& entry)
{
	char path[PATH_MAX];
	if (!copy_path(path, "", 0, name))
		return location::failed;
	for (int hops = 0; hops <= max_link_hops; ++hops) {
		struct stat st {};
		if (!open_directory(path, entry))
			return location::failed;
		entry.caller = own_descriptor(entry.dir, entry.leaf);
		if (entry.caller >= 0)
			return location::caller;
		if (entry.caller == not_known)
			return location::failed;
		const bool listed = fstatat(entry.dir, entry.leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
		if (listed && is_same_file(st, found))
			return location::listed;
		// The kernel found it by this name: another file took it meanwhile,
		// or it went (some filesystems rename in two steps). Past a link, a
		// missing entry is a link to no entry, as a deleted file's name
		// under /proc/PID/fd reads.
		if (!listed && errno != ENOENT)
			return location::failed;
		if (!listed || !S_ISLNK(st.st_mode)) {
			errno = listed || hops == 0 ? EAGAIN : ENOENT;
			return errno == EAGAIN ? location::moved : location::failed;
		}
		// The kernel's own step through this link reaches a file no
		// directory holds (a deleted file's name under /proc/PID/fd): the
		// link's text names none of its entries, whatever file has that
		// name now.
		if (found.st_nlink == 0 && fstatat(entry.dir, entry.leaf, &st, 0) == 0 &&
		    is_same_file(st, found))
			return location::unlisted;
		char link[PATH_MAX];
		const ssize_t n = readlinkat(entry.dir, entry.leaf, link, sizeof link - 1);
		if (n < 0)
			return location::failed;
		link[n] = '\0';
		if (!copy_path(path, path, link[0] == '/' ? 0 : dir_length(path), link))
			return location::failed;
	}
	errno = ELOOP;
	return location::failed;
}

// Not a mount point (a bind-mounted file), nor in an append-only directory,
// where its temporary could never be removed.
bool may_replace_entry(int dir, const char* name)
{
	if (!entry_writable(dir, name)) {
		if (errno == ENOENT)
			errno = EAGAIN;  // the entry went meanwhile
		return false;
	}
#ifdef HAVE_STATX_ATTRIBUTES
	std::uint64_t attributes = 0;
	if (!attributes_of(dir, "", AT_EMPTY_PATH, attributes))
		return false;
	if ((attributes & STATX_ATTR_APPEND) != 0) {
		errno = EPERM;
		return false;
	}
#elif defined(HAVE_FILE_FLAGS)
	struct stat st {};
	if (fstat(dir, &st) != 0)
		return false;
	if ((st.st_flags & (UF_APPEND | SF_APPEND)) != 0) {
		errno = EPERM;
		return false;
	}
#endif
	return true;
}

}  // namespace posix_host
