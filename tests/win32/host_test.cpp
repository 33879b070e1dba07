// Where the Win32 host finds a path's folder part to end, in the ANSI code page of the run (wine's follows
// the locale), and what a replace keeps of the old destfile's attributes and times, which wine cannot show
// end to end.
#include "restore/win32/win32_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// What a replace keeps, by the attributes' meanings: archive marks a file whose contents changed since the
// last backup, so every new destfile has it; hidden, system and not-indexed are the user's marks and stay;
// read-only never reaches a replace; temporary is the temporary's own (a destfile kept in the cache), as are
// compressed and encrypted, which basic information cannot set. The creation time is the old file's; a new
// destfile's is left as made (zero).
struct kept_case {
	const char* name;
	bool replacing;
	DWORD old_attributes;
	DWORD attributes;
	bool keeps_creation;
};

constexpr DWORD users_marks =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
const std::vector<kept_case> kept_cases{
    {"a new destfile is marked for backup and keeps the time it was made", false, 0, FILE_ATTRIBUTE_ARCHIVE,
     false},
    {"a plain old destfile's replacement is marked for backup", true, FILE_ATTRIBUTE_NORMAL,
     FILE_ATTRIBUTE_ARCHIVE, true},
    {"an archived old destfile's replacement keeps the mark and the user's", true,
     FILE_ATTRIBUTE_ARCHIVE | users_marks, FILE_ATTRIBUTE_ARCHIVE | users_marks, true},
    {"a read-only, temporary, compressed or encrypted old destfile's replacement is none of these", true,
     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_COMPRESSED |
         FILE_ATTRIBUTE_ENCRYPTED | users_marks,
     FILE_ATTRIBUTE_ARCHIVE | users_marks, true},
};

TEST(Win32Host, ReplaceKeepsTheUsersMarksAndTheCreationTime)
{
	for (const kept_case& c : kept_cases) {
		BY_HANDLE_FILE_INFORMATION old{};
		old.dwFileAttributes = c.old_attributes;
		old.ftCreationTime = {0x89abcdefU, 0x01234567U};
		const replace_keeps kept = what_replace_keeps(c.replacing ? &old : nullptr);
		EXPECT_EQ(kept.attributes, c.attributes) << c.name;
		EXPECT_EQ(kept.created.QuadPart, c.keeps_creation ? 0x0123456789abcdefLL : 0LL) << c.name;
	}
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
