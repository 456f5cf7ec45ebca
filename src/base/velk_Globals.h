#ifndef VELK_GLOBALS_H
#define VELK_GLOBALS_H

// The process-wide run state of one velk invocation: the action, the archive
// and index names, the archive kind, option flags, sizes, limits and the exit
// status.  What is passed down instead lives in the run's context
// (velk_Context.h); docs/internals/locking.md says why each of these is
// still a global.  The initial thread writes these during start-up, before
// any thread other than the signal thread exists; afterwards they are
// read-only except velk_exit_code and velk_shutdown_signalled (atomics any
// thread may set) and the flags an action changes for itself.  Every global
// is trivially destructible so that exit() never tears down state other
// threads read.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>

// Actions, the value of velk_function.
enum VELK_OP {
    VOP_NOFUNCTION = 0,
    VOP_ANNOTATE = 1,
    VOP_APPEND = 2,
    VOP_BUILD_INDEX = 3,
    VOP_COMPARE = 4,
    VOP_COMPARE_CKSUMS = 5,
    VOP_CREATE = 6,
    VOP_COPY = 7,
    VOP_DELETE = 8,
    VOP_EXTRACT = 9,
    VOP_LIST = 10,
    VOP_REPACK = 11,
    VOP_UNDELETE = 12,
    VOP_UPDATE = 13,
    VOP_VERIFY = 14,
    VOP_MOUNT = 15,
};

// Kinds of archive and index file, the value of velk_filetype.
enum VELK_FILETYPE {
    VELK_PIPE = 1,
    VELK_QUOR_FILE = 2,
    VELK_REMOTE_FILE = 3,
    VELK_LOCAL_FILE = 4,
};

// Kinds of member file, the value of velk_run_t::memberFiletype.
enum VELK_MEMBER_FILETYPE {
    VELK_QUOR_MEMBER_FILE = 0,
    VELK_REMOTE_MEMBER_FILE = 1,
    VELK_LOCAL_MEMBER_FILE = 2,
};

// Bits of velk_option_flags.
constexpr uint32_t VELK_OPT_BLOCKNUMS = 0x1;       // -B
constexpr uint32_t VELK_OPT_LOCAL_ARCHIVE = 0x2;   // -E
constexpr uint32_t VELK_OPT_FOLLOW_LINKS = 0x8;    // -h
constexpr uint32_t VELK_OPT_BY_ORDINAL = 0x20;     // -J
constexpr uint32_t VELK_OPT_LOGIN = 0x40;          // -l
constexpr uint32_t VELK_OPT_MTIME_NOW = 0x80;      // -m
constexpr uint32_t VELK_OPT_STATUS_FIFO = 0x100;   // -N
constexpr uint32_t VELK_OPT_TIME_WINDOW = 0x200;   // -n
constexpr uint32_t VELK_OPT_OWN_IDS = 0x400;       // -o
constexpr uint32_t VELK_OPT_TO_STDOUT = 0x800;     // -O
constexpr uint32_t VELK_OPT_EXACT_PERMS = 0x1000;  // -p
constexpr uint32_t VELK_OPT_MAKE_PARENTS = 0x2000; // -P
constexpr uint32_t VELK_OPT_QUIET = 0x4000;        // -q
constexpr uint32_t VELK_OPT_STATS = 0x10000;       // -V
constexpr uint32_t VELK_OPT_VERBOSE = 0x20000;     // -v
constexpr uint32_t VELK_OPT_CONFIRM = 0x40000;     // -w
constexpr uint32_t VELK_OPT_CRC = 0x80000;         // -H crc
constexpr uint32_t VELK_OPT_RMLOCAL = 0x100000;    // -H rmlocal
constexpr uint32_t VELK_OPT_RELPATHS = 0x200000;   // -H relpaths
constexpr uint32_t VELK_OPT_NOCFCHK = 0x400000;    // -H nocfchk
constexpr uint32_t VELK_OPT_CIX = 0x800000;        // -H cix
constexpr uint32_t VELK_OPT_COPIES = 0x1000000;    // -H copies given
constexpr uint32_t VELK_OPT_NOSTAGE = 0x2000000;   // -H nostage
constexpr uint32_t VELK_OPT_NORECURSE = 0x4000000; // -H norecurse
constexpr uint32_t VELK_OPT_NOGLOB = 0x8000000;    // -H noglob
constexpr uint32_t VELK_OPT_JSON = 0x4;            // --json
constexpr uint32_t VELK_OPT_NAMES = 0x8000;        // --names

// Bits of velk_run_t::verifyFlags.
constexpr int VELK_VERIFY_INFO = static_cast<int>(0x80000000u);
constexpr int VELK_VERIFY_CRC = 0x40000000;
constexpr int VELK_VERIFY_COMPARE = 0x20000000;
constexpr int VELK_VERIFY_PARANOID = 0x10000000;

// Exit statuses.
constexpr int VELK_EXIT_OK = 0;
constexpr int VELK_EXIT_BOOKKEEPING = 1;
constexpr int VELK_EXIT_EMPTY = 2;
constexpr int VELK_EXIT_USAGE = 64;
constexpr int VELK_EXIT_MISMATCH = 65;
constexpr int VELK_EXIT_FILELIST = 66;
constexpr int VELK_EXIT_SOFTWARE = 70;
constexpr int VELK_EXIT_OSERR = 71;
constexpr int VELK_EXIT_IOERR = 72;
constexpr int VELK_EXIT_CONSISTENCY = 73;
constexpr int VELK_EXIT_EXTRACT_IO = 74;
constexpr int VELK_EXIT_NOMEM = 78;

// Longest archive or index path the run accepts (buffers hold one more byte).
constexpr int VELK_MAX_ARCHIVE_PATH = 1024;

extern int velk_function;         // VELK_OP
extern char *velk_archive;        // -f, or its "~" expansion
extern int velk_filetype;         // VELK_FILETYPE, 0 until decided
extern char *velk_index_filename; // -I, then the named index
// Atomic because an action may still change its own flags (confirmation
// turned off by an "all" answer) while the signal and status threads read
// them.
extern std::atomic<uint32_t> velk_option_flags;
extern int velk_debug_level; // 0..5
extern const long velk_abs_max_files;
extern int velk_archive_cosID;
extern int copyCount;
extern std::atomic<int> velk_exit_code;
extern int isatty2;
extern std::atomic<int> velk_logging_enabled;
extern std::atomic<unsigned char> velk_shutdown_signalled;

// The name velk was invoked by (its argv[0]), for messages that name the
// program.  Set by the C library before main; never written by velk.
const char *velk_ProgramName();

// Records code as the run's exit status unless one is already set; the
// first error decides.  Safe from any thread.
void velk_SetExitCode(int code);

// True when flag is set in velk_option_flags.
inline bool velk_Opt(uint32_t flag)
{
    return (velk_option_flags.load(std::memory_order_relaxed) & flag) != 0;
}

#endif
