// Names of the process's own descriptors (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N, or a link to them) are the caller's open files: the
// bitmap goes through that descriptor, at its position and with its append
// mode, and nothing is replaced or cut; as a shell's redirection would. A
// standard stream the caller closed is no destination: process.cpp tells.
// Owns nothing: directory_entry.cpp asks whether a name is such a
// descriptor's, and destination.cpp opens the one it found.
#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"
#ifdef HAVE_PROC_SELF_FD
#include <sys/vfs.h>
#endif

namespace posix_host {

namespace {

bool is_same_directory(int dir, const char* path)
{
	struct stat st {};
	struct stat own {};
	return fstat(dir, &st) == 0 && stat(path, &own) == 0 && is_same_file(st, own);
}

}  // namespace

int own_descriptor(int dir, const char* name)
{
#ifdef HAVE_PROC_SELF_FD
	// On procfs only; there by identity, for /proc/PID/fd of another
	// process holds that process's files, not ours.
	constexpr long procfs = 0x9fa0;
	struct statfs fs {};
	if (fstatfs(dir, &fs) != 0 || fs.f_type != procfs ||
	    !(is_same_directory(dir, "/proc/self/fd") || is_same_directory(dir, "/proc/thread-self/fd")))
		return -1;
#else
	if (!is_same_directory(dir, "/dev/fd"))
		return -1;
#endif
	char* end = nullptr;
	const long fd = std::strtol(name, &end, 10);
	if (end == name || *end != '\0' || fd < 0 || fd > 1 << 20)
		return -1;
	return static_cast<int>(fd);
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
