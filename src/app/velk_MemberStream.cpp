// The member stream: walks each delivered buffer block by block, makes the
// range's next entry current when a member ends, hands the header block and
// the data blocks to the action's hooks and passes over the blocks an
// action does not take (padding, or data of a member type that carries
// none).  Runs on the archive reader's delivery thread; takes no lock.

#include "velk_MemberStream.h"

#include <algorithm>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Utils.h"

void velk_MemberCursorBegin(velk_member_cursor_t *cur, const hif_entry_t *entry, int64_t ordinal)
{
    cur->haveEntry = true;
    cur->headerSeen = false;
    cur->type = velk_Get32(entry->hent_type);
    cur->ordinal = ordinal;
    cur->archiveAddr = velk_Get64(entry->hent_offset) * VELK_BLOCKSIZE;
    cur->blockCount = velk_Get32(entry->hent_blocks);
    cur->blocksHandled = 0;
    if (velk_ProgressShown()) {
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(entry, path, sizeof path);
        velk_ProgressMember(velk_ShownName(path).c_str());
    }
}

// One block of the current member before its header has been handled: an
// extension block is taken in, the header goes to the header hook.  A header
// the extension records cannot be applied to, or records that run past the
// member's blocks, are named and the block goes to the hook as it is, whose
// header check then refuses it.  0 to go on, -1 to stop.
static int headerBlock(velk_member_stream_t *stream, const unsigned char *block)
{
    const velk_member_ops_t *ops = stream->ops;
    velk_member_cursor_t *cur = stream->cur;
    unsigned char resolved[VELK_BLOCKSIZE];
    const unsigned char *header = block;
    if (stream->ext != nullptr) {
        int rc = velk_TarExtFeed(stream->ext, block, resolved);
        if (rc == VELK_TAREXT_MORE) {
            if (cur->blocksHandled + 1 < cur->blockCount)
                return 0;
            stream->ext->why = "its extension records fill every block its index entry gives it";
            stream->ext->memberDone = true;
            rc = VELK_TAREXT_MALFORMED;
        }
        if (rc == 0)
            header = resolved;
        else if (rc == VELK_TAREXT_MALFORMED || rc == VELK_TAREXT_UNREPRESENTABLE)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "%s: member of Index File entry %ld at archive address %lu cannot be read: %s\n", ops->caller,
                        static_cast<long>(cur->ordinal), static_cast<unsigned long>(cur->archiveAddr),
                        stream->ext->why != nullptr ? stream->ext->why : "");
    }
    if (ops->header(stream->ctx, header) != 0)
        return -1;
    cur->headerSeen = true;
    return 0;
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
            if (headerBlock(stream, data + pos) != 0)
                return -1;
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
