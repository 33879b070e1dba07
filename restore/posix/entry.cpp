// Where a found file lives: its entry in a directory, found by following the
// name's links as text, each step relative to the directory it is in, and
// accepted only if it is that very file; and whether that entry may be
// replaced. Writes dir_fd and leaf (posix_host.h), and caller_fd when a link
// leads through the process's own descriptors (caller.cpp).
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
// The attributes the kernel tells of name in dir_fd, into known; none where
// it has no statx (before Linux 4.11).
bool attributes_of(const char* name, int flags, std::uint64_t& known)
{
	struct statx entry {};
#ifdef HAVE_STATX_SYSCALL
	const long failed = syscall(SYS_statx, dir_fd, name, flags, 0U, &entry);
#else
	const int failed = statx(dir_fd, name, flags, 0U, &entry);
#endif
	known = failed != 0 ? 0 : entry.stx_attributes & entry.stx_attributes_mask;
	return failed == 0 || errno == ENOSYS;
}
#endif

// Root may write anything but an immutable file: the entry's own attributes
// tell, and whether it is a mount point, which a rename cannot replace.
bool attributes_allow_replacing()
{
#ifdef HAVE_STATX_ATTRIBUTES
	std::uint64_t entry = 0;
	if (!attributes_of(leaf, AT_SYMLINK_NOFOLLOW, entry))
		return false;
	if ((entry & STATX_ATTR_MOUNT_ROOT) != 0) {
		errno = EBUSY;  // a bind-mounted file
		return false;
	}
	if ((entry & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0) {
		errno = EPERM;
		return false;
	}
#elif defined(UF_IMMUTABLE) && defined(SF_IMMUTABLE) && defined(UF_APPEND) && defined(SF_APPEND)
	struct stat entry {};
	if (fstatat(dir_fd, leaf, &entry, AT_SYMLINK_NOFOLLOW) != 0)
		return false;
	if ((entry.st_flags & (UF_IMMUTABLE | SF_IMMUTABLE | UF_APPEND | SF_APPEND)) != 0) {
		errno = EPERM;
		return false;
	}
#endif
	return true;
}

// Whether the leaf may be written, asked without opening it: a write-open
// would break a lease, wake watchers and refuse a running program, none of
// which a rename does. A C library without AT_SYMLINK_NOFOLLOW here refuses
// it (EINVAL); the leaf was just found to be no link anyway.
bool entry_writable()
{
	const bool writable = faccessat(dir_fd, leaf, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ||
	                      (errno == EINVAL && faccessat(dir_fd, leaf, W_OK, AT_EACCESS) == 0);
	return writable && attributes_allow_replacing();
}

}  // namespace

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

bool locate_entry(const char* name)
{
	caller_fd = -1;
	char path[PATH_MAX];
	if (!copy_path(path, "", 0, name))
		return false;
	for (int hops = 0; hops <= max_link_hops; ++hops) {
		struct stat st {};
		if (!open_directory(path))
			return false;
		if (is_own_descriptor(dir_fd, leaf))
			return true;
		const bool listed = fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
		if (listed && is_same_file(st, found))
			return true;
		// The kernel found it by this name: another file took it meanwhile,
		// or it went (some filesystems rename in two steps). Past a link, a
		// missing entry is a link to no entry, as a deleted file's name
		// under /proc/PID/fd reads.
		if (!listed && errno != ENOENT)
			return false;
		if (!listed || !S_ISLNK(st.st_mode)) {
			errno = listed || hops == 0 ? EAGAIN : ENOENT;
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
	errno = ELOOP;
	return false;
}

// Not a mount point (a bind-mounted file), nor in an append-only directory,
// where its temporary could never be removed.
bool may_replace_entry()
{
	if (!entry_writable()) {
		if (errno == ENOENT)
			errno = EAGAIN;  // the entry went meanwhile
		return false;
	}
#ifdef HAVE_STATX_ATTRIBUTES
	std::uint64_t dir = 0;
	if (!attributes_of("", AT_EMPTY_PATH, dir))
		return false;
	if ((dir & STATX_ATTR_APPEND) != 0) {
		errno = EPERM;
		return false;
	}
#elif defined(UF_APPEND) && defined(SF_APPEND)
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

}  // namespace posix_host
