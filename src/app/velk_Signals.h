#ifndef VELK_SIGNALS_H
#define VELK_SIGNALS_H

// Signal handling: SIGUSR1, SIGUSR2, SIGINT, SIGTERM and SIGHUP are blocked
// in every thread and taken by one signal thread with sigwait.  SIGUSR2
// writes a state dump; SIGUSR1, SIGINT, SIGTERM and SIGHUP start a forced
// shutdown: velk_shutdown_signalled is raised, the running action gets a
// grace period to stop and clean up, then the process ends itself with
// SIGKILL.  SIGINT, SIGTERM or SIGHUP ignored when velk started (nohup)
// stay ignored.

// Blocks the signals above (not the ignored ones) in the calling thread
// (which must be the only thread) and starts the signal thread, which
// writes state dumps as the configured stateFile (may be null) says.  The grace
// period of a forced shutdown is 30 seconds; only tests shorten it, through
// the environment variable VELK_TESTONLY_SHUTDOWN_GRACE read here.  0, or -1
// with a message, status 71 (or, when memory runs out, status 78).
int velk_SigInit(const char *stateFile);
// The forced shutdown, with graceSeconds for the action to stop; never
// returns.
[[noreturn]] void velk_ForcedShutdown(int graceSeconds);

#endif
