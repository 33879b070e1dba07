// Another program at work beside dat2bmp, as an indexer or a virus scanner
// is: opens each file that matches a pattern, for reading, with the sharing
// asked for, and holds it a while.
//
// usage: scanner PATTERN SHARING HOLD_MS WATCH_MS
//   SHARING: the letters r, w, d for FILE_SHARE_READ, _WRITE, _DELETE ("-"
//   for none). "watching PATTERN" once it looks; every file seen is reported on a line of its own as
//   "opened NAME" or "refused NAME ERROR", at once; the scanner ends after
//   WATCH_MS without a new file, or after the first file held if WATCH_MS
//   is 0.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
	if (argc != 5)
		return 2;
	DWORD sharing = 0;
	for (const char* c = argv[2]; *c != '\0'; ++c)
		sharing |= *c == 'r'   ? FILE_SHARE_READ
		           : *c == 'w' ? FILE_SHARE_WRITE
		           : *c == 'd' ? FILE_SHARE_DELETE
		                       : 0;
	const auto hold = static_cast<DWORD>(std::atol(argv[3]));
	const auto watch = static_cast<DWORD>(std::atol(argv[4]));
	char folder[MAX_PATH];
	char path[MAX_PATH];
	std::snprintf(folder, sizeof folder, "%s", argv[1]);
	char* const slash = std::strrchr(folder, '\\');
	const std::size_t folder_length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - folder) + 1;
	char last[MAX_PATH] = "";
	std::printf("watching %s\n", argv[1]);
	std::fflush(stdout);
	for (DWORD quiet = GetTickCount(); watch == 0 || GetTickCount() - quiet < watch;) {
		WIN32_FIND_DATAA found{};
		const HANDLE search = FindFirstFileA(argv[1], &found);
		if (search == INVALID_HANDLE_VALUE || std::strcmp(found.cFileName, last) == 0) {
			if (search != INVALID_HANDLE_VALUE)
				FindClose(search);
			continue;
		}
		FindClose(search);
		std::snprintf(last, sizeof last, "%s", found.cFileName);
		std::snprintf(path, sizeof path, "%.*s%s", static_cast<int>(folder_length), folder, last);
		const HANDLE file = CreateFileA(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
		                                FILE_ATTRIBUTE_NORMAL, nullptr);
		if (file == INVALID_HANDLE_VALUE) {
			std::printf("refused %s %lu\n", last, GetLastError());
		} else {
			std::printf("opened %s\n", last);
		}
		std::fflush(stdout);
		if (file != INVALID_HANDLE_VALUE) {
			Sleep(hold);
			CloseHandle(file);
		}
		if (watch == 0)
			break;
		quiet = GetTickCount();
	}
	return 0;
}
