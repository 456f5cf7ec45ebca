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
// argument must reach stays a process global (velk_Globals.h), as does the
// archive and index state not yet given the context.  The transfer units get
// the run's transfer settings (velk_xfer_settings_t) as an argument and keep
// a copy in each transfer's control for its threads.

#include <cstdint>
#include <cstdio>
#include <ctime>

// Member selection's pieces, defined by the units that use them.
struct velk_FileSpec_t;
struct velk_FileListHooks_t;
struct velk_exclude_rules_t;
struct velk_home_cache_t;
// The configuration files' settings, defined by their reader.
struct velk_rc_t;

// The archive as the run knows it once start-up is over.
struct velk_archive_t {
    // Absolute path on the archive's side of the "~"-expanded name (the name
    // itself for a pipe); null until start-up resolved it.  Owned.
    char *absPath;
    // -H family: the storage-system family a new archive joins (0: none).
    int familyId;
    // A new storage-system archive gets the site's expiration time (the
    // configuration's enable_expiration, with its rules loaded).
    int setExpiration;
    // Size in bytes the archive will have once written: worked out by
    // create before the archive file is made (the size hints of a
    // storage-system archive, the transfer's length, the progress line).
    uint64_t size;
    // The temporary consistency file a create made (owned, null while there
    // is none): its path is also the archive member's name.  Removed when
    // the run ends.
    char *cfName;
};

// The index's sequential reader (velk_IndexFile): its buffer (owned, null
// until the first read), the next buffered entry, how many buffered entries
// are left, the ordinal of the next entry, and whether the last fill met the
// end of the file.  Used by one thread at a time: the initial thread, or
// during create the local file manager while the initial thread waits.
struct velk_index_cursor_t {
    unsigned char *buffer;
    unsigned char *next;
    int buffered;
    int64_t filePos;
    bool hitEof;
};

// The index file as the run knows it.
struct velk_index_t {
    // Size in bytes of the index file last opened and checked.
    uint64_t fileSize;
    // The header's HIF_IDX_* flags for an index being laid out, and the
    // annotation area of the index (offset, and its size: the bytes between
    // the header and entry 0), as opened or as laid out.
    uint32_t flags;
    uint32_t annotationOffset;
    uint32_t annotationSize;
    // The temporary index of a create, a rebuild or a remote index's local
    // copy: its path (owned, null when none), its descriptor (-1 when none)
    // and whether it is removed at exit (0 once it was put in place or
    // must be kept).
    char *tmpName;
    int tmpFd;
    int unlinkTmp;
    velk_index_cursor_t cursor;
    // Class of service for a new storage-system index: -1 not chosen, 0
    // chosen by size, else the class (-Y, VELK_COS); after a copy the class
    // the index got.
    int cosId;
    // -H family: the storage-system family a new index joins (0: none).
    int familyId;
    // A new storage-system index gets the site's expiration time.
    int setExpiration;
};

// The member table an action built from its operands and -L lists
// (velk_GenFilelist): count records of capacity allocated, in the order the
// action processes them.  Empty (null, 0, 0) before.
struct velk_members_t {
    velk_FileSpec_t *table;
    int64_t count;
    int64_t capacity;
};

// The settings of the run's archive writes and reads and of its index
// copies; whoever makes a transfer's control copies them into it before its
// threads start.
struct velk_xfer_settings_t {
    // -T: most reader threads of an archive write.
    int maxThreads;
    // Stack size of those threads in bytes (0: the system's default).
    int threadStacksize;
    // The site's most MiB one storage-system request may cover (0: no
    // limit below 2 GiB).
    uint32_t maxMbytesPerIod;
    // -S: bytes of one I/O buffer (rounded up to whole blocks).
    int iobufsize;
    // Gateway-host transfers of at most this many bytes travel inside their
    // request or reply instead of over a data connection (configuration
    // max_small_file_size).
    uint64_t maxSmallFileSize;
    // The user's IDs and current account as the gateway knows them: the
    // owner of gateway-host files and the storage system's class selection;
    // the account also goes into the transfer log records.
    int uid;
    int gid;
    uint32_t acctId;
    // QUOR_IO_MEMTYPE "shared": the I/O buffers are asked for in shared
    // memory, which this client cannot allocate (their transfers fail).
    bool sharedBuffers;
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
    // -M: most members the member table may hold.
    long maxFiles;
    // -n: the window in seconds; objects modified before the walk started
    // minus this are left out (0: not given).
    long timeWindow;
    // -H interval: seconds between status FIFO heartbeats.
    int statusInterval;
    // -N: the status FIFO's path (owned, null when not given).
    char *statusPipeName;
    // The configuration velk_Run read (not owned; -H okfile and exfile
    // change it while the command line is parsed).
    velk_rc_t *config;
    // The member table; owned, freed by velk_FileListRelease.
    velk_members_t members;
    // Member selection, velk_Run's (not owned): the expansion and exclusion
    // hooks (null: an operand stands for itself, nothing is excluded), the
    // exclusion rules the command line gives (must be set while the command
    // line is parsed), and the home directories "~" names were looked up in
    // (null: looked up each time).
    const velk_FileListHooks_t *selectHooks;
    velk_exclude_rules_t *exclude;
    velk_home_cache_t *homes;
    // --no-gateway (1) or VELK_NO_GATEWAY=1 (2): a local archive's run
    // without a gateway session; 0 when neither was given.
    int noGateway;
    // --json: the stream of the JSON Lines records (standard output as the
    // run found it), null without --json.
    FILE *records;
    // --mount: the mount point (owned, null when not given), the block
    // cache's size in bytes for an archive behind the gateway (-H
    // mountcache; 0: the default) and whether other users may use the
    // mount (-o allow_other).
    char *mountPoint;
    uint64_t mountCacheBytes;
    int mountAllowOther;
    // Settings handed to the archive writers' and readers' transfers.
    velk_xfer_settings_t xfer;
    // The success and exceptions lists (configuration Okfile and Exfile,
    // -H okfile and exfile), opened by velk_Run for appending; null when not
    // named.  Never closed: exit() flushes them.
    FILE *okfile;
    FILE *exfile;
};

// Sets every field of run to its default: no command line, nothing named,
// no umask, no account, member files local, run mode 1, no member table,
// no selection hooks, rules or home-directory cache, 50 reader threads of
// 524288 bytes of stack, 8388608-byte buffers, gateway-host transfers of up
// to 4194304 bytes inline, no success or exceptions list.
void velk_RunInit(velk_run_t *run);

// Frees what run owns and sets it back to its defaults.
void velk_RunRelease(velk_run_t *run);

#endif
