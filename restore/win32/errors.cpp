// Errors of the Win32 host: the one table from a Win32 error to the errno
// that names the same cause on Linux, with glibc's words for it, so that
// every report reads as it does there. Owns no variable. Assumes that every
// other file sets errno through errno_for, or to a number of the table.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "win32_host.h"

namespace {

// Each errno the tool can report, as glibc words it (the Windows runtime
// words some differently), and the Win32 errors that mean it; the rest of a
// row's list is ERROR_SUCCESS, which only errno 0 stands for.
struct error_kind {
	int number;
	const char* text;
	std::array<DWORD, 6> windows;
};

constexpr std::array<error_kind, 22> error_kinds{{
    {0, "Success", {}},
    {ENOENT,
     "No such file or directory",
     {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH, ERROR_BAD_NET_NAME,
      ERROR_DELETE_PENDING}},
    {EACCES,
     "Permission denied",
     {ERROR_ACCESS_DENIED, ERROR_INVALID_ACCESS, ERROR_CANNOT_MAKE, ERROR_FILE_READ_ONLY}},
    {EROFS, "Read-only file system", {ERROR_WRITE_PROTECT}},
    {EBUSY,
     "Device or resource busy",
     {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_BUSY, ERROR_DEVICE_IN_USE}},
    {ENOSPC, "No space left on device", {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}},
    {ENOMEM, "Cannot allocate memory", {ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY}},
    {EINVAL,
     "Invalid argument",
     {ERROR_INVALID_NAME, ERROR_BAD_PATHNAME, ERROR_INVALID_PARAMETER, ERROR_NEGATIVE_SEEK}},
    {ENOTDIR, "Not a directory", {ERROR_DIRECTORY}},
    {EISDIR, "Is a directory", {}},
    {EEXIST, "File exists", {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS}},
    {ENAMETOOLONG, "File name too long", {ERROR_FILENAME_EXCED_RANGE, ERROR_BUFFER_OVERFLOW}},
    {EFBIG, "File too large", {ERROR_FILE_TOO_LARGE}},
    {ENODEV, "No such device", {ERROR_DEV_NOT_EXIST, ERROR_BAD_DEV_TYPE, ERROR_BAD_UNIT, ERROR_NOT_READY}},
    {ELOOP, "Too many levels of symbolic links", {ERROR_CANT_RESOLVE_FILENAME}},
    {EBADF, "Bad file descriptor", {ERROR_INVALID_HANDLE}},
    {EXDEV, "Invalid cross-device link", {ERROR_NOT_SAME_DEVICE}},
    {EPIPE, "Broken pipe", {ERROR_BROKEN_PIPE, ERROR_NO_DATA}},
    {EMFILE, "Too many open files", {ERROR_TOO_MANY_OPEN_FILES}},
    {EOPNOTSUPP, "Operation not supported", {ERROR_NOT_SUPPORTED}},
    {EIO, "Input/output error", {}},
    {ESPIPE, "Illegal seek", {}},
}};

}  // namespace

int errno_for(DWORD error)
{
	if (error == ERROR_SUCCESS)
		return 0;
	const auto kind = std::find_if(error_kinds.begin(), error_kinds.end(), [error](const error_kind& k) {
		return std::find(k.windows.begin(), k.windows.end(), error) != k.windows.end();
	});
	return kind != error_kinds.end() ? kind->number : EIO;
}

void set_errno_from(DWORD error)
{
	errno = errno_for(error);
}

// strerror is fine here: only the main thread reports, and its text is
// printed at once.
void host_report(const char* message)
{
	const int number = errno;
	const auto kind = std::find_if(error_kinds.begin(), error_kinds.end(),
	                               [number](const error_kind& k) { return k.number == number; });
	// Nowhere left to report a failure to report.
	(void)std::fprintf(stderr, "%s: %s\n", message,
	                   kind != error_kinds.end() ? kind->text : std::strerror(number));
}
