// The optional calls of the POSIX host, each named here once and used behind
// its HAVE_ name, with the portable path beside it in the code.
// DAT2BMP_PORTABLE_POSIX turns them all off, so that the paths other systems
// take are built and tested here too.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#ifndef DAT2BMP_PORTABLE_POSIX
#ifdef O_PATH
#define HAVE_O_PATH 1  // a file held without reading or writing it
#endif
#ifdef O_TMPFILE
#define HAVE_O_TMPFILE 1  // an unnamed file, linked in when complete
#endif
#if defined(STATX_ATTR_MOUNT_ROOT) && defined(STATX_ATTR_APPEND)
#define HAVE_STATX_ATTRIBUTES 1  // mount points and append-only directories
#endif
#ifdef __linux__
#define HAVE_PROC_SELF_FD 1  // the process's descriptors, on procfs
#endif
#ifdef MADV_HUGEPAGE
#define HAVE_MADV_HUGEPAGE 1
#endif
#ifdef O_DIRECT
#define HAVE_O_DIRECT 1  // writes from the buffer straight to the disk
#endif
#endif
