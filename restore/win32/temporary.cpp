// The temporary of the Win32 host: its creation, the console guard, its
// commit and its removal. The destfile is replaced by renaming a finished
// temporary over it by the temporary's own handle, so that it holds either
// its old bytes or the whole new ones, and no other program can come
// between. The life of a temporary:
//
//   create_temporary: hidden, delete-on-close --written--> host_commit_output:
//        |            (or delete-pending)     flushed, kept metadata set,
//        |                                    mark cleared, renamed in turn
//        | Ctrl+C, a failure, a kill             | the rename refused:
//        v                                       v marked again
//   deleted as its handle closes <---------------+
//
// Delete-on-close from its creation where the mark can be cleared again
// (FileDispositionInfoEx); elsewhere marked delete-pending by a second call,
// which a run ended between the two does not reach.
//
// Owns the temporary's names, handle and marks, the metadata it gets, the
// rename's destination, whether POSIX renames were refused, and the console
// guard (temp_lock). Assumes that destination.cpp calls create_temporary
// only with lookup.cpp's resolved name of a missing or replaceable file on
// disk, never for a device, which is the output itself.
#include <algorithm>
#include <cerrno>
#include <cwchar>

#include "restore/host_loops.h"
#include "win32_host.h"

namespace {

// Named only by number in the headers of some compilers.
constexpr auto file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto file_rename_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
// How long a holder of the destfile is waited for, and the longest pause
// between two tries, in milliseconds: tried often, as another program's look
// at the destfile lasts only a moment.
constexpr ULONGLONG max_rename_wait = 1000;
constexpr DWORD max_rename_pause = 32;
// The console handler runs on a thread of its own: temp_handle, temp_exists
// and temp_on_close are read and changed only with temp_lock held (between
// hold_console_events and release_console_events), and temp_path, which it
// reads only while temp_exists, is changed only while not. The rest is the
// main thread's alone.
SRWLOCK temp_lock = SRWLOCK_INIT;
// The temporary's handle while it is open, whether it has a name yet, and
// whether it was opened delete-on-close.
HANDLE temp_handle = INVALID_HANDLE_VALUE;
bool temp_exists = false;
bool temp_on_close = false;
// The temporary's name; empty while the output is the destfile itself.
WCHAR temp_path[max_path_length];
// What the destfile gets once the temporary is in its place.
replace_keeps destfile_keeps{};
// Whether the system has shown that it cannot clear delete-on-close, or
// rename over a file others hold open sharing deletion.
bool no_disposition_ex = false;
bool no_posix_rename = false;
// The destfile's resolved name, as a rename by handle takes it.
union {
	FILE_RENAME_INFO info;
	char bytes[sizeof(FILE_RENAME_INFO) + max_path_length * sizeof(WCHAR)];
} rename_to;

// The guard: the console handler waits while it is held.
void hold_console_events()
{
	AcquireSRWLockExclusive(&temp_lock);
}

void release_console_events()
{
	ReleaseSRWLockExclusive(&temp_lock);
}

// Marks the open temporary to be deleted when its handle is closed (pending)
// or not, by whoever closes it: the tool, or Windows when the process is
// killed. Only the extended call clears delete-on-close. Called guarded.
bool set_delete_pending(HANDLE handle, bool pending)
{
	if (temp_on_close) {
		const DWORD flags =
		    FILE_DISPOSITION_FLAG_ON_CLOSE | (pending ? FILE_DISPOSITION_FLAG_DELETE : 0U);
		FILE_DISPOSITION_INFO_EX info{flags};
		return SetFileInformationByHandle(handle, file_disposition_info_ex, &info, sizeof info) != 0;
	}
	FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(pending)};
	return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

// Removes the temporary: by its handle, or by name where the file system
// cannot mark an open file. Called guarded.
void remove_temporary()
{
	bool marked = false;
	if (temp_handle != INVALID_HANDLE_VALUE) {
		marked = set_delete_pending(temp_handle, true);
		CloseHandle(temp_handle);
		temp_handle = INVALID_HANDLE_VALUE;
	}
	if (temp_exists && !marked)
		DeleteFileW(temp_path);
	temp_exists = false;
}

// Ends the process as Windows ends it on Ctrl+C, status included: wine's
// own ending would report success. Terminated, not exited, since the main
// thread may hold the C library's locks.
BOOL WINAPI end_on_console_event(DWORD)
{
	hold_console_events();
	remove_temporary();
	TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
	return TRUE;
}

// Whether a rename by handle failed because the file system cannot rename
// an open file; wine may report no error at all.
bool cannot_rename_open(DWORD error)
{
	return error == ERROR_SUCCESS || error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
	       error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// Renames the temporary by its handle over the destfile: ERROR_SUCCESS, or
// why not. With POSIX semantics, a holder of the destfile that shares
// deletion does not hold the rename off.
DWORD rename_by_handle()
{
	if (!no_posix_rename) {
		rename_to.info.Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
		SetLastError(ERROR_SUCCESS);
		if (SetFileInformationByHandle(temp_handle, file_rename_info_ex, &rename_to,
		                               sizeof rename_to) != 0)
			return ERROR_SUCCESS;
		const DWORD error = GetLastError();
		if (!cannot_rename_open(error))
			return error;
		no_posix_rename = true;
	}
	rename_to.info.Flags = 0;
	rename_to.info.ReplaceIfExists = TRUE;
	SetLastError(ERROR_SUCCESS);
	if (SetFileInformationByHandle(temp_handle, FileRenameInfo, &rename_to, sizeof rename_to) != 0)
		return ERROR_SUCCESS;
	return GetLastError();
}

// One try at putting the temporary in place of the destfile: by its handle,
// or by name where that cannot be had. ERROR_SUCCESS, or why not; the
// temporary is marked for deletion again on failure. Called guarded.
DWORD try_rename_temporary()
{
	if (temp_handle != INVALID_HANDLE_VALUE) {
		// Renamed still delete-on-close, it would take the destfile with it.
		if (!set_delete_pending(temp_handle, false) && temp_on_close)
			return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
		const DWORD error = rename_by_handle();
		if (error == ERROR_SUCCESS)
			return ERROR_SUCCESS;
		if (!cannot_rename_open(error)) {
			(void)set_delete_pending(temp_handle, true);
			return error;
		}
		CloseHandle(temp_handle);
		temp_handle = INVALID_HANDLE_VALUE;
	}
	if (MoveFileExW(temp_path, rename_to.info.FileName,
	                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
		return GetLastError();
	return ERROR_SUCCESS;
}

// One try at a fresh name in folder (the first dir characters of the
// destfile's name): the temporary, open and marked for deletion, into
// created; else false with errno (EEXIST: the name was taken).
// Delete-on-close where the system shows it can clear that mark, else
// marked right after its creation.
bool try_create(std::size_t dir, HANDLE& created)
{
	static unsigned long serial = 0;
	const unsigned long stamp = (GetTickCount() << 8) + serial++;
	// At most 26 characters: two 32-bit numbers in hex.
	const int written = std::swprintf(temp_path + dir, max_path_length - dir, L".dat2bmp-%lx-%lx",
	                                  GetCurrentProcessId(), stamp);
	if (written < 0) {
		errno = ENAMETOOLONG;
		return false;
	}
	hold_console_events();
	const DWORD on_close = no_disposition_ex ? 0 : FILE_FLAG_DELETE_ON_CLOSE;
	const HANDLE handle =
	    CreateFileW(temp_path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
	                CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | on_close, nullptr);
	const DWORD error = GetLastError();
	bool marked = false;
	if (handle != INVALID_HANDLE_VALUE) {
		temp_handle = handle;
		temp_exists = true;
		temp_on_close = on_close != 0;
		// Marked again, as a test that the mark can be cleared: if not, the
		// temporary goes as it closes and another is made, marked after its
		// creation. Where that cannot be had either, the console handler
		// still deletes by name.
		marked = set_delete_pending(handle, true);
		if (!marked && temp_on_close) {
			remove_temporary();
			no_disposition_ex = true;
		}
	}
	release_console_events();
	if (handle == INVALID_HANDLE_VALUE) {
		set_errno_from(error);
		return false;
	}
	if (!marked && on_close != 0)
		return try_create(dir, created);
	created = handle;
	return true;
}

}  // namespace

void catch_console_events()
{
	SetConsoleCtrlHandler(end_on_console_event, TRUE);
}

// Exclusively created beside target, under a name no other run uses,
// hidden. Held with DELETE access, it can be opened only by programs that
// share deletion, which cannot keep it from being renamed; reading and
// writing are shared so that, renamed, it does not refuse the next run.
// It is marked for deletion until then, so that a run killed outright
// leaves nothing: from its creation where the mark can be cleared, else
// right after it.
HANDLE create_temporary(const WCHAR* target, replace_keeps keeps)
{
	const std::size_t length = std::wcslen(target);
	const WCHAR* const last = std::wcsrchr(target, L'\\');
	const std::size_t dir = last == nullptr ? 0 : static_cast<std::size_t>(last - target) + 1;
	if (dir + 32 >= max_path_length) {
		errno = ENAMETOOLONG;
		return INVALID_HANDLE_VALUE;
	}
	destfile_keeps = keeps;
	std::wmemcpy(rename_to.info.FileName, target, length + 1);
	rename_to.info.RootDirectory = nullptr;
	rename_to.info.FileNameLength = static_cast<DWORD>(length * sizeof(WCHAR));
	std::wmemcpy(temp_path, target, dir);
	HANDLE temporary = INVALID_HANDLE_VALUE;
	(void)with_free_name([dir, &temporary] { return try_create(dir, temporary); });
	return temporary;
}

bool host_commit_output(host_file file)
{
	if (temp_path[0] == L'\0') {
		if (CloseHandle(handle_of(file)))
			return true;
		set_errno_from(GetLastError());
		return false;
	}
	// The bytes reach the disk before the name does, and the destfile has
	// what the replace keeps, not the temporary's attributes.
	FILE_BASIC_INFO basic{};
	basic.FileAttributes = destfile_keeps.attributes;
	basic.CreationTime = destfile_keeps.created;
	if (!FlushFileBuffers(handle_of(file)) ||
	    !SetFileInformationByHandle(handle_of(file), FileBasicInfo, &basic, sizeof basic)) {
		set_errno_from(GetLastError());
		host_discard_output(file);
		return false;
	}
	// Another program that has the destfile open, even for a moment, holds
	// off the rename; give it a while to let go. Other runs wait for the
	// turn instead.
	const ULONGLONG start = GetTickCount64();
	for (DWORD delay = 1;; delay = std::min(delay * 2, max_rename_pause)) {
		if (!take_turn()) {
			host_discard_output(file);
			return false;
		}
		hold_console_events();
		const DWORD error = try_rename_temporary();
		const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
		if (error == ERROR_SUCCESS) {
			if (temp_handle != INVALID_HANDLE_VALUE)
				CloseHandle(temp_handle);
			temp_handle = INVALID_HANDLE_VALUE;
			temp_exists = false;
		} else if (!busy || GetTickCount64() - start > max_rename_wait) {
			remove_temporary();
		}
		const bool done = !temp_exists;
		release_console_events();
		end_turn();
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
	hold_console_events();
	if (temp_path[0] == L'\0')
		CloseHandle(handle_of(file));
	else
		remove_temporary();
	release_console_events();
	errno = error;
}
