// An old destfile's ACL and extended attributes, given to the temporary that
// replaces it, on Linux as the kernel stores them: the ACL is the attribute
// system.posix_acl_access, which the kernel checks and maps itself, so every
// build carries it. Which other attributes are worth carrying is
// /etc/xattr.conf's word where the build has libattr; without it, the user.*
// ones. What the process may not set, or the filesystem does not take, is
// left out; any other failure fails the run, the old file untouched. Owns
// nothing; called by metadata.cpp, reads found_fd (destination.cpp). On
// macOS, the system's own copier.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "posix_host.h"

#ifdef HAVE_XATTR
#include <sys/xattr.h>
#endif
#ifdef HAVE_LIBATTR
#include <attr/libattr.h>
#endif
#ifdef HAVE_FCOPYFILE
#include <copyfile.h>
#endif

namespace posix_host {
#ifdef HAVE_XATTR
namespace {

constexpr const char* access_acl = "system.posix_acl_access";

// Room for the largest value the kernel stores (XATTR_SIZE_MAX); pages never
// touched cost nothing.
char value[65536];

// What leaves an attribute out rather than failing: not permitted, not
// supported, an id the namespace cannot map, or gone meanwhile, the
// attribute or the old file itself (FUSE forgets a file replaced by another
// run).
bool is_refusal(int error)
{
	return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == EINVAL ||
	       error == ENODATA || error == ENOENT;
}

// Not security.capability, which the kernel drops from a file written to:
// the new bytes never had it.
bool is_kept(const char* name)
{
#ifdef HAVE_LIBATTR
	return std::strcmp(name, "security.capability") != 0 &&
	       attr_copy_check_permissions(name, nullptr) != 0;
#else
	return std::strncmp(name, "user.", 5) == 0;
#endif
}

// The owning group's permission in an ACL as the kernel stores it: a 4-byte
// header, then 8-byte entries (tag, permission, id; little-endian). Its
// entry, limited by the mask.
mode_t group_permission(const unsigned char* acl, std::size_t size)
{
	constexpr unsigned group_entry = 0x04;
	constexpr unsigned mask_entry = 0x10;
	mode_t group = 0;
	mode_t mask = 07;
	for (std::size_t at = 4; at + 8 <= size; at += 8) {
		const unsigned tag = acl[at] | (static_cast<unsigned>(acl[at + 1]) << 8U);
		if (tag == group_entry)
			group = acl[at + 2] & 07U;
		else if (tag == mask_entry)
			mask = acl[at + 2] & 07U;
	}
	return (group & mask) << 3U;
}

// The old file's ACL. Where it cannot be set (a filesystem without ACLs, a
// user namespace that cannot map an entry's id), the mode alone is left,
// whose group bits are the mask: they become what the owning group may do,
// so that the group never gets what the named entries had.
bool keep_acl(int fd, int source, mode_t& mode)
{
	const ssize_t size = source >= 0 ? fgetxattr(source, access_acl, value, sizeof value)
	                                 : getxattr(fd_path(found_fd).text, access_acl, value, sizeof value);
	if (size < 0)
		return is_refusal(errno);  // none: the mode says it all
	if (fsetxattr(fd, access_acl, value, static_cast<std::size_t>(size), 0) == 0)
		return true;
	if (!is_refusal(errno))
		return false;
	constexpr mode_t group_bits = 070;
	mode = (mode & ~group_bits) |
	       group_permission(reinterpret_cast<unsigned char*>(value), static_cast<std::size_t>(size));
	return true;
}

// The names of source's attributes, however many, as long as the kernel can
// list them: past 64 KiB of names it lists none (E2BIG), and the run fails.
char* list_names(int source, ssize_t& size)
{
	while (size > 0) {
		char* names = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
		if (names == nullptr)
			return nullptr;
		const ssize_t listed = flistxattr(source, names, static_cast<std::size_t>(size));
		if (listed >= 0 || errno != ERANGE) {
			size = listed;
			return names;
		}
		std::free(names);  // more meanwhile
		size = flistxattr(source, nullptr, 0);
	}
	return nullptr;
}

bool copy_attributes(int fd, int source, ssize_t size)
{
	char* const names = list_names(source, size);
	if (size < 0 || (size > 0 && names == nullptr)) {
		std::free(names);
		return size == 0 || is_refusal(errno);
	}
	bool copied = true;
	for (const char* name = names; copied && name < names + size; name += std::strlen(name) + 1) {
		if (std::strcmp(name, access_acl) == 0 || !is_kept(name))
			continue;
		const ssize_t length = fgetxattr(source, name, value, sizeof value);
		copied = length >= 0 ? fsetxattr(fd, name, value, static_cast<std::size_t>(length), 0) == 0 ||
		                           is_refusal(errno)
		                     : is_refusal(errno);
	}
	const int error = errno;
	std::free(names);
	errno = error;
	return copied;
}

}  // namespace

// Before the mode: writing attributes takes the write permission the
// temporary's own mode gives until then. The ACL the temporary inherited
// from its directory goes first, so that it takes no room the old file's
// attributes need, and the old file's ACL last, as it changes the mode.
bool keep_attributes(int fd, int source, mode_t& mode)
{
	ssize_t size = source >= 0 ? flistxattr(source, nullptr, 0) : 0;
	if (size < 0 && !is_refusal(errno))
		return false;
	size = size < 0 ? 0 : size;
	// Most files have none, and then neither has the temporary.
	const bool inherited = flistxattr(fd, nullptr, 0) != 0;
	if (size == 0 && source >= 0 && !inherited)
		return true;
	if (inherited && fremovexattr(fd, access_acl) != 0 && !is_refusal(errno))
		return false;
	return copy_attributes(fd, source, size) && keep_acl(fd, source, mode);
}
#elif defined(HAVE_FCOPYFILE)
// The ACL with them; not COPYFILE_STAT (nor COPYFILE_METADATA, which has
// it): the new bitmap keeps its own times. An ACL here is no mode's mask:
// the mode stands as it is.
bool keep_attributes(int fd, int source, mode_t& /*mode*/)
{
	if (source >= 0)
		(void)fcopyfile(source, fd, nullptr, COPYFILE_ACL | COPYFILE_XATTR);
	return true;
}
#endif

}  // namespace posix_host
