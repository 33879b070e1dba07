// What the files of the Win32 host ask of each other, one stage of an
// output's life per file, as the POSIX host has them. Each concern keeps its
// process-wide variables to itself, declared at the top of its own file; no
// variable is read across files, so every rule about one (the console
// guard's included) is kept in the file that owns it. No two files call
// each other.
//
//   process.cpp      the process around a run: the console guard set up,
//                    the names as typed, from the UTF-16 command line
//   lookup.cpp       what the destfile's name leads to: the one resolved
//                    name, the look at it, and the turns of runs writing it
//   destination.cpp  host_create_output: the route the bitmap takes
//   temporary.cpp    the temporary's whole life: creation, the console
//                    guard, the commit (flush, metadata, rename), removal
//   metadata.cpp     what a replace keeps of the old destfile
//   transfer.cpp     opening the inputs, sizing, whole reads and writes
//   memory.cpp       the data buffer
//   errors.cpp       Win32 errors as errno, and errno as glibc words it
#pragma once

#include <cstddef>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "restore/host.h"

inline HANDLE handle_of(host_file file)
{
	return reinterpret_cast<HANDLE>(file);
}

inline host_file file_of(HANDLE handle)
{
	return reinterpret_cast<host_file>(handle);
}

// The longest path Win32 takes in the \\?\ form, in UTF-16 units.
inline constexpr DWORD max_path_length = 32768;

// errors.cpp: the errno that reads as the same cause on Linux; EIO for an
// error the tool does not expect.
int errno_for(DWORD error);
void set_errno_from(DWORD error);

// lookup.cpp: the destfile name resolved to the one name every later step
// acts on; nullptr with errno set if it cannot be (a stream: EINVAL). Called
// once. The name stays lookup.cpp's, and the look makes it the final path of
// the file found.
const WCHAR* resolve_destfile(const char* name);
// Joins the turns of the runs writing the file the resolved name leads to;
// true if that is another file's turn than the one joined before. Where the
// file's folder or a named mutex cannot be had, no turns are taken.
bool join_turns();
// Waits for the turn, as long as its holder lives; false with errno EBUSY
// if one holder keeps it too long. end_turn keeps the last error.
bool take_turn();
void end_turn();
// What the resolved name leads to, by a handle that reads nothing, writes
// nothing and shares everything, closed before it returns: a device, opened
// for writing into device; a file that may be replaced, its information in
// old; a missing file; or refused, with errno set.
enum class destfile_kind { refused, missing, device, file };
destfile_kind look_at_destfile(host_file source, HANDLE& device, BY_HANDLE_FILE_INFORMATION& old);

// metadata.cpp: what the new destfile gets in place of old (nullptr: a new
// destfile): its attributes, and its creation time (zero: left as it is).
struct replace_keeps {
	DWORD attributes;
	LARGE_INTEGER created;
};
replace_keeps what_replace_keeps(const BY_HANDLE_FILE_INFORMATION* old);

// temporary.cpp: from here on, Ctrl+C, Ctrl+Break, a closed console, logoff
// and shutdown remove the temporary and end the process.
void catch_console_events();
// The temporary that will replace target, the resolved destfile, and get
// keeps; INVALID_HANDLE_VALUE with errno set if it cannot be made. Called
// at most once; until it is, the output is the destfile itself.
HANDLE create_temporary(const WCHAR* target, replace_keeps keeps);

// transfer.cpp: where the folder part of path ends, after its last
// separator or a drive's colon (the second byte; any other colon starts a
// stream name), stepping over double-byte characters whole.
std::size_t dir_length(const char* path);
// An existing file, directories refused (EISDIR); INVALID_HANDLE_VALUE with
// errno set, and Windows' own last error, if it cannot be opened.
HANDLE open_existing(const char* name, DWORD access, DWORD sharing);
