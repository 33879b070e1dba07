// Another program at work beside dat2bmp, as an indexer or a virus scanner is: opens each file that matches a
// pattern, for reading, with the sharing asked for, and holds it a while.
//
// Or a run that hangs holding its turn at a destfile, through the host's own calls.
//
// usage: scanner PATTERN SHARING HOLD_MS WATCH_MS
//   SHARING: the letters r, w, d for FILE_SHARE_READ, _WRITE, _DELETE ("-" for none). Reports "watching
//   PATTERN" once it looks, then "seen NAME" and "opened NAME" for each file, each on a line of its own, at
//   once. Ends WATCH_MS after the last new file, or after the first file held if WATCH_MS is 0.
// usage: scanner turn NAME
//   Takes the turn of the runs writing the destfile NAME, reports "holding", and keeps it until killed.
#include "restore/win32/win32_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[])
{
	std::setvbuf(stdout, nullptr, _IONBF, 0);  // each report reaches the test at once
	if (argc == 3 && std::strcmp(argv[1], "turn") == 0) {
		if (resolve_destfile(argv[2]) == nullptr || !join_turns() || !take_turn())
			return 1;
		std::printf("holding\n");
		Sleep(INFINITE);
	}
	if (argc != 5)
		return 2;
	const auto shares = [&](char letter, DWORD flag) {
		return std::strchr(argv[2], letter) != nullptr ? flag : 0;
	};
	const DWORD sharing =
	    shares('r', FILE_SHARE_READ) | shares('w', FILE_SHARE_WRITE) | shares('d', FILE_SHARE_DELETE);
	const auto hold = static_cast<DWORD>(std::atol(argv[3]));
	const auto watch = static_cast<DWORD>(std::atol(argv[4]));
	const char* const slash = std::strrchr(argv[1], '\\');
	const int folder_length = slash == nullptr ? 0 : static_cast<int>(slash - argv[1]) + 1;
	char seen[MAX_PATH] = "";
	char held[MAX_PATH] = "";
	std::printf("watching %s\n", argv[1]);
	for (DWORD quiet = GetTickCount(); watch == 0 || GetTickCount() - quiet < watch;) {
		WIN32_FIND_DATAA found{};
		const HANDLE search = FindFirstFileA(argv[1], &found);
		if (search == INVALID_HANDLE_VALUE)
			continue;
		FindClose(search);
		if (std::strcmp(found.cFileName, seen) != 0) {
			std::snprintf(seen, sizeof seen, "%s", found.cFileName);
			std::printf("seen %s\n", seen);
			quiet = GetTickCount();
		}
		if (std::strcmp(found.cFileName, held) == 0)
			continue;
		char path[MAX_PATH];
		std::snprintf(path, sizeof path, "%.*s%s", folder_length, argv[1], found.cFileName);
		// Refused while another program holds it: tried again at once.
		const HANDLE file = CreateFileA(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
		                                FILE_ATTRIBUTE_NORMAL, nullptr);
		if (file == INVALID_HANDLE_VALUE)
			continue;
		std::snprintf(held, sizeof held, "%s", found.cFileName);
		std::printf("opened %s\n", held);
		Sleep(hold);
		CloseHandle(file);
		if (watch == 0)
			break;
		quiet = GetTickCount();
	}
	return 0;
}
