#ifndef VELK_RUN_H
#define VELK_RUN_H

// The run sequence of one velk invocation: settings, signals, the status
// FIFO, the gateway session, the archive's absolute path, the index name,
// the action, and the end of the run with its exit status.  Initial thread.

#include <sys/types.h>

#include <cstddef>

// Runs velk with its command line; never returns.
[[noreturn]] void velk_Run(int argc, char **argv);

// True when the debugger pause marker at path asks the run to wait: a
// regular file (not a symbolic link) owned by uid that neither its group
// nor other users may write.
bool velk_DebugPauseWanted(const char *path, uid_t uid);

// Ends the run: status FIFO shutdown line, file cleanup, gateway log close,
// the failure line (and exit status 71) when failed, that is when the run
// stopped before an action ran, exit.
[[noreturn]] void velk_EndRun(bool failed);

// Removes this run's local consistency file and temporary index file.
// Runs at most once.
void velk_ExitCleanFiles();

// Names the index file of archive (the name as given, after "~" expansion)
// from the -I value (null when not given) into out (size bytes): a value
// holding a "/" is a path as it stands, another one starting with "." a
// suffix to archive, any other a name in archive's directory.
// Returns 0; -1 for a piped archive without -I; -2 when the name would be
// longer than size - 1 characters.
int velk_NameIndexFile(const char *archive, const char *indexOpt, int filetype, char *out, size_t size);

// Current directory on the archive's side of kind (a VELK_FILETYPE) into buf.
// 0, or -1 on failure; a pipe leaves buf alone and returns 0.
int velk_Getcwd(int kind, char *buf, int size);

#endif
