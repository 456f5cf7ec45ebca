#ifndef VELK_GLOB_H
#define VELK_GLOB_H

// Wildcard expansion of the operands of file-reading actions, in the manner
// of the C shell: "*", "?", "[...]" and "{a,b}" over any number of path
// components, giving the existing objects with their kind and status, sorted
// by name.  Also the component matcher that selects index entries by a
// pattern.  Any thread; an expansion keeps its state to itself.

#include "velk_FileList.h"

// Longest path an expansion builds; longer ones are reported and skipped.
constexpr size_t VELK_GLOB_PATH_MAX = 4095;
// Entries the table grows by.
constexpr long VELK_GLOB_GROWTH = 100;

// Hooks for member selection (velk_FileListHooks_t).  velk_GlobExpand
// expands path (a local path; a backslash is dropped and keeps the next
// character, so escapes do not stop expansion: -H noglob does) into a new
// table *matches of the existing objects it names, sorted, each trailing "/"
// removed; a literal path is listed even when missing (reported, status 72,
// not listed).  Neither "." nor ".." is matched by a wildcard.  Returns the
// count (also 0), or -1 when memory ran out (status 78; nothing to release).
// velk_GlobRelease frees such a table with its names.
int velk_GlobExpand(const char *path, velk_globent_t **matches);
void velk_GlobRelease(velk_globent_t *matches, int count);

// Hook for index selection: nonzero when the path component name matches
// the pattern component.
int velk_MatchComponent(const char *name, const char *pattern);

#endif
