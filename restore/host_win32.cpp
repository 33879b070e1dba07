// Win32 host: the destfile is replaced by renaming a finished temporary over
// it by the temporary's own handle, so that it holds either its old bytes or
// the whole new ones, and no other program can come between.
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
// After windows.h, which it needs.
#include <shellapi.h>

#include "host.h"
#include "host_path.h"

namespace {

// Each call moves at most a DWORD; stay well below.
constexpr std::size_t max_transfer = std::size_t{1} << 30;
constexpr int max_temp_tries = 100;
constexpr DWORD max_move_delay = 512;  // milliseconds, about a second in all
constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr int max_arguments = 64;

// The arguments as the user typed them, in the ANSI code page; inexact
// marks those that have a character the code page lacks.
std::array<char*, max_arguments + 1> arguments{};
std::array<bool, max_arguments> inexact{};

// The file the destfile name leads to, and the temporary that replaces it.
// An empty temp_path means the output is the destfile itself.
char target_path[MAX_PATH];
char temp_path[MAX_PATH];
// The temporary's handle while it is open, and whether it has a name yet.
HANDLE temp_handle = INVALID_HANDLE_VALUE;
bool temp_exists = false;
DWORD final_attributes = FILE_ATTRIBUTE_NORMAL;
// The console control handler runs on a thread of its own.
SRWLOCK temp_lock = SRWLOCK_INIT;

// The destfile's whole name, as a rename by handle takes it.
union {
	FILE_RENAME_INFO info;
	char bytes[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(WCHAR)];
} rename_to;

// Win32 errors as the C library's, so that reports read as on Linux; every
// error the tool's calls give is translated here.
int errno_for(DWORD error)
{
	switch (error) {
	case ERROR_SUCCESS:
		return 0;
	case ERROR_FILE_NOT_FOUND:
	case ERROR_PATH_NOT_FOUND:
	case ERROR_INVALID_DRIVE:
	case ERROR_BAD_NETPATH:
	case ERROR_BAD_NET_NAME:
	case ERROR_DELETE_PENDING:
		return ENOENT;
	case ERROR_ACCESS_DENIED:
	case ERROR_INVALID_ACCESS:
	case ERROR_CANNOT_MAKE:
		return EACCES;
	case ERROR_WRITE_PROTECT:
		return EROFS;
	case ERROR_SHARING_VIOLATION:
	case ERROR_LOCK_VIOLATION:
	case ERROR_BUSY:
	case ERROR_DEVICE_IN_USE:
		return EBUSY;
	case ERROR_DISK_FULL:
	case ERROR_HANDLE_DISK_FULL:
		return ENOSPC;
	case ERROR_NOT_ENOUGH_MEMORY:
	case ERROR_OUTOFMEMORY:
		return ENOMEM;
	case ERROR_INVALID_NAME:
	case ERROR_BAD_PATHNAME:
	case ERROR_INVALID_PARAMETER:
	case ERROR_NEGATIVE_SEEK:
		return EINVAL;
	case ERROR_DIRECTORY:
		return ENOTDIR;
	case ERROR_FILE_EXISTS:
	case ERROR_ALREADY_EXISTS:
		return EEXIST;
	case ERROR_FILENAME_EXCED_RANGE:
	case ERROR_BUFFER_OVERFLOW:
		return ENAMETOOLONG;
	case ERROR_FILE_TOO_LARGE:
		return EFBIG;
	case ERROR_DEV_NOT_EXIST:
	case ERROR_BAD_DEV_TYPE:
	case ERROR_BAD_UNIT:
	case ERROR_NOT_READY:
		return ENODEV;
	case ERROR_CANT_RESOLVE_FILENAME:
		return ELOOP;
	case ERROR_INVALID_HANDLE:
		return EBADF;
	case ERROR_NOT_SAME_DEVICE:
		return EXDEV;
	case ERROR_BROKEN_PIPE:
	case ERROR_NO_DATA:
		return EPIPE;
	case ERROR_TOO_MANY_OPEN_FILES:
		return EMFILE;
	default:
		return EIO;
	}
}

struct error_text {
	int number;
	const char* text;
};

// The C library's texts for what the tool can report, as glibc words them;
// the Windows runtime words some differently.
constexpr std::array<error_text, 21> linux_texts{{
    {0, "Success"},
    {ENOENT, "No such file or directory"},
    {EACCES, "Permission denied"},
    {EROFS, "Read-only file system"},
    {EBUSY, "Device or resource busy"},
    {ENOSPC, "No space left on device"},
    {ENOMEM, "Cannot allocate memory"},
    {EINVAL, "Invalid argument"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EEXIST, "File exists"},
    {ENAMETOOLONG, "File name too long"},
    {EFBIG, "File too large"},
    {ENODEV, "No such device"},
    {ELOOP, "Too many levels of symbolic links"},
    {EBADF, "Bad file descriptor"},
    {EXDEV, "Invalid cross-device link"},
    {EPIPE, "Broken pipe"},
    {EMFILE, "Too many open files"},
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

void set_errno_from(DWORD error)
{
	errno = errno_for(error);
}

// Where the folder part of path ends: after its last separator or drive
// colon. Under a double-byte code page a trail byte may be a backslash, so
// characters are stepped over whole.
std::size_t dir_length(const char* path)
{
	std::size_t length = 0;
	for (std::size_t i = 0; path[i] != '\0'; ++i) {
		if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0')
			++i;
		else if (path[i] == '\\' || path[i] == '/' || path[i] == ':')
			length = i + 1;
	}
	return length;
}

// Whether the folder part of name is a file. Windows names a path through
// a file as not found, or as invalid when the file is its last folder;
// Linux says ENOTDIR for both.
bool is_below_a_file(const char* name)
{
	char folder[MAX_PATH];
	const std::size_t length = dir_length(name);
	if (length < 2 || name[length - 1] == ':' || !copy_path(folder, name, length - 1, ""))
		return false;
	const DWORD attributes = GetFileAttributesA(folder);
	return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Opened whatever it is, directories too (backup semantics), so that what
// it is can be asked of the handle: a directory is refused with EISDIR.
// On failure errno is set, and the last error is Windows' own.
HANDLE open_existing(const char* name, DWORD access, DWORD sharing)
{
	const HANDLE handle =
	    CreateFileA(name, access, sharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
	if (handle == INVALID_HANDLE_VALUE) {
		const DWORD error = GetLastError();
		const bool through_file =
		    (error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) && is_below_a_file(name);
		errno = through_file ? ENOTDIR : errno_for(error);
		SetLastError(error);
		return handle;
	}
	BY_HANDLE_FILE_INFORMATION info{};
	if (GetFileInformationByHandle(handle, &info) &&
	    (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
		CloseHandle(handle);
		errno = EISDIR;
		SetLastError(ERROR_ACCESS_DENIED);
		return INVALID_HANDLE_VALUE;
	}
	return handle;
}

// Marks the open temporary to be deleted when its handle is closed, by
// whoever closes it: the tool, or Windows when the process is killed.
bool set_delete_pending(HANDLE handle, bool pending)
{
	FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(pending)};
	return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

// Removes the temporary: by its handle, or by name where the file system
// cannot mark an open file. Called with temp_lock held.
void remove_temp()
{
	bool marked = false;
	if (temp_handle != INVALID_HANDLE_VALUE) {
		marked = set_delete_pending(temp_handle, true);
		CloseHandle(temp_handle);
		temp_handle = INVALID_HANDLE_VALUE;
	}
	if (temp_exists && !marked)
		DeleteFileA(temp_path);
	temp_exists = false;
}

// Ends the process as Windows ends it on Ctrl+C, status included: wine's
// own ending would report success. Terminated, not exited, since the main
// thread may hold the C library's locks.
BOOL WINAPI remove_temp_and_end(DWORD)
{
	AcquireSRWLockExclusive(&temp_lock);
	remove_temp();
	TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
	return TRUE;
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

// The rename by handle wants target_path whole and in UTF-16.
bool prepare_rename()
{
	WCHAR name[MAX_PATH];
	const int length = MultiByteToWideChar(CP_ACP, 0, target_path, -1, name, MAX_PATH);
	const DWORD full =
	    length == 0 ? 0 : GetFullPathNameW(name, MAX_PATH, rename_to.info.FileName, nullptr);
	if (full == 0 || full >= MAX_PATH) {
		errno = full == 0 ? errno_for(GetLastError()) : ENAMETOOLONG;
		return false;
	}
	rename_to.info.ReplaceIfExists = TRUE;
	rename_to.info.RootDirectory = nullptr;
	rename_to.info.FileNameLength = full * sizeof(WCHAR);
	return true;
}

// Exclusively created beside target_path, under a name no other run uses,
// hidden. Held with DELETE access, it can be opened only by programs that
// share deletion, which cannot keep it from being renamed; reading and
// writing are shared so that, renamed, it does not refuse the next run.
// It is delete-pending until then, so that a run killed outright leaves
// nothing.
HANDLE create_temp(DWORD attributes)
{
	final_attributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
	if (!prepare_rename())
		return INVALID_HANDLE_VALUE;
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
		const HANDLE handle = CreateFileA(
		    temp_path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
		    CREATE_NEW, attributes | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
		const DWORD error = GetLastError();
		if (handle != INVALID_HANDLE_VALUE) {
			temp_handle = handle;
			temp_exists = true;
			// Where it cannot be had, the control handler still deletes by name.
			(void)set_delete_pending(handle, true);
		}
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

// Errors that mean the file system cannot rename an open file; wine may
// report none at all.
bool cannot_rename_open(DWORD error)
{
	return error == ERROR_SUCCESS || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
	       error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// One try at putting the temporary in place of the destfile: by its handle,
// or by name where that cannot be had. ERROR_SUCCESS, or why not; the
// temporary is delete-pending again on failure. Called with temp_lock held.
DWORD move_temp()
{
	if (temp_handle != INVALID_HANDLE_VALUE) {
		(void)set_delete_pending(temp_handle, false);
		SetLastError(ERROR_SUCCESS);
		if (SetFileInformationByHandle(temp_handle, FileRenameInfo, &rename_to, sizeof rename_to) !=
		    0)
			return ERROR_SUCCESS;
		const DWORD error = GetLastError();
		if (!cannot_rename_open(error)) {
			(void)set_delete_pending(temp_handle, true);
			return error;
		}
		CloseHandle(temp_handle);
		temp_handle = INVALID_HANDLE_VALUE;
	}
	if (MoveFileExA(temp_path, target_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
		return GetLastError();
	return ERROR_SUCCESS;
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

// One argument in the ANSI code page, with no look-alike put in for a
// character the code page lacks: inexact then, that character a '?'.
char* narrow(const WCHAR* wide, bool& is_inexact)
{
	const UINT code_page = GetACP();
	// UTF-8 has every character; it only refuses lone surrogates.
	const DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
	BOOL used_default = FALSE;
	BOOL* const used = code_page == CP_UTF8 ? nullptr : &used_default;
	const int size = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0, nullptr, used);
	auto* name = static_cast<char*>(std::malloc(size > 0 ? static_cast<std::size_t>(size) : 1));
	if (name == nullptr)
		return nullptr;
	if (size == 0 || WideCharToMultiByte(code_page, flags, wide, -1, name, size, nullptr, used) == 0) {
		name[0] = '\0';
		used_default = TRUE;
	}
	is_inexact = used_default != FALSE;
	return name;
}

}  // namespace

void host_start(int& argc, char**& argv)
{
	// Ctrl+C ends the run with its own status, whatever it is writing.
	SetConsoleCtrlHandler(remove_temp_and_end, TRUE);

	// The C library's argv has best-fit look-alikes for what the code page
	// lacks; the command line as typed is UTF-16.
	int count = 0;
	WCHAR** const wide = CommandLineToArgvW(GetCommandLineW(), &count);
	if (wide == nullptr) {
		inexact.fill(true);
		return;
	}
	count = std::min(count, max_arguments);
	for (int i = 0; i < count; ++i) {
		const auto at = static_cast<std::size_t>(i);
		arguments[at] = narrow(wide[i], inexact[at]);
		if (arguments[at] == nullptr) {
			inexact.fill(true);
			LocalFree(wide);
			return;
		}
	}
	LocalFree(wide);
	argc = count;
	argv = arguments.data();
}

bool host_exact_argument(int index)
{
	if (index >= 0 && index < max_arguments && !inexact[static_cast<std::size_t>(index)])
		return true;
	errno = EINVAL;
	return false;
}

host_file host_open_input(const char* name)
{
	// Other readers are welcome, so that runs side by side share misc.dat;
	// writers are not, so that the destfile cannot be the sourcefile.
	return file_of(open_existing(name, GENERIC_READ, FILE_SHARE_READ));
}

host_file host_create_output(const char* name, host_file)
{
	temp_path[0] = '\0';
	if (*name == '\0') {
		errno = ENOENT;
		return no_file;
	}
	// Shared, so that runs writing the same destfile do not refuse each
	// other; the sourcefile, held without write sharing, refuses it, and so
	// does any other holder that does not share writing.
	const HANDLE existing =
	    open_existing(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
	if (existing == INVALID_HANDLE_VALUE) {
		if (GetLastError() != ERROR_FILE_NOT_FOUND)
			return no_file;
		if (!copy_path(target_path, "", 0, name))
			return no_file;
		return file_of(create_temp(0));
	}

	// Devices are written as they are; there is nothing to keep.
	if (GetFileType(existing) != FILE_TYPE_DISK)
		return file_of(existing);
	// The old file could be written, so it may be replaced.
	BY_HANDLE_FILE_INFORMATION old{};
	errno = 0;
	const bool found = GetFileInformationByHandle(existing, &old) && find_target(name, existing);
	if (!found && errno == 0)
		set_errno_from(GetLastError());
	const int error = errno;
	CloseHandle(existing);
	errno = error;
	if (!found)
		return no_file;
	return file_of(create_temp(old.dwFileAttributes & kept_attributes));
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
	if (temp_path[0] == '\0') {
		if (CloseHandle(handle_of(file)))
			return true;
		set_errno_from(GetLastError());
		return false;
	}
	// The bytes reach the disk before the name does, and the destfile has
	// its own attributes, not the temporary's.
	FILE_BASIC_INFO basic{};
	basic.FileAttributes = final_attributes;
	if (!FlushFileBuffers(handle_of(file)) ||
	    !SetFileInformationByHandle(handle_of(file), FileBasicInfo, &basic, sizeof basic)) {
		set_errno_from(GetLastError());
		host_discard_output(file);
		return false;
	}
	// Another program that has the destfile open, even for a moment, holds
	// off the rename; give it a while to let go.
	for (DWORD delay = 1;; delay *= 2) {
		AcquireSRWLockExclusive(&temp_lock);
		const DWORD error = move_temp();
		const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
		if (error == ERROR_SUCCESS) {
			if (temp_handle != INVALID_HANDLE_VALUE)
				CloseHandle(temp_handle);
			temp_handle = INVALID_HANDLE_VALUE;
			temp_exists = false;
		} else if (!busy || delay > max_move_delay) {
			remove_temp();
		}
		const bool done = !temp_exists;
		ReleaseSRWLockExclusive(&temp_lock);
		if (done) {
			errno = errno_for(error);
			return error == ERROR_SUCCESS;
		}
		Sleep(delay);
	}
}

void host_discard_output(host_file file)
{
	const int error = errno;
	AcquireSRWLockExclusive(&temp_lock);
	if (temp_path[0] == '\0')
		CloseHandle(handle_of(file));
	else
		remove_temp();
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
