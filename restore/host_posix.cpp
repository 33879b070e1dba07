// POSIX host. The kernel resolves the destfile's name, with its own link
// rules (protected_symlinks, /dev/stdout, /dev/fd/N), and what it finds
// decides how the bitmap gets there:
// - a regular file linked in a directory, or no file yet: the bitmap goes to
//   a temporary in that directory, is flushed, and is then linked under the
//   name or renamed over the old file, so that the name holds the old bytes
//   or all the new ones, across a crash or a power cut too;
// - a device, FIFO, terminal or unlinked file: written directly.
// The temporary is unnamed (O_TMPFILE) where the filesystem allows, so that
// no death leaves it behind; elsewhere it is a named .dat2bmp-XXXXXX file
// that every death but SIGKILL removes.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host.h"
#include "host_path.h"

// Linux extras, each with the portable path beside it. DAT2BMP_PORTABLE_POSIX
// turns them all off, so that the paths other systems take are tested here.
#ifndef DAT2BMP_PORTABLE_POSIX
#ifdef O_PATH
#define HAVE_O_PATH 1  // a file held without reading or writing it
#endif
#ifdef O_TMPFILE
#define HAVE_O_TMPFILE 1  // an unnamed file, linked in when complete
#endif
#if defined(STATX_ATTR_MOUNT_ROOT) && defined(STATX_ATTR_APPEND)
#define HAVE_STATX_ATTRIBUTES 1
#endif
#ifdef MADV_HUGEPAGE
#define HAVE_MADV_HUGEPAGE 1
#endif
#ifdef O_DIRECT
#define HAVE_O_DIRECT 1  // writes from the buffer straight to the disk
#endif
#endif

namespace {

// Linux moves at most about 2 GiB per call; stay well below on every host.
constexpr std::size_t max_transfer = std::size_t{1} << 30;
constexpr int max_link_hops = 40;
constexpr int max_tries = 100;
constexpr mode_t new_file_mode = 0666;  // less the umask, as open() gives
constexpr mode_t private_mode = 0600;   // until the old file's mode is copied
// A fresh buffer takes a page fault per 4 KiB, most of a large file's time;
// on 2 MiB boundaries and marked for huge pages it takes one per 2 MiB.
// Smaller buffers come faster from malloc. host_allocate aligns every
// buffer of this size or more to it.
constexpr std::size_t huge_page = std::size_t{2} << 20;
// What every disk takes for a direct write: offset, length and address.
constexpr std::size_t direct_block = 4096;

enum class output_kind {
	direct,       // the file the kernel found, written in place
	unnamed_new,  // O_TMPFILE, linked under the name
	unnamed_old,  // O_TMPFILE, linked under a temporary name and renamed over the old file
	named,        // a named temporary, renamed onto the name
};

// The destination: the directory the destfile is in (dir_fd) and its name
// there (leaf); the sourcefile and the file the name led to, if any.
output_kind kind = output_kind::direct;
int found_fd = -1;  // with O_PATH: what the kernel found for the name
int dir_fd = -1;
bool dir_readable = false;  // else held with O_PATH: no fsync
char leaf[PATH_MAX];
struct stat source_id {};
struct stat target {};

// The named temporary, while it exists. The signal handler reads dir_fd and
// temp_name when temp_exists is set, so: temp_exists changes only while every
// signal is held, and dir_fd and temp_name change only while it is clear.
char temp_name[16];
volatile std::sig_atomic_t temp_exists = 0;
sigset_t outer_mask;  // the caller's, put back after each hold

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

void remove_temp_and_die(int sig)
{
	if (temp_exists != 0)
		unlinkat(dir_fd, temp_name, 0);
	// Past this point the signal ends the process; a failure leaves nothing to do.
	(void)signal(sig, SIG_DFL);
	(void)raise(sig);
}

void hold_signals()
{
	sigset_t all;
	sigfillset(&all);
	sigprocmask(SIG_BLOCK, &all, &outer_mask);
}

void release_signals()
{
	const int error = errno;
	sigprocmask(SIG_SETMASK, &outer_mask, nullptr);
	errno = error;
}

void catch_signal(int sig)
{
	struct sigaction action {};
	action.sa_handler = remove_temp_and_die;
	sigfillset(&action.sa_mask);
	struct sigaction old {};
	// A signal ignored by whoever started us stays ignored.
	if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
		sigaction(sig, &action, nullptr);
}

// Only a named temporary needs this: an unnamed one goes with the process.
void catch_signals()
{
	for (const int sig : fatal_signals)
		catch_signal(sig);
#ifdef SIGRTMIN
	for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
		catch_signal(sig);
#endif
}

// A fresh .dat2bmp-XXXXXX in temp_name; names are tried until one is free.
void name_temp()
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

bool is_same_file(const struct stat& a, const struct stat& b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void close_kept(int& fd)
{
	if (fd >= 0)
		close(fd);
	fd = -1;
}

// Lets go of the destination. Keeps errno.
void drop_destination()
{
	const int error = errno;
	close_kept(found_fd);
	close_kept(dir_fd);
	errno = error;
}

// The output that cannot be had, its cause in errno.
host_file give_up()
{
	drop_destination();
	return no_file;
}

#if defined(HAVE_O_PATH) || defined(HAVE_O_TMPFILE)
// The name under which /proc opens the file behind descriptor fd.
struct fd_path {
	char text[32];
	explicit fd_path(int fd)
	{
		(void)std::snprintf(text, sizeof text, "/proc/self/fd/%d", fd);
	}
};
#endif

std::size_t dir_length(const char* path)
{
	const char* slash = std::strrchr(path, '/');
	return slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
}

// Opens the directory of path as dir_fd and puts the last component in leaf.
bool open_directory(const char* path)
{
	close_kept(dir_fd);
	const std::size_t length = dir_length(path);
	char dir[PATH_MAX];
	if (!copy_path(leaf, "", 0, path + length) || !copy_path(dir, path, length, length == 0 ? "." : ""))
		return false;
	dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	dir_readable = dir_fd >= 0;
#ifdef HAVE_O_PATH
	if (dir_fd < 0 && errno == EACCES)
		dir_fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
#elif defined(O_SEARCH)
	if (dir_fd < 0 && errno == EACCES)
		dir_fd = open(dir, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#endif
	return dir_fd >= 0;
}

// What the kernel finds for name, into target; no permission on the file
// itself is needed.
bool find(const char* name)
{
#ifdef HAVE_O_PATH
	found_fd = open(name, O_PATH | O_CLOEXEC);
	return found_fd >= 0 && fstat(found_fd, &target) == 0;
#else
	return stat(name, &target) == 0;
#endif
}

// The found file, opened again for writing; refuses what may not be written
// (permissions, immutable and append-only files).
int open_found(const char* name, int flags)
{
#ifdef HAVE_O_PATH
	const int reopened = open(fd_path(found_fd).text, flags);
	if (reopened >= 0 || errno != ENOENT)
		return reopened;
		// No /proc here: by name, checked below like any other.
#endif
	const int fd = open(name, flags);
	struct stat st {};
	if (fd >= 0 && (fstat(fd, &st) != 0 || !is_same_file(st, target))) {
		close(fd);
		errno = EAGAIN;  // the name now leads elsewhere
		return -1;
	}
	return fd;
}

// Finds the directory entry of target, following links as text from name,
// each step relative to the directory it is in, and accepts only an entry
// that is that very file.
bool locate(const char* name)
{
	char path[PATH_MAX];
	if (!copy_path(path, "", 0, name))
		return false;
	for (int hops = 0; hops <= max_link_hops; ++hops) {
		struct stat st {};
		if (!open_directory(path) || fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0)
			return false;
		if (is_same_file(st, target))
			return true;
		if (!S_ISLNK(st.st_mode)) {
			errno = EAGAIN;  // another file took the name meanwhile
			return false;
		}
		char link[PATH_MAX];
		const ssize_t n = readlinkat(dir_fd, leaf, link, sizeof link - 1);
		if (n < 0)
			return false;
		link[n] = '\0';
		if (!copy_path(path, path, link[0] == '/' ? 0 : dir_length(path), link))
			return false;
	}
	errno = ENOENT;
	return false;
}

// Whether leaf may be renamed over: not a mount point (a bind-mounted file),
// nor in an append-only directory, where its temporary could never be
// removed.
bool may_replace()
{
#ifdef HAVE_STATX_ATTRIBUTES
	struct statx entry {};
	struct statx dir {};
	if (statx(dir_fd, leaf, AT_SYMLINK_NOFOLLOW, 0, &entry) != 0 ||
	    statx(dir_fd, "", AT_EMPTY_PATH, 0, &dir) != 0)
		return false;
	if ((entry.stx_attributes & entry.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
		errno = EBUSY;
		return false;
	}
	if ((dir.stx_attributes & dir.stx_attributes_mask & STATX_ATTR_APPEND) != 0) {
		errno = EPERM;
		return false;
	}
#elif defined(UF_APPEND) && defined(SF_APPEND)
	// The BSDs: no mount flag, but the directory's own.
	struct stat dir {};
	if (fstat(dir_fd, &dir) != 0)
		return false;
	if ((dir.st_flags & (UF_APPEND | SF_APPEND)) != 0) {
		errno = EPERM;
		return false;
	}
#endif
	return true;
}

// The old file's owner, group and mode, as far as the filesystem keeps them;
// set-ID bits only with the owner or group they were for.
void keep_owner_and_mode(int fd, const struct stat& old)
{
	// The owner first: giving a file away clears its set-ID bits. Where the
	// owner may not be given, the group still may be.
	if (fchown(fd, old.st_uid, old.st_gid) != 0)
		(void)!fchown(fd, static_cast<uid_t>(-1), old.st_gid);
	// Some filesystems report success and change nothing: what counts is
	// what is there now.
	struct stat now {};
	const bool known = fstat(fd, &now) == 0;
	mode_t mode = old.st_mode & 07777;
	if (!known || now.st_uid != old.st_uid)
		mode &= ~static_cast<mode_t>(S_ISUID);
	if (!known || now.st_gid != old.st_gid)
		mode &= ~static_cast<mode_t>(S_ISGID);
	(void)fchmod(fd, mode);
}

int create_named(mode_t mode)
{
	catch_signals();
	for (int tries = 0; tries < max_tries; ++tries) {
		name_temp();
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

// The temporary in dir_fd, given the old file's owner and mode if there is one.
host_file create_temp(const struct stat* old)
{
	const mode_t mode = old != nullptr ? private_mode : new_file_mode;
#ifdef HAVE_O_TMPFILE
	int fd = openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
	kind = old != nullptr ? output_kind::unnamed_old : output_kind::unnamed_new;
	// Filesystems without unnamed files say so; old kernels take it for a
	// directory.
	const bool unnamed_refused = fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR);
#else
	int fd = -1;
	const bool unnamed_refused = true;
#endif
	if (unnamed_refused) {
		kind = output_kind::named;
		fd = create_named(mode);
	}
	if (fd < 0)
		return give_up();
	if (old != nullptr)
		keep_owner_and_mode(fd, *old);
	return fd;
}

// Gives the unnamed file fd the name in dir_fd.
bool link_unnamed(int fd, const char* name)
{
#ifdef HAVE_O_TMPFILE
	if (linkat(AT_FDCWD, fd_path(fd).text, dir_fd, name, AT_SYMLINK_FOLLOW) == 0)
		return true;
	if (errno != ENOENT)
		return false;
	// No /proc here: a privileged process may still link the descriptor.
	return linkat(fd, "", dir_fd, name, AT_EMPTY_PATH) == 0;
#else
	(void)fd;
	(void)name;
	errno = ENOSYS;
	return false;
#endif
}

// Removes the named temporary, with signals held. Keeps errno.
void remove_temp()
{
	const int error = errno;
	unlinkat(dir_fd, temp_name, 0);
	temp_exists = 0;
	errno = error;
}

// Renames the temporary over leaf, or removes it; signals are held, so that
// it is one or the other.
bool rename_temp()
{
	if (renameat(dir_fd, temp_name, dir_fd, leaf) != 0) {
		remove_temp();
		return false;
	}
	temp_exists = 0;
	return true;
}

// Links the unnamed file fd under a temporary name, then renames that over
// leaf: nothing links an unnamed file over an existing name directly.
bool replace_with_unnamed(int fd)
{
	hold_signals();
	for (int tries = 0; tries < max_tries && temp_exists == 0; ++tries) {
		name_temp();
		temp_exists = link_unnamed(fd, temp_name);
		if (temp_exists == 0 && errno != EEXIST)
			break;
	}
	const bool replaced = temp_exists != 0 && rename_temp();
	release_signals();
	return replaced;
}

bool put_in_place(int fd)
{
	switch (kind) {
	case output_kind::direct:
		return true;
	case output_kind::named: {
		hold_signals();
		const bool renamed = rename_temp();
		release_signals();
		return renamed;
	}
	case output_kind::unnamed_old:
		return replace_with_unnamed(fd);
	case output_kind::unnamed_new:
		if (link_unnamed(fd, leaf))
			return true;
		if (errno != EEXIST)
			return false;
		break;
	}
	// Another program made the name meanwhile: a regular file other than the
	// sourcefile is replaced as an old destfile would be.
	struct stat st {};
	if (fstatat(dir_fd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return false;
	if (!S_ISREG(st.st_mode) || is_same_file(st, source_id)) {
		errno = EEXIST;
		return false;
	}
	return replace_with_unnamed(fd);
}

bool flush_data(int fd)
{
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
	return fdatasync(fd) == 0;
#else
	return fsync(fd) == 0;
#endif
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

// The output for name, or no_file; EAGAIN if name changed while it was
// looked at.
host_file decide(const char* name)
{
	kind = output_kind::direct;
	if (!find(name)) {
		struct stat st {};
		// A dangling link: its target cannot be asked of the kernel without
		// creating it.
		if (errno != ENOENT || lstat(name, &st) == 0 || !open_directory(name))
			return give_up();
		if (leaf[0] == '\0') {
			errno = EISDIR;
			return give_up();
		}
		return create_temp(nullptr);
	}

	// Identity first, before anything that could fail on permissions.
	errno = is_same_file(target, source_id) ? EBUSY
	        : S_ISDIR(target.st_mode)       ? EISDIR
	        : S_ISSOCK(target.st_mode)      ? ENXIO
	                                        : 0;
	if (errno != 0)
		return give_up();
	// Devices, FIFOs (waiting for a reader, as a shell does) and files no
	// directory holds are written as they are.
	if (!S_ISREG(target.st_mode) || target.st_nlink == 0) {
		const int fd = open_found(name, O_WRONLY | O_NOCTTY | O_CLOEXEC);
		return fd >= 0 ? fd : give_up();
	}
	// The old file must be writable to be replaced, as it must be to be
	// emptied.
	const int old = open_found(name, O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
	if (old < 0 || close(old) != 0 || !locate(name) || !may_replace())
		return give_up();
	return create_temp(&target);
}

std::size_t whole_huge_pages(std::size_t size)
{
	return (size + huge_page - 1) & ~(huge_page - 1);
}

}  // namespace

void host_start(int&, char**&)
{
	// A closed standard descriptor would be taken by the next file opened,
	// and a report would then land in that file.
	for (int fd = 0; fd <= 2; ++fd)
		if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
			std::exit(1);
	// Past a file-size limit, write() fails with EFBIG instead, for the
	// destfile and for a report alike.
	(void)signal(SIGXFSZ, SIG_IGN);
}

// The arguments are the bytes the caller passed, exactly.
bool host_exact_argument(int)
{
	return true;
}

host_file host_open_input(const char* name)
{
	// Not blocking, so that a FIFO without a writer cannot hold the run.
	const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return no_file;
	struct stat st {};
	const int flags = fcntl(fd, F_GETFL);
	if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || flags < 0 ||
	    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
		const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
		close(fd);
		errno = error;
		return no_file;
	}
	return fd;
}

host_file host_create_output(const char* name, host_file source)
{
	if (fstat(static_cast<int>(source), &source_id) != 0)
		return no_file;
	if (*name == '\0') {
		errno = ENOENT;
		return no_file;
	}
	// Other runs may be replacing the same file: look again.
	for (int tries = 1;; ++tries) {
		const host_file file = decide(name);
		if (file != no_file || errno != EAGAIN || tries == max_tries)
			return file;
	}
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

// A large bitmap's whole blocks go from the buffer straight to the disk
// (O_DIRECT): the page cache neither takes a second copy of them nor holds
// them for the flush. The tail, and every file or filesystem that refuses
// a direct write, go through the cache.
std::size_t host_write_all(host_file file, std::span<const std::uint8_t> buffer)
{
	std::size_t done = 0;
#ifdef HAVE_O_DIRECT
	const int fd = static_cast<int>(file);
	const std::size_t blocks = buffer.size() & ~(direct_block - 1);
	const int flags = kind == output_kind::direct || buffer.size() < huge_page ? -1 : fcntl(fd, F_GETFL);
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
	return done + move_all(file, buffer.subspan(done), write);
}

bool host_commit_output(host_file file)
{
	const int fd = static_cast<int>(file);
	bool done = false;
	if (kind == output_kind::direct) {
		// An unlinked file keeps only the new bytes; others take no length.
		struct stat st {};
		const off_t end = lseek(fd, 0, SEEK_CUR);
		done = fstat(fd, &st) == 0 && (!S_ISREG(st.st_mode) || (end >= 0 && ftruncate(fd, end) == 0));
	} else {
		// The data reaches the disk before the name does, and the name
		// before the run reports success.
		done = flush_data(fd) && put_in_place(fd) && fsync(dir_readable ? dir_fd : fd) == 0;
	}
	if (!done) {
		host_discard_output(file);
		return false;
	}
	// After a flush, close has nothing left to report.
	done = close(fd) == 0 || kind != output_kind::direct;
	drop_destination();
	return done;
}

void host_discard_output(host_file file)
{
	const int error = errno;
	if (file != no_file)
		close(static_cast<int>(file));
	if (temp_exists != 0) {
		hold_signals();
		remove_temp();
		release_signals();
	}
	drop_destination();
	errno = error;
}

void host_close(host_file file)
{
	const int error = errno;
	close(static_cast<int>(file));
	errno = error;
}

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

void host_report(const char* message)
{
	std::perror(message);
}
