// The temporary of the Win32 host, its commit and the console handler. The
// destfile is replaced by renaming a finished temporary over it by the
// temporary's own handle, so that it holds either its old bytes or the whole
// new ones, and no other program can come between. The life of a temporary:
//
//   create_temp: hidden, delete-pending --written--> host_commit_output:
//        |                                  flushed, renamed over the destfile
//        | Ctrl+C, a failure, a kill             | the rename refused
//        v                                       v
//   deleted as its handle closes <---------------+
//
// Owns the temporary's names, handle and lock. Assumes that files.cpp calls
// create_temp only for a destfile on disk that may be replaced, and never
// for a device, which is the output itself.
#include <cerrno>
#include <cstdio>

#include "restore/host_path.h"
#include "win32_host.h"

namespace {

constexpr int max_temp_tries = 100;
constexpr DWORD max_rename_delay = 512;  // milliseconds, about a second in all

// The console handler runs on a thread of its own: temp_handle and
// temp_exists are read and changed only with temp_lock held, and temp_path,
// which it reads only while temp_exists, is changed only while not. The rest
// is the main thread's alone.
SRWLOCK temp_lock = SRWLOCK_INIT;
// The temporary's handle while it is open, and whether it has a name yet.
HANDLE temp_handle = INVALID_HANDLE_VALUE;
bool temp_exists = false;
// The file the destfile name leads to, and the temporary that replaces it.
// An empty temp_path means the output is the destfile itself.
char target_path[MAX_PATH];
char temp_path[MAX_PATH];
// The attributes the destfile gets once the temporary is in its place.
DWORD destfile_attributes = FILE_ATTRIBUTE_NORMAL;
// The destfile's whole name, as a rename by handle takes it.
union {
	FILE_RENAME_INFO info;
	char bytes[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(WCHAR)];
} rename_to;

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
BOOL WINAPI end_on_console_event(DWORD)
{
	AcquireSRWLockExclusive(&temp_lock);
	remove_temp();
	TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
	return TRUE;
}

// The rename by handle wants target_path whole and in UTF-16.
bool set_rename_destination()
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
DWORD try_rename_temp()
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

}  // namespace

void watch_console_events()
{
	SetConsoleCtrlHandler(end_on_console_event, TRUE);
}

// Exclusively created beside target, under a name no other run uses,
// hidden. Held with DELETE access, it can be opened only by programs that
// share deletion, which cannot keep it from being renamed; reading and
// writing are shared so that, renamed, it does not refuse the next run.
// It is delete-pending until then, so that a run killed outright leaves
// nothing.
HANDLE create_temp(const char* target, DWORD attributes)
{
	if (!copy_path(target_path, "", 0, target))
		return INVALID_HANDLE_VALUE;
	destfile_attributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
	if (!set_rename_destination())
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
	basic.FileAttributes = destfile_attributes;
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
		const DWORD error = try_rename_temp();
		const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
		if (error == ERROR_SUCCESS) {
			if (temp_handle != INVALID_HANDLE_VALUE)
				CloseHandle(temp_handle);
			temp_handle = INVALID_HANDLE_VALUE;
			temp_exists = false;
		} else if (!busy || delay > max_rename_delay) {
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
