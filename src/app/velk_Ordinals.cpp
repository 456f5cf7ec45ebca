// Selection by index ordinal (-J): the member names read as ordinals,
// sorted once, then looked up by halves for each index entry.  Initial
// thread only; no locks.

#include "velk_Ordinals.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberNames.h"
#include "velk_Memory.h"

velk_ordinals_t::~velk_ordinals_t()
{
    VELK_FREE(ordinals);
}

int velk_ParseOrdinal(const char *text, int64_t *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || end == nullptr || *end != '\0' || errno != 0 || v > INT64_MAX) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Specified index entry: %s is not an index ordinal\n", text);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return -1;
    }
    *out = static_cast<int64_t>(v);
    return 0;
}

int velk_OrdinalsPrepare(velk_ordinals_t *o, const velk_members_t *members)
{
    o->members = members;
    VELK_FREE(o->ordinals);
    o->ordinals = nullptr;
    o->count = 0;
    o->active = velk_Opt(VELK_OPT_BY_ORDINAL);
    if (!o->active || members->count <= 0)
        return 0;
    const auto n = static_cast<size_t>(members->count);
    o->ordinals = static_cast<int64_t *>(VELK_CALLOC(n, sizeof(int64_t)));
    if (o->ordinals == nullptr)
        return -1;
    for (size_t i = 0; i < n; ++i) {
        const char *text = members->table[i].filename != nullptr ? members->table[i].filename : "";
        if (velk_ParseOrdinal(text, &o->ordinals[i]) != 0)
            return -1;
    }
    std::sort(o->ordinals, o->ordinals + n);
    o->count = std::unique(o->ordinals, o->ordinals + n) - o->ordinals;
    return 0;
}

int velk_OrdinalsCheck(const velk_ordinals_t *o, int64_t count)
{
    // The list is sorted: only its last ordinal can be the highest.
    if (!o->active || o->count == 0 || o->ordinals[o->count - 1] < count)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "Specified index entry: %lu is > number of index entries in the archive (%lu) [from Index File %s]\n",
                static_cast<unsigned long>(o->ordinals[o->count - 1]), static_cast<unsigned long>(count),
                velk_index_filename);
    velk_SetExitCode(VELK_EXIT_USAGE);
    return -1;
}

int velk_EntrySelected(const velk_ordinals_t *o, const hif_entry_t *entry, int64_t ordinal)
{
    if (!o->active)
        return velk_IndexEntryWasSelected(entry, o->members->table, o->members->count);
    if (o->count == 0)
        return 1;
    return std::binary_search(o->ordinals, o->ordinals + o->count, ordinal) ? 1 : 0;
}
