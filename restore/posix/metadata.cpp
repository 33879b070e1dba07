// What an old destfile carries over to the temporary that replaces it, so
// that the replaced file looks as one written in place would: its owner,
// group and mode; where the build has libacl and libattr, and on macOS, its
// ACL and extended attributes; on Linux, its inode flags. Each as far as the
// process may set it and the filesystem keeps it: what cannot be kept is left
// out, never a failure. Owns nothing; reads the old file at the entry where
// it was located (dir_fd and leaf), and through found_fd where it cannot be
// read, checked against old, its fstat. destination.cpp calls it on a fresh
// temporary no one else can have opened yet, or on one already written,
// when an old file took the name meanwhile.
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

#ifdef HAVE_LIBACL
#include <acl/libacl.h>
#include <attr/libattr.h>
#include <sys/xattr.h>
#endif
#ifdef HAVE_FCOPYFILE
#include <copyfile.h>
#endif
#ifdef HAVE_INODE_FLAGS
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace posix_host {

namespace {

constexpr mode_t permission_bits = 0777;

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

#if defined(HAVE_LIBACL) || defined(HAVE_INODE_FLAGS) || defined(HAVE_FCOPYFILE)
#ifdef HAVE_LIBACL
// The names the libraries would put in messages, which they print only when
// given a context to print in: none is given.
constexpr const char* old_name = "the old destfile";
constexpr const char* new_name = "the new destfile";

// The attributes worth giving another file: those /etc/xattr.conf neither
// skips nor leaves to the ACL, and not security.capability, which the kernel
// drops from a file written to: the new bytes never had it.
int is_kept_attribute(const char* name, struct error_context* context)
{
	return std::strcmp(name, "security.capability") != 0 &&
	       attr_copy_check_permissions(name, context) != 0;
}
#endif

// Whether either file may have extended attributes, an ACL among them (the
// new one from a default ACL of its directory): most have none, and then
// the mode says it all.
bool has_extras(int fd, int source)
{
#ifdef HAVE_LIBACL
	return source < 0 || flistxattr(source, nullptr, 0) != 0 || flistxattr(fd, nullptr, 0) != 0;
#elif defined(HAVE_FCOPYFILE)
	(void)fd;
	return source >= 0;  // fcopyfile finds out
#else
	(void)fd;
	(void)source;
	return false;
#endif
}

// Before the mode: writing attributes takes the write permission the
// temporary's own mode gives until then.
void keep_attributes(int fd, int source)
{
#ifdef HAVE_LIBACL
	if (source >= 0)
		(void)attr_copy_fd(old_name, source, new_name, fd, is_kept_attribute, nullptr);
#elif defined(HAVE_FCOPYFILE)
	// The ACL with them, by the system's own copier; not COPYFILE_STAT (nor
	// COPYFILE_METADATA, which has it): the new bitmap keeps its own times.
	if (source >= 0)
		(void)fcopyfile(source, fd, nullptr, COPYFILE_ACL | COPYFILE_XATTR);
#else
	(void)fd;
	(void)source;
#endif
}

// The permission bits and the ACL exactly, the group's entry and the mask
// each where it was; false where only fchmod can keep them.
bool keep_permissions(int fd, int source)
{
#ifdef HAVE_LIBACL
	if (source >= 0)
		return perm_copy_fd(old_name, source, new_name, fd, nullptr) == 0;
	// An old file that cannot be read still shows its ACL to its name.
	return perm_copy_file(fd_path(found_fd).text, fd_path(fd).text, nullptr) == 0;
#else
	(void)fd;
	(void)source;
#endif
	return false;
}

#ifdef HAVE_INODE_FLAGS
// The request as the C library's ioctl takes it: an unsigned long on glibc,
// an int on musl.
template <typename Request>
int call_with(int (*control)(int, Request, ...), int fd, unsigned long request, unsigned* flags)
{
	return control(fd, static_cast<Request>(request), flags);
}

int inode_flags(int fd, unsigned long request, unsigned* flags)
{
	return call_with(ioctl, fd, request, flags);
}

// FS_IOC_SETFLAGS takes every bit or none: one the filesystem does not take
// fails the call (EOPNOTSUPP), one the process may not set too (EPERM). So
// where the whole set fails, each bit is tried on its own. Never immutable or
// append-only: the temporary could not be linked.
void keep_flags(int fd, int source)
{
	constexpr unsigned never = FS_IMMUTABLE_FL | FS_APPEND_FL;
	unsigned wanted = 0;
	unsigned now = 0;
	if (source < 0 || inode_flags(source, FS_IOC_GETFLAGS, &wanted) != 0 ||
	    inode_flags(fd, FS_IOC_GETFLAGS, &now) != 0)
		return;
	wanted &= ~never;
	if (wanted == now || inode_flags(fd, FS_IOC_SETFLAGS, &wanted) == 0)
		return;
	for (unsigned bit = 1; bit != 0; bit <<= 1U) {
		unsigned next = now ^ bit;
		if (((wanted ^ now) & bit) != 0 && inode_flags(fd, FS_IOC_SETFLAGS, &next) == 0)
			now = next;
	}
}
#else
void keep_flags(int /*fd*/, int /*source*/) {}
#endif

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

void keep_metadata(int fd, const struct stat& old)
{
	const mode_t mode = keep_owner(fd, old);
#if defined(HAVE_LIBACL) || defined(HAVE_INODE_FLAGS) || defined(HAVE_FCOPYFILE)
	const int source = open_old_file(old);
	// The ACL leaves the set-ID and sticky bits to the one fchmod.
	const bool extras = has_extras(fd, source);
	if (extras)
		keep_attributes(fd, source);
	if (!extras || !keep_permissions(fd, source) || (mode & ~permission_bits) != 0)
		(void)fchmod(fd, mode);
	keep_flags(fd, source);
	if (source >= 0)
		close(source);
#else
	(void)fchmod(fd, mode);
#endif
}

}  // namespace posix_host
