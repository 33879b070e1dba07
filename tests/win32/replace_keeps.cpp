// What a replace keeps of the old destfile on the Win32 host, which wine cannot show end to end, by the
// attributes' meanings: archive marks a file whose contents changed since the last backup, so every new
// destfile has it; hidden, system and not-indexed are the user's marks and stay; read-only never reaches a
// replace; temporary is the temporary's own (a destfile kept in the cache), as are compressed and encrypted,
// which basic information cannot set. The creation time is the old file's; a new destfile's is left as made
// (zero). Prints each case that fails.
#include "restore/win32/win32_host.h"

#include <cstdio>
#include <tuple>

constexpr DWORD users_marks =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD never_kept =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED;

// Each case: its name, whether an old destfile is replaced, its attributes, and the new destfile's.
constexpr std::tuple<const char*, bool, DWORD, DWORD> cases[] = {
    {"a new destfile is marked for backup and keeps the time it was made", false, 0, FILE_ATTRIBUTE_ARCHIVE},
    {"a plain old destfile's replacement is marked for backup", true, FILE_ATTRIBUTE_NORMAL,
     FILE_ATTRIBUTE_ARCHIVE},
    {"an archived old destfile's replacement keeps the mark and the user's", true,
     FILE_ATTRIBUTE_ARCHIVE | users_marks, FILE_ATTRIBUTE_ARCHIVE | users_marks},
    {"a read-only, temporary, compressed or encrypted old destfile's replacement is none of these", true,
     never_kept | users_marks, FILE_ATTRIBUTE_ARCHIVE | users_marks},
};

int main()
{
	int failed = 0;
	for (const auto& [name, replacing, old_attributes, attributes] : cases) {
		BY_HANDLE_FILE_INFORMATION old{};
		old.dwFileAttributes = old_attributes;
		old.ftCreationTime = {0x89abcdefU, 0x01234567U};
		const replace_keeps kept = what_replace_keeps(replacing ? &old : nullptr);
		const LONGLONG created = replacing ? 0x0123456789abcdefLL : 0;
		if (kept.attributes != attributes || kept.created.QuadPart != created) {
			std::printf("%s\n", name);
			failed = 1;
		}
	}
	return failed;
}
