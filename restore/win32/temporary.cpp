// The temporary of the Win32 host, its commit and the console handler. The
// destfile is replaced by renaming a finished temporary over it by the
// temporary's own handle, so that it holds either its old bytes or the whole
// new ones, and no other program can come between. The life of a temporary:
//
//   create_temporary: hidden, delete-on-close --written--> host_commit_output:
//        |            (or delete-pending)     flushed, mark cleared,
//        |                                    renamed over the destfile
//        | Ctrl+C, a failure, a kill             | the rename refused:
//        v                                       v marked again
//   deleted as its handle closes <---------------+
//
// Delete-on-close from its creation where the mark can be cleared again
// (FileDispositionInfoEx); elsewhere marked delete-pending by a second call,
// which a run ended between the two does not reach.
//
// Owns the temporary's names, handle and lock. Assumes that destination.cpp
// calls create_temporary only for a destfile on disk that may be replaced, and
// never for a device, which is the output itself.
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "restore/host_loops.h"
#include "restore/host_path.h"
#include "win32_host.h"

namespace {

// How long a holder of the destfile is waited for, and the longest pause
// between two tries, in milliseconds: tried often, as another run's look
// at the destfile lasts only a moment.
constexpr ULONGLONG max_rename_wait = 1000;
constexpr DWORD max_rename_pause = 32;
// The console handler runs on a thread of its own: temp_handle, temp_exists
// and temp_on_close are read and changed only with temp_lock held, and
// temp_path, which it reads only while temp_exists, is changed only while
// not. The rest is the main thread's alone.
SRWLOCK temp_lock = SRWLOCK_INIT;
// The temporary's handle while it is open, whether it has a name yet, and
// whether it was opened delete-on-close.
HANDLE temp_handle = INVALID_HANDLE_VALUE;
bool temp_exists = false;
bool temp_on_close = false;
// The file the destfile name leads to, and the temporary that replaces it.
// An empty temp_path means the output is the destfile itself.
char target_path[MAX_PATH];
char temp_path[MAX_PATH];
// The attributes and creation time the destfile gets once the temporary is
// in its place: the contents changed, so archive is set.
DWORD destfile_attributes = FILE_ATTRIBUTE_ARCHIVE;
LARGE_INTEGER destfile_created{};
// Whether the system has shown that it cannot clear delete-on-close.
bool no_disposition_ex = false;
// The destfile's whole name, as a rename by handle takes it.
rename_info rename_to;

// Marks the open temporary to be deleted when its handle is closed, by
// whoever closes it: the tool, or Windows when the process is killed.
// Called with temp_lock held.
bool set_delete_pending(HANDLE handle, bool pending)
{
	return mark_for_deletion(handle, temp_on_close, pending);
}

// Removes the temporary: by its handle, or by name where the file system
// cannot mark an open file. Called with temp_lock held.
void remove_temporary()
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
	remove_temporary();
	TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
	return TRUE;
}

// One try at putting the temporary in place of the destfile: by its handle,
// or by name where that cannot be had. ERROR_SUCCESS, or why not; the
// temporary is marked for deletion again on failure. Called with temp_lock
// held.
DWORD try_rename_temporary()
{
	if (temp_handle != INVALID_HANDLE_VALUE) {
		// Renamed still delete-on-close, it would take the destfile with it.
		if (!set_delete_pending(temp_handle, false) && temp_on_close)
			return GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
		const DWORD error = rename_by_handle(temp_handle, rename_to);
		if (error == ERROR_SUCCESS)
			return ERROR_SUCCESS;
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

// One try at a fresh name beside the target: the temporary, open and marked
// for deletion, into created; else false with errno (EEXIST: the name was
// taken). Delete-on-close where the system shows it can clear that mark,
// else marked right after its creation.
bool try_create(std::size_t dir, DWORD attributes, HANDLE& created)
{
	static unsigned long serial = 0;
	char name[32];
	const unsigned long stamp = (GetTickCount() << 8) + serial++;
	// At most 26 bytes: two 32-bit numbers in hex.
	(void)std::snprintf(name, sizeof name, ".dat2bmp-%lx-%lx", GetCurrentProcessId(), stamp);
	if (!copy_path(temp_path, target_path, dir, name))
		return false;
	AcquireSRWLockExclusive(&temp_lock);
	const DWORD on_close = no_disposition_ex ? 0 : FILE_FLAG_DELETE_ON_CLOSE;
	const HANDLE handle = CreateFileA(
	    temp_path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
	    attributes | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | on_close, nullptr);
	const DWORD error = GetLastError();
	bool marked = false;
	if (handle != INVALID_HANDLE_VALUE) {
		temp_handle = handle;
		temp_exists = true;
		temp_on_close = on_close != 0;
		// Marked again, as a test that the mark can be cleared: if not, the
		// temporary goes as it closes and another is made, marked after its
		// creation. Where that cannot be had either, the control handler
		// still deletes by name.
		marked = set_delete_pending(handle, true);
		if (!marked && temp_on_close) {
			remove_temporary();
			no_disposition_ex = true;
		}
	}
	ReleaseSRWLockExclusive(&temp_lock);
	if (handle == INVALID_HANDLE_VALUE) {
		set_errno_from(error);
		return false;
	}
	if (!marked && on_close != 0)
		return try_create(dir, attributes, created);
	created = handle;
	return true;
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
// It is marked for deletion until then, so that a run killed outright
// leaves nothing: from its creation where the mark can be cleared, else
// right after it.
HANDLE create_temporary(const char* target, DWORD attributes, FILETIME created)
{
	if (!copy_path(target_path, "", 0, target))
		return INVALID_HANDLE_VALUE;
	destfile_attributes = attributes | FILE_ATTRIBUTE_ARCHIVE;
	destfile_created.LowPart = created.dwLowDateTime;
	destfile_created.HighPart = static_cast<LONG>(created.dwHighDateTime);
	if (!set_rename_destination(rename_to, target_path))
		return INVALID_HANDLE_VALUE;
	const std::size_t dir = dir_length(target_path);
	HANDLE temporary = INVALID_HANDLE_VALUE;
	(void)with_free_name(
	    [dir, attributes, &temporary] { return try_create(dir, attributes, temporary); });
	return temporary;
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
	// its own attributes and creation time, not the temporary's.
	FILE_BASIC_INFO basic{};
	basic.FileAttributes = destfile_attributes;
	basic.CreationTime = destfile_created;
	if (!FlushFileBuffers(handle_of(file)) ||
	    !SetFileInformationByHandle(handle_of(file), FileBasicInfo, &basic, sizeof basic)) {
		set_errno_from(GetLastError());
		host_discard_output(file);
		return false;
	}
	// Another program that has the destfile open, even for a moment, holds
	// off the rename; give it a while to let go.
	const ULONGLONG start = GetTickCount64();
	for (DWORD delay = 1;; delay = std::min(delay * 2, max_rename_pause)) {
		const bool turn = take_turn();
		AcquireSRWLockExclusive(&temp_lock);
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
		ReleaseSRWLockExclusive(&temp_lock);
		end_turn(turn);
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
		remove_temporary();
	ReleaseSRWLockExclusive(&temp_lock);
	errno = error;
}
