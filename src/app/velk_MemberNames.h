#ifndef VELK_MEMBERNAMES_H
#define VELK_MEMBERNAMES_H

// The member names a list or extract run was given (the run's member
// table, from the operands and -L lists): which of them are
// wildcard patterns, and which selected no index entry at all.  The action
// owns the record of which names selected something (velk_member_names_t)
// and hands it to these calls.  Initial thread only.

#include "velk_Context.h"
#include "velk_FileSpec.h"
#include "velk_IndexFormat.h"

// Which member-table records selected an index entry during one action.
// The flags are freed when the record goes out of scope.
struct velk_member_names_t {
    velk_FileSpec_t *table = nullptr; // the member table tracked
    bool *found = nullptr;            // one flag per member-table record
    bool *deleted = nullptr;          // the record selected a soft-deleted entry
    bool exact = false;               // a name selects only the path it names
    int64_t tracked = 0;              // records tracked
    int64_t left = 0;                 // records not yet marked
    velk_member_names_t() = default;
    velk_member_names_t(const velk_member_names_t &) = delete;
    velk_member_names_t &operator=(const velk_member_names_t &) = delete;
    ~velk_member_names_t();
};

// Readies the member table members for matching against the index, before
// the index is read: hasWildcards stays set only on the names that are
// patterns (none with -H noglob), and names starts recording which names
// selected something.  Returns 0, or -1 when memory ran out (status 78).
[[nodiscard]] int velk_MemberNamesPrepare(velk_member_names_t *names, velk_members_t *members);

// Records in names which names select entry.  The action calls it for
// every entry that velk_IndexEntryWasSelected selects.
void velk_MemberNamesSelected(velk_member_names_t *names, const hif_entry_t *entry);

// Records in names which names select the soft-deleted entry: a name that
// selects nothing else is reported as deleted rather than as not found.
// The actions that pass over deleted entries call it for each of them.
void velk_MemberNamesDeletedSeen(velk_member_names_t *names, const hif_entry_t *entry);

// Reports each name that selected no entry, sets exit status 72 and counts
// one failure per name: "<name>: Not found in archive", or, when it named
// only soft-deleted entries, "<name>: Soft-deleted in archive (undelete it
// with -U)".  Returns how many names were reported.
int velk_MemberNamesReportMissing(const velk_member_names_t *names);

// 1 when one of the count records of table names the entry's path itself
// (exactly, or as a pattern matching the whole path), never a member below
// a named directory; else 0.  Soft delete and undelete select with it.
int velk_IndexEntryNamed(const hif_entry_t *entry, const velk_FileSpec_t *table, int64_t count);

// 1 when the entry's path is selected by the member names of the run, else
// 0.  table holds count member-table records (the run's members); with
// none every entry is selected (only paths
// without '/' under -H norecurse).  A name selects itself and, unless
// norecurse, everything below it; a wildcard record is matched component by
// component with the wildcard matcher.
int velk_IndexEntryWasSelected(const hif_entry_t *entry, const velk_FileSpec_t *table, int64_t count);

#endif
