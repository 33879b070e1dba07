// What the POSIX host's files share. Each variable has one owner, the only
// file that assigns it; the others read it under the rule written beside it.
// Helpers in other files return what they find, and the owner records it;
// no two files call each other.
//
// The life of an output, file by file:
//   process.cpp      the process around a run: standard streams, arguments,
//                    reports
//   destination.cpp  host_create_output: the route the bitmap takes, from
//                    what lookup.cpp finds the destfile's name leads to
//   lookup.cpp       what the name leads to, by what the kernel opens: an
//                    entry in a directory, or one of the caller's descriptors
//   temporary.cpp    the temporary's whole life: created in that directory,
//                    guarded against signals, linked or renamed onto the
//                    leaf with the commit's flushes, or removed
//   metadata.cpp     what a replace keeps of the old file: owner, mode,
//                    ACL, extended attributes, inode flags
//   transfer.cpp     the inputs, sizing, the bitmap written (memory.cpp's
//                    data buffer)
#pragma once

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "features.h"
#include "restore/host.h"

namespace posix_host {

constexpr int max_lookups = 100;  // of a destfile name that keeps changing

// memory.cpp aligns every data buffer of this size or more to it (2 MiB, a
// huge page); transfer.cpp writes such a buffer's whole blocks directly to
// the disk, which takes only aligned addresses.
constexpr std::size_t huge_page = std::size_t{2} << 20;

// What a destfile name leads to, and so how the bitmap reaches it.
enum class finding {
	refused,      // nothing the run may write; errno says why
	new_name,     // nothing yet: a temporary in dir_fd, linked or renamed as leaf
	old_file,     // a regular file listed at dir_fd/leaf: a temporary renamed over it
	caller_file,  // one of the caller's descriptors, written at its position
	other_file,   // a device, FIFO or file no directory holds, written as it is
};

// Whether the output is a temporary of this tool's own making, whose open
// file nobody else shares: only such a file may have its status flags
// changed (O_DIRECT). Every finding is listed, so that a new one is decided
// here.
constexpr bool is_own_temporary(finding what)
{
	switch (what) {
	case finding::new_name:
	case finding::old_file:
		return true;
	case finding::refused:
	case finding::caller_file:
	case finding::other_file:
		return false;
	}
	return false;
}

// Owned by destination.cpp: what the output is written for, set when it is
// opened; read by transfer.cpp and temporary.cpp.
extern finding destination;

// Owned by lookup.cpp, set at each look at the destfile's name: by
// destination.cpp, and by the commit when another program took a new name
// meanwhile (only with an unnamed temporary, so dir_fd changes only while
// temporary.cpp's signal handler has no named one to remove). Read by
// destination.cpp, temporary.cpp and metadata.cpp.
extern int dir_fd;           // the destfile's directory; -1 when none is held
extern bool dir_readable;    // else held with O_PATH or O_SEARCH: no fsync of it
extern char leaf[PATH_MAX];  // the destfile's name in dir_fd
// What the kernel found for the destfile's name, and with O_PATH (else -1)
// the file itself, held until the output is committed or discarded.
extern struct stat found_status;
extern int found_fd;

// lookup.cpp
finding look_up(const char* name, const struct stat& source);  // records both for look_again
finding look_again();                                          // the same name, as it is now
int open_caller_descriptor();  // the caller's descriptor it found, duplicated; -1 with errno
void drop_lookup();            // closes what it holds; keeps errno

// process.cpp: whether fd is a standard descriptor the caller had closed,
// which the process filled with /dev/null for itself.
bool is_filled_stream(int fd);

// temporary.cpp: a temporary in dir_fd, private until the old file's
// metadata is given to it; -1 with errno. The commit and the discard are
// host_commit_output and host_discard_output.
int create_temporary(bool private_mode);

// metadata.cpp: gives the temporary fd what the old file had, as its table
// of what a replace keeps says; false, with errno, on any error that table
// does not excuse.
bool keep_metadata(int fd, const struct stat& old);
// After the bitmap is written: a write by a process without CAP_FSETID
// clears the set-ID bits keep_metadata gave.
bool keep_set_id_bits(int fd);

// Closes a descriptor this host keeps, if it holds one, and marks it closed.
// Keeps errno: it runs on the way out of failures.
inline void close_kept(int& fd)
{
	const int error = errno;
	if (fd >= 0)
		close(fd);
	fd = -1;
	errno = error;
}

inline bool is_same_file(const struct stat& a, const struct stat& b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#if defined(HAVE_O_PATH) || defined(HAVE_O_TMPFILE)
// The name under which /proc opens the file behind descriptor fd.
struct fd_path {
	char text[32];
	explicit fd_path(int fd)
	{
		(void)std::snprintf(text, sizeof text, "/proc/self/fd/%d", fd);
	}
};
#endif

}  // namespace posix_host
