// What the files of the Win32 host ask of each other. Each concern keeps its
// process-wide variables to itself, declared at the top of its own file; no
// variable is read across files, so every rule about one (temp_lock's
// included) is kept in the file that owns it.
//
//   arguments.cpp  the names as typed, from the UTF-16 command line
//   errors.cpp     Win32 errors as errno, and errno as glibc words it
//   temporary.cpp  the temporary, its commit, the console handler
//   files.cpp      the other entry points of host.h: opening, sizing,
//                  transfers, memory
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
// keeping attributes (0: none); INVALID_HANDLE_VALUE with errno set if it
// cannot be made. Called at most once; until it is, the output is the
// destfile itself.
HANDLE create_temp(const char* target, DWORD attributes);

// files.cpp: where the folder part of path ends, after its last separator
// or drive colon, stepping over double-byte characters whole.
std::size_t dir_length(const char* path);
