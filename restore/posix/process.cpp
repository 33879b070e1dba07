// The process around a run: its standard streams, its arguments and its
// reports. Owns the record of the standard descriptors it filled; runs
// before any other part of the host.
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>

#include "posix_host.h"

namespace {

unsigned filled_streams = 0;  // bit n: descriptor n was closed, and holds /dev/null

}  // namespace

bool posix_host::is_filled_stream(int fd)
{
	return fd >= 0 && fd < 3 && ((filled_streams >> fd) & 1U) != 0;
}

void host_start(int&, char**&)
{
	// A closed standard descriptor would be taken by the next file opened,
	// and a report would then land in that file. One poll tells of all
	// three: POLLNVAL marks a closed one.
	std::array<pollfd, 3> standard{{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}};
	if (poll(standard.data(), standard.size(), 0) < 0)
		for (pollfd& stream : standard)  // no answer: ask each
			stream.revents = fcntl(stream.fd, F_GETFD) < 0 ? POLLNVAL : 0;
	for (const pollfd& stream : standard) {
		if ((stream.revents & POLLNVAL) == 0)
			continue;
		if (open("/dev/null", O_RDWR) != stream.fd)
			std::exit(1);
		filled_streams |= 1U << stream.fd;
	}
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
