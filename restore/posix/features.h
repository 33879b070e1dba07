// The optional calls of the POSIX host, each named here once and used behind
// its HAVE_ name, with the portable path beside it in the code.
// DAT2BMP_PORTABLE_POSIX turns them all off, so that the paths other systems
// take are built and tested here too.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef DAT2BMP_PORTABLE_POSIX
#ifdef O_PATH
#define HAVE_O_PATH 1  // a file held without reading or writing it
#endif
#ifdef O_TMPFILE
#define HAVE_O_TMPFILE 1  // an unnamed file, linked in when complete
#endif
// statx, the kernel's call, also where the C library's headers lack it (musl
// before 1.2.5): then the kernel's own struct and constants, and the call
// through syscall(). Never both: the C library's struct clashes with the
// kernel's.
#ifdef STATX_TYPE
#define HAVE_STATX 1
#elif defined(__linux__) && __has_include(<linux/stat.h>)
#include <linux/stat.h>
#include <sys/syscall.h>
#ifdef SYS_statx
#define HAVE_STATX_SYSCALL 1  // no wrapper in the C library
#endif
#endif
#ifdef HAVE_STATX_SYSCALL
#define HAVE_STATX 1
#endif
#if defined(HAVE_STATX) && defined(STATX_ATTR_MOUNT_ROOT) && defined(STATX_ATTR_APPEND)
#define HAVE_STATX_ATTRIBUTES 1  // mount points and append-only directories
#endif
#ifdef __linux__
#define HAVE_PROC_SELF_FD 1  // the process's descriptors, on procfs
#endif
// These read the old destfile, reopened through /proc from its O_PATH
// descriptor.
#if defined(__linux__) && __has_include(<sys/xattr.h>) && defined(HAVE_O_PATH) && defined(HAVE_PROC_SELF_FD)
#define HAVE_XATTR 1  // the ACL and extended attributes, as the kernel stores them
#endif
#if defined(DAT2BMP_LIBATTR) && defined(HAVE_XATTR)
#define HAVE_LIBATTR 1  // /etc/xattr.conf says which attributes to keep (the build links libattr)
#endif
#if defined(HAVE_O_PATH) && defined(HAVE_PROC_SELF_FD) && __has_include(<linux/fs.h>)
// FS_IOC_GETFLAGS and FS_IOC_SETFLAGS; FS_IOC_FSGETXATTR and FS_IOC_FSSETXATTR
// for the project id and the extended flags
#define HAVE_INODE_FLAGS 1
#endif
#ifdef MADV_HUGEPAGE
#define HAVE_MADV_HUGEPAGE 1
#endif
#ifdef O_DIRECT
#define HAVE_O_DIRECT 1  // writes from the buffer straight to the disk
#endif
#ifdef __linux__
#define HAVE_SYNCFS 1  // flushes the filesystem that holds a file
#endif
#endif

// Switches the portable build keeps, as the system it is built for has them.
#ifdef O_SEARCH
#define HAVE_O_SEARCH 1  // a directory held for searching only, where there is no O_PATH
#endif
#if defined(UF_IMMUTABLE) && defined(SF_IMMUTABLE) && defined(UF_APPEND) && defined(SF_APPEND)
#define HAVE_FILE_FLAGS 1  // the BSDs' immutable and append-only flags, in st_flags
#endif
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
#define HAVE_FDATASYNC 1  // a flush of the data without the times
#endif
// macOS: fsync leaves the data in the drive's own cache, F_FULLFSYNC does not.
#ifdef F_FULLFSYNC
#define HAVE_F_FULLFSYNC 1
#endif
// macOS: the system's own copier of a file's ACL and extended attributes.
#if __has_include(<copyfile.h>)
#define HAVE_FCOPYFILE 1
#endif
// The POSIX.1e ACL calls (FreeBSD's C library; on Linux libacl, which the
// portable build links), where nothing above carries the ACL.
#if !defined(HAVE_XATTR) && !defined(HAVE_FCOPYFILE) && __has_include(<sys/acl.h>) && \
    (defined(DAT2BMP_LIBACL) || !defined(__linux__))
#define HAVE_POSIX_ACL 1
#endif
