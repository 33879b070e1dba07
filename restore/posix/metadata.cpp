// What an old destfile carries over to the temporary that replaces it, so
// that the replaced file looks as one written in place would: its owner,
// group and mode, as far as the filesystem keeps them. Owns nothing; called
// by temporary.cpp on a temporary no one else can have opened yet.
#include <sys/stat.h>
#include <unistd.h>

#include "posix_host.h"

namespace posix_host {

// Set-ID bits only with the owner or group they were for.
void keep_metadata(int fd, const struct stat& old)
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

}  // namespace posix_host
