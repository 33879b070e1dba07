// The host's files, behind the few operations a conversion needs. One
// implementation per host, a folder each: posix/, win32/.
//
// A call that fails returns no_file, false, -1 or a short count, with errno
// set to the cause, so that the caller can report it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

using host_file = std::intptr_t;
inline constexpr host_file no_file = -1;

// Readies the process before any file is touched: standard streams, signals,
// console events, the arguments. Called once, first thing, with main's
// arguments. A host whose command line is not held in the narrow names its
// file calls take (Windows: UTF-16) puts its own conversion in their place,
// with '?' for a character that has no exact narrow form.
void host_start(int& argc, char**& argv);

// Whether argv[index] as host_start left it is exactly what the user typed;
// false with errno EINVAL if a character had to be replaced.
bool host_exact_argument(int index);

// An existing file, for reading only. Directories are refused (EISDIR).
host_file host_open_input(const char* name);

// Where the new destfile is written: a temporary in the directory of the
// file the host resolves name to, put in its place by host_commit_output; a
// device, FIFO or file no directory holds is written directly. Refuses a
// directory (EISDIR) and the file open as source under any name (EBUSY).
host_file host_create_output(const char* name, host_file source);

// The file's length, with its position left at the start; -1 if it has none.
std::int64_t host_size(host_file file);

// Whole transfers: loop until done, end of file or an error. Return the
// number of bytes moved; a count short of the request with errno 0 means
// end of file.
std::size_t host_read_all(host_file file, std::span<std::uint8_t> buffer);
std::size_t host_write_all(host_file file, std::span<const std::uint8_t> buffer);

// Flushes and closes the output and puts it in place of the destfile. On
// failure nothing of it is left and the old destfile is as it was.
bool host_commit_output(host_file file);

// Closes the output and removes the temporary. Keeps errno.
void host_discard_output(host_file file);

// Closes an input. Keeps errno.
void host_close(host_file file);

// The data buffer; nullptr with errno set if it cannot be had.
std::uint8_t* host_allocate(std::size_t size);
void host_release(std::uint8_t* buffer, std::size_t size);

// message, ": ", the text for errno and a newline on standard error, the
// same text on every host.
void host_report(const char* message);
