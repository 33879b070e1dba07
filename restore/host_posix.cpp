// POSIX host: the destfile is replaced by renaming a finished temporary
// over it, so that it holds either its old bytes or the whole new ones.
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host.h"
#include "host_path.h"

namespace {

// Linux moves at most about 2 GiB per call; stay well below on every host.
constexpr std::size_t max_transfer = std::size_t{1} << 30;
constexpr int max_link_hops = 40;
constexpr const char temp_pattern[] = ".dat2bmp-XXXXXX";

// The file the destfile name leads to, and the temporary that replaces it.
// An empty temp_path means the output is the destfile itself.
char target_path[PATH_MAX];
char temp_path[PATH_MAX];
volatile std::sig_atomic_t temp_exists = 0;

constexpr std::array<int, 3> fatal_signals{SIGINT, SIGTERM, SIGHUP};

void remove_temp_and_die(int sig)
{
	if (temp_exists != 0)
		unlink(temp_path);
	// Past this point the signal ends the process; a failure leaves nothing to do.
	(void)signal(sig, SIG_DFL);
	(void)raise(sig);
}

// Holds off the fatal signals while the temporary changes hands.
void hold_signals(bool hold)
{
	sigset_t set;
	sigemptyset(&set);
	for (const int sig : fatal_signals)
		sigaddset(&set, sig);
	sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void catch_signals()
{
	struct sigaction action {};
	action.sa_handler = remove_temp_and_die;
	sigemptyset(&action.sa_mask);
	for (const int sig : fatal_signals) {
		struct sigaction old {};
		// A signal ignored by whoever started us stays ignored.
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
			sigaction(sig, &action, nullptr);
	}
	// Past a file-size limit, write() fails with EFBIG instead.
	(void)signal(SIGXFSZ, SIG_IGN);
}

std::size_t dir_length(const char* path)
{
	const char* slash = std::strrchr(path, '/');
	return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// Follows symbolic links in target_path, so that their target is replaced
// and the links stay.
bool follow_links(const char* name)
{
	if (!copy_path(target_path, "", 0, name))
		return false;
	for (int hops = 0;; ++hops) {
		struct stat st {};
		// Only a missing name is a new file; any other failure could hide a
		// link, which must not be replaced.
		if (lstat(target_path, &st) != 0)
			return errno == ENOENT;
		if (!S_ISLNK(st.st_mode))
			return true;
		if (hops == max_link_hops) {
			errno = ELOOP;
			return false;
		}
		char link[PATH_MAX];
		const ssize_t n = readlink(target_path, link, sizeof link - 1);
		if (n < 0)
			return false;
		link[n] = '\0';
		const std::size_t dir = link[0] == '/' ? 0 : dir_length(target_path);
		if (!copy_path(target_path, target_path, dir, link))
			return false;
	}
}

bool is_same_file(const struct stat& a, const struct stat& b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int create_temp(const struct stat* old)
{
	if (!copy_path(temp_path, target_path, dir_length(target_path), temp_pattern))
		return -1;
	hold_signals(true);
	const int fd = mkostemp(temp_path, O_CLOEXEC);
	temp_exists = fd >= 0;
	hold_signals(false);
	if (fd < 0)
		return -1;

	// The new file takes the old one's owner and mode; a new destfile gets
	// what open() would have given it.
	mode_t mode = 0;
	if (old != nullptr) {
		if (fchown(fd, old->st_uid, old->st_gid) != 0) {
			// Not ours to give away: keep our own, as a copy would.
		}
		mode = old->st_mode & 07777;
	} else {
		const mode_t mask = umask(0);
		umask(mask);
		mode = 0666 & ~mask;
	}
	if (fchmod(fd, mode) != 0) {
		host_discard_output(fd);
		return -1;
	}
	return fd;
}

// Moves the whole buffer a piece at a time, until done, the end of the
// file, or a failure other than an interruption.
template <typename Byte, typename Move>
std::size_t move_all(host_file file, std::span<Byte> buffer, Move move)
{
	std::size_t done = 0;
	errno = 0;
	while (done < buffer.size()) {
		const ssize_t n = move(static_cast<int>(file), buffer.data() + done,
		                       std::min(buffer.size() - done, max_transfer));
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += static_cast<std::size_t>(n);
	}
	return done;
}

}  // namespace

void host_start() {}

host_file host_open_input(const char* name)
{
	const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
	if (fd < 0)
		return no_file;
	struct stat st {};
	if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
		close(fd);
		errno = EISDIR;
		return no_file;
	}
	return fd;
}

host_file host_create_output(const char* name, host_file source)
{
	temp_path[0] = '\0';
	if (*name == '\0') {
		errno = ENOENT;
		return no_file;
	}
	if (!follow_links(name))
		return no_file;

	struct stat old {};
	if (stat(target_path, &old) != 0) {
		if (errno != ENOENT)
			return no_file;
		catch_signals();
		return create_temp(nullptr);
	}

	struct stat src {};
	// Unless the sourcefile is known to be another file, it is not replaced.
	if (fstat(static_cast<int>(source), &src) != 0)
		return no_file;
	if (is_same_file(src, old)) {
		errno = EBUSY;
		return no_file;
	}
	if (S_ISDIR(old.st_mode)) {
		errno = EISDIR;
		return no_file;
	}
	// Devices and FIFOs are written as they are; there is nothing to keep.
	const int fd = open(target_path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
	if (fd < 0 || !S_ISREG(old.st_mode))
		return fd;
	// The old file could be written, so it may be replaced.
	close(fd);
	catch_signals();
	return create_temp(&old);
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

std::size_t host_write_all(host_file file, std::span<const std::uint8_t> buffer)
{
	return move_all(file, buffer, write);
}

bool host_commit_output(host_file file)
{
	if (close(static_cast<int>(file)) != 0) {
		host_discard_output(no_file);
		return false;
	}
	if (temp_path[0] == '\0')
		return true;
	hold_signals(true);
	const bool renamed = rename(temp_path, target_path) == 0;
	const int error = errno;
	if (!renamed)
		unlink(temp_path);
	temp_exists = 0;
	hold_signals(false);
	errno = error;
	return renamed;
}

void host_discard_output(host_file file)
{
	const int error = errno;
	if (file != no_file)
		close(static_cast<int>(file));
	if (temp_exists != 0) {
		unlink(temp_path);
		temp_exists = 0;
	}
	errno = error;
}

void host_close(host_file file)
{
	const int error = errno;
	close(static_cast<int>(file));
	errno = error;
}

// A fresh buffer takes a page fault per 4 KiB, most of a large file's time;
// on 2 MiB boundaries and marked for huge pages it takes one per 2 MiB.
// Smaller buffers come faster from malloc.
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::uint8_t* host_allocate(std::size_t size)
{
	if (size < huge_page)
		return static_cast<std::uint8_t*>(std::malloc(size));
	// Whole huge pages, so that the tail is one too.
	const std::size_t whole = (size + huge_page - 1) & ~(huge_page - 1);
	void* buffer = nullptr;
	const int error = whole < size ? ENOMEM : posix_memalign(&buffer, huge_page, whole);
	if (error != 0) {
		errno = error;
		return nullptr;
	}
	// Only advice: without it the buffer works the same, only slower.
	madvise(buffer, whole, MADV_HUGEPAGE);
	return static_cast<std::uint8_t*>(buffer);
}

void host_release(std::uint8_t* buffer, std::size_t)
{
	std::free(buffer);
}

void host_report(const char* message)
{
	std::perror(message);
}
