// The temporary the bitmap is written to, in the destfile's directory
// (dir_fd, from lookup.cpp), and the commit that puts it in place of the
// destfile, or its removal. Unnamed (O_TMPFILE) where the filesystem allows,
// so that no death leaves it behind; elsewhere a named .dat2bmp-XXXXXX,
// created exclusively, which every death but SIGKILL removes. Its life:
//
//   create_temporary -unnamed-> written -new name-> link_new: linked as leaf
//     |                            |        (taken meanwhile: looked at again;
//     |                            |         an old file there goes below)
//     |                            +-old file-> replace_with_unnamed:
//     |                                         linked as temp_name -+
//     +-named, signals caught----> written --------------------------+
//                                                                    v
//                                                  rename_temporary onto leaf
//   a failure or a death: remove_temporary (a named one); an unnamed one
//   goes with its descriptor
//
// The commit: set-ID bits given again, data flushed, the name put in place,
// the directory flushed, data flushed again: the data reaches the disk
// before the name does, and the name before the run reports success. Each
// step that creates, renames or removes a named temporary holds every
// signal, so that a signal finds it there and recorded, or gone.
// Owns temp_name, temp_exists and the caller's signal mask while it is held,
// assigned only here. The signal handler reads them and dir_fd (lookup.cpp),
// which changes only while temp_exists is clear: the commit looks again at
// the name only for an unnamed temporary.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "posix_host.h"
#include "restore/host_loops.h"

namespace posix_host {
namespace {

constexpr mode_t new_file_mode = 0666;  // less the umask, as open() gives
constexpr mode_t old_file_mode = 0600;  // until the old file's mode is kept

char temp_name[16];
volatile std::sig_atomic_t temp_exists = 0;  // changes only while every signal is held
sigset_t outer_mask;                         // the caller's, put back by release_signals

// Every signal whose default action ends the process, but SIGKILL and SIGSTOP
// (which cannot be caught) and SIGXFSZ (ignored).
constexpr int fatal_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// Calls only async-signal-safe functions.
void remove_temporary_and_die(int sig)
{
	if (temp_exists != 0)
		unlinkat(dir_fd, temp_name, 0);
	// Past this point the signal ends the process; a failure leaves nothing to do.
	(void)signal(sig, SIG_DFL);
	(void)raise(sig);
}

void catch_signal(int sig)
{
	struct sigaction action {};
	action.sa_handler = remove_temporary_and_die;
	sigfillset(&action.sa_mask);
	struct sigaction old {};
	// A signal ignored by whoever started us stays ignored.
	if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
		sigaction(sig, &action, nullptr);
}

// Only a named temporary needs this: an unnamed one goes with the process.
void catch_fatal_signals()
{
	for (const int sig : fatal_signals)
		catch_signal(sig);
#ifdef SIGRTMIN
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
		catch_signal(sig);
#endif
}

void hold_signals()
{
	sigset_t all;
	sigfillset(&all);
	sigprocmask(SIG_BLOCK, &all, &outer_mask);
}

void release_signals()  // keeps errno
{
	const int error = errno;
	sigprocmask(SIG_SETMASK, &outer_mask, nullptr);
	errno = error;
}

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

// These two with every signal held.
void remove_temporary()  // keeps errno
{
	const int error = errno;
	unlinkat(dir_fd, temp_name, 0);
	temp_exists = 0;
	errno = error;
}

bool rename_temporary()  // temp_name onto leaf, or removed
{
	if (renameat(dir_fd, temp_name, dir_fd, leaf) != 0) {
		remove_temporary();
		return false;
	}
	temp_exists = 0;
	return true;
}

// The file's data and metadata, on the disk itself: where F_FULLFSYNC exists
// (macOS), fsync leaves them in the drive's own cache. A filesystem that
// refuses F_FULLFSYNC still takes fsync.
bool flush_all(int fd)
{
#ifdef HAVE_F_FULLFSYNC
	if (fcntl(fd, F_FULLFSYNC) == 0)
		return true;
	if (errno != ENOTSUP && errno != EINVAL && errno != ENOTTY)
		return false;
#endif
	return fsync(fd) == 0;
}

bool flush_data(int fd)
{
#ifdef HAVE_F_FULLFSYNC
	return flush_all(fd);
#elif defined(HAVE_FDATASYNC)
	return fdatasync(fd) == 0;
#else
	return fsync(fd) == 0;
#endif
}

// The directory's entries, the new name among them, on the disk. One this
// process may only write and search is held without reading (O_PATH,
// O_SEARCH), and no such descriptor takes a flush: then the filesystem
// holding the file fd is flushed where the system can, and elsewhere only the
// file itself.
bool flush_directory(int fd)
{
	if (dir_readable)
		return flush_all(dir_fd);
#ifdef HAVE_SYNCFS
	return syncfs(fd) == 0;
#else
	return flush_all(fd);
#endif
}

// Over the old file: nothing links an unnamed file over an existing name, so
// it takes a fresh temporary name, which is then renamed over it.
bool replace_with_unnamed(int fd)
{
	hold_signals();
	const bool replaced = with_free_name([fd] {
		                      name_temporary();
		                      temp_exists = link_unnamed(fd, temp_name);
		                      return temp_exists != 0;
	                      }) &&
	                      rename_temporary();
	release_signals();
	return replaced;
}

// Links a new destfile. A name another program made meanwhile is looked at
// again: an old file there is replaced as one found from the start, with
// what it has kept; anything else stays as it is (EEXIST).
bool link_new(int fd)
{
	for (int tries = 0; tries < max_lookups; ++tries) {
		if (link_unnamed(fd, leaf))
			return true;
		if (errno != EEXIST)
			return false;
		switch (look_again()) {
		case finding::old_file:
			return keep_metadata(fd, found_status) && flush_all(fd) && replace_with_unnamed(fd);
		case finding::caller_file:
		case finding::other_file:
			errno = EEXIST;
			return false;
		case finding::refused:
			if (errno != EAGAIN)
				return false;
			break;
		case finding::new_name:
			break;
		}
	}
	return false;
}

bool put_in_place(int fd)
{
	if (temp_exists == 0)
		return destination == finding::old_file ? replace_with_unnamed(fd) : link_new(fd);
	hold_signals();
	const bool renamed = rename_temporary();
	release_signals();
	return renamed;
}

// Written in place: a file no directory holds keeps only the new bytes, a
// caller's file all it held, and a block device is flushed, as a file would
// be.
bool finish_in_place(int fd)
{
	struct stat st {};
	if (fstat(fd, &st) != 0)
		return false;
	if (S_ISBLK(st.st_mode))
		return flush_all(fd);
	const off_t end =
	    destination == finding::other_file && S_ISREG(st.st_mode) ? lseek(fd, 0, SEEK_CUR) : 0;
	return end >= 0 && (end == 0 || ftruncate(fd, end) == 0);
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

}  // namespace posix_host

bool host_commit_output(host_file file)
{
	using namespace posix_host;
	const int fd = static_cast<int>(file);
	const bool in_place = !is_own_temporary(destination);
	// A filesystem that shut down after the rename may still answer the
	// directory's flush with success (XFS does); the file's flush after it
	// tells.
	bool done = in_place ? finish_in_place(fd)
	                     : keep_set_id_bits(fd) && flush_data(fd) && put_in_place(fd) &&
	                           flush_directory(fd) && flush_data(fd);
	if (!done) {
		host_discard_output(file);
		return false;
	}
	// After a flush, close has nothing left to report.
	done = close(fd) == 0 || !in_place;
	drop_lookup();
	return done;
}

void host_discard_output(host_file file)
{
	using namespace posix_host;
	const int error = errno;
	if (file != no_file)
		close(static_cast<int>(file));
	if (temp_exists != 0) {
		hold_signals();
		remove_temporary();
		release_signals();
	}
	drop_lookup();
	errno = error;
}
