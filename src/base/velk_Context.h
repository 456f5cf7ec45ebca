#ifndef VELK_CONTEXT_H
#define VELK_CONTEXT_H

// The context of one velk invocation: the settings the run gathered from the
// environment, the configuration and the command line, and what it worked
// out about the archive and its index.  velk_Run owns the one context of a
// run, fills it on the initial thread before any action starts, and passes
// it to the action and down the call chain; the callee reads what it needs
// from there instead of from process globals.
//
// What a signal handler, the atexit handler or a thread started without an
// argument must reach stays a process global (velk_Globals.h); the values the
// transfer units still read there stay there too until those units are given
// the context.

#include <cstdint>
#include <ctime>

// The archive as the run knows it once start-up is over.
struct velk_archive_t {
    // Absolute path on the archive's side of the "~"-expanded name (the name
    // itself for a pipe); null until start-up resolved it.  Owned.
    char *absPath;
    // -H family: the storage-system family a new archive joins (0: none).
    int familyId;
};

// The index file as the run knows it.
struct velk_index_t {
    // Class of service for a new storage-system index: -1 not chosen, 0
    // chosen by size, else the class (-Y, VELK_COS); after a copy the class
    // the index got.
    int cosId;
    // -H family: the storage-system family a new index joins (0: none).
    int familyId;
};

// The settings and start-up facts of a run.
struct velk_run_t {
    velk_archive_t archive;
    velk_index_t index;
    // The command line; the file operands start at argv[optind].
    int argc;
    char **argv;
    int optind;
    // -L: the list of member names to read first (owned, null when not
    // given).
    char *inputListName;
    // VELK_FILETYPE-like kind of the member files (VELK_MEMBER_FILETYPE).
    int memberFiletype;
    // VELK_VERIFY_* bits of -H verify.
    int verifyFlags;
    // -H umask, -1 when not given.
    int umask;
    // -H acct: the account ID when acctIdGiven, else the account name
    // (owned, null when not given).
    uint32_t acctId;
    char *acctName;
    int acctIdGiven;
    // -H server and -H port (0 when not given); the host is owned.
    char *serverHost;
    int serverPort;
    // Gateway run mode reported by the site information (1 storage system,
    // 2 gateway host).
    int serverRunMode;
    // When the run started.
    time_t startTime;
};

// Sets every field of run to its default: no command line, nothing named,
// no umask, no account, member files local, run mode 1.
void velk_RunInit(velk_run_t *run);

// Frees what run owns and sets it back to its defaults.
void velk_RunRelease(velk_run_t *run);

#endif
