// The loops both hosts run around their own calls: whole transfers, fresh
// temporary names, and the one check of a name before any call.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <span>

// Each call moves at most this: Linux moves about 2 GiB per call, Windows a
// DWORD's worth; stay well below both.
inline constexpr std::size_t max_transfer = std::size_t{1} << 30;

// Names tried for a temporary before the run gives up with EEXIST.
inline constexpr int max_temporary_tries = 100;

// Moves the whole buffer a piece at a time: step(piece) moves what it can of
// piece and returns that count, 0 at the end of the file, or a negative
// count with errno set. Returns the bytes moved; a count short of the
// buffer with errno 0 means the end of the file.
template <typename Byte, typename Step> std::size_t move_whole(std::span<Byte> buffer, Step step)
{
	std::size_t done = 0;
	errno = 0;
	while (done < buffer.size()) {
		const auto moved = step(buffer.subspan(done, std::min(buffer.size() - done, max_transfer)));
		if (moved <= 0)
			break;
		done += static_cast<std::size_t>(moved);
	}
	return done;
}

// Calls attempt(), which tries one fresh name, until it succeeds or fails
// for another cause than the name being taken (EEXIST).
template <typename Attempt> bool with_free_name(Attempt attempt)
{
	for (int tries = 0; tries < max_temporary_tries; ++tries) {
		if (attempt())
			return true;
		if (errno != EEXIST)
			return false;
	}
	return false;
}

// A destfile named by the empty string: no host has such a file.
inline bool name_given(const char* name)
{
	if (*name != '\0')
		return true;
	errno = ENOENT;
	return false;
}
