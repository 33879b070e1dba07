// Where the Win32 host finds a path's folder part to end, in the ANSI code page of the run (wine's follows
// the locale). The errno a Win32 error is reported as is read end to end, under wine.
#include "restore/win32/win32_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// Each cause, with the Win32 errors that mean it: a file on its way out is gone to a new open; a drive
// without its medium is no device to write to; a read-only file is not the writer's to write; too many
// reparse points on the way are a loop; a pipe being closed is broken.
const std::vector<std::pair<int, std::vector<DWORD>>> causes{
    {0, {ERROR_SUCCESS}},
    {ENOENT,
     {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_BAD_NETPATH, ERROR_BAD_NET_NAME,
      ERROR_DELETE_PENDING}},
    {EACCES, {ERROR_ACCESS_DENIED, ERROR_INVALID_ACCESS, ERROR_CANNOT_MAKE, ERROR_FILE_READ_ONLY}},
    {EOPNOTSUPP, {ERROR_NOT_SUPPORTED}},
    {EROFS, {ERROR_WRITE_PROTECT}},
    {EBUSY, {ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_BUSY, ERROR_DEVICE_IN_USE}},
    {ENOSPC, {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}},
    {ENOMEM, {ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY}},
    {EINVAL, {ERROR_INVALID_NAME, ERROR_BAD_PATHNAME, ERROR_INVALID_PARAMETER, ERROR_NEGATIVE_SEEK}},
    {ENOTDIR, {ERROR_DIRECTORY}},
    {EEXIST, {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS}},
    {ENAMETOOLONG, {ERROR_FILENAME_EXCED_RANGE, ERROR_BUFFER_OVERFLOW}},
    {EFBIG, {ERROR_FILE_TOO_LARGE}},
    {ENODEV, {ERROR_DEV_NOT_EXIST, ERROR_BAD_DEV_TYPE, ERROR_BAD_UNIT, ERROR_NOT_READY}},
    {ELOOP, {ERROR_CANT_RESOLVE_FILENAME}},
    {EBADF, {ERROR_INVALID_HANDLE}},
    {EXDEV, {ERROR_NOT_SAME_DEVICE}},
    {EPIPE, {ERROR_BROKEN_PIPE, ERROR_NO_DATA}},
    {EMFILE, {ERROR_TOO_MANY_OPEN_FILES}},
    {EIO, {ERROR_GEN_FAILURE, ERROR_CRC, ERROR_SEEK}}};

TEST(Win32Host, EachErrorIsReportedAsItsCause)
{
	for (const auto& [number, errors] : causes)
		for (const DWORD error : errors)
			EXPECT_EQ(errno_for(error), number) << "Win32 error " << error;
}

// Per code page (0: any), paths and where their folder part ends. "\x95\\" is one character in cp932, its
// second byte a backslash; two in cp1252.
const std::vector<std::pair<UINT, std::vector<std::pair<const char*, std::size_t>>>> folders{
    {0, {{"", 0}, {"a.bmp", 0}, {"d\\a.bmp", 2}, {"d/a.bmp", 2}}},
    {0, {{"C:a.bmp", 2}, {"C:\\d/e\\a.bmp", 7}, {"\\\\host\\share\\a.bmp", 13}}},
    {0, {{"a.bmp:s", 0}, {"d\\a.bmp:s", 2}, {"C:a.bmp:s", 2}}},  // a stream's colon is part of the name
    {0, {{"d\\", 2}, {"d\\\x95", 2}}},
    {1252, {{"\x95\\.bmp", 2}, {"d\\\x95\\a", 4}}},
    {932, {{"\x95\\.bmp", 0}, {"d\\\x95\\a", 2}, {"\x95\\\\a", 3}}}};

TEST(Win32Host, FolderPartEndsAfterTheLastSeparator)
{
	// ctest names the code page that its locale gives (.ci/run generates the locale).
	if (const char* wanted = std::getenv("CODE_PAGE")) {
		ASSERT_EQ(GetACP(), std::strtoul(wanted, nullptr, 10)) << "is the locale generated?";
	}
	for (const auto& [code_page, paths] : folders)
		for (const auto& [path, length] : paths)
			if (code_page == 0 || code_page == GetACP()) {
				EXPECT_EQ(dir_length(path), length) << path;
			}
}

}  // namespace
