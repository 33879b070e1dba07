// The process around a run: its standard streams, its arguments and its
// reports. Owns nothing; runs before any other part of the host.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>

#include "restore/host.h"

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

void host_report(const char* message)
{
	std::perror(message);
}
