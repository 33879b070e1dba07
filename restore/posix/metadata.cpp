// What an old destfile carries over to the temporary that replaces it, so that the replaced file looks as
// one written in place would: the table `keeps` says what, how, which errors leave what out and what narrows
// then, so that the new file never grants anyone more than the old one did. Any other error fails the run,
// the old destfile untouched. Owns kept_mode, the mode given. Reads the old file through found_fd
// (lookup.cpp) and opened again at dir_fd/leaf. destination.cpp calls keep_metadata on a fresh private
// temporary, temporary.cpp on one already written when an old file took the name meanwhile.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

#ifdef HAVE_XATTR
#include <sys/xattr.h>
#endif
#ifdef HAVE_LIBATTR
#include <attr/libattr.h>
#endif
#ifdef HAVE_INODE_FLAGS
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#ifdef HAVE_FCOPYFILE
#include <copyfile.h>
#endif
#ifdef HAVE_POSIX_ACL
#include <sys/acl.h>
#endif

namespace posix_host {
namespace {

enum class kept { reading, owner, group, mode, acl, attributes, flags };

struct keeping {
	kept what;
	std::array<int, 7> excused;  // the errors that leave it out; 0 ends the list
};

// What a replace keeps, in kept's order: how it is read and set, which errors leave it out, what narrows.
constexpr std::array<keeping, 7> keeps{{
    // The old file opened for reading (attributes, flags; the portable build's ACL): by name, else through
    // found_fd. Left out where the process may not read it, another holds a lease on it (not waited for),
    // or it is gone (FUSE forgets a file another run replaced): attributes are then read through found_fd,
    // flags not at all, and an ACL not known leaves group and other nothing.
    {kept::reading, {EACCES, EPERM, EWOULDBLOCK, ENOENT}},
    // fstat of the temporary; fchown. Not permitted, an id the user namespace cannot map, a filesystem
    // without owners. Left out: the set-user-ID bit.
    {kept::owner, {EPERM, EINVAL, ENOTSUP, EOPNOTSUPP, ENOSYS}},
    // fchown of the group alone, where the owner is left out. Left out: set-group-ID; the group bits, or
    // the ACL's group:: entry, narrowed to what other had, as the new file's group is another one.
    {kept::group, {EPERM, EINVAL, ENOTSUP, EOPNOTSUPP, ENOSYS}},
    // fchmod, last, and again after the bitmap is written, which clears set-ID bits. A filesystem that
    // keeps no modes: the temporary's own private mode stays.
    {kept::mode, {EPERM, ENOTSUP, EOPNOTSUPP, ENOSYS}},
    // system.posix_acl_access read, listed or not, set as stored after the attributes (it may deny the
    // owner the write they take); the inherited one removed first. None: ENODATA, or unsupported and not
    // listed. Left out: the mode then gives no one more than any entry did; an ACL listed but unreadable,
    // or an inherited one that stays, leaves group (and other) nothing.
    {kept::acl, {EPERM, EINVAL, ENOTSUP, EOPNOTSUPP, ENOENT}},
    // Listed, each read and set as stored: those /etc/xattr.conf keeps (libattr), else user.*. Left out
    // one by one; gone meanwhile too (FUSE forgets a file another run replaced).
    {kept::attributes, {EACCES, EPERM, ENOTSUP, EOPNOTSUPP, EINVAL, ENODATA, ENOENT}},
    // Inode flags: FS_IOC_GETFLAGS, FS_IOC_SETFLAGS bit by bit where the whole set is refused; project id
    // and XFS's extended flags: FS_IOC_FSGETXATTR, FS_IOC_FSSETXATTR, else the project id alone. Left out:
    // not permitted, not taken by the filesystem (ENOTTY, EINVAL) or by an emulator (ENOSYS, qemu-user).
    {kept::flags, {EPERM, ENOTTY, ENOTSUP, EOPNOTSUPP, EINVAL, ENOSYS}},
}};

constexpr bool is_excused(kept what, int error)
{
	const keeping& row = keeps.at(static_cast<std::size_t>(what));
	return row.what == what && error != 0 &&
	       std::find(row.excused.begin(), row.excused.end(), error) != row.excused.end();
}

// Not supported: ENOTSUP, which some systems spell EOPNOTSUPP.
[[maybe_unused]] constexpr bool is_unsupported(int error)
{
	constexpr std::array<int, 2> unsupported{ENOTSUP, EOPNOTSUPP};
	return std::find(unsupported.begin(), unsupported.end(), error) != unsupported.end();
}

mode_t kept_mode = 0;  // set-ID bits that a write may clear: given again by keep_set_id_bits

enum : mode_t { group_bits = 070, others_bits = 077 };

// The owner first: giving a file away clears its set-ID bits. Where the owner may not be given, the group
// still may be. Some filesystems report success and change nothing: what counts is what is there now.
bool keep_owner(int fd, const struct stat& old, struct stat& now)
{
	if (fstat(fd, &now) != 0)
		return false;
	if (now.st_uid == old.st_uid && now.st_gid == old.st_gid)
		return true;
	if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
	    (!is_excused(kept::owner, errno) ||
	     (fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && !is_excused(kept::group, errno))))
		return false;
	return fstat(fd, &now) == 0;
}

#ifdef HAVE_XATTR
constexpr const char* access_acl = "system.posix_acl_access";

// Room for the largest value the kernel stores (XATTR_SIZE_MAX); pages never touched cost nothing.
char value[65536];

// Not security.capability, which the kernel drops from a file written to: the new bytes never had it.
bool is_kept(const char* name)
{
#ifdef HAVE_LIBATTR
	return std::strcmp(name, "security.capability") != 0 &&
	       attr_copy_check_permissions(name, nullptr) != 0;
#else
	return std::strncmp(name, "user.", 5) == 0;
#endif
}

// An ACL as the kernel stores it: a 4-byte header, then 8-byte entries (tag, permission, id; little-endian).
// What it grants the owning group, other, the mask, and the least any named entry grants.
struct grants {
	mode_t group = 0, other = 0, mask = 07, named = 07;
};

grants read_acl(unsigned char* acl, std::size_t size, bool narrow)
{
	enum : unsigned { named = 0x02 | 0x08, group_entry = 0x04, mask_entry = 0x10, other_entry = 0x20 };
	grants found;
	for (std::size_t at = 4; at + 8 <= size; at += 8) {
		const unsigned tag = acl[at] | (static_cast<unsigned>(acl[at + 1]) << 8U);
		const mode_t permission = acl[at + 2] & 07U;
		found.group = tag == group_entry ? permission : found.group;
		found.other = tag == other_entry ? permission : found.other;
		found.mask = tag == mask_entry ? permission : found.mask;
		found.named &= (tag & named) != 0 ? permission : 07;
	}
	// The group:: entry no wider than other's.
	for (std::size_t at = 4; narrow && at + 8 <= size; at += 8) {
		if (acl[at] == group_entry && acl[at + 1] == 0)
			acl[at + 2] = static_cast<unsigned char>(found.group & found.other);
	}
	return found;
}

// The names of the old file's attributes, however many, as long as the kernel can list them: past 64 KiB
// of names it lists none (E2BIG). Through found where the old file could not be opened.
char* list_names(int source, const fd_path& found, ssize_t& size)
{
	for (char* names = nullptr;; std::free(names)) {  // more meanwhile, if ERANGE
		size = source >= 0 ? flistxattr(source, nullptr, 0) : listxattr(found.text, nullptr, 0);
		names = size > 0 ? static_cast<char*>(std::malloc(static_cast<std::size_t>(size))) : nullptr;
		if (names == nullptr)
			return nullptr;
		size = source >= 0 ? flistxattr(source, names, static_cast<std::size_t>(size))
		                   : listxattr(found.text, names, static_cast<std::size_t>(size));
		if (size >= 0 || errno != ERANGE)
			return names;
	}
}

// The attributes but the ACL, each read and set; listed says whether the ACL is among them.
bool copy_attributes(int fd, int source, bool& listed)
{
	const fd_path found(found_fd);
	ssize_t size = 0;
	char* const names = list_names(source, found, size);
	if (size < 0 || (size > 0 && names == nullptr)) {
		std::free(names);
		return size == 0 || is_excused(kept::attributes, errno);
	}
	bool copied = true;
	for (const char* name = names; copied && name < names + size; name += std::strlen(name) + 1) {
		listed = listed || std::strcmp(name, access_acl) == 0;
		if (std::strcmp(name, access_acl) == 0 || !is_kept(name))
			continue;
		const ssize_t length = source >= 0 ? fgetxattr(source, name, value, sizeof value)
		                                   : getxattr(found.text, name, value, sizeof value);
		copied =
		    (length >= 0 && fsetxattr(fd, name, value, static_cast<std::size_t>(length), 0) == 0) ||
		    is_excused(kept::attributes, errno);
	}
	const int error = errno;
	std::free(names);
	errno = error;
	return copied;
}

// The ACL the temporary inherited goes first, so that it takes no room the old file's attributes need; the
// old file's ACL last.
bool keep_acl(int fd, int source, bool group_kept, mode_t& mode, bool& acl_set)
{
	const bool removed = fremovexattr(fd, access_acl) == 0 || errno == ENODATA || is_unsupported(errno);
	if (!removed && !is_excused(kept::acl, errno))
		return false;
	bool listed = false;
	if (!copy_attributes(fd, source, listed))
		return false;
	const ssize_t size = source >= 0 ? fgetxattr(source, access_acl, value, sizeof value)
	                                 : getxattr(fd_path(found_fd).text, access_acl, value, sizeof value);
	if (size < 0) {
		const bool none = errno == ENODATA || (!listed && is_unsupported(errno));
		if (!none && !is_excused(kept::acl, errno))
			return false;
		// An inherited ACL's entries are within the mask, which is the group bits.
		mode &= none ? (removed ? ~mode_t{0} : ~group_bits) : ~others_bits;
		return true;
	}
	auto* const acl = reinterpret_cast<unsigned char*>(value);
	const grants old = read_acl(acl, static_cast<std::size_t>(size), !group_kept);
	acl_set = fsetxattr(fd, access_acl, value, static_cast<std::size_t>(size), 0) == 0;
	if (acl_set || !is_excused(kept::acl, errno))
		return acl_set;
	// The mode alone, whose group bits are the mask: what no entry exceeds.
	const mode_t named = old.named & old.mask;
	mode = (mode & ~others_bits) | ((old.group & old.mask & named) << 3U) | (old.other & named);
	mode &= removed ? ~mode_t{0} : ~group_bits;
	return true;
}
#elif defined(HAVE_FCOPYFILE)
// The ACL with the attributes; not COPYFILE_STAT (nor COPYFILE_METADATA, which has it): the new bitmap
// keeps its own times. An ACL here is no mode's mask: the mode stands as it is.
bool keep_acl(int fd, int source, bool /*group_kept*/, mode_t& /*mode*/, bool& /*acl_set*/)
{
	if (source >= 0)
		(void)fcopyfile(source, fd, nullptr, COPYFILE_ACL | COPYFILE_XATTR);
	return true;
}
#elif defined(HAVE_POSIX_ACL)
// The old file's ACL, which also replaces the one the temporary inherited (a minimal one is the mode
// alone). Where the group is not kept, its entry gives nothing. Where the ACL cannot be read or set, group
// and other get nothing: an inherited entry is within the mask, which is the group bits.
bool keep_acl(int fd, int source, bool group_kept, mode_t& mode, bool& acl_set)
{
	acl_t acl = source >= 0 ? acl_get_fd(source) : nullptr;
	if (acl == nullptr && source >= 0 && is_unsupported(errno))
		return true;  // a filesystem without ACLs: none inherited either
	bool extended = false;
	acl_entry_t entry = nullptr;
	for (int which = ACL_FIRST_ENTRY; acl != nullptr && acl_get_entry(acl, which, &entry) == 1;
	     which = ACL_NEXT_ENTRY) {
		acl_tag_t tag = ACL_UNDEFINED_TAG;
		acl_permset_t permissions = nullptr;
		extended = extended || (acl_get_tag_type(entry, &tag) == 0 && tag == ACL_MASK);
		if (!group_kept && tag == ACL_GROUP_OBJ && acl_get_permset(entry, &permissions) == 0)
			(void)(acl_clear_perms(permissions) == 0 && acl_set_permset(entry, permissions) == 0);
	}
	const bool set = acl != nullptr && acl_set_fd(fd, acl) == 0;
	const int error = errno;
	if (acl != nullptr)
		acl_free(acl);
	errno = error;
	if (!set && source >= 0 && !is_excused(kept::acl, error))
		return false;
	acl_set = set && extended;
	// A minimal ACL a filesystem without ACLs refuses: the mode says it all.
	mode &= set || (!extended && source >= 0 && is_unsupported(error)) ? ~mode_t{0} : ~others_bits;
	return true;
}
#else
constexpr auto keep_acl = [](int /*fd*/, int /*source*/, bool /*group_kept*/, mode_t& /*mode*/,
                             bool& /*set*/) { return true; };
#endif

#ifdef HAVE_INODE_FLAGS
// The request as the C library's ioctl takes it: an unsigned long on glibc, an int on musl.
template <typename Request>
int call_with(int (*control)(int, Request, ...), int fd, unsigned long request, void* argument)
{
	return control(fd, static_cast<Request>(request), argument);
}

int inode_flags(int fd, unsigned long request, void* argument)
{
	return call_with(ioctl, fd, request, argument);
}

// FS_IOC_SETFLAGS takes every bit or none: one the filesystem does not take fails the call (EOPNOTSUPP),
// one the process may not set too (EPERM). So where the whole set fails, each bit is tried on its own.
// Never immutable or append-only: the temporary could not be linked. The temporary's own flags, those of
// its directory, are read only then: most old files have none.
bool set_flags(int fd, unsigned wanted)
{
	unsigned now = 0;
	if (wanted == 0 || inode_flags(fd, FS_IOC_SETFLAGS, &wanted) == 0)
		return true;
	if (!is_excused(kept::flags, errno) || inode_flags(fd, FS_IOC_GETFLAGS, &now) != 0)
		return is_excused(kept::flags, errno);
	for (unsigned bit = 1; bit != 0; bit <<= 1U) {
		unsigned next = now ^ bit;
		if (((wanted ^ now) & bit) == 0)
			continue;
		if (inode_flags(fd, FS_IOC_SETFLAGS, &next) == 0)
			now = next;
		else if (!is_excused(kept::flags, errno))
			return false;
	}
	return true;
}

// The project id, and the flags only FS_IOC_FSSETXATTR sets (XFS's real-time and extent size hints), where
// the old file has them; where the filesystem takes not all of them for this file, the project id alone.
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
		return is_excused(kept::flags, errno);
	struct fsxattr wanted = now;
	wanted.fsx_xflags |= extended;
	wanted.fsx_extsize = old.fsx_extsize;
	wanted.fsx_cowextsize = old.fsx_cowextsize;
	wanted.fsx_projid = now.fsx_projid = old.fsx_projid;
	if (inode_flags(fd, FS_IOC_FSSETXATTR, &wanted) == 0)
		return true;
	return is_excused(kept::flags, errno) &&
	       (inode_flags(fd, FS_IOC_FSSETXATTR, &now) == 0 || is_excused(kept::flags, errno));
}

bool keep_flags(int fd, int source)
{
	constexpr unsigned never = FS_IMMUTABLE_FL | FS_APPEND_FL;
	unsigned wanted = 0;
	struct fsxattr project {};
	if (source < 0)
		return true;
	if ((inode_flags(source, FS_IOC_GETFLAGS, &wanted) != 0 && !is_excused(kept::flags, errno)) ||
	    (inode_flags(source, FS_IOC_FSGETXATTR, &project) != 0 && !is_excused(kept::flags, errno)))
		return false;
	return set_flags(fd, wanted & ~never) && set_project(fd, project);
}
#else
constexpr auto keep_flags = [](int /*fd*/, int /*source*/) { return true; };
#endif

#if defined(HAVE_XATTR) || defined(HAVE_INODE_FLAGS) || defined(HAVE_FCOPYFILE) || defined(HAVE_POSIX_ACL)
// Attributes and flags cannot be read through O_PATH: the old file again, by name where it still leads to
// it (a first use of /proc costs a run more than all the rest of this), else through found_fd. O_NONBLOCK:
// a lease on it is not waited for.
bool open_old_file(const struct stat& old, int& source)
{
	constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
	source = openat(dir_fd, leaf, flags | O_NOFOLLOW);
	struct stat st {};
	if (source >= 0 && (fstat(source, &st) != 0 || !is_same_file(st, old)))
		close_kept(source);
	else if (source >= 0 || errno != ENOENT)
		return source >= 0 || is_excused(kept::reading, errno);
#ifdef HAVE_PROC_SELF_FD
	if (found_fd >= 0)
		source = open(fd_path(found_fd).text, flags);
#endif
	return source >= 0 || found_fd < 0 || is_excused(kept::reading, errno);
}
#else
constexpr auto open_old_file = [](const struct stat& /*old*/, int& /*source*/) { return true; };
#endif

}  // namespace

bool keep_metadata(int fd, const struct stat& old)
{
	struct stat now {};
	int source = -1;
	if (!keep_owner(fd, old, now) || !open_old_file(old, source))
		return false;
	const bool group_kept = now.st_gid == old.st_gid;
	mode_t mode = old.st_mode & 07777;
	mode &= ~static_cast<mode_t>((now.st_uid == old.st_uid ? 0 : S_ISUID) | (group_kept ? 0 : S_ISGID));
	bool acl_set = false;
	const bool kept = keep_acl(fd, source, group_kept, mode, acl_set) && keep_flags(fd, source);
	close_kept(source);
	if (!kept)
		return false;
	// The group's bits no wider than other's; under an ACL they are the mask, which named entries need.
	mode = group_kept || acl_set ? mode : (mode & ~group_bits) | (mode & (mode << 3U) & group_bits);
	// The last word: after the ACL, which gives the mode its own way.
	kept_mode = mode;
	return fchmod(fd, mode) == 0 || is_excused(kept::mode, errno);
}

bool keep_set_id_bits(int fd)
{
	return (kept_mode & (S_ISUID | S_ISGID)) == 0 || fchmod(fd, kept_mode) == 0 ||
	       is_excused(kept::mode, errno);
}

}  // namespace posix_host
