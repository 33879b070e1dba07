// The temporary the bitmap is written to, in the destfile's directory
// (dir_fd, from destination.cpp): unnamed (O_TMPFILE) where the filesystem
// allows, so that no death leaves it behind; elsewhere a named
// .dat2bmp-XXXXXX, created exclusively, which every death but SIGKILL
// removes (signals.cpp). Owns temp_name and temp_exists: see posix_host.h
// for the rule the signal handler relies on.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "posix_host.h"

namespace posix_host {

char temp_name[16];
volatile std::sig_atomic_t temp_exists = 0;

namespace {

constexpr mode_t new_file_mode = 0666;  // less the umask, as open() gives
constexpr mode_t private_mode = 0600;   // until the old file's mode is kept

int create_named(mode_t mode)
{
	catch_fatal_signals();
	for (int tries = 0; tries < max_tries; ++tries) {
		name_temporary();
		hold_signals();
		const int fd =
		    openat(dir_fd, temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
		temp_exists = fd >= 0;
		release_signals();
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	return -1;
}

}  // namespace

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

// Given the old file's metadata if there is one; private until then.
int create_temporary(const struct stat* old)
{
	const mode_t mode = old != nullptr ? private_mode : new_file_mode;
#ifdef HAVE_O_TMPFILE
	int fd = openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
	// Filesystems without unnamed files say so; old kernels take it for a
	// directory.
	if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR))
		fd = create_named(mode);
#else
	const int fd = create_named(mode);
#endif
	if (fd >= 0 && old != nullptr && !keep_metadata(fd, *old)) {
		const int error = errno;
		close(fd);
		if (temp_exists != 0) {
			hold_signals();
			remove_temporary();
			release_signals();
		}
		errno = error;
		return -1;
	}
	return fd;
}

void remove_temporary()
{
	const int error = errno;
	unlinkat(dir_fd, temp_name, 0);
	temp_exists = 0;
	errno = error;
}

}  // namespace posix_host
