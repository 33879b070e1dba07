// The data buffer. A fresh buffer takes a page fault per 4 KiB, most of a
// large file's time; on 2 MiB boundaries and marked for huge pages it takes
// one per 2 MiB. Smaller buffers come faster from malloc. Owns nothing but
// the mappings it hands out. Every buffer of huge_page bytes or more is
// aligned to huge_page: transfer.cpp's direct writes rely on it.
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>

#include "posix_host.h"

namespace {

using posix_host::huge_page;

std::size_t whole_huge_pages(std::size_t size)
{
	return (size + huge_page - 1) & ~(huge_page - 1);
}

}  // namespace

std::uint8_t* host_allocate(std::size_t size)
{
	if (size < huge_page)
		return static_cast<std::uint8_t*>(std::malloc(size));
	// Whole huge pages, so that the tail is one too, and one more to find a
	// boundary in. From the kernel: a 32-bit C library's malloc refuses more
	// than 2 GiB where the address space still has it.
	const std::size_t whole = whole_huge_pages(size);
	const std::size_t mapped = whole + huge_page;
	constexpr int no_fd = -1;  // what an anonymous mapping takes, portably
	void* start = MAP_FAILED;
	if (mapped > size)
		// cppcheck-suppress invalidFunctionArg ; its POSIX library wants a descriptor
		start = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, no_fd, 0);
	if (start == MAP_FAILED) {
		errno = ENOMEM;
		return nullptr;
	}
	auto* const first = static_cast<std::uint8_t*>(start);
	const auto address = reinterpret_cast<std::uintptr_t>(start);
	const std::size_t head = whole_huge_pages(address) - address;
	auto* const buffer = first + head;
	if (head != 0)
		munmap(first, head);
	if (head != huge_page)
		munmap(buffer + whole, huge_page - head);
#ifdef HAVE_MADV_HUGEPAGE
	// Only advice: without it the buffer works the same, only slower.
	madvise(buffer, whole, MADV_HUGEPAGE);
#endif
	return buffer;
}

void host_release(std::uint8_t* buffer, std::size_t size)
{
	if (size < huge_page)
		std::free(buffer);
	else if (buffer != nullptr)
		munmap(buffer, whole_huge_pages(size));
}
