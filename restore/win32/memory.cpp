// The data buffer of the Win32 host, from the C library's heap. Owns no
// variable: the buffer is the caller's. Assumes nothing of the other files.
#include <cerrno>
#include <cstdlib>

#include "win32_host.h"

std::uint8_t* host_allocate(std::size_t size)
{
	auto* buffer = static_cast<std::uint8_t*>(std::malloc(size));
	if (buffer == nullptr)
		errno = ENOMEM;
	return buffer;
}

void host_release(std::uint8_t* buffer, std::size_t)
{
	std::free(buffer);
}
