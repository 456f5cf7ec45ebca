#ifndef VELK_RANGES_H
#define VELK_RANGES_H

// Ranges of index entries read from an archive in one request, shared by
// the actions that read member data (extract, verify): the range list built
// from the selected entries, the checks an entry must pass before its
// member is read, and the read of one range through the archive reader of
// the archive's kind.  The initial thread builds and walks the list; the
// checks may also run on the reader's delivery thread (they touch no shared
// state besides the exit status).

#include <cstdint>

#include "velk_IndexFormat.h"
#include "velk_Xfer.h"

// One range of selected entries with consecutive ordinals whose members are
// contiguous in the archive.
struct ix_ListEntry_t {
    ix_ListEntry_t *next;
    uint64_t ixStartBlock; // archive block of the first member's header
    uint64_t ixEndBlock;   // block just after the last member
    int64_t ixStart;       // ordinal of the first entry
    int64_t ixEnd;         // ordinal of the last entry
    int64_t ixCount;       // entries in the range
    int64_t ixFsOrd;       // member-list position that asked for the first entry
};

// The range list of one reading action, in index order; the action owns it
// (freed when it goes out of scope).  Initial thread only.
struct velk_range_list_t {
    ix_ListEntry_t *head = nullptr;
    ix_ListEntry_t *tail = nullptr;
    long count = 0;
    velk_range_list_t() = default;
    velk_range_list_t(const velk_range_list_t &) = delete;
    velk_range_list_t &operator=(const velk_range_list_t &) = delete;
    ~velk_range_list_t();
};

// Adds a selected entry at ordinal (asked for by member-list record
// memberListPos) to the range list list: it extends the last range when its
// ordinal follows that range's last and its offset is the range's end
// block, else it starts a new range.  The caller has checked that offset
// plus blocks does not overflow.  Returns 0; -1 when the ordinal is not
// above the last range's (an internal error, logged) or memory runs out
// (status 78).
[[nodiscard]] int velk_AddIxListEntry(velk_range_list_t *list, const hif_entry_t *entry, int64_t ordinal,
                                      int64_t memberListPos);
// Frees the ranges of list and empties it.
void velk_FreeIxList(velk_range_list_t *list);

// Checks that the entry's blocks agree with its type and size: files, hard
// links and symbolic links occupy their header and their data rounded up to
// whole blocks, a directory one block; in the index of another program's
// archive (foreign flag of velk_index_hdr) up to VELK_TAREXT_MAX_BLOCKS
// extension blocks more.  0, or -1 after the message with status 72.
[[nodiscard]] int velk_RangeEntryShapeOk(const hif_entry_t *entry, int64_t ordinal, const char *path);

// Checks that the member lies inside an archive of archiveSize bytes (no
// product can wrap).  0, or -1 after the messages with status 72.
[[nodiscard]] int velk_RangeEntryInside(uint64_t archiveSize, const hif_entry_t *entry, int64_t ordinal,
                                        const char *path);

// Checks an entry read again during a range read against what the range
// list laid out: a sane entry of a sound shape whose member starts at
// expectedBlock and ends inside the range.  func and reading ("extraction")
// name the caller in the message.  0, or -1 after the message with status
// 72.
[[nodiscard]] int velk_RangeMemberOk(const hif_entry_t *entry, int64_t ordinal, uint64_t expectedBlock,
                                     uint64_t rangeEndBlock, const char *func, const char *reading);

// Reads the bytes of range from the archive archiveFd (kind velk_filetype)
// into callback with arg, with the run's transfer settings xs; *seconds
// gets the transfer's time.  Returns what the archive reader returns: 0 or
// negative.
[[nodiscard]] int velk_ReadRange(const velk_xfer_settings_t *xs, int archiveFd, const ix_ListEntry_t *range,
                                 velk_bufCallback_t callback, void *arg, double *seconds);

#endif
