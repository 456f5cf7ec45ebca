#ifndef VELK_CONSISTENCY_H
#define VELK_CONSISTENCY_H

// The consistency file: the 256-byte record that sits both in the index
// header (velk_index_hdr.hif_cfinfo) and, as the last member, in the
// archive, so that an index and an archive can be proved to belong
// together.  Making the record and its temporary file, the member's index
// entry, reading the archive's copy back, and comparing the two.  Initial
// thread only; no locks.

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "velk_Context.h"
#include "velk_IndexFormat.h"

// The consistency member: 256 bytes of data, 2 archive blocks.
constexpr uint64_t VELK_CF_SIZE = HIF_CONSISTENCY_SIZE;
constexpr uint32_t VELK_CF_BLOCKS = 2;
constexpr uint32_t VELK_CF_VERSION = 1;
// "VELK_INX", no NUL.
constexpr char HCF_SANITY[] = "VELK_INX";

// Room for the temporary file's path.  The path is also the member's name,
// so its directory must fit the prefix of an index entry (at most 154
// characters) and the whole path this buffer.
constexpr size_t VELK_CF_FILENAME_SIZE = 256;

// Fills a whole record: "VELK_INX", update time now and modifying host
// host (cut to 49 characters and a NUL).  With fullRewrite (an action that
// makes the archive from scratch) also version 1, rewrite and creation time
// now and the creating host equal to the modifying one; otherwise those
// fields keep what record held.  Then the archive size tarsize and the
// member count count.  Delete counts and the reserved area are left alone.
void velk_FillConsistencyRecord(hif_consistency_t *record, time_t now, const char *host, uint64_t tarsize,
                                uint64_t count, bool fullRewrite);

// Fills velk_index_hdr.hif_cfinfo from velk_archive_blocks (size
// velk_archive_blocks * 512) and velk_index_entries, with the current time
// and this host's name; a full rewrite for build index, create, copy and
// repack.  Returns 2.
int velk_BuildConsistencyHeader();

// Yields the consistency member's size (256) and blocks (2).
void velk_GetCfSizes(uint64_t *sizeOut, uint32_t *blocksOut);

// Creates "<TMPDIR or /tmp>/VELK_CF_CHK_<pid>_<seconds>" exclusively (never
// through a symbolic link, mode 0600; a taken name gets a numeric suffix),
// records its path in archive->cfName (removed when the run ends), and
// writes the record of velk_index_hdr into it.  A TMPDIR too long for the name fails
// before anything is created.  Returns 0, or -1 with a message and exit
// status 73.
[[nodiscard]] int velk_WriteConsistencyFile(velk_archive_t *archive);

// Makes the consistency member's index entry from the file written by
// velk_WriteConsistencyFile (archive->cfName), at offset velk_archive_blocks, appends it to
// the index at indexFd's current position (indexName, may be null, names it
// in messages), and adds its blocks to velk_archive_blocks and 1 to
// velk_index_entries.  Returns 0, or -1 with a message and exit status 72
// (70 when no entry can be made for the path).
[[nodiscard]] int velk_WriteConsFileIndexEntry(const velk_archive_t *archive, int indexFd, const char *indexName);

// Reads the consistency member whose header is at byteOffset of the archive
// fd (kind a VELK_FILETYPE) and copies its 256-byte body into *record.  The
// member must be a valid header of size 256 whose body begins "VELK_INX".
// Returns 0, or -1 (a debug line for a wrong size or mark, an error message
// when the body cannot be read).
[[nodiscard]] int velk_ReadArchiveCF(int fd, int kind, uint64_t byteOffset, hif_consistency_t *record);

// 1 when the records agree in mark, version, rewrite time, archive size and
// member count, else 0 (with the first difference at debug level 1).
// Creation and update times, host names and delete counts are not compared.
int velk_CheckConsistency(const hif_consistency_t *indexRecord, const hif_consistency_t *archiveRecord);

// The full check of an open index against its archive, with
// velk_archive_blocks holding the archive's real size in blocks: the last
// index entry must sit 3 blocks before the end, the archive's consistency
// member there must agree with the index header's record, and the index is
// then rewound to entry 0 (index's reader).  Returns 0, or -1 after an error message; sets no
// exit status.
[[nodiscard]] int velk_VerifyConsistencyFile(velk_index_t *index, int archiveFd, int archiveKind, int indexFd,
                                             int indexKind);

#endif
