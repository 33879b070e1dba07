// The inputs and the bytes: opening the datfile and the sourcefile, sizing,
// and whole transfers, a piece at a time, retried when a signal interrupts
// them. Owns nothing. A large bitmap's whole blocks are written straight
// from the buffer to the disk (O_DIRECT): this relies on memory.cpp
// aligning such a buffer to huge_page, and on destination (destination.cpp)
// to tell whether the output is a temporary of ours (is_own_temporary).
// Any other output's open file may be shared, the caller's among others: its
// flags stay as they are.
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_loops.h"

namespace {

// Moves the whole buffer a piece at a time, until done, the end of the
// file, or a failure other than an interruption.
template <typename Byte, typename Move>
std::size_t move_all(host_file file, std::span<Byte> buffer, Move move)
{
	return move_whole(buffer, [file, move](std::span<Byte> piece) {
		ssize_t n = 0;
		do
			n = move(static_cast<int>(file), piece.data(), piece.size());
		while (n < 0 && errno == EINTR);
		return n;
	});
}

// A caller's descriptor may be non-blocking: it is waited on, as a blocking
// one would be inside write().
ssize_t write_when_ready(int fd, const std::uint8_t* data, std::size_t size)
{
	for (;;) {
		const ssize_t n = write(fd, data, size);
		pollfd ready{fd, POLLOUT, 0};
		if (n >= 0 || errno != EAGAIN || (poll(&ready, 1, -1) < 0 && errno != EINTR))
			return n;
	}
}

}  // namespace

host_file host_open_input(const char* name)
{
	// Not blocking, so that a FIFO without a writer cannot hold the run; then
	// blocking, so that one with a writer is read as it writes. O_NONBLOCK is
	// the only status flag it was opened with.
	const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return no_file;
	struct stat st {};
	if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
		const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
		close(fd);
		errno = error;
		return no_file;
	}
	return fd;
}

std::int64_t host_size(host_file file)
{
	const int fd = static_cast<int>(file);
	const off_t end = lseek(fd, 0, SEEK_END);
	if (end < 0 || lseek(fd, 0, SEEK_SET) < 0)
		return -1;
	return end;
}

std::size_t host_read_all(host_file file, std::span<std::uint8_t> buffer)
{
	return move_all(file, buffer, read);
}

// The page cache neither takes a second copy of the direct blocks nor holds
// them for the flush. The tail, and every file or filesystem that refuses a
// direct write, go through the cache.
std::size_t host_write_all(host_file file, std::span<const std::uint8_t> buffer)
{
	std::size_t done = 0;
#ifdef HAVE_O_DIRECT
	using namespace posix_host;
	// What every disk takes for a direct write: offset, length and address.
	constexpr std::size_t direct_block = 4096;
	const int fd = static_cast<int>(file);
	const std::size_t blocks = buffer.size() & ~(direct_block - 1);
	const int flags =
	    is_own_temporary(destination) && buffer.size() >= huge_page ? fcntl(fd, F_GETFL) : -1;
	if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_DIRECT) == 0) {
		done = move_all(file, buffer.first(blocks), write);
		const int error = errno;
		if (fcntl(fd, F_SETFL, flags) != 0)
			return done;
		errno = error;
		// A block size the disk does not take leaves it all to the cache.
		if (done < blocks && error != EINVAL)
			return done;
	}
#endif
	return done + move_all(file, buffer.subspan(done), write_when_ready);
}

void host_close(host_file file)
{
	const int error = errno;
	close(static_cast<int>(file));
	errno = error;
}
