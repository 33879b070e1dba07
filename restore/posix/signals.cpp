// Signals: the death of the process removes a named temporary, and the
// steps that create, rename or remove one run with every signal held, so
// that a signal finds the temporary either there and recorded, or gone.
// Owns the caller's signal mask while it is held. Reads temp_exists and
// temp_name (temporary.cpp) and dir_fd (destination.cpp) in the handler,
// under the rule in posix_host.h; the handler calls only async-signal-safe
// functions.
#include <cerrno>
#include <csignal>

#include <signal.h>
#include <unistd.h>

#include "posix_host.h"

namespace posix_host {
namespace {

sigset_t outer_mask;  // the caller's, put back by release_signals

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

}  // namespace

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

void release_signals()
{
	const int error = errno;
	sigprocmask(SIG_SETMASK, &outer_mask, nullptr);
	errno = error;
}

}  // namespace posix_host
