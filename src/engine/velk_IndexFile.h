#ifndef VELK_INDEXFILE_H
#define VELK_INDEXFILE_H

// The local index file of an archive: opening and validating it, its
// header on disk, the buffered sequential reader, positioned and random
// reads, the temporary index of a create and its adjustment pass (entries
// and the header image are velk_IndexEntry's).  The initial thread owns the
// index; during create the local file manager thread reads the temporary
// index while the initial thread waits, so the reader's state is never used
// by two threads at once.  No locks are taken.  Storage-system and
// gateway-host index files are reached through local copies that
// velk_IndexAccess makes and places, and a call here on one of those kinds
// fails with an internal error.

#include <cstddef>
#include <cstdint>

#include "velk_Context.h"
#include "velk_FileSpec.h"
#include "velk_IndexEntry.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"

// Size of the sequential reader's buffer and of every block of entries
// moved at once: 4 MiB, 8192 entries.
constexpr int VELK_INDEX_BUFSIZE = 4194304;
constexpr int VELK_INDEX_BUFENTRIES = VELK_INDEX_BUFSIZE / static_cast<int>(HIF_ENTRY_SIZE);

// Read or write the 288-byte header at offset 0 of an index of kind
// (VELK_FILETYPE); name is for messages.  The writer leaves the file at
// byte 288.  Return 0, or -1 with a message and exit status 72.
[[nodiscard]] int velk_ReadIndexHeader(int fd, int kind, const char *name, hif_hdr_t *header);
[[nodiscard]] int velk_WriteIndexHeader(int fd, int kind, const char *name, const hif_hdr_t *header);

// True for a local index file (kind VELK_LOCAL_FILE).  Otherwise logs, for
// func and the file name (may be null), an internal error (the caller
// should have used the local copy), sets exit status 70 and returns false.
[[nodiscard]] bool velk_IndexKindIsLocal(int kind, const char *func, const char *name);

// Opens an index file in the local file system (the storage-system and
// gateway-host kinds go through velk_OpenIndexFile in velk_IndexAccess.h;
// kind names the file in messages), checks that it holds a whole header
// with the "VelkIndex" mark, an annotation area inside the file and no more
// entries claimed than present, loads velk_index_hdr, derives
// velk_index_entries from the file size and records the size in index.  Returns the descriptor (the
// caller closes it), or -1 with a message and exit status 72.
[[nodiscard]] int velk_OpenLocalIndexFile(velk_index_t *index, const char *path, int openFlags, int kind);

// The checks velk_OpenLocalIndexFile makes of the header hdr (null when
// the file holds no whole header) of the index path, size bytes long, for
// a reader that has the header by other means: when it passes, hdr is
// made the current index as an open would make it.  0, or -1 with the
// same message and exit status 72.
[[nodiscard]] int velk_IndexHeaderAccept(velk_index_t *index, const hif_hdr_t *hdr, uint64_t size, const char *path);

// The sequential reader is index's cursor: one per index, shared by every
// caller reading that index.  velk_IndexReadInit allocates its buffer on
// first use and resets it to entry 0.  Returns 0, or -1 with exit status 78 when memory runs out.
[[nodiscard]] int velk_IndexReadInit(velk_index_t *index);
// Frees the cursor's buffer (at the end of a run, or in tests).
void velk_IndexReadRelease(velk_index_t *index);

// Yields in *entryOut a pointer to the next entry, inside the read buffer
// and valid until the next reader call; at the end sets *eofOut to 1 and
// returns 0.  maxEntries > 0 limits how many entries one fill reads.  A file
// that ends before velk_index_entries entries ends the reading there (no
// entry is ever handed out twice or made up).  Returns 0, or -1 with a
// message on a read error.
[[nodiscard]] int velk_IndexFileRead(velk_index_t *index, int fd, int kind, int maxEntries, hif_entry_t **entryOut,
                                     int *eofOut);

// Positions the file at entry ordinal and resets the reader to it.  Returns 0
// or -1 with a message.
[[nodiscard]] int velk_IndexFilePosition(velk_index_t *index, int fd, int kind, int64_t ordinal);
// Positions at entry 0.  Returns 0 or -1.
[[nodiscard]] int velk_IndexFileRewind(velk_index_t *index, int fd, int kind);

// Reads entry ordinal into *entry (512 bytes).  An ordinal outside
// 0..velk_index_entries-1, a short read or an entry without "VELK_IDX"
// fails at once.  Returns 0, or -1 with a message and exit status 72.
[[nodiscard]] int velk_IndexReadRandomEntry(velk_index_t *index, int fd, int kind, int64_t ordinal, hif_entry_t *entry);

// Yields VELK_INDEX_BUFSIZE and VELK_INDEX_BUFENTRIES.
void velk_GetIndexBufSize(int *bytesOut, int *entriesOut);

// Names, creates and opens the temporary local index: next to the final
// index (velk_index_filename) for a local or piped archive, from the template
// "velk_XXXXXX"; otherwise "<TMPDIR or /tmp>/VELK_INX_<pid>_<seconds>",
// with a numeric suffix added while the name is taken.  Created exclusively,
// never through a symbolic link, mode 0600.  Sets index's tmpName, tmpFd
// and unlinkTmp (1).  Returns 0, or -1 with a message and exit status 72.
[[nodiscard]] int velk_CreateTmpIndexFile(velk_index_t *index);

// Rewrites the temporary index of a local archive through
// velk_AdjustIndexEntry into a second temporary file beside it and renames
// that over the first in one rename; index->tmpFd then refers to the new
// file.  On a failure the first temporary index stays as it was.  Returns
// 0, or -1 with a message and exit status 70 or 72.
[[nodiscard]] int velk_CopyAndAdjustLocalIndex(velk_index_t *index);
// The two-line hint printed after a failed index copy.
void index_CopyFailure();

#endif
