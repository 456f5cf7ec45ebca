#ifndef VELK_GLOB_H
#define VELK_GLOB_H

// Wildcard expansion of the operands of file-reading actions, in the manner
// of the C shell: "*", "?", "[...]" and "{a,b}" over any number of path
// components, giving the existing objects with their kind and status, sorted
// by name.  Also the component matcher that selects index entries by a
// pattern.  Initial thread only (the table and working path are statics).

#include "velk_FileList.h"

// Longest path an expansion builds; longer ones are reported and skipped.
constexpr size_t VELK_GLOB_PATH_MAX = 4095;
// Entries the table grows by.
constexpr long VELK_GLOB_GROWTH = 100;

// The matches of the current operand (names owned by the table until
// velk_GlobFreeStrings) and their count.
extern velk_globent_t *velk_globv;
extern long velk_glob_inx;

// Empties the table for the next operand (names already handed over or
// freed).
void velk_GlobInit();

// Expands pattern (a local path; a backslash is dropped and keeps the next
// character, so escapes do not stop expansion: -H noglob does) and appends
// the existing objects it names.  A literal path is added even when missing
// (reported, status 72, not added).  0 (also with no match), or -1 when
// memory ran out (status 78).
int velk_Glob(const char *pattern);

// Sorts the table by name; returns the count.
long velk_GlobSort();

// Matches one directory entry name against pattern (a component and what
// follows it); a "/" of the pattern reached at the end of name descends into
// the entry and expands the rest there.  Neither "." nor ".." is matched by
// a wildcard.  1 when name itself matches.
int velk_Match(const char *name, const char *pattern);

// Frees the names the table still owns, and the table itself.
void velk_GlobFreeStrings();
void velk_GlobCleanup();

// Hooks for member selection (velk_FileListHooks_t): expands path into
// *matches (sorted, trailing "/" removed), the count or -1; and releases
// them.
int velk_GlobExpand(const char *path, velk_globent_t **matches);
void velk_GlobRelease(velk_globent_t *matches, int count);

// Hook for index selection: nonzero when the path component name matches
// the pattern component.
int velk_MatchComponent(const char *name, const char *pattern);

#endif
