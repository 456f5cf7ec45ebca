#ifndef VELK_INDEXFILE_H
#define VELK_INDEXFILE_H

// The index file of an archive: entries made from member-table records and
// from tar headers, the header image, opening and validating an index, the
// buffered sequential reader, positioned and random reads, the temporary
// index of a create, the adjustment of entries after the archive is written
// and the selection of entries by the run's member names.  The initial
// thread owns the index; during create the local file manager thread reads
// the temporary index while the initial thread waits, so the reader's state
// is never used by two threads at once.  No locks are taken.  Local index
// files are handled here; storage-system and gateway-host index files are
// reached through local copies that velk_IndexAccess makes and places, and
// a call here on one of those kinds fails with an internal error.

#include <cstddef>
#include <cstdint>

#include "velk_FileSpec.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"

// Index state of the run.  Written by the initial thread (opening an index,
// or laying out a create); read by the thread that reads the index.
extern hif_hdr_t velk_index_hdr;   // header image of the open or growing index
extern int64_t velk_index_entries; // entries present (or laid out so far)
extern uint32_t velk_index_flags;  // HIF_IDX_* for the header
extern uint32_t velk_annotation_offset;
extern uint32_t velk_annotation_size; // bytes between the header and entry 0
extern uint64_t velk_index_filesize;
extern char *velk_tmpIndexFile;      // temporary index path (velk_Malloc'd), or null
extern int velk_tmpIndexFD;          // its descriptor, -1 when none
extern int velk_unlinkTmpIndexFile;  // remove the temporary index at exit
extern uint64_t velk_archive_blocks; // archive size in blocks laid out so far by a create

// Size of the sequential reader's buffer and of every block of entries
// moved at once: 4 MiB, 8192 entries.
constexpr int VELK_INDEX_BUFSIZE = 4194304;
constexpr int VELK_INDEX_BUFENTRIES = VELK_INDEX_BUFSIZE / static_cast<int>(HIF_ENTRY_SIZE);

// The query the index needs from the unit that owns wildcard matching.  That
// unit installs it with velk_SetIndexHooks at start-up; until then a
// pattern's components are compared byte for byte.
struct velk_index_hooks_t {
    // Non-zero when the path component name matches the pattern component.
    int (*matchComponent)(const char *name, const char *pattern);
};
// Installs (copies) the hooks; null removes them.  Initial thread, before
// any index is adjusted or selected from.
void velk_SetIndexHooks(const velk_index_hooks_t *hooks);

// Fills entry from a member-table record, with offset velk_archive_blocks
// (the caller adds the entry's blocks afterwards).  Long paths are split into
// prefix and name at the rightmost '/' that leaves a name of at most 99 and a
// prefix of 1 to 154 characters; a trailing '/' is dropped first.  Symbolic
// link targets are read from the file system.  Directories and symbolic
// links get size 0 (fileSpec->size is cleared too).  Returns 0, or -1 with a
// message and exit status 70 when the member must be omitted (path that
// cannot be split, unreadable or too long link target, file of 2^36 bytes or
// more).
[[nodiscard]] int velk_IndexFromFileSpec(int64_t ordinal, velk_FileSpec_t *fileSpec, hif_entry_t *entry);

// Fills entry from a validated tar header found at archive block
// blockOffset; *blocksOut and *sizeOut get the member's blocks and size.
// Returns 0, or -1 (entry zeroed) for a type flag that gives no entry.
[[nodiscard]] int velk_IndexFromTarHdr(uint64_t blockOffset, const posix_header_t *header, hif_entry_t *entry,
                                       uint32_t *blocksOut, uint64_t *sizeOut);

// Lays out the first 32 bytes of velk_index_hdr from velk_index_flags,
// velk_index_entries, velk_annotation_offset and velk_annotation_size.
void velk_BuildIndexHeader();

// Read or write the 288-byte header at offset 0 of an index of kind
// (VELK_FILETYPE); name is for messages.  The writer leaves the file at
// byte 288.  Return 0, or -1 with a message and exit status 72.
[[nodiscard]] int velk_ReadIndexHeader(int fd, int kind, const char *name, hif_hdr_t *header);
[[nodiscard]] int velk_WriteIndexHeader(int fd, int kind, const char *name, const hif_hdr_t *header);

// The name messages give an index file of kind (VELK_FILETYPE):
// "QUOR-resident", "remote" or "local" (static text).
const char *velk_IndexKindName(int kind);

// True for a local index file (kind VELK_LOCAL_FILE).  Otherwise logs, for
// func and the file name (may be null), an internal error (the caller
// should have used the local copy), sets exit status 70 and returns false.
[[nodiscard]] bool velk_IndexKindIsLocal(int kind, const char *func, const char *name);

// Opens an index file in the local file system (the storage-system and
// gateway-host kinds go through velk_OpenIndexFile in velk_IndexAccess.h;
// kind names the file in messages), checks that it holds a whole header
// with the "VelkIndex" mark, an annotation area inside the file and no more
// entries claimed than present, loads velk_index_hdr and derives
// velk_index_entries from the file size.  Returns the descriptor (the
// caller closes it), or -1 with a message and exit status 72.
[[nodiscard]] int velk_OpenLocalIndexFile(const char *path, int openFlags, int kind);

// Allocates the read buffer on first use and resets the sequential reader to
// entry 0.  Returns 0, or -1 with exit status 78 when memory runs out.
[[nodiscard]] int velk_IndexReadInit();
// Frees the read buffer (at the end of a run, or in tests).
void velk_IndexReadRelease();

// Yields in *entryOut a pointer to the next entry, inside the read buffer
// and valid until the next reader call; at the end sets *eofOut to 1 and
// returns 0.  maxEntries > 0 limits how many entries one fill reads.  A file
// that ends before velk_index_entries entries ends the reading there (no
// entry is ever handed out twice or made up).  Returns 0, or -1 with a
// message on a read error.
[[nodiscard]] int velk_IndexFileRead(int fd, int kind, int maxEntries, hif_entry_t **entryOut, int *eofOut);

// Positions the file at entry ordinal and resets the reader to it.  Returns 0
// or -1 with a message.
[[nodiscard]] int velk_IndexFilePosition(int fd, int kind, int64_t ordinal);
// Positions at entry 0.  Returns 0 or -1.
[[nodiscard]] int velk_IndexFileRewind(int fd, int kind);

// Reads entry ordinal into *entry (512 bytes).  An ordinal outside
// 0..velk_index_entries-1, a short read or an entry without "VELK_IDX"
// fails at once.  Returns 0, or -1 with a message and exit status 72.
[[nodiscard]] int velk_IndexReadRandomEntry(int fd, int kind, int64_t ordinal, hif_entry_t *entry);

// Yields VELK_INDEX_BUFSIZE and VELK_INDEX_BUFENTRIES.
void velk_GetIndexBufSize(int *bytesOut, int *entriesOut);

// Names, creates and opens the temporary local index: next to the final
// index (velk_index_filename) for a local or piped archive, from the template
// "velk_XXXXXX"; otherwise "<TMPDIR or /tmp>/VELK_INX_<pid>_<seconds>",
// with a numeric suffix added while the name is taken.  Created exclusively,
// never through a symbolic link, mode 0600.  Sets velk_tmpIndexFile,
// velk_tmpIndexFD and velk_unlinkTmpIndexFile.  Returns 0, or -1 with a
// message and exit status 72.
[[nodiscard]] int velk_CreateTmpIndexFile();

// Copies source to target and applies the member's transfer outcome
// (velk_GetMemberFileXferSuccess, velk_GetMemberFileXferCRC) to file and
// hard-link entries: a failed member becomes a phantom, deleted entry named
// "/dev/null"; otherwise with -H crc the CRC is stored.  Returns 0.
[[nodiscard]] int velk_AdjustIndexEntry(int64_t ordinal, const hif_entry_t *source, hif_entry_t *target);

// Rewrites the temporary index of a local archive through
// velk_AdjustIndexEntry into a second temporary file beside it and renames
// that over the first in one rename; velk_tmpIndexFD then refers to the new
// file.  On a failure the first temporary index stays as it was.  Returns
// 0, or -1 with a message and exit status 70 or 72.
[[nodiscard]] int velk_CopyAndAdjustLocalIndex();
// The two-line hint printed after a failed index copy.
void index_CopyFailure();

// 1 when the entry's path is selected by the member names of the run, else
// 0.  table holds count member-table records (velk_FileList and
// velk_FileListEntries); with none every entry is selected (only paths
// without '/' under -H norecurse).  A name selects itself and, unless
// norecurse, everything below it; a wildcard record is matched component by
// component through the matchComponent hook.
int velk_IndexEntryWasSelected(const hif_entry_t *entry, const velk_FileSpec_t *table, int64_t count);

#endif
