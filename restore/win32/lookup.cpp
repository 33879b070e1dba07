// What the destfile's name leads to on the Win32 host, decided by what Win32
// opens. The name is resolved once (resolve_destfile) to a full path in
// UTF-16, in the \\?\ form that every call takes whole, past MAX_PATH too;
// a name given in that form is taken as given. The turn, the look, the
// same-file and read-only tests and the rename all act on that one name; the
// look replaces it with the final path of the file it found, so that a link
// is followed to its file. Owns the resolved name, the turns' mutex, whether
// this run holds its turn, and the buffer of the old file's security
// descriptor. Assumes nothing of the other files but
// errors.cpp's table.
//
// A turn: runs writing one file look at it and rename over it one at a time,
// as any open handle of it, a look's included, holds off a rename (but a
// POSIX one). Its mutex is named for the file, not for the spelling of its
// name: the folder's volume serial and file index, and the leaf as the
// folder lists it, in capitals.
#include <cerrno>
#include <cwchar>

#include "win32_host.h"

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD look_access = FILE_READ_ATTRIBUTES | READ_CONTROL;
// A run waits for its turn while its holders live (a holder that ends
// abandons it, and it is taken at once), up to this in all: a run holds its
// turn for a few opens or one rename, so that a turn not had in 30 s means a
// holder that hangs, and the run gives up (EBUSY).
constexpr DWORD max_turn_wait = 30000;

WCHAR resolved[max_path_length];
HANDLE turns = nullptr;
unsigned long long turn_key = 0;
bool turn_held = false;

// Where the leaf of a resolved name starts: after its last backslash.
std::size_t leaf_start(const WCHAR* path)
{
	const WCHAR* const last = std::wcsrchr(path, L'\\');
	return last == nullptr ? 0 : static_cast<std::size_t>(last - path) + 1;
}

// The folder part of the resolved name as it opens: without its last
// backslash, but for a drive's root ("\\?\C:\").
void folder_of(WCHAR (&folder)[max_path_length])
{
	std::size_t length = leaf_start(resolved);
	if (length > 1 && resolved[length - 2] != L':')
		--length;
	std::wmemcpy(folder, resolved, length);
	folder[length] = L'\0';
}

HANDLE open_for_look(const WCHAR* name, DWORD access)
{
	return CreateFileW(name, access, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
	                   nullptr);
}

// Why the resolved name cannot be opened: ENOTDIR where its folder part is a
// file (Windows calls that a missing path, or an invalid name), as Linux
// says it.
void set_errno_for_look(DWORD error)
{
	WCHAR folder[max_path_length];
	folder_of(folder);
	const DWORD attributes = GetFileAttributesW(folder);
	const bool through_file = (error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) &&
	                          attributes != INVALID_FILE_ATTRIBUTES &&
	                          (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
	errno = through_file ? ENOTDIR : errno_for(error);
}

// Whether the process's token may write the file whose handle has
// READ_CONTROL, by its security descriptor; false with errno set if not, or
// if that cannot be learnt.
bool may_write(HANDLE file)
{
	constexpr SECURITY_INFORMATION parts =
	    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
	static unsigned char descriptor[64 * 1024];
	DWORD size = 0;
	HANDLE process_token = nullptr;
	HANDLE token = nullptr;
	GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
	PRIVILEGE_SET privileges{};
	DWORD privileges_size = sizeof privileges;
	DWORD granted = 0;
	BOOL allowed = FALSE;
	const bool checked =
	    GetKernelObjectSecurity(file, parts, descriptor, sizeof descriptor, &size) &&
	    OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process_token) &&
	    DuplicateToken(process_token, SecurityImpersonation, &token) &&
	    AccessCheck(descriptor, token, FILE_WRITE_DATA, &mapping, &privileges, &privileges_size, &granted,
	                &allowed);
	const DWORD error = GetLastError();
	if (token != nullptr)
		CloseHandle(token);
	if (process_token != nullptr)
		CloseHandle(process_token);
	if (!checked)
		set_errno_from(error);
	else if (allowed == FALSE)
		errno = EACCES;
	return checked && allowed != FALSE;
}

// Whether file is the one known: the sourcefile, under any name.
bool same_file(HANDLE file, const BY_HANDLE_FILE_INFORMATION& known)
{
	BY_HANDLE_FILE_INFORMATION info{};
	return GetFileInformationByHandle(file, &info) &&
	       info.dwVolumeSerialNumber == known.dwVolumeSerialNumber &&
	       info.nFileIndexHigh == known.nFileIndexHigh && info.nFileIndexLow == known.nFileIndexLow;
}

// What an open disk file is: a directory (EISDIR), the sourcefile (EBUSY),
// read-only by its attribute or its security descriptor (EACCES), or a file
// to replace, whose information fills old and whose final path becomes the
// resolved name.
bool look_at_file(HANDLE file, HANDLE source, bool has_descriptor, BY_HANDLE_FILE_INFORMATION& old)
{
	if (!GetFileInformationByHandle(file, &old)) {
		set_errno_from(GetLastError());
		return false;
	}
	BY_HANDLE_FILE_INFORMATION known{};
	errno = (old.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0                 ? EISDIR
	        : GetFileInformationByHandle(source, &known) && same_file(file, known) ? EBUSY
	        : (old.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0                ? EACCES
	                                                                               : 0;
	if (errno != 0 || (has_descriptor && !may_write(file)))
		return false;
	WCHAR final[max_path_length];
	const DWORD length =
	    GetFinalPathNameByHandleW(file, final, max_path_length, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
	if (length > 0 && length < max_path_length) {
		std::wmemcpy(resolved, final, length + 1);
		return true;
	}
	// wine 8 gives no final path past MAX_PATH; a name that is no link is
	// the file's own all the same.
	const DWORD error = GetLastError();
	const DWORD entry = GetFileAttributesW(resolved);
	if (entry != INVALID_FILE_ATTRIBUTES && (entry & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
		return true;
	errno = length == 0 ? errno_for(error) : ENAMETOOLONG;
	return false;
}

}  // namespace

const WCHAR* resolve_destfile(const char* name)
{
	WCHAR typed[max_path_length];
	if (MultiByteToWideChar(CP_ACP, 0, name, -1, typed, max_path_length) == 0) {
		set_errno_from(GetLastError());
		return nullptr;
	}
	const bool verbatim = std::wcsncmp(typed, L"\\\\?\\", 4) == 0;
	WCHAR full[max_path_length];
	const DWORD length = verbatim ? 0 : GetFullPathNameW(typed, max_path_length, full, nullptr);
	if (!verbatim && (length == 0 || length + 8 >= max_path_length)) {
		errno = length == 0 ? errno_for(GetLastError()) : ENAMETOOLONG;
		return nullptr;
	}
	// A device (\\.\) keeps its form; a share is \\?\UNC\ and a drive \\?\.
	const bool unc = !verbatim && full[0] == L'\\' && full[1] == L'\\';
	const bool device = unc && full[2] == L'.' && full[3] == L'\\';
	if (verbatim)
		std::wmemcpy(resolved, typed, std::wcslen(typed) + 1);
	else if (device)
		std::wmemcpy(resolved, full, length + 1);
	else
		(void)std::swprintf(resolved, max_path_length, L"%ls%ls", unc ? L"\\\\?\\UNC" : L"\\\\?\\",
		                    unc ? full + 1 : full);
	// A stream of a file cannot be replaced by a rename.
	if (std::wcschr(resolved + leaf_start(resolved), L':') != nullptr) {
		errno = EINVAL;
		return nullptr;
	}
	return resolved;
}

bool join_turns()
{
	WCHAR folder[max_path_length];
	folder_of(folder);
	const HANDLE handle = open_for_look(folder, FILE_READ_ATTRIBUTES);
	BY_HANDLE_FILE_INFORMATION info{};
	const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
	if (handle != INVALID_HANDLE_VALUE)
		CloseHandle(handle);
	if (!known)
		return false;
	// The leaf as the folder lists it (a short name's long one), unless it
	// would be read as a pattern.
	const WCHAR* leaf = resolved + leaf_start(resolved);
	WIN32_FIND_DATAW found{};
	const HANDLE search = std::wcspbrk(leaf, L"*?<>\"") != nullptr || *leaf == L'\0'
	                          ? INVALID_HANDLE_VALUE
	                          : FindFirstFileW(resolved, &found);
	if (search != INVALID_HANDLE_VALUE) {
		FindClose(search);
		leaf = found.cFileName;
	}
	// In capitals as the system's own table has them, as file systems fold
	// case (Ä and ä are one name).
	WCHAR folded[MAX_PATH + 1];
	const int folded_length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, leaf, -1, folded,
	                                        MAX_PATH + 1, nullptr, nullptr, 0);
	if (folded_length == 0)
		return false;
	unsigned long long hash = 14695981039346656037ULL;
	const auto mix = [&hash](unsigned long long value) { hash = (hash ^ value) * 1099511628211ULL; };
	mix(info.dwVolumeSerialNumber);
	mix(info.nFileIndexHigh);
	mix(info.nFileIndexLow);
	for (int i = 0; i < folded_length; ++i)
		mix(folded[i]);
	if (turns != nullptr && hash == turn_key)
		return false;
	WCHAR mutex[40];
	(void)std::swprintf(mutex, 40, L"Local\\dat2bmp-%016llx", hash);
	const HANDLE joined = CreateMutexW(nullptr, FALSE, mutex);
	if (turns != nullptr)
		CloseHandle(turns);
	turns = joined;
	turn_key = hash;
	return joined != nullptr;
}

bool take_turn()
{
	if (turns == nullptr)
		return true;
	const DWORD waited = WaitForSingleObject(turns, max_turn_wait);
	// Abandoned by a run that ended: the turn is this one's all the same.
	turn_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
	if (!turn_held)
		errno = waited == WAIT_TIMEOUT ? EBUSY : errno_for(GetLastError());
	return turn_held;
}

void end_turn()
{
	const DWORD error = GetLastError();
	if (turn_held)
		(void)ReleaseMutex(turns);
	turn_held = false;
	SetLastError(error);
}

destfile_kind look_at_destfile(host_file source, HANDLE& device, BY_HANDLE_FILE_INFORMATION& old)
{
	bool has_descriptor = true;
	HANDLE file = open_for_look(resolved, look_access);
	if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
		has_descriptor = false;
		file = open_for_look(resolved, FILE_READ_ATTRIBUTES);
	}
	if (file == INVALID_HANDLE_VALUE) {
		const DWORD error = GetLastError();
		set_errno_for_look(error);
		// A device that is not there is not a file to make.
		if (error == ERROR_FILE_NOT_FOUND && std::wcsncmp(resolved, L"\\\\.\\", 4) == 0)
			errno = ENODEV;
		else if (error == ERROR_FILE_NOT_FOUND)
			return destfile_kind::missing;
		return destfile_kind::refused;
	}
	// Devices are written as they are; there is nothing to keep.
	if (GetFileType(file) != FILE_TYPE_DISK) {
		CloseHandle(file);
		device = CreateFileW(resolved, GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
		if (device != INVALID_HANDLE_VALUE)
			return destfile_kind::device;
		set_errno_from(GetLastError());
		return destfile_kind::refused;
	}
	const bool found = look_at_file(file, handle_of(source), has_descriptor, old);
	const int error = errno;
	CloseHandle(file);
	errno = error;
	return found ? destfile_kind::file : destfile_kind::refused;
}
