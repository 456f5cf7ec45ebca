#ifndef VELK_FILELIST_H
#define VELK_FILELIST_H

// The member table: the file operands, the lines of -L input lists and the
// objects found by walking directories, one velk_FileSpec_t per object, in
// the order the action processes them, kept in the run's context
// (velk_run_t members).  Built once per run by the initial thread before the
// archive is opened; read-only afterwards.  No locks.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "velk_Context.h"
#include "velk_Exclude.h"
#include "velk_FileSpec.h"

// Limits of the table and of the walk.
constexpr uint64_t VELK_MAX_TABLE_ENTRIES = 4294967295ull; // 2^32-1
constexpr size_t VELK_MAX_WALK_PATH = 4096;                // characters of a walked path
constexpr uint64_t VELK_MAX_FILE_SIZE = 68719476736ull;    // 2^36: files must be smaller
constexpr long VELK_FILESPEC_GROWTH = 100;                 // entries added per reallocation

// One match of an operand expander: a name (owned by the expander's
// result), its object kind (VELK_OBJECT_TYPE) and its status record.
struct velk_globent_t {
    char *name;
    uint32_t objectType;
    struct stat st;
};

// Hooks for wildcard expansion and exclusion, named by the run's context
// (selectHooks).  Without an expander an operand stands for itself; without
// the exclusion hooks, or without the run's rules, nothing is excluded.
struct velk_FileListHooks_t {
    // Expands the wildcards of path into *matches, sorted by name; returns
    // the number of matches or a negative value on failure.  The matches
    // stay owned by the expander until release is called.
    int (*expand)(const char *path, velk_globent_t **matches);
    void (*release)(velk_globent_t *matches, int count);
    // Nonzero when name is excluded by rules at level; the reason goes
    // into reason.
    int (*excludeCheckName)(velk_exclude_rules_t *rules, const char *name, int level, char *reason, size_t reasonSize);
    // 0 to walk the directory path, 1 to leave it out of the walk (what of
    // it stays is added to walk through keep).
    int (*excludeNewDirectory)(velk_exclude_rules_t *rules, int level, const char *path, velk_excludeKeep_t keep,
                               velk_walk_t *walk);
    // The current end of the rule list, and dropping every rule added
    // since such a mark.
    int (*excludeMark)(const velk_exclude_rules_t *rules);
    void (*excludeUnlink)(velk_exclude_rules_t *rules, int mark);
    // Nonzero when a member's whole path is excluded by rules that name a
    // path; the reason goes into reason.
    int (*excludeCheckPath)(velk_exclude_rules_t *rules, const char *path, char *reason, size_t reasonSize);
};

// Builds run's member table (run->members, added to) for the current action
// from run's -L list and its operands from run->argv[run->optind] on,
// expanding and excluding through run's selection hooks and rules, and
// registers it with the member status (velk_SetMemberRecords) for the
// writers' checks.  0, or -1 with the message and the exit status set.
int velk_GenFilelist(velk_run_t *run);

// Appends one entry to members, which may hold at most maxFiles (-M),
// taking ownership of name (allocated with VELK_MALLOC or VELK_STRDUP; freed
// here on failure).  st may be null.  0, or -1 (the -M limit: status 66; no
// memory: 78).
int velk_AddFileSpec(velk_members_t *members, long maxFiles, uint32_t type, uint64_t ordinal, char *name,
                     const char *annotation, int version, const struct stat *st);

// Fills entry (cleared first) from the arguments; entry takes name as is
// and a copy of annotation.  0, or -1 when the copy fails (status 78).
int velk_BuildFileSpec(uint32_t type, uint64_t ordinal, char *name, const char *annotation, int version,
                       const struct stat *st, velk_FileSpec_t *entry);

// Copies src to dst (at least strlen(src)+1 bytes): a backslash makes the
// next character literal and is dropped, repeated "/" collapse to one unless
// the previous character was escaped, and trailing "/" go (a lone "/" stays).
void copyPathname(const char *src, char *dst);

// Debug listing of the table on standard error.
void velk_DumpFileSpecList(const velk_members_t *members);

// Order of entries: byte order of the names, ties by version (qsort style).
int compareFileSpecsByName(const void *a, const void *b);

// True when name holds an unescaped "*", "?", "{", "[" or "!".
bool velk_NameHasWildcards(const char *name);

// Frees run's member table and takes it back from the member status.
void velk_FileListRelease(velk_run_t *run);

#endif
