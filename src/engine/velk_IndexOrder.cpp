// The order check of index entries: no member may begin inside the blocks
// of the member before it, nor occupy no block at all.

#include "velk_IndexOrder.h"

#include <cstdint>

#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"

int velk_IndexOrderCheck(velk_index_order_t *order, const hif_entry_t *entry, int64_t ordinal)
{
    uint64_t offset = velk_Get64(entry->hent_offset);
    uint64_t blocks = velk_Get32(entry->hent_blocks);
    if (blocks != 0 && offset >= order->nextBlock) {
        // An end past 2^64 blocks leaves no room for any later member.
        order->nextBlock = offset > UINT64_MAX - blocks ? UINT64_MAX : offset + blocks;
        return 0;
    }
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    if (blocks == 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Fatal: Index entry %ld (member file %s) occupies no archive block\n"
                    "- must recreate index with 'velk -X' command\n",
                    static_cast<long>(ordinal), path);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Fatal: Index entry %ld (member file %s) starts at archive block %lu, inside the member before "
                    "it (which ends at block %lu)\n- must recreate index with 'velk -X' command\n",
                    static_cast<long>(ordinal), path, static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(order->nextBlock));
    velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

int velk_IndexOrderScan(velk_index_t *index, int fd, int kind, int64_t count)
{
    if (velk_IndexFileRewind(index, fd, kind) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    velk_index_order_t order;
    for (int64_t ordinal = 0; ordinal < count; ++ordinal) {
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(index, fd, kind, 0, &entry, &eof) != 0 || eof != 0 || entry == nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error reading index entry %ld from %s\n",
                        static_cast<long>(ordinal), velk_index_filename);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        if (velk_IndexEntryAccept(&order, entry, ordinal) != 0)
            return -1;
    }
    return 0;
}

int velk_IndexEntryAccept(velk_index_order_t *order, const hif_entry_t *entry, int64_t ordinal)
{
    if (!velk_IndexEntrySane(entry)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Hmmm- %s does not appear to be a file created by velk.\n",
                    velk_index_filename);
        velk_NoteFailure("corrupt index entry");
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_IndexOrderCheck(order, entry, ordinal);
}
