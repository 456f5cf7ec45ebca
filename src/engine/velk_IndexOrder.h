#ifndef VELK_INDEXORDER_H
#define VELK_INDEXORDER_H

// The layout every index keeps: its entries describe the archive's members
// in archive order, each starting at or after the block where the one
// before it ends (the consistency file's entry last).  An entry that breaks
// the order overlaps another member's blocks: reading it would pick a
// "member" out of the middle of another one's data, which no tar sees.
// Readers check the order while they read the index, before the archive is
// touched.  State is the caller's; no locks.

#include <cstdint>

#include "velk_Context.h"
#include "velk_IndexFormat.h"

// The running check over entries read in index order.
struct velk_index_order_t {
    uint64_t nextBlock = 0; // first block after the members checked so far
};

// Checks the entry at ordinal, the next in index order: it occupies at least
// one block and starts no earlier than order->nextBlock.  Advances the
// check.  Returns 0, or -1 after the message naming the entry (exit status
// 72, one "corrupt index entry" failure counted).
[[nodiscard]] int velk_IndexOrderCheck(velk_index_order_t *order, const hif_entry_t *entry, int64_t ordinal);

// The whole check of the entry at ordinal read from an untrusted index: its
// fields are sane (else "does not appear to be a file created by velk",
// status 72) and it is next in index order.  0, or -1 after the message.
[[nodiscard]] int velk_IndexEntryAccept(velk_index_order_t *order, const hif_entry_t *entry, int64_t ordinal);

// Reads entries 0 to count-1 of the open index fd of kind and checks that
// each is sane ("VELK_IDX") and in order.  index's sequential reader is left after them; the caller positions it
// again.  Returns 0, or -1 after the message (a read error: status 72).
[[nodiscard]] int velk_IndexOrderScan(velk_index_t *index, int fd, int kind, int64_t count);

#endif
