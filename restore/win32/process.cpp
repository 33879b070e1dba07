// The process around a run on the Win32 host: the console guard set up
// first, then the names exactly as the user typed them. The C library's argv
// has best-fit look-alikes for what the ANSI code page lacks (full-width
// dots become a way up); the command line as typed is UTF-16, and is
// converted here without them. Owns the converted arguments. Assumes that
// temporary.cpp's console handler removes the temporary and ends the run;
// the report's words are errors.cpp's.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "win32_host.h"
// After windows.h, which it needs.
#include <shellapi.h>

namespace {

constexpr int max_arguments = 64;

// The arguments in the ANSI code page, in place of main's from the start on;
// inexact marks those that have a character the code page lacks, each such
// character a '?'. All are inexact if the command line could not be had.
std::array<char*, max_arguments + 1> typed_arguments{};
std::array<bool, max_arguments> inexact{};

// One argument in the ANSI code page, with no look-alike put in for a
// character the code page lacks: inexact then.
char* to_ansi(const WCHAR* wide, bool& is_inexact)
{
	const UINT code_page = GetACP();
	// UTF-8 has every character; it only refuses lone surrogates.
	const DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
	BOOL used_default = FALSE;
	BOOL* const used = code_page == CP_UTF8 ? nullptr : &used_default;
	const int size = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0, nullptr, used);
	auto* name = static_cast<char*>(std::malloc(size > 0 ? static_cast<std::size_t>(size) : 1));
	if (name == nullptr)
		return nullptr;
	if (size == 0 || WideCharToMultiByte(code_page, flags, wide, -1, name, size, nullptr, used) == 0) {
		name[0] = '\0';
		used_default = TRUE;
	}
	is_inexact = used_default != FALSE;
	return name;
}

// Puts the command line as typed, in the ANSI code page, in place of main's
// arguments.
void take_typed_arguments(int& argc, char**& argv)
{
	int count = 0;
	WCHAR** const wide = CommandLineToArgvW(GetCommandLineW(), &count);
	if (wide == nullptr) {
		inexact.fill(true);
		return;
	}
	count = std::min(count, max_arguments);
	for (int i = 0; i < count; ++i) {
		const auto at = static_cast<std::size_t>(i);
		typed_arguments[at] = to_ansi(wide[i], inexact[at]);
		if (typed_arguments[at] == nullptr) {
			inexact.fill(true);
			LocalFree(wide);
			return;
		}
	}
	LocalFree(wide);
	argc = count;
	argv = typed_arguments.data();
}

}  // namespace

void host_start(int& argc, char**& argv)
{
	// Ctrl+C ends the run with its own status, whatever it is writing.
	catch_console_events();
	take_typed_arguments(argc, argv);
}

bool host_exact_argument(int index)
{
	if (index >= 0 && index < max_arguments && !inexact[static_cast<std::size_t>(index)])
		return true;
	errno = EINVAL;
	return false;
}
