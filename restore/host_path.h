// Path building for the host files: fixed buffers, nothing allocated.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>

// Writes into the buffer to the first dir_length bytes of dir (dir may be
// that buffer), then name; ENAMETOOLONG if that does not fit.
template <std::size_t N>
bool copy_path(char (&to)[N], const char* dir, std::size_t dir_length, const char* name)
{
	const std::size_t length = std::strlen(name);
	if (dir_length + length >= N) {
		errno = ENAMETOOLONG;
		return false;
	}
	std::memmove(to + dir_length, name, length + 1);
	if (to != dir)
		std::memcpy(to, dir, dir_length);
	return true;
}
