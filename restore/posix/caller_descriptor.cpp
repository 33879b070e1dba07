// Names of the process's own descriptors (/dev/stdout, /dev/fd/N, N in the
// fd directory of this process or of one of its threads, on any procfs
// mount, or a link to one) are the caller's open files: the bitmap goes
// through that descriptor, at its position and with its append mode, and
// nothing is replaced or cut; as a shell's redirection would. A standard
// stream the caller closed is no destination: process.cpp tells.
// Owns nothing: directory_entry.cpp asks whether a name is such a
// descriptor's, and destination.cpp opens the one it found.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

namespace posix_host {

namespace {

// Whether dir lists this process's descriptors, by what the kernel opens
// there: a pipe made now, which no other process holds, under its own
// number. No spelling of the directory's path, pid or mount can pass for it.
// Opening N there would not tell: it makes a new open file of N's file.
// -1 with errno where no pipe can be made.
int lists_own_descriptors(int dir)
{
	int probe[2];
	if (pipe(probe) != 0)
		return -1;
	char number[16];
	(void)std::snprintf(number, sizeof number, "%d", probe[0]);
	struct stat listed {};
	struct stat own {};
	const bool own_list =
	    fstatat(dir, number, &listed, 0) == 0 && fstat(probe[0], &own) == 0 && is_same_file(listed, own);
	close_kept(probe[0]);
	close_kept(probe[1]);
	return own_list ? 1 : 0;
}

// Where the system's /dev/fd shows no descriptor's own file (only devices of
// its own), the directory itself tells.
bool is_dev_fd(int dir)
{
	struct stat st {};
	struct stat dev_fd {};
	return fstat(dir, &st) == 0 && stat("/dev/fd", &dev_fd) == 0 && is_same_file(st, dev_fd);
}

}  // namespace

int own_descriptor(int dir, const char* name)
{
	char* end = nullptr;
	const long fd = std::strtol(name, &end, 10);
	if (end == name || *end != '\0' || fd < 0 || fd > 1 << 20)
		return -1;
	const int own = lists_own_descriptors(dir);
	if (own < 0)
		return not_known;
	return own == 1 || is_dev_fd(dir) ? static_cast<int>(fd) : -1;
}

int open_caller_descriptor(int fd, const struct stat& found)
{
	if (is_filled_stream(fd)) {
		errno = EBADF;  // closed by the caller, as cat would find it
		return -1;
	}
	const int flags = fcntl(fd, F_GETFL);
	struct stat st {};
	if (flags < 0 || fstat(fd, &st) != 0)
		return -1;
	if ((flags & O_ACCMODE) == O_RDONLY) {
		errno = EBADF;  // open for reading only, as a shell's < gives
		return -1;
	}
	if (!is_same_file(st, found)) {
		errno = EAGAIN;  // the descriptor changed meanwhile
		return -1;
	}
	return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace posix_host
