// Putting a file in place of another by its handle, and marking it for
// deletion, each as far as the system at hand allows; runs writing one
// destfile take turns at looking at it and renaming over it, as any open
// handle of it, a look's too, holds off a rename (but a POSIX one). Owns
// whether POSIX renames were refused, and the turns' mutex. Assumes nothing
// of the other files.
#include <cerrno>
#include <cstdio>

#include "win32_host.h"

namespace {

// Named only by number in the headers of some compilers.
constexpr auto file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto file_rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Whether the system has shown that it cannot rename over a file others
// hold open sharing deletion.
bool no_posix_rename = false;
// Shared by the runs writing one destfile name, whole and in capitals;
// nullptr where it cannot be had, and then no turns are taken.
HANDLE turns = nullptr;
// How long a run waits for its turn, in milliseconds: longer than any
// other run holds it, bounded in case one hangs.
constexpr DWORD max_turn_wait = 2000;

}  // namespace

bool mark_for_deletion(HANDLE file, bool on_close, bool pending)
{
	// Only the extended call clears delete-on-close.
	if (on_close) {
		const DWORD flags =
		    FILE_DISPOSITION_FLAG_ON_CLOSE | (pending ? FILE_DISPOSITION_FLAG_DELETE : 0U);
		FILE_DISPOSITION_INFO_EX info{flags};
		return SetFileInformationByHandle(file, file_disposition_info_ex, &info, sizeof info) != 0;
	}
	FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(pending)};
	return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != 0;
}

bool set_rename_destination(rename_info& to, const char* target)
{
	WCHAR name[MAX_PATH];
	const int length = MultiByteToWideChar(CP_ACP, 0, target, -1, name, MAX_PATH);
	const DWORD full = length == 0 ? 0 : GetFullPathNameW(name, MAX_PATH, to.info.FileName, nullptr);
	if (full == 0 || full >= MAX_PATH) {
		errno = full == 0 ? errno_for(GetLastError()) : ENAMETOOLONG;
		return false;
	}
	to.info.RootDirectory = nullptr;
	to.info.FileNameLength = full * sizeof(WCHAR);
	return true;
}

bool cannot_rename_open(DWORD error)
{
	return error == ERROR_SUCCESS || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
	       error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD rename_by_handle(HANDLE file, rename_info& to)
{
	// With POSIX semantics, a holder of the destfile that shares deletion
	// does not hold the rename off.
	if (!no_posix_rename) {
		to.info.Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
		SetLastError(ERROR_SUCCESS);
		if (SetFileInformationByHandle(file, file_rename_info_ex, &to, sizeof to) != 0)
			return ERROR_SUCCESS;
		const DWORD error = GetLastError();
		if (!cannot_rename_open(error))
			return error;
		no_posix_rename = true;
	}
	to.info.Flags = 0;
	to.info.ReplaceIfExists = TRUE;
	SetLastError(ERROR_SUCCESS);
	if (SetFileInformationByHandle(file, FileRenameInfo, &to, sizeof to) != 0)
		return ERROR_SUCCESS;
	return GetLastError();
}

void join_turns(const char* name)
{
	char full[MAX_PATH];
	const DWORD length = GetFullPathNameA(name, MAX_PATH, full, nullptr);
	if (length == 0 || length >= MAX_PATH)
		return;
	// FNV-1a of the name in capitals (ASCII's are enough: names that differ
	// otherwise only share turns, or take none).
	unsigned long long hash = 14695981039346656037ULL;
	for (DWORD i = 0; i < length; ++i) {
		const char c =
		    full[i] >= 'a' && full[i] <= 'z' ? static_cast<char>(full[i] - 'a' + 'A') : full[i];
		hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
	}
	char mutex[40];
	(void)std::snprintf(mutex, sizeof mutex, "Local\\dat2bmp-%08lx%08lx",
	                    static_cast<unsigned long>(hash >> 32),
	                    static_cast<unsigned long>(hash & 0xFFFFFFFFU));
	turns = CreateMutexA(nullptr, FALSE, mutex);
}

bool take_turn()
{
	if (turns == nullptr)
		return false;
	// Abandoned by a run that ended: the turn is this one's all the same.
	const DWORD waited = WaitForSingleObject(turns, max_turn_wait);
	return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

void end_turn(bool taken)
{
	const DWORD error = GetLastError();
	if (taken)
		(void)ReleaseMutex(turns);
	SetLastError(error);
}
