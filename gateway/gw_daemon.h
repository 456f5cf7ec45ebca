#ifndef GW_DAEMON_H
#define GW_DAEMON_H

// Runs the daemon with its command line; returns the process exit status.
int gw_DaemonMain(int argc, char **argv);

#endif
