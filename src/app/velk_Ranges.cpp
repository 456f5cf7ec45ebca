// The range list of the reading actions, the entry checks made before a
// member is read, and the read of one range.

#include "velk_Ranges.h"

#include "velk_ArchiveRead.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_TarExtHeader.h"
#include "velk_TarHeader.h"

velk_range_list_t::~velk_range_list_t()
{
    velk_FreeIxList(this);
}

int velk_AddIxListEntry(velk_range_list_t *list, const hif_entry_t *entry, int64_t ordinal, int64_t memberListPos)
{
    uint64_t offset = velk_Get64(entry->hent_offset);
    uint64_t blocks = velk_Get32(entry->hent_blocks);
    if (list->tail != nullptr && ordinal <= list->tail->ixEnd) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error adding index entry.\n", __func__);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     Attempted to add entry %ld; previous end of list=%ld\n",
                    static_cast<long>(ordinal), static_cast<long>(list->tail->ixEnd));
        return -1;
    }
    if (list->tail != nullptr && ordinal == list->tail->ixEnd + 1 && offset == list->tail->ixEndBlock) {
        list->tail->ixEndBlock += blocks;
        list->tail->ixEnd = ordinal;
        list->tail->ixCount += 1;
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/debug/extending ixListTail range to entries %ld-%ld, block range=%lu- %lu\n",
                           static_cast<long>(list->tail->ixStart), static_cast<long>(list->tail->ixEnd),
                           static_cast<unsigned long>(list->tail->ixStartBlock),
                           static_cast<unsigned long>(list->tail->ixEndBlock));
        return 0;
    }
    auto *r = static_cast<ix_ListEntry_t *>(VELK_CALLOC(1, sizeof(ix_ListEntry_t)));
    if (r == nullptr)
        return -1;
    r->next = nullptr;
    r->ixStartBlock = offset;
    r->ixEndBlock = offset + blocks;
    r->ixStart = ordinal;
    r->ixEnd = ordinal;
    r->ixCount = 1;
    r->ixFsOrd = memberListPos;
    if (list->tail == nullptr)
        list->head = r;
    else
        list->tail->next = r;
    list->tail = r;
    ++list->count;
    return 0;
}

void velk_FreeIxList(velk_range_list_t *list)
{
    ix_ListEntry_t *r = list->head;
    while (r != nullptr) {
        ix_ListEntry_t *next = r->next;
        VELK_FREE(r);
        r = next;
    }
    list->head = nullptr;
    list->tail = nullptr;
    list->count = 0;
}

int velk_RangeEntryShapeOk(const hif_entry_t *entry, int64_t ordinal, const char *path)
{
    uint32_t type = velk_Get32(entry->hent_type);
    uint64_t size = velk_Get64(entry->hent_fsize);
    uint32_t blocks = velk_Get32(entry->hent_blocks);
    // A member of another tar program's archive may begin with extension
    // records (long names, pax headers); its entry counts their blocks too.
    bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
    uint64_t extra = foreign ? VELK_TAREXT_MAX_BLOCKS : 0;
    bool ok;
    if (type == VTO_DIRECTORY)
        ok = blocks >= 1 && blocks - 1 <= extra;
    else if (type == VTO_FILE || type == VTO_HARDLINK || type == VTO_SYMLINK)
        ok = size <= VELK_MAX_MEMBER_SIZE && blocks >= velk_MemberBlocks(size) &&
             blocks - velk_MemberBlocks(size) <= extra;
    else
        ok = blocks >= 1;
    if (ok)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "Fatal: Index entry %ld (member file %s) records %u blocks for %lu bytes\n"
                "- must recreate index with 'velk -X' command\n",
                static_cast<long>(ordinal), path, blocks, static_cast<unsigned long>(size));
    velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

int velk_RangeEntryInside(uint64_t archiveSize, const hif_entry_t *entry, int64_t ordinal, const char *path)
{
    uint32_t type = velk_Get32(entry->hent_type);
    uint64_t offset = velk_Get64(entry->hent_offset);
    uint64_t blocks = velk_Get32(entry->hent_blocks);
    uint64_t archiveBlocks = archiveSize / VELK_BLOCKSIZE;
    bool beyond = offset > archiveBlocks || blocks > archiveBlocks - offset;
    // Files and hard links also get the truncation check's own detail line.
    if (type == VTO_FILE || type == VTO_HARDLINK) {
        if (velk_CheckFileTruncated(archiveSize, entry, static_cast<long>(ordinal)) != 0)
            beyond = true;
    }
    if (!beyond)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "Fatal: Index entry %ld (member file %s) extends past end of archive\n"
                "- must recreate index with 'velk -X' command\n",
                static_cast<long>(ordinal), path);
    velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

int velk_RangeMemberOk(const hif_entry_t *entry, int64_t ordinal, uint64_t expectedBlock, uint64_t rangeEndBlock,
                       const char *func, const char *reading)
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    uint64_t offset = velk_Get64(entry->hent_offset);
    uint64_t blocks = velk_Get32(entry->hent_blocks);
    if (velk_IndexEntrySane(entry) && offset == expectedBlock && offset < rangeEndBlock &&
        blocks <= rangeEndBlock - offset && velk_RangeEntryShapeOk(entry, ordinal, path) == 0)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Index File %s changed during the %s at entry %ld\n", func,
                velk_index_filename, reading, static_cast<long>(ordinal));
    velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

int velk_ReadRange(const velk_xfer_settings_t *xs, int archiveFd, const ix_ListEntry_t *range,
                   velk_bufCallback_t callback, void *arg, double *seconds)
{
    uint64_t start = range->ixStartBlock * VELK_BLOCKSIZE;
    uint64_t length = (range->ixEndBlock - range->ixStartBlock) * VELK_BLOCKSIZE;
    return velk_CopyFromArchive(xs, archiveFd, start, length, callback, arg, seconds);
}
