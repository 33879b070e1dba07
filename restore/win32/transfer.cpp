// Opening the inputs, sizing, and whole reads and writes on the Win32 host;
// where a name's folder part ends, as the inputs' names are typed. Owns no
// variable: a file is its handle, passed in and out. Assumes nothing of the
// other files but errors.cpp's table.
#include <algorithm>
#include <cerrno>

#include "restore/host_loops.h"
#include "restore/host_path.h"
#include "win32_host.h"

namespace {

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

// Moves the whole buffer a piece at a time, until done, the end of the
// file, or a failure.
template <typename Byte, typename Transfer>
std::size_t transfer_all(host_file file, std::span<Byte> buffer, Transfer transfer)
{
	return move_whole(buffer, [file, transfer](std::span<Byte> piece) {
		DWORD n = 0;
		if (transfer(handle_of(file), piece.data(), static_cast<DWORD>(piece.size()), &n, nullptr))
			return static_cast<long long>(n);
		if (GetLastError() != ERROR_HANDLE_EOF)
			set_errno_from(GetLastError());
		return -1LL;
	});
}

}  // namespace

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

std::size_t dir_length(const char* path)
{
	std::size_t length = 0;
	for (std::size_t i = 0; path[i] != '\0'; ++i) {
		if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0')
			++i;
		else if (path[i] == '\\' || path[i] == '/' || (path[i] == ':' && i == 1))
			length = i + 1;
	}
	return length;
}

host_file host_open_input(const char* name)
{
	// Other readers are welcome, so that runs side by side share misc.dat;
	// writers are not.
	return file_of(open_existing(name, GENERIC_READ, FILE_SHARE_READ));
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
	return transfer_all(file, buffer, ReadFile);
}

std::size_t host_write_all(host_file file, std::span<const std::uint8_t> buffer)
{
	return transfer_all(file, buffer, WriteFile);
}

void host_close(host_file file)
{
	const int error = errno;
	CloseHandle(handle_of(file));
	errno = error;
}
