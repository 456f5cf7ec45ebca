#ifndef VELK_MEMBERNAMES_H
#define VELK_MEMBERNAMES_H

// The member names a list or extract run was given (the member table
// velk_FileList, from the operands and -L lists): which of them are
// wildcard patterns, and which selected no index entry at all.  Initial thread only.

#include "velk_IndexFormat.h"

// Readies the member table for matching against the index, before the
// index is read: hasWildcards stays set only on the names that are patterns
// (none with -H noglob), and the record of which names selected something
// starts.  Returns 0, or -1 when memory ran out (status 78).
[[nodiscard]] int velk_MemberNamesPrepare();

// Records which names select entry.  The action calls it for every entry
// that velk_IndexEntryWasSelected selects.
void velk_MemberNamesSelected(const hif_entry_t *entry);

// Reports each name that selected no entry ("<name>: Not found in
// archive", error level), sets exit status 72 and counts one failure per
// name.  Returns how many names were reported.
int velk_MemberNamesReportMissing();

#endif
