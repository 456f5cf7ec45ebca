#ifndef VELK_INDEXENTRY_H
#define VELK_INDEXENTRY_H

// Index entries and the header image of the run's index: entries made from
// member-table records and from tar headers, the header laid out from the
// index state below, and an entry adjusted to its member's transfer outcome.
// The index file itself (opening, reading, the temporary index) is
// velk_IndexFile's.  No locks.

#include <cstdint>

#include "velk_Context.h"
#include "velk_FileSpec.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"

// Index state of the run.  Written by the initial thread (opening an index,
// or laying out a create); read by the thread that reads the index.
extern hif_hdr_t velk_index_hdr;     // header image of the open or growing index
extern int64_t velk_index_entries;   // entries present (or laid out so far)
extern uint64_t velk_archive_blocks; // archive size in blocks laid out so far by a create

// Fills entry from a member-table record, with offset velk_archive_blocks
// (the caller adds the entry's blocks afterwards).  Long paths are split into
// prefix and name at the rightmost '/' that leaves a name of at most 99 and a
// prefix of 1 to 154 characters; a trailing '/' is dropped first.  Symbolic
// link targets are read from the file system.  Directories and symbolic
// links get size 0 (fileSpec->size is cleared too).  Returns 0, or -1 with a
// message when the member must be omitted: status 64 for a path or link
// target beyond the ustar limits (an unusable path), 70 for an unreadable
// link or a file of 2^36 bytes or more.
[[nodiscard]] int velk_IndexFromFileSpec(int64_t ordinal, velk_FileSpec_t *fileSpec, hif_entry_t *entry);

// Fills entry from a validated tar header found at archive block
// blockOffset; *blocksOut and *sizeOut get the member's blocks and size.
// Returns 0, or -1 (entry zeroed) for a type flag that gives no entry.
[[nodiscard]] int velk_IndexFromTarHdr(uint64_t blockOffset, const posix_header_t *header, hif_entry_t *entry,
                                       uint32_t *blocksOut, uint64_t *sizeOut);

// Lays out the first 32 bytes of velk_index_hdr from index's flags,
// velk_index_entries and index's annotation offset and size.
void velk_BuildIndexHeader(const velk_index_t *index);

// The name messages give an index file of kind (VELK_FILETYPE):
// "QUOR-resident", "remote" or "local" (static text).
const char *velk_IndexKindName(int kind);

// Copies source to target and applies the member's transfer outcome
// (velk_GetMemberFileXferSuccess, velk_GetMemberFileXferCRC) to file and
// hard-link entries: a failed member becomes a phantom, deleted entry named
// "/dev/null"; otherwise with -H crc the CRC is stored.  Returns 0.
[[nodiscard]] int velk_AdjustIndexEntry(int64_t ordinal, const hif_entry_t *source, hif_entry_t *target);

#endif
