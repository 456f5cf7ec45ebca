#ifndef VELK_MEMBERSTREAM_H
#define VELK_MEMBERSTREAM_H

// The member stream: the blocks of a range of the archive, as the archive
// reader delivers them, cut into members by the range's index entries.  The
// stream keeps the cursor (which member, how many of its blocks are
// handled, the archive address) and calls the action's hooks for each
// member's entry, header block, data and end; extract and verify are two
// sets of hooks over the same walk.  It runs on the reader's delivery
// thread while the thread that started the range read waits in the reader,
// so the cursor and the hooks' context are used by one thread at a time.

#include <cstdint>

#include "velk_IndexFormat.h"
#include "velk_TarExtHeader.h"
#include "velk_Xfer.h"

// Where the stream stands in its range.
struct velk_member_cursor_t {
    bool haveEntry = false;     // a member is being handled
    bool headerSeen = false;    // its header block has been handled
    uint32_t type = 0;          // the member's object type (VTO_*)
    int64_t ordinal = 0;        // the index ordinal of its entry
    int64_t entriesLeft = 0;    // entries of the range not yet finished
    uint64_t archiveAddr = 0;   // archive byte address being consumed
    uint64_t blockCount = 0;    // the member's blocks, header included
    uint64_t blocksHandled = 0; // blocks of the member consumed so far
};

// An action's hooks; ctx is the action's own state.  Each returns 0 to go
// on or -1 to stop the range read (after its message).
struct velk_member_ops_t {
    const char *caller; // names the stream in its internal-error messages
    int lengthStatus;   // exit status for a delivery that is not whole blocks, 0 for none
    // Reads the range's next entry and makes it the current member (with
    // velk_MemberCursorBegin).
    int (*next)(void *ctx);
    // The current member's header block (the stream marks it seen when the
    // hook returns 0).
    int (*header)(void *ctx, const unsigned char *block);
    // Whether the member's next blocks go to data (else they are passed over).
    bool (*wantsData)(void *ctx);
    // Takes the member's data from the length bytes at bytes (whole blocks);
    // *blocksOut gets the blocks consumed.
    int (*data)(void *ctx, const unsigned char *bytes, uint32_t length, uint64_t *blocksOut);
    // All the member's blocks are handled; the cursor has already counted
    // the entry as finished and holds no member.
    int (*finish)(void *ctx);
};

// A stream: the hooks, their context and the cursor they share.  This is
// the state argument of velk_MemberStreamCallback.  With ext set, a member
// may begin with extension records (long names, pax extended headers): the
// stream reads them, counts their blocks as the member's, and hands the
// header hook the member's header with their values put in, as the index
// entry was made from it.  The owner frees ext's buffer (velk_TarExtFree).
struct velk_member_stream_t {
    const velk_member_ops_t *ops;
    void *ctx;
    velk_member_cursor_t *cur;
    velk_tar_ext_reader_t *ext = nullptr;
};

// Makes entry, at ordinal, the cursor's current member: its type, archive
// address and block count, nothing of it handled yet.  No messages.
void velk_MemberCursorBegin(velk_member_cursor_t *cur, const hif_entry_t *entry, int64_t ordinal);

// The data callback of the archive readers: consumes theBuf's dataLength
// bytes of the current range; state is a velk_member_stream_t.  A forced
// shutdown stops the walk between blocks.  Returns 0 to go on, -1 to stop
// the transfer (after a message, or when a hook stopped it).
int velk_MemberStreamCallback(io_buffer_t *theBuf, void *state);

#endif
