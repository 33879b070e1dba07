// What an old destfile carries over to the temporary that replaces it, so
// that the replaced file looks as one written in place would: its owner,
// group and mode; on Linux its ACL and extended attributes (attributes.cpp)
// and its inode flags and project id; on macOS its ACL and extended
// attributes. Each as far as the process may set it and the filesystem
// keeps it: what cannot be kept is left out, with the group bits never
// wider than the old file's group had; any other failure fails the run.
// Owns kept_mode, the mode given. Reads the old file at the entry where it
// was located (dir_fd and leaf), and through found_fd where it cannot be
// read, checked against old, its fstat. destination.cpp calls it on a fresh
// temporary no one else can have opened yet, or on one already written,
// when an old file took the name meanwhile.
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

#ifdef HAVE_INODE_FLAGS
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace posix_host {

namespace {

mode_t kept_mode = 0;  // set-ID bits that a write may clear: given again by keep_set_id_bits

// What leaves the mode as it is rather than failing: a filesystem that keeps
// no modes, or not these.
bool is_not_kept(int error)
{
	return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// The owner and group, and the mode to give with them: set-ID bits only
// with the owner or group they were for.
mode_t keep_owner(int fd, const struct stat& old)
{
	// The owner first: giving a file away clears its set-ID bits. Where the
	// owner may not be given, the group still may be. Some filesystems
	// report success and change nothing: what counts is what is there now.
	struct stat now {};
	bool known = fstat(fd, &now) == 0;
	if (!known || now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
		if (fchown(fd, old.st_uid, old.st_gid) != 0)
			(void)!fchown(fd, static_cast<uid_t>(-1), old.st_gid);
		known = fstat(fd, &now) == 0;
	}
	mode_t mode = old.st_mode & 07777;
	if (!known || now.st_uid != old.st_uid)
		mode &= ~static_cast<mode_t>(S_ISUID);
	if (!known || now.st_gid != old.st_gid)
		mode &= ~static_cast<mode_t>(S_ISGID);
	return mode;
}

#ifdef HAVE_INODE_FLAGS
// What leaves a flag out rather than failing: not permitted, or not taken by
// the filesystem (ENOTTY: it has no flags) or by an emulator (ENOSYS:
// qemu-user passes on only the requests it knows).
bool is_refused(int error)
{
	return error == EPERM || error == ENOTTY || error == ENOTSUP || error == EOPNOTSUPP ||
	       error == EINVAL || error == ENOSYS;
}

// The request as the C library's ioctl takes it: an unsigned long on glibc,
// an int on musl.
template <typename Request>
int call_with(int (*control)(int, Request, ...), int fd, unsigned long request, void* argument)
{
	return control(fd, static_cast<Request>(request), argument);
}

int inode_flags(int fd, unsigned long request, void* argument)
{
	return call_with(ioctl, fd, request, argument);
}

// FS_IOC_SETFLAGS takes every bit or none: one the filesystem does not take
// fails the call (EOPNOTSUPP), one the process may not set too (EPERM). So
// where the whole set fails, each bit is tried on its own. Never immutable or
// append-only: the temporary could not be linked. The temporary's own flags,
// those of its directory, are read only then: most old files have none.
bool set_flags(int fd, unsigned wanted)
{
	unsigned now = 0;
	if (wanted == 0 || inode_flags(fd, FS_IOC_SETFLAGS, &wanted) == 0)
		return true;
	if (!is_refused(errno) || inode_flags(fd, FS_IOC_GETFLAGS, &now) != 0)
		return is_refused(errno);
	for (unsigned bit = 1; bit != 0; bit <<= 1U) {
		unsigned next = now ^ bit;
		if (((wanted ^ now) & bit) == 0)
			continue;
		if (inode_flags(fd, FS_IOC_SETFLAGS, &next) == 0)
			now = next;
		else if (!is_refused(errno))
			return false;
	}
	return true;
}

// The project id, and the flags only FS_IOC_FSSETXATTR sets (XFS's real-time
// and extent size hints), where the old file has them; where the filesystem
// takes not all of them for this file, the project id alone.
bool set_project(int fd, const struct fsxattr& old)
{
	constexpr unsigned set_or_shown = FS_XFLAG_IMMUTABLE | FS_XFLAG_APPEND | FS_XFLAG_SYNC |
	                                  FS_XFLAG_NOATIME | FS_XFLAG_NODUMP | FS_XFLAG_DAX |
	                                  FS_XFLAG_HASATTR;
	const unsigned extended = old.fsx_xflags & ~set_or_shown;
	struct fsxattr now {};
	if (old.fsx_projid == 0 && extended == 0)
		return true;
	if (inode_flags(fd, FS_IOC_FSGETXATTR, &now) != 0)
		return is_refused(errno);
	struct fsxattr wanted = now;
	wanted.fsx_xflags |= extended;
	wanted.fsx_extsize = old.fsx_extsize;
	wanted.fsx_cowextsize = old.fsx_cowextsize;
	wanted.fsx_projid = now.fsx_projid = old.fsx_projid;
	if (inode_flags(fd, FS_IOC_FSSETXATTR, &wanted) == 0)
		return true;
	return is_refused(errno) && (inode_flags(fd, FS_IOC_FSSETXATTR, &now) == 0 || is_refused(errno));
}

bool keep_flags(int fd, int source)
{
	constexpr unsigned never = FS_IMMUTABLE_FL | FS_APPEND_FL;
	unsigned wanted = 0;
	struct fsxattr project {};
	if (source < 0)
		return true;
	if ((inode_flags(source, FS_IOC_GETFLAGS, &wanted) != 0 && !is_refused(errno)) ||
	    (inode_flags(source, FS_IOC_FSGETXATTR, &project) != 0 && !is_refused(errno)))
		return false;
	return set_flags(fd, wanted & ~never) && set_project(fd, project);
}
#elif defined(HAVE_FCOPYFILE)
bool keep_flags(int /*fd*/, int /*source*/)
{
	return true;
}
#endif

#if defined(HAVE_XATTR) || defined(HAVE_INODE_FLAGS) || defined(HAVE_FCOPYFILE)
// Attributes and flags cannot be read through O_PATH: the old file again,
// for reading, at the entry where it was found (by name: a first use of
// /proc costs a run more than all the rest of this), checked to be it.
// O_NONBLOCK: a lease on it is not waited for.
int open_old_file(const struct stat& old)
{
	const int fd = openat(dir_fd, leaf, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
	struct stat st {};
	if (fd >= 0 && (fstat(fd, &st) != 0 || !is_same_file(st, old))) {
		close(fd);
		return -1;
	}
	return fd;
}
#endif

}  // namespace

bool keep_metadata(int fd, const struct stat& old)
{
	mode_t mode = keep_owner(fd, old);
#if defined(HAVE_XATTR) || defined(HAVE_INODE_FLAGS) || defined(HAVE_FCOPYFILE)
	int source = open_old_file(old);
#if defined(HAVE_XATTR) || defined(HAVE_FCOPYFILE)
	const bool kept = keep_attributes(fd, source, mode) && keep_flags(fd, source);
#else
	const bool kept = keep_flags(fd, source);
#endif
	close_kept(source);
	if (!kept)
		return false;
#endif
	// The last word: after the ACL, which gives the mode its own way.
	kept_mode = mode;
	return fchmod(fd, mode) == 0 || is_not_kept(errno);
}

bool keep_set_id_bits(int fd)
{
	return (kept_mode & (S_ISUID | S_ISGID)) == 0 || fchmod(fd, kept_mode) == 0 || is_not_kept(errno);
}

}  // namespace posix_host
