// Where the Win32 host finds a path's folder part to end, in the ANSI code page of the run (wine's follows
// the locale). The errno a Win32 error is reported as is read end to end, under wine.
#include "restore/win32/win32_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// Per code page (0: any), paths and where their folder part ends. "\x95\\" is one character in cp932, its
// second byte a backslash; two in cp1252.
const std::vector<std::pair<UINT, std::vector<std::pair<const char*, std::size_t>>>> folders{
    {0, {{"", 0}, {"a.bmp", 0}, {"d\\a.bmp", 2}, {"d/a.bmp", 2}}},
    {0, {{"C:a.bmp", 2}, {"C:\\d/e\\a.bmp", 7}, {"\\\\host\\share\\a.bmp", 13}}},
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
