#ifndef VELK_RUN_H
#define VELK_RUN_H

// The run sequence of one velk invocation: settings, signals, the status
// FIFO, the gateway session, the archive's absolute path, the index name,
// the action, and the end of the run with its exit status.

#include <cstddef>

// Runs velk with its command line; never returns.
[[noreturn]] void velk_Run(int argc, char **argv);

#endif
