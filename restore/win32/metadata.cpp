// What a replace keeps of the old destfile on the Win32 host, decided from
// what the look found, with no call to the system: the new file's
// attributes and creation time, which the commit sets on the temporary
// before its rename. Owns no variable. Assumes that a read-only old file was
// refused before (the look), so that nothing here ever makes one.
#include <algorithm>
#include <array>

#include "win32_host.h"

namespace {

// Each attribute a temporary or an old destfile may carry, and whether the
// new destfile has it. Left out: read-only (refused before the replace),
// temporary (the temporary's own mark, which would keep the new destfile in
// the cache), compressed, encrypted and sparse (set by their own calls, never
// through basic information: the new file has what its folder gives).
struct attribute_rule {
	DWORD attribute;
	bool kept;
};

constexpr std::array<attribute_rule, 7> attribute_rules{{
    {FILE_ATTRIBUTE_HIDDEN, true},
    {FILE_ATTRIBUTE_SYSTEM, true},
    {FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, true},
    {FILE_ATTRIBUTE_READONLY, false},
    {FILE_ATTRIBUTE_TEMPORARY, false},
    {FILE_ATTRIBUTE_COMPRESSED, false},
    {FILE_ATTRIBUTE_ENCRYPTED, false},
}};

}  // namespace

replace_keeps what_replace_keeps(const BY_HANDLE_FILE_INFORMATION* old)
{
	// The contents are new: marked for the next backup, as any write marks a
	// file; a new destfile keeps the creation time its temporary got (zero:
	// left as it is).
	replace_keeps kept{FILE_ATTRIBUTE_ARCHIVE, {}};
	if (old == nullptr)
		return kept;
	for (const attribute_rule& rule : attribute_rules)
		if (rule.kept)
			kept.attributes |= old->dwFileAttributes & rule.attribute;
	kept.created.LowPart = old->ftCreationTime.dwLowDateTime;
	kept.created.HighPart = static_cast<LONG>(old->ftCreationTime.dwHighDateTime);
	return kept;
}
