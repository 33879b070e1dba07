// What the files of the Win32 host ask of each other. Each concern keeps its
// process-wide variables to itself, declared at the top of its own file; no
// variable is read across files, so every rule about one (temp_lock's
// included) is kept in the file that owns it.
//
//   arguments.cpp    the names as typed, from the UTF-16 command line
//   errors.cpp       Win32 errors as errno, and errno as glibc words it
//   destination.cpp  where the destfile leads, what is written to
//   temporary.cpp    the temporary, its commit, the console handler
//   rename.cpp       renaming and marking for deletion by handle, and the
//                    turns of runs writing one destfile
//   files.cpp        the other entry points of host.h: opening, sizing,
//                    transfers, memory
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

// errors.cpp: the errno that reads as the same cause on Linux; EIO for an
// error the tool does not expect.
int errno_for(DWORD error);
void set_errno_from(DWORD error);

// arguments.cpp: puts the command line as typed, in the ANSI code page, in
// place of main's arguments.
void take_typed_arguments(int& argc, char**& argv);

// temporary.cpp: removes the temporary on Ctrl+C, Ctrl+Break, a closed
// console, logoff and shutdown, and ends the process.
void watch_console_events();
// The temporary that will replace target, which the destfile name leads to,
// keeping attributes (0: none) and the creation time (zero: none);
// INVALID_HANDLE_VALUE with errno set if it cannot be made. Called at most
// once; until it is, the output is the destfile itself.
HANDLE create_temporary(const char* target, DWORD attributes, FILETIME created);

// rename.cpp: marks file to be deleted as it closes (pending) or not; with
// on_close, a file opened delete-on-close, whose mark only the extended call
// clears.
bool mark_for_deletion(HANDLE file, bool on_close, bool pending);
// Where a rename by handle puts a file: target, whole and in UTF-16.
union rename_info {
	FILE_RENAME_INFO info;
	char bytes[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(WCHAR)];
};
bool set_rename_destination(rename_info& to, const char* target);
// Renames file to where to says, replacing what is there: ERROR_SUCCESS, or
// why not.
DWORD rename_by_handle(HANDLE file, rename_info& to);
// Whether a rename by handle failed because the file system cannot rename
// an open file; wine may report no error at all.
bool cannot_rename_open(DWORD error);

// Runs writing the destfile name take turns at looking at it and renaming
// over it: join_turns once, then take_turn, and end_turn with what it said.
// A turn not had (the system has no named mutex, or one run hangs) is gone
// without.
void join_turns(const char* name);
bool take_turn();
void end_turn(bool taken);

// files.cpp: where the folder part of path ends, after its last separator
// or a drive's colon (the second byte; any other colon starts a stream
// name), stepping over double-byte characters whole.
std::size_t dir_length(const char* path);
// An existing file, directories refused (EISDIR); INVALID_HANDLE_VALUE with
// errno set, and Windows' own last error, if it cannot be opened.
HANDLE open_existing(const char* name, DWORD access, DWORD sharing);
