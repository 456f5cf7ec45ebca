#ifndef VELK_ORDINALS_H
#define VELK_ORDINALS_H

// Selection by index ordinal (-J): the member names of list, verify, soft
// delete and undelete are then ordinals, not paths.  The action owns the
// set; the ordinals are freed with it.  Initial thread only.

#include <cstdint>

#include "velk_Context.h"
#include "velk_IndexFormat.h"

struct velk_ordinals_t {
    bool active = false;         // -J: select by ordinal
    int64_t *ordinals = nullptr; // the requested ordinals, ascending, distinct
    int64_t count = 0;
    const velk_members_t *members = nullptr; // the member table the set was read from
    velk_ordinals_t() = default;
    velk_ordinals_t(const velk_ordinals_t &) = delete;
    velk_ordinals_t &operator=(const velk_ordinals_t &) = delete;
    ~velk_ordinals_t();
};

// Reads text, a whole decimal number, as an ordinal into *out.  Returns 0,
// or -1 after the message "Specified index entry: <text> is not an index
// ordinal" (status 64).
[[nodiscard]] int velk_ParseOrdinal(const char *text, int64_t *out);

// With -J in force, reads every name of members as an ordinal into o
// (active then); without, leaves o inactive.  o keeps members for
// velk_EntrySelected.  Returns 0, or -1 after the
// message (status 64, or 78 when memory ran out).
[[nodiscard]] int velk_OrdinalsPrepare(velk_ordinals_t *o, const velk_members_t *members);

// Checks every requested ordinal against the count entries that can be
// selected.  Returns 0, or -1 after the message "Specified index entry: %lu
// is > number of index entries in the archive (%lu) [from Index File %s]"
// (status 64).
[[nodiscard]] int velk_OrdinalsCheck(const velk_ordinals_t *o, int64_t count);

// 1 when entry, at ordinal, is selected: under -J when its ordinal was
// requested (every entry when none was), otherwise by the member names
// (velk_IndexEntryWasSelected).  Else 0.
int velk_EntrySelected(const velk_ordinals_t *o, const hif_entry_t *entry, int64_t ordinal);

#endif
