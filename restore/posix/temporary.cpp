// The temporary the bitmap is written to, in the destfile's directory
// (dir_fd, from destination.cpp): unnamed (O_TMPFILE) where the filesystem
// allows, so that no death leaves it behind; elsewhere a named
// .dat2bmp-XXXXXX, created exclusively, which every death but SIGKILL
// removes (signals.cpp). The life of a temporary:
//
//   create_temporary --unnamed, no old file--> link_as_destfile
//         |  \--------unnamed, an old file--> name_unnamed --+
//         +--named--------------------------------------------+--> rename_temporary
//   a failure or a death: remove_temporary (a named one), or nothing to do
//   (an unnamed one goes with its descriptor)
//
// Owns temp_name and temp_exists, the only file that assigns them: see
// posix_host.h for the rule the signal handler relies on.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_loops.h"

namespace posix_host {

char temp_name[16];
volatile std::sig_atomic_t temp_exists = 0;

namespace {

constexpr mode_t new_file_mode = 0666;  // less the umask, as open() gives
constexpr mode_t old_file_mode = 0600;  // until the old file's mode is kept

// Names are tried until one is free, so they need only differ, not be secret.
void name_temporary()
{
	static std::uint64_t state = 0;
	if (state == 0) {
		timespec now{};
		clock_gettime(CLOCK_REALTIME, &now);
		state = (static_cast<std::uint64_t>(now.tv_nsec) ^
		         (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
		         (static_cast<std::uint64_t>(getpid()) << 42)) |
		        1U;
	}
	constexpr char letters[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
	constexpr std::size_t prefix = 9;
	std::memcpy(temp_name, ".dat2bmp-", prefix);
	for (std::size_t i = prefix; i < sizeof temp_name - 1; ++i) {
		state ^= state << 13;
		state ^= state >> 7;
		state ^= state << 17;
		temp_name[i] = letters[state % (sizeof letters - 1)];
	}
	temp_name[sizeof temp_name - 1] = '\0';
}

int create_named(mode_t mode)
{
	catch_fatal_signals();
	int fd = -1;
	(void)with_free_name([&fd, mode] {
		name_temporary();
		hold_signals();
		fd = openat(dir_fd, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
		temp_exists = fd >= 0;
		release_signals();
		return fd >= 0;
	});
	return fd;
}

// Gives the unnamed file fd the name in dir_fd.
bool link_unnamed(int fd, const char* name)
{
#ifdef HAVE_O_TMPFILE
	// By the descriptor itself where the kernel lets this process (root, or
	// since Linux 6.10 the file's own opener): a first use of /proc costs a
	// run more than the rest of its commit. Else through /proc.
	if (linkat(fd, "", dir_fd, name, AT_EMPTY_PATH) == 0)
		return true;
	return errno == ENOENT && linkat(AT_FDCWD, fd_path(fd).text, dir_fd, name, AT_SYMLINK_FOLLOW) == 0;
#else
	(void)fd;
	(void)name;
	errno = ENOSYS;
	return false;
#endif
}

}  // namespace

// Private until the old file's metadata is given to it.
int create_temporary(bool private_mode)
{
	const mode_t mode = private_mode ? old_file_mode : new_file_mode;
#ifdef HAVE_O_TMPFILE
	const int fd = openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
	// Filesystems without unnamed files say so; old kernels take it for a
	// directory.
	if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR))
		return create_named(mode);
	return fd;
#else
	return create_named(mode);
#endif
}

bool link_as_destfile(int fd)
{
	return link_unnamed(fd, leaf);
}

// Nothing links an unnamed file over an existing name: it gets a temporary
// name first, which rename_temporary then puts over the old file.
bool name_unnamed(int fd)
{
	return with_free_name([fd] {
		name_temporary();
		temp_exists = link_unnamed(fd, temp_name);
		return temp_exists != 0;
	});
}

bool rename_temporary()
{
	if (renameat(dir_fd, temp_name, dir_fd, leaf) != 0) {
		remove_temporary();
		return false;
	}
	temp_exists = 0;
	return true;
}

void remove_temporary()
{
	const int error = errno;
	unlinkat(dir_fd, temp_name, 0);
	temp_exists = 0;
	errno = error;
}

}  // namespace posix_host
