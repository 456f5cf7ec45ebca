#ifndef VELK_PARSECMDLINE_H
#define VELK_PARSECMDLINE_H

// The command line: short letters in tar-like groups (argv[1] need not start
// with "-"), long options "--name=value" or "--name value", and -H lists of
// sub-options that share the long option table; GNU tar's long spellings
// of common letters (--create, --file, --directory, ...) besides.  Long
// options may also follow the operands; a single-dash word there stays an
// operand ("-C DIR" and "-L LIST" among the operands keep their place).
// Results go into the run's context
// (velk_Context.h), the run state (velk_Globals.h) and the configuration
// record.  Initial thread only, before any other thread exists.

#include <cstdint>

#include "velk_Context.h"

// Codes of the long options and -H sub-options, in table order.
enum LONG_OPTIONS {
    LO_ACCT,
    LO_CIX,
    LO_COPIES,
    LO_CRC,
    LO_EXCLUDE,
    LO_EXCLUDE_FROM,
    LO_EXCLUDE_VCS_IGNORES,
    LO_EXCLUDE_VCS,
    LO_EXCLUDE_IGNORE,
    LO_EXCLUDE_IGNORE_RECURSIVE,
    LO_EXCLUDE_BACKUPS,
    LO_EXCLUDE_CACHES,
    LO_EXCLUDE_CACHES_UNDER,
    LO_EXCLUDE_CACHES_ALL,
    LO_EXCLUDE_TAG,
    LO_EXCLUDE_TAG_UNDER,
    LO_EXCLUDE_TAG_ALL,
    LO_EXFILE,
    LO_FAMILY,
    LO_HASH,
    LO_HASH_ALL,
    LO_HASH_AF,
    LO_HASH_IF,
    LO_HASH_MF,
    LO_HASH_TYPE,
    LO_MAX_AF_SIZE,
    LO_MAX_MF_PER_AF,
    LO_MAX_FAM_MEMBERS,
    LO_MSG_INTERVAL,
    LO_OKFILE,
    LO_NOCFCHK,
    LO_NOCRC,
    LO_NOGLOB,
    LO_NORECURSE,
    LO_RMLOCAL,
    LO_NOSTAGE,
    LO_PORT,
    LO_RELPATHS,
    LO_SERVER,
    LO_TSS,
    LO_UMASK,
    LO_VERIFY,
    LO_MOUNTCACHE,
};

struct longOpt_t {
    const char *name;
    int hasArg; // 1 when the option takes a value
    LONG_OPTIONS code;
};

constexpr int VELK_LONG_OPTION_COUNT = 43;
extern const longOpt_t longOpts[VELK_LONG_OPTION_COUNT];

// Largest values the option rules accept.
constexpr int VELK_MIN_IOBUFSIZE = 524288;
constexpr int64_t VELK_MAX_TSS = 104857600;
constexpr int VELK_MAX_PORT = 65535; // the largest TCP port

// Parses the command line into run and the run state; the exclusion options
// go into run->exclude, which must be set.  Returns 0 when the
// run may go on (with velk_function set, or with no action when only help
// was asked for) and -1 on error, with status 64 set (78 when memory ran
// out).  On success run->optind is the index of the first file operand in
// run->argv; when -C came before the operands or long options came among
// them, run->argv and run->argc are a rearranged copy that lives as long
// as the run ("-C DIR" pairs first, then the operands).
int velk_ParseCmdLine(velk_run_t *run, int argc, char **argv);

// Applies one long option or -H sub-option (value null when none was
// given) to run and the run state; 0, or -1 with a message and status 64
// unless one is set.
int parseOption(velk_run_t *run, const char *name, int code, const char *value);

// Reads VELK_COS (same syntax as -Y) and VELK_NO_GATEWAY ("1": run without
// a gateway session) into the run state and run.  Always returns 0; a bad
// value is reported and ignored.
int velk_GetEnvSettings(velk_run_t *run);

// Parses a class-of-service choice ("auto", "A", "A:I", ":I", where each
// part is a decimal ID or "auto") into the archive and index IDs, leaving an
// absent part unchanged.  0, or -1 when a part is neither.
int velk_ParseCOS(const char *value, int *archiveCos, int *indexCos);

// Parses an age window "days", "days:hours" or ":hours" into seconds.
// 0 on success; -1 when malformed or above 2^31-1 seconds; -2 when not
// positive.
int velk_ParseTimeWindow(const char *value, long *seconds);

// True when name holds a wildcard: "*", "?", "{", or "[" with a "]" after it.
// With honourEscapes a backslash makes the next character plain.
bool velk_NameIsPattern(const char *name, bool honourEscapes);

// Writes the full help text (full nonzero) or the short usage to standard
// error and flushes.
void velk_Usage(int full);
// Line counts of the two texts.
int velk_UsageLineCount(int full);

// --help: writes the full help followed by the table of exit statuses to
// standard output and flushes.
void velk_HelpToStdout();

// --version: writes "velk VERSION (built DATE)" to standard output and
// flushes.
void velk_PrintVersion();

#endif
