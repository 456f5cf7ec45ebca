// The member stream: walks each delivered buffer block by block, makes the
// range's next entry current when a member ends, hands the header block and
// the data blocks to the action's hooks and passes over the blocks an
// action does not take (padding, or data of a member type that carries
// none).  Runs on the archive reader's delivery thread; takes no lock.

#include "velk_MemberStream.h"

#include <algorithm>

#include "velk_Globals.h"
#include "velk_LogMsg.h"

void velk_MemberCursorBegin(velk_member_cursor_t *cur, const hif_entry_t *entry, int64_t ordinal)
{
    cur->haveEntry = true;
    cur->headerSeen = false;
    cur->type = velk_Get32(entry->hent_type);
    cur->ordinal = ordinal;
    cur->archiveAddr = velk_Get64(entry->hent_offset) * VELK_BLOCKSIZE;
    cur->blockCount = velk_Get32(entry->hent_blocks);
    cur->blocksHandled = 0;
}

int velk_MemberStreamCallback(io_buffer_t *theBuf, void *state)
{
    auto *stream = static_cast<velk_member_stream_t *>(state);
    const velk_member_ops_t *ops = stream->ops;
    velk_member_cursor_t *cur = stream->cur;
    if (theBuf->dataLength % VELK_BLOCKSIZE != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error. Data length [%d] not a multiple of %d\n", ops->caller,
                    static_cast<int>(theBuf->dataLength), VELK_BLOCKSIZE);
        if (ops->lengthStatus != 0)
            velk_SetExitCode(ops->lengthStatus);
        return -1;
    }
    const unsigned char *data = theBuf->buffer;
    uint32_t pos = 0;
    while (pos < theBuf->dataLength) {
        // A forced shutdown stops the transfer between blocks; the action
        // deals with the member left incomplete.
        if (velk_shutdown_signalled.load() != 0)
            return -1;
        if (!cur->haveEntry && ops->next(stream->ctx) != 0)
            return -1;
        uint32_t left = theBuf->dataLength - pos;
        uint64_t consumed = 0;
        if (!cur->headerSeen) {
            if (ops->header(stream->ctx, data + pos) != 0)
                return -1;
            cur->headerSeen = true;
            consumed = 1;
        } else if (ops->wantsData(stream->ctx)) {
            if (ops->data(stream->ctx, data + pos, left, &consumed) != 0)
                return -1;
        } else {
            consumed = std::min<uint64_t>(cur->blockCount - cur->blocksHandled, left / VELK_BLOCKSIZE);
        }
        if (consumed == 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - no progress at address %lu\n",
                        ops->caller, static_cast<unsigned long>(cur->archiveAddr));
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        cur->blocksHandled += consumed;
        cur->archiveAddr += consumed * VELK_BLOCKSIZE;
        pos += static_cast<uint32_t>(consumed * VELK_BLOCKSIZE);
        if (cur->blocksHandled >= cur->blockCount) {
            --cur->entriesLeft;
            cur->haveEntry = false;
            if (ops->finish(stream->ctx) != 0)
                return -1;
        }
    }
    return 0;
}
