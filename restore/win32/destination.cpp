// Where the new destfile is written on the Win32 host: host_create_output.
// The name is resolved and looked at in turn with the other runs writing the
// same file; a device is the output itself, a file (old or missing) is
// replaced by a temporary. Owns no variable. Assumes lookup.cpp's one
// resolved name, which the look turns into the final path of the file a
// link leads to, and that create_temporary takes over from there.
#include "restore/host_loops.h"
#include "win32_host.h"

namespace {

// The look, in the turn of the file the name leads to. A link's file may be
// another file's turn: then the look is made again in that one.
destfile_kind look_in_turn(host_file source, HANDLE& device, BY_HANDLE_FILE_INFORMATION& old)
{
	(void)join_turns();
	if (!take_turn())
		return destfile_kind::refused;
	destfile_kind kind = look_at_destfile(source, device, old);
	if (kind == destfile_kind::file && join_turns()) {
		end_turn();
		if (!take_turn())
			return destfile_kind::refused;
		kind = look_at_destfile(source, device, old);
	}
	end_turn();
	return kind;
}

}  // namespace

host_file host_create_output(const char* name, host_file source)
{
	const WCHAR* const target = name_given(name) ? resolve_destfile(name) : nullptr;
	if (target == nullptr)
		return no_file;
	HANDLE device = INVALID_HANDLE_VALUE;
	BY_HANDLE_FILE_INFORMATION old{};
	switch (look_in_turn(source, device, old)) {
	case destfile_kind::missing:
		return file_of(create_temporary(target, what_replace_keeps(nullptr)));
	case destfile_kind::device:
		return file_of(device);
	case destfile_kind::file:
		return file_of(create_temporary(target, what_replace_keeps(&old)));
	default:
		return no_file;
	}
}
