#ifndef VELK_FILELIST_H
#define VELK_FILELIST_H

// The member table: the file operands, the lines of -L input lists and the
// objects found by walking directories, one velk_FileSpec_t per object, in
// the order the action processes them.  Built once per run by the initial
// thread before the archive is opened; read-only afterwards.  No locks.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "velk_Context.h"
#include "velk_FileSpec.h"

// Limits of the table and of the walk.
constexpr uint64_t VELK_MAX_TABLE_ENTRIES = 4294967295ull; // 2^32-1
constexpr size_t VELK_MAX_WALK_PATH = 4096;                // characters of a walked path
constexpr uint64_t VELK_MAX_FILE_SIZE = 68719476736ull;    // 2^36: files must be smaller
constexpr long VELK_FILESPEC_GROWTH = 100;                 // entries added per reallocation

// The published table (set at the end of velk_GenFilelist).
extern velk_FileSpec_t *velk_FileList;
extern int64_t velk_FileListEntries;

// One match of an operand expander: a name (owned by the expander's
// result), its object kind (VELK_OBJECT_TYPE) and its status record.
struct velk_globent_t {
    char *name;
    uint32_t objectType;
    struct stat st;
};

// Hooks for wildcard expansion and exclusion, installed at start-up.
// Without them an operand stands for itself and nothing is excluded.
struct velk_FileListHooks_t {
    // Expands the wildcards of path into *matches, sorted by name; returns
    // the number of matches or a negative value on failure.  The matches
    // stay owned by the expander until release is called.
    int (*expand)(const char *path, velk_globent_t **matches);
    void (*release)(velk_globent_t *matches, int count);
    // Nonzero when name is excluded at level; the reason goes into reason.
    int (*excludeCheckName)(const char *name, int level, char *reason, size_t reasonSize);
    // 0 to walk the directory path, 1 to leave it out of the walk.
    int (*excludeNewDirectory)(int level, const char *path);
    // The current end of the exclusion rule list, and dropping every rule
    // added since such a mark.
    int (*excludeMark)();
    void (*excludeUnlink)(int mark);
};

// Installs hooks (copied); null restores the defaults that expand nothing
// and exclude nothing.
void velk_SetFileListHooks(const velk_FileListHooks_t *hooks);

// Builds the table for the current action from run's -L list and its
// operands from run->argv[run->optind] on, and registers it with the member
// status (velk_SetMemberRecords) for the writers' checks.  0, or -1 with the
// message and the exit status set.
int velk_GenFilelist(const velk_run_t *run);

// Appends one entry, taking ownership of name (allocated with VELK_MALLOC or
// VELK_STRDUP; freed here on failure).  st may be null.  0, or -1 (the -M
// limit: status 66; no memory: 78).
int velk_AddFileSpec(uint32_t type, uint64_t ordinal, char *name, const char *annotation, int version,
                     const struct stat *st);

// Fills entry (cleared first) from the arguments; entry takes name as is
// and a copy of annotation.  0, or -1 when the copy fails (status 78).
int velk_BuildFileSpec(uint32_t type, uint64_t ordinal, char *name, const char *annotation, int version,
                       const struct stat *st, velk_FileSpec_t *entry);

// Adds a copy of path, an object the current operand's walk keeps (a
// directory an exclusion rule leaves unwalked, its tag file), with st.
// 0, or -1 (status set).
int velk_AddWalkedObject(uint32_t type, const char *path, const struct stat *st);

// Walks the directory name (recursively when recurse is set) and adds what
// it holds.  exclusionMark is the rule-list mark of the directory.  0, or
// -1 when the walk must stop (status set).
int velk_GenDirList(const char *name, int recurse, int exclusionMark);

// Reads run's input list (-L; "-" = standard input).  0 or -1.
int velk_GenFilesFromListfile(const velk_run_t *run);

// Expands one operand of a file-reading action and adds what it names.
// 0, or -1 (status set).
int commonExpandPathname(const char *path, const char *annotation, int version);

// Copies src to dst (at least strlen(src)+1 bytes): a backslash makes the
// next character literal and is dropped, repeated "/" collapse to one unless
// the previous character was escaped, and trailing "/" go (a lone "/" stays).
void copyPathname(const char *src, char *dst);

// Sets the recursion level to 0 and clears the scan directory buffer.
void velk_ResetDirLevel();

// Debug listing of the table on standard error.
void velk_DumpFileSpecList();

// Order of entries: byte order of the names, ties by version (qsort style).
int compareFileSpecsByName(const void *a, const void *b);

// True when name holds an unescaped "*", "?", "{", "[" or "!".
bool velk_NameHasWildcards(const char *name);

// Scan counters of the run: directories scanned and oversize files met.
long velk_DirsScanned();
long velk_OversizeCount();

// Frees the table and resets the scan state (tests and the end of a run).
void velk_FileListRelease();

#endif
