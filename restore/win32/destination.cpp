// Where the destfile name leads, and what the new destfile is written to:
// host_create_output. Owns no variable. Assumes that create_temporary takes over
// once the destfile is known to be a replaceable file, and that the runs
// writing one destfile take turns (rename.cpp) at looking at it.
#include <cerrno>
#include <cstring>

#include "restore/host_loops.h"
#include "restore/host_path.h"
#include "win32_host.h"

namespace {

constexpr DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The file the open destfile leads to: a link, as its name shows it (link),
// is followed to its file, so that the file is replaced and the link stays.
bool resolve_destfile(const char* name, DWORD link, HANDLE destfile, char (&target)[MAX_PATH])
{
	if (link == INVALID_FILE_ATTRIBUTES || (link & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
		return copy_path(target, "", 0, name);
	const DWORD length = GetFinalPathNameByHandleA(destfile, target, MAX_PATH, FILE_NAME_NORMALIZED);
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

// Whether file is the one known: the sourcefile, under any name.
bool same_file(HANDLE file, const BY_HANDLE_FILE_INFORMATION& known)
{
	BY_HANDLE_FILE_INFORMATION info{};
	return GetFileInformationByHandle(file, &info) &&
	       info.dwVolumeSerialNumber == known.dwVolumeSerialNumber &&
	       info.nFileIndexHigh == known.nFileIndexHigh && info.nFileIndexLow == known.nFileIndexLow;
}

// Whether another program holds target without sharing writing: tried by
// an open for writing, closed at once.
bool may_write(const char* target)
{
	const HANDLE file = CreateFileA(target, GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING, 0, nullptr);
	if (file == INVALID_HANDLE_VALUE) {
		set_errno_from(GetLastError());
		return false;
	}
	CloseHandle(file);
	return true;
}

enum class destfile_kind { refused, missing, device, file };

// What the destfile name is, by a handle that reads nothing and shares
// everything, closed as soon as it has answered: any open handle holds off
// a rename over the file. A device is opened for writing into device; a
// file's old information and target are filled in; refused sets errno.
destfile_kind look_at_destfile(const char* name, HANDLE source, HANDLE& device,
                               BY_HANDLE_FILE_INFORMATION& old, char (&target)[MAX_PATH])
{
	const DWORD link = GetFileAttributesA(name);
	const HANDLE destfile = open_existing(name, FILE_READ_ATTRIBUTES, share_all);
	if (destfile == INVALID_HANDLE_VALUE)
		return GetLastError() == ERROR_FILE_NOT_FOUND ? destfile_kind::missing
		                                              : destfile_kind::refused;
	// Devices are written as they are; there is nothing to keep.
	if (GetFileType(destfile) != FILE_TYPE_DISK) {
		CloseHandle(destfile);
		device = open_existing(name, GENERIC_WRITE, share_all);
		return device != INVALID_HANDLE_VALUE ? destfile_kind::device : destfile_kind::refused;
	}
	errno = 0;
	const bool found =
	    GetFileInformationByHandle(destfile, &old) && resolve_destfile(name, link, destfile, target);
	if (!found && errno == 0)
		set_errno_from(GetLastError());
	const int error = errno;
	CloseHandle(destfile);
	errno = error;
	if (!found)
		return destfile_kind::refused;
	// A read-only file is refused by its attribute, not only by the open,
	// which some hosts grant (wine to root).
	errno = same_file(source, old) ? EBUSY : EACCES;
	if (errno == EBUSY || (old.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
		return destfile_kind::refused;
	return may_write(target) ? destfile_kind::file : destfile_kind::refused;
}

}  // namespace

host_file host_create_output(const char* name, host_file source)
{
	if (!name_given(name))
		return no_file;
	// A stream of a file cannot be replaced by a rename.
	if (std::strchr(name + dir_length(name), ':') != nullptr) {
		errno = EINVAL;
		return no_file;
	}
	// Looked at in turn with the other runs writing it.
	join_turns(name);
	const bool turn = take_turn();
	HANDLE device = INVALID_HANDLE_VALUE;
	BY_HANDLE_FILE_INFORMATION old{};
	char target[MAX_PATH];
	const destfile_kind kind = look_at_destfile(name, handle_of(source), device, old, target);
	end_turn(turn);
	switch (kind) {
	case destfile_kind::missing:
		return file_of(create_temporary(name, 0, {}));
	case destfile_kind::device:
		return file_of(device);
	case destfile_kind::file:
		return file_of(
		    create_temporary(target, old.dwFileAttributes & kept_attributes, old.ftCreationTime));
	default:
		return no_file;
	}
}
