// What the POSIX host's files share. Each variable has one owner, the only
// file that assigns it; the others read it under the rule written beside it.
// Helpers in other files return what they find, and the owner records it.
//
// The life of an output, file by file:
//   destination.cpp        the destfile's name -> what it leads to -> a route;
//                          asks directory_entry.cpp where the file is listed,
//                          and caller_descriptor.cpp whether it is the
//                          caller's; route.cpp decides
//   temporary.cpp          a temporary in that directory, which metadata.cpp
//                          dresses as the old file;
//                          signals.cpp guards a named one
//   transfer.cpp           the bitmap written into it (memory.cpp's buffer)
//   commit.cpp             flushed, linked or renamed onto the leaf, or discarded
#pragma once

#include <cerrno>
#include <climits>
#include <csignal>
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

// How the bitmap reaches the destfile.
enum class output_route {
	in_place,     // the file the kernel found (device, FIFO, unlinked file), written as it is
	caller,       // one of the caller's descriptors, written at its position
	unnamed_new,  // O_TMPFILE, linked under the leaf
	unnamed_old,  // O_TMPFILE, linked under a temporary name, renamed over the old file
	named,        // a named temporary, renamed onto the leaf
};

// Whether the route writes a temporary of this tool's own making, whose open
// file nobody else shares: only such a file may have its status flags
// changed (O_DIRECT). Every route is listed, so that a new one is decided here.
constexpr bool is_own_temporary(output_route how)
{
	switch (how) {
	case output_route::in_place:
	case output_route::caller:
		return false;
	case output_route::unnamed_new:
	case output_route::unnamed_old:
	case output_route::named:
		return true;
	}
	return false;
}

// What a destfile name leads to now.
enum class finding {
	refused,      // errno says why
	new_name,     // nothing yet: dir_fd and leaf are where it goes
	old_file,     // a regular file that may be replaced, at dir_fd and leaf
	caller_file,  // one of the caller's descriptors
	other_file,   // a device, FIFO or unlinked file
};

// Where directory_entry.cpp found a file's name to lead.
enum class location {
	listed,  // to the file's own entry in a directory
	caller,  // through one of the caller's descriptors
	moved,   // to another file, or to none: the name changed meanwhile (EAGAIN)
	failed,  // nowhere the run may look; errno says why
};

// A directory held open, and a name in it, as directory_entry.cpp finds them.
struct directory_entry {
	int dir = -1;           // -1: none held
	bool readable = false;  // else held with O_PATH or O_SEARCH: no fsync of it
	char leaf[PATH_MAX] = "";
	int caller = -1;  // the caller's descriptor the name leads through, or -1
};

// Owned by destination.cpp, set while the output is created and when a name
// appears mid-run (commit.cpp asks for that, with no named temporary, so
// dir_fd changes only while temp_exists is clear); read by the files that
// run after: temporary.cpp, metadata.cpp, transfer.cpp, commit.cpp and the
// signal handler.
extern output_route route;
extern int dir_fd;           // the destfile's directory; -1 when none is held
extern bool dir_readable;    // see directory_entry::readable
extern char leaf[PATH_MAX];  // the destfile's name in dir_fd
// What the kernel found for the destfile's name, and with O_PATH (else -1)
// the file itself, held until the output is committed or discarded.
extern struct stat found_status;
extern int found_fd;

// Owned by temporary.cpp. The signal handler (signals.cpp) removes the named
// temporary dir_fd/temp_name when temp_exists is set, so: temp_exists
// changes only while every signal is held, and dir_fd and temp_name change
// only while it is clear.
extern char temp_name[16];
extern volatile std::sig_atomic_t temp_exists;

// destination.cpp
void drop_destination();              // closes what is held of it; keeps errno
bool reconsider_destination(int fd);  // the name taken meanwhile: decide again for fd

// route.cpp: the decisions, from the files' status alone.
bool may_be_destination(const struct stat& found, const struct stat& source);  // else errno
finding judge_location(const struct stat& found, location where);
output_route route_for(finding what, bool named_temporary);

// directory_entry.cpp
bool open_directory(const char* path, directory_entry& entry);  // the directory and leaf of path
location locate_entry(const char* name, const struct stat& found, directory_entry& entry);
bool may_replace_entry(int dir, const char* name);

// process.cpp: whether fd is a standard descriptor the caller had closed,
// which the process filled with /dev/null for itself.
bool is_filled_stream(int fd);

// caller_descriptor.cpp
int own_descriptor(int dir, const char* name);  // the descriptor number dir/name names, or -1
int open_caller_descriptor(int fd, const struct stat& found);

// temporary.cpp; name_unnamed, rename_temporary and remove_temporary with
// every signal held.
int create_temporary(bool private_mode);  // in dir_fd; -1 with errno
bool link_as_destfile(int fd);            // the unnamed temporary fd as leaf in dir_fd
bool name_unnamed(int fd);                // the unnamed temporary fd under a fresh temp_name
bool rename_temporary();                  // temp_name onto leaf, or removed
void remove_temporary();                  // keeps errno

// metadata.cpp: gives the temporary fd what the old file had, as its table
// of what a replace keeps says; false, with errno, on any error that table
// does not excuse.
bool keep_metadata(int fd, const struct stat& old);
// After the bitmap is written: a write by a process without CAP_FSETID
// clears the set-ID bits keep_metadata gave.
bool keep_set_id_bits(int fd);

// signals.cpp
void catch_fatal_signals();  // from here on, a death removes the named temporary
void hold_signals();         // every signal, until release_signals
void release_signals();      // the caller's mask again; keeps errno

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
