// Win32 host: the destfile is replaced by moving a finished temporary over
// it, so that it holds either its old bytes or the whole new ones.
// strerror is fine here: one thread, and its text is printed at once.
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "host.h"
#include "host_path.h"

namespace {

// Each call moves at most a DWORD; stay well below.
constexpr std::size_t max_transfer = std::size_t{1} << 30;
constexpr int max_temp_tries = 100;
constexpr DWORD max_move_delay = 512;  // milliseconds, about a second in all
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The file the destfile name leads to, and the temporary that replaces it.
// An empty temp_path means the output is the destfile itself.
char target_path[MAX_PATH];
char temp_path[MAX_PATH];
bool temp_exists = false;
// The console control handler runs on a thread of its own.
SRWLOCK temp_lock = SRWLOCK_INIT;
bool handler_set = false;

struct error_pair {
	DWORD error;
	int number;
};

// Win32 errors as the C library's, so that reports read as on Linux.
constexpr std::array<error_pair, 18> errno_for_error{{
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_BAD_NET_NAME, ENOENT},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_WRITE_PROTECT, EACCES},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_OUTOFMEMORY, ENOMEM},
    {ERROR_INVALID_NAME, EINVAL},
    {ERROR_BAD_PATHNAME, EINVAL},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_LOCK_VIOLATION, EBUSY},
}};

struct error_text {
	int number;
	const char* text;
};

// The C library's texts for what the tool can report, as glibc words them;
// the Windows runtime words some differently.
constexpr std::array<error_text, 14> linux_texts{{
    {0, "Success"},
    {ENOENT, "No such file or directory"},
    {EACCES, "Permission denied"},
    {ENOSPC, "No space left on device"},
    {ENOMEM, "Cannot allocate memory"},
    {EINVAL, "Invalid argument"},
    {EEXIST, "File exists"},
    {ENAMETOOLONG, "File name too long"},
    {EBUSY, "Device or resource busy"},
    {EISDIR, "Is a directory"},
    {ENOTDIR, "Not a directory"},
    {EFBIG, "File too large"},
    {EIO, "Input/output error"},
    {ESPIPE, "Illegal seek"},
}};

HANDLE handle_of(host_file file)
{
	return reinterpret_cast<HANDLE>(file);
}

host_file file_of(HANDLE handle)
{
	return reinterpret_cast<host_file>(handle);
}

// Carries a Win32 error into errno.
void set_errno_from(DWORD error)
{
	const auto pair = std::find_if(errno_for_error.begin(), errno_for_error.end(),
	                               [error](const error_pair& p) { return p.error == error; });
	errno = pair == errno_for_error.end() ? EIO : pair->number;
}

bool is_separator(char c)
{
	return c == '\\' || c == '/';
}

// Whether a folder on the way to name is a file, where Linux says ENOTDIR.
bool is_below_a_file(const char* name)
{
	char path[MAX_PATH];
	const std::size_t length = std::strlen(name);
	if (length >= MAX_PATH)
		return false;
	std::memcpy(path, name, length + 1);
	for (std::size_t i = 1; i < length; ++i) {
		if (!is_separator(path[i]) || is_separator(path[i - 1]))
			continue;
		path[i] = '\0';
		const DWORD attributes = GetFileAttributesA(path);
		path[i] = '\\';
		if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
			return true;
	}
	return false;
}

// Windows refuses to open a directory as a file with "access denied", and
// names a path through a file as not found or invalid.
void set_errno_for_failed_open(const char* name)
{
	const DWORD error = GetLastError();
	const DWORD attributes = GetFileAttributesA(name);
	if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
	    (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
		errno = EISDIR;
		return;
	}
	if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION && is_below_a_file(name)) {
		errno = ENOTDIR;
		return;
	}
	set_errno_from(error);
}

// Ends the process as Windows ends it on Ctrl+C, status included: wine's
// own ending would report success. Terminated, not exited, since the main
// thread may hold the C library's locks.
BOOL WINAPI remove_temp_and_end(DWORD)
{
	AcquireSRWLockExclusive(&temp_lock);
	if (temp_exists)
		DeleteFileA(temp_path);
	TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
	return TRUE;
}

std::size_t dir_length(const char* path)
{
	std::size_t length = 0;
	for (std::size_t i = 0; path[i] != '\0'; ++i)
		if (path[i] == '\\' || path[i] == '/' || path[i] == ':')
			length = i + 1;
	return length;
}

// A symbolic link is followed to its file, so that the file is replaced and
// the link stays.
bool find_target(const char* name, HANDLE existing)
{
	const DWORD attributes = GetFileAttributesA(name);
	if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
		return copy_path(target_path, "", 0, name);
	const DWORD length = GetFinalPathNameByHandleA(existing, target_path, MAX_PATH, FILE_NAME_NORMALIZED);
	if (length == 0) {
		set_errno_from(GetLastError());
		return false;
	}
	if (length >= MAX_PATH) {
		errno = ENAMETOOLONG;
		return false;
	}
	return true;
}

bool is_same_file(HANDLE a, HANDLE b)
{
	BY_HANDLE_FILE_INFORMATION info_a{};
	BY_HANDLE_FILE_INFORMATION info_b{};
	return GetFileInformationByHandle(a, &info_a) && GetFileInformationByHandle(b, &info_b) &&
	       info_a.dwVolumeSerialNumber == info_b.dwVolumeSerialNumber &&
	       info_a.nFileIndexHigh == info_b.nFileIndexHigh && info_a.nFileIndexLow == info_b.nFileIndexLow;
}

// Exclusively created beside target_path, under a name no other run uses.
// Others may delete it, so that the control handler can while it is open.
HANDLE create_temp(DWORD attributes)
{
	if (!handler_set)
		handler_set = SetConsoleCtrlHandler(remove_temp_and_end, TRUE) != 0;
	const std::size_t dir = dir_length(target_path);
	static unsigned long serial = 0;
	for (int tries = 0; tries < max_temp_tries; ++tries) {
		char name[32];
		const unsigned long stamp = (GetTickCount() << 8) + serial++;
		// At most 26 bytes: two 32-bit numbers in hex.
		(void)std::snprintf(name, sizeof name, ".dat2bmp-%lx-%lx", GetCurrentProcessId(), stamp);
		if (!copy_path(temp_path, target_path, dir, name))
			return INVALID_HANDLE_VALUE;
		AcquireSRWLockExclusive(&temp_lock);
		const HANDLE handle = CreateFileA(temp_path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
		                                  CREATE_NEW, attributes, nullptr);
		temp_exists = handle != INVALID_HANDLE_VALUE;
		const DWORD error = GetLastError();
		ReleaseSRWLockExclusive(&temp_lock);
		if (handle != INVALID_HANDLE_VALUE)
			return handle;
		if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
			set_errno_from(error);
			return INVALID_HANDLE_VALUE;
		}
	}
	errno = EEXIST;
	return INVALID_HANDLE_VALUE;
}

// Moves the whole buffer a piece at a time, until done, the end of the
// file, or a failure.
template <typename Byte, typename Move>
std::size_t move_all(host_file file, std::span<Byte> buffer, Move move)
{
	std::size_t done = 0;
	errno = 0;
	while (done < buffer.size()) {
		DWORD n = 0;
		const auto request = static_cast<DWORD>(std::min(buffer.size() - done, max_transfer));
		if (!move(handle_of(file), buffer.data() + done, request, &n, nullptr)) {
			if (GetLastError() != ERROR_HANDLE_EOF)
				set_errno_from(GetLastError());
			break;
		}
		if (n == 0)
			break;
		done += n;
	}
	return done;
}

}  // namespace

void host_start() {}

host_file host_open_input(const char* name)
{
	// Other readers are welcome, so that runs side by side share misc.dat;
	// writers are not, so that the destfile cannot be the sourcefile.
	const HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
	                                  FILE_ATTRIBUTE_NORMAL, nullptr);
	if (handle == INVALID_HANDLE_VALUE)
		set_errno_for_failed_open(name);
	return file_of(handle);
}

host_file host_create_output(const char* name, host_file source)
{
	temp_path[0] = '\0';
	if (*name == '\0') {
		errno = ENOENT;
		return no_file;
	}
	// Shared, so that runs writing the same destfile do not refuse each
	// other; the sourcefile, held without write sharing, still refuses it.
	const HANDLE existing =
	    CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
	                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (existing == INVALID_HANDLE_VALUE) {
		if (GetLastError() != ERROR_FILE_NOT_FOUND) {
			set_errno_for_failed_open(name);
			return no_file;
		}
		if (!copy_path(target_path, "", 0, name))
			return no_file;
		return file_of(create_temp(FILE_ATTRIBUTE_NORMAL));
	}

	if (is_same_file(existing, handle_of(source))) {
		CloseHandle(existing);
		errno = EBUSY;
		return no_file;
	}
	// Devices are written as they are; there is nothing to keep.
	if (GetFileType(existing) != FILE_TYPE_DISK)
		return file_of(existing);
	// The old file could be written, so it may be replaced.
	BY_HANDLE_FILE_INFORMATION old{};
	const bool found = GetFileInformationByHandle(existing, &old) && find_target(name, existing);
	if (!found)
		set_errno_from(GetLastError());
	const int error = errno;
	CloseHandle(existing);
	errno = error;
	if (!found)
		return no_file;
	const DWORD attributes = old.dwFileAttributes & kept_attributes;
	return file_of(create_temp(attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL));
}

std::int64_t host_size(host_file file)
{
	const HANDLE handle = handle_of(file);
	if (GetFileType(handle) != FILE_TYPE_DISK) {
		errno = ESPIPE;
		return -1;
	}
	LARGE_INTEGER end{};
	const LARGE_INTEGER start{};
	if (!SetFilePointerEx(handle, start, &end, FILE_END) ||
	    !SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
		set_errno_from(GetLastError());
		return -1;
	}
	return end.QuadPart;
}

std::size_t host_read_all(host_file file, std::span<std::uint8_t> buffer)
{
	return move_all(file, buffer, ReadFile);
}

std::size_t host_write_all(host_file file, std::span<const std::uint8_t> buffer)
{
	return move_all(file, buffer, WriteFile);
}

bool host_commit_output(host_file file)
{
	if (!CloseHandle(handle_of(file))) {
		set_errno_from(GetLastError());
		host_discard_output(no_file);
		return false;
	}
	if (temp_path[0] == '\0')
		return true;
	// Another program that has the destfile open, even for a moment, holds
	// off the move; give it a while to let go.
	for (DWORD delay = 1;; delay *= 2) {
		AcquireSRWLockExclusive(&temp_lock);
		const bool moved = MoveFileExA(temp_path, target_path, MOVEFILE_REPLACE_EXISTING) != 0;
		const DWORD error = GetLastError();
		const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
		if (moved || !busy || delay > max_move_delay) {
			if (!moved) {
				DeleteFileA(temp_path);
				set_errno_from(error);
			}
			temp_exists = false;
			ReleaseSRWLockExclusive(&temp_lock);
			return moved;
		}
		ReleaseSRWLockExclusive(&temp_lock);
		Sleep(delay);
	}
}

void host_discard_output(host_file file)
{
	const int error = errno;
	if (file != no_file)
		CloseHandle(handle_of(file));
	AcquireSRWLockExclusive(&temp_lock);
	if (temp_exists) {
		DeleteFileA(temp_path);
		temp_exists = false;
	}
	ReleaseSRWLockExclusive(&temp_lock);
	errno = error;
}

void host_close(host_file file)
{
	const int error = errno;
	CloseHandle(handle_of(file));
	errno = error;
}

std::uint8_t* host_allocate(std::size_t size)
{
	auto* buffer = static_cast<std::uint8_t*>(std::malloc(size));
	if (buffer == nullptr)
		errno = ENOMEM;
	return buffer;
}

void host_release(std::uint8_t* buffer, std::size_t)
{
	std::free(buffer);
}

void host_report(const char* message)
{
	const int number = errno;
	const auto known = std::find_if(linux_texts.begin(), linux_texts.end(),
	                                [number](const error_text& t) { return t.number == number; });
	// Nowhere left to report a failure to report.
	(void)std::fprintf(stderr, "%s: %s\n", message,
	                   known != linux_texts.end() ? known->text : std::strerror(number));
}
