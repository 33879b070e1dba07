// Names of the process's own descriptors (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N, or a link to them) are the caller's open files: the
// bitmap goes through that descriptor, at its position and with its append
// mode, and nothing is replaced or cut; as a shell's redirection would. A
// standard stream the caller closed is no destination: process.cpp tells.
// Owns caller_fd; read by destination.cpp, which chooses this route.
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

int caller_fd = -1;

namespace {

bool is_same_directory(int dir, const char* path)
{
	struct stat st {};
	struct stat own {};
	return fstat(dir, &st) == 0 && stat(path, &own) == 0 && is_same_file(st, own);
}

}  // namespace

bool is_own_descriptor(int dir, const char* entry)
{
#ifdef HAVE_PROC_SELF_FD
	// On procfs only; there by identity, for /proc/PID/fd of another
	// process holds that process's files, not ours.
	constexpr long procfs = 0x9fa0;
	struct statfs fs {};
	if (fstatfs(dir, &fs) != 0 || fs.f_type != procfs ||
	    !(is_same_directory(dir, "/proc/self/fd") || is_same_directory(dir, "/proc/thread-self/fd")))
		return false;
#else
	if (!is_same_directory(dir, "/dev/fd"))
		return false;
#endif
	char* end = nullptr;
	const long fd = std::strtol(entry, &end, 10);
	if (end == entry || *end != '\0' || fd < 0 || fd > 1 << 20)
		return false;
	caller_fd = static_cast<int>(fd);
	return true;
}

int open_caller_descriptor(const struct stat& found_file)
{
	if (is_filled_stream(caller_fd)) {
		errno = EBADF;  // closed by the caller, as cat would find it
		return -1;
	}
	const int flags = fcntl(caller_fd, F_GETFL);
	struct stat st {};
	if (flags < 0 || fstat(caller_fd, &st) != 0)
		return -1;
	if ((flags & O_ACCMODE) == O_RDONLY) {
		errno = EBADF;  // open for reading only, as a shell's < gives
		return -1;
	}
	if (!is_same_file(st, found_file)) {
		errno = EAGAIN;  // the descriptor changed meanwhile
		return -1;
	}
	return fcntl(caller_fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace posix_host
