#ifndef GW_DAEMON_H
#define GW_DAEMON_H

// Exit statuses of kylgwd (the sysexits.h values).
constexpr int GW_EXIT_OK = 0;           // stopped cleanly by SIGTERM or SIGINT, or --help
constexpr int GW_EXIT_USAGE = 64;       // bad option, value or path given on the command line
constexpr int GW_EXIT_UNAVAILABLE = 69; // the listen address cannot be used
constexpr int GW_EXIT_OSERR = 71;       // a system call the daemon needs failed
constexpr int GW_EXIT_CANTCREAT = 73;   // the log, event log, port file or pid file cannot be written
constexpr int GW_EXIT_CONFIG = 78;      // the configuration file is malformed or names unknown keys

// Runs the daemon with its command line; returns the process exit status.
// Without --foreground, the calling process returns only once the detached
// daemon listens (0) or has failed to start (its status); the daemon itself
// returns when stopped.  Call from main() before any thread exists.
int gw_DaemonMain(int argc, char **argv);

#endif
