// What the POSIX host's files share. Each variable has one owner, the file
// that writes it; the others only read it, under the rule written beside it.
//
// The life of an output, file by file:
//   destination.cpp  the name -> the found file, its directory and leaf -> a route
//   temporary.cpp    a temporary in that directory (metadata.cpp dresses it
//                    as the old file); signals.cpp guards a named one
//   transfer.cpp     the bitmap written into it (memory.cpp's buffer)
//   commit.cpp       flushed, linked or renamed onto the leaf, or discarded
#pragma once

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

constexpr int max_tries = 100;  // of a random name, or of a name that keeps changing

// memory.cpp aligns every data buffer of this size or more to it (2 MiB, a
// huge page); transfer.cpp writes such a buffer's whole blocks directly to
// the disk, which takes only aligned addresses.
constexpr std::size_t huge_page = std::size_t{2} << 20;

// How the bitmap reaches the destfile.
enum class output_route {
	direct,       // the file the kernel found, written in place
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
	case output_route::direct:
	case output_route::caller:
		return false;
	case output_route::unnamed_new:
	case output_route::unnamed_old:
	case output_route::named:
		return true;
	}
	return false;
}

// Owned by destination.cpp, set while the output is created; read by
// transfer.cpp and commit.cpp, which run only after that.
extern output_route route;
extern int dir_fd;           // the destfile's directory; -1 when none is held
extern bool dir_readable;    // else held with O_PATH (or O_SEARCH): no fsync of it
extern char leaf[PATH_MAX];  // the destfile's name in dir_fd
// What the kernel found for the destfile's name, and with O_PATH (else -1)
// the file itself, held until the output is committed or discarded.
extern struct stat found;
extern int found_fd;

// Owned by caller.cpp, set by locate_entry: the caller's descriptor that the
// destfile's name leads through, or -1.
extern int caller_fd;

// Owned by transfer.cpp: the identity of the input opened last, which is
// the sourcefile when the output is created.
extern struct stat input_id;

// Owned by temporary.cpp. The signal handler (signals.cpp) removes the named
// temporary dir_fd/temp_name when temp_exists is set, so: temp_exists
// changes only while every signal is held, and dir_fd and temp_name change
// only while it is clear.
extern char temp_name[16];
extern volatile std::sig_atomic_t temp_exists;

// destination.cpp
void drop_destination();              // closes what is held of it; keeps errno
bool reconsider_destination(int fd);  // the name taken meanwhile: choose again for fd

// entry.cpp
bool open_directory(const char* path);  // dir_fd and leaf of path
bool locate_entry(const char* name);    // the entry of found, or caller_fd
bool may_replace_entry();               // the entry at dir_fd and leaf

// process.cpp: whether fd is a standard descriptor the caller had closed,
// which the process filled with /dev/null for itself.
bool is_filled_stream(int fd);

// caller.cpp
bool is_own_descriptor(int dir, const char* entry);  // sets caller_fd
int open_caller_descriptor(const struct stat& found_file);

// temporary.cpp
int create_temporary(const struct stat* old);  // in dir_fd; -1 with errno
void name_temporary();                         // a fresh temp_name
void remove_temporary();                       // with signals held; keeps errno

// metadata.cpp: gives the temporary fd what the old file had; false, with
// errno, where what it had could not be read or set for another reason than
// the process's rights or the filesystem's lack.
bool keep_metadata(int fd, const struct stat& old);
// After the bitmap is written: a write by a process without CAP_FSETID
// clears the set-ID bits keep_metadata gave.
bool keep_set_id_bits(int fd);

// attributes.cpp: the ACL and extended attributes of the old file, read
// through source (or found_fd where it is -1), with mode's group bits
// narrowed where the ACL cannot be set.
bool keep_attributes(int fd, int source, mode_t& mode);

// signals.cpp
void catch_fatal_signals();  // from here on, a death removes the named temporary
void hold_signals();         // every signal, until release_signals
void release_signals();      // the caller's mask again; keeps errno

// Closes a descriptor this host keeps, if it holds one, and marks it closed.
inline void close_kept(int& fd)
{
	if (fd >= 0)
		close(fd);
	fd = -1;
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
