#ifndef VELK_FILEACCESS_H
#define VELK_FILEACCESS_H

// File access on an archive or index file of any kind (VELK_FILETYPE):
// positioning, block reads and writes with their retry rules, creation of
// the directories above a file (-P), the family and subsystem attributes of
// storage-system files, and the truncation check of an index entry.  Any
// thread may call these; they take no locks of their own (the client
// library serialises its own connections).  Results follow the archiver's
// family: 0 or a count on success, -1 after logging on failure, unless a
// contract says otherwise.

#include <cstdint>
#include <sys/types.h>
#include <unistd.h>

#include "velk_IndexFormat.h"

// Directions of velk_PositionFile for storage-system files.
constexpr int QUOR_SET_OFFSET_FORWARD = 0;
constexpr int QUOR_SET_OFFSET_BACKWARD = 1;

// Retry limits of the routines below.
constexpr int VELK_MAX_EIO_RETRIES = 5;          // consecutive EIO results survived
constexpr int VELK_MAX_NOSPACE_SEEK_RETRIES = 5; // no-space waits of one seek
constexpr int VELK_MAX_ZERO_WRITES = 5;          // zero-byte writes in a row survived
// Local files are written in pieces of at most this many bytes.  One write
// of several MiB makes the kernel fill large page-cache folios at once, which
// measured several times the system time of 1 MiB pieces for the same data
// (freshly allocated large blocks are the costliest memory on a virtual
// machine that hands freed memory back to its host); the extra calls cost
// nothing measurable.
constexpr int VELK_LOCAL_WRITE_PIECE = 1 << 20;
constexpr unsigned VELK_NOSPACE_WAIT_SECONDS = 30;

// A wait for space on a full file system.  Each no-space result calls
// velk_NoSpaceWait, which sleeps at most VELK_NOSPACE_WAIT_SECONDS (less when
// the limit is nearer) and returns 0 to retry; progress (any byte written)
// calls velk_NoSpaceProgress.  The wait gives up, returning -1, once the
// limit has passed since the first no-space result without progress: the
// environment variable VELK_NOSPACE_WAIT in seconds, default 1,800; it then
// logs "No space left writing <what> for <n> seconds - giving up" and sets
// status 72.  A forced shutdown ends the wait at once (-1, no message).
struct velk_nospace_t {
    struct timespec since = {0, 0}; // first no-space result; 0 when none
};
[[nodiscard]] int velk_NoSpaceWait(velk_nospace_t *wait, const char *what);
inline void velk_NoSpaceProgress(velk_nospace_t *wait)
{
    wait->since = {0, 0};
}

// Positions theFd, a file of kind residency (VELK_FILETYPE), at offsetIn
// relative to posType (SEEK_SET, SEEK_CUR or SEEK_END).  quorDirection
// (QUOR_SET_OFFSET_FORWARD or _BACKWARD) applies to storage-system files
// only.  For storage-system and gateway-host files the resulting offset is
// stored in *offsetOut (which must then be non-null); for other kinds
// *offsetOut is left as it was.  A storage-system seek that reports no space
// waits VELK_NOSPACE_WAIT_SECONDS and retries, at most five times.  Returns
// 0, or -1 after logging.
[[nodiscard]] int velk_PositionFile(int theFd, int residency, uint64_t offsetIn, int posType, int quorDirection,
                                    uint64_t *offsetOut);

// Reads bytesToRead bytes from theFd (kind residency; fileName only names it
// in messages) into buf.  Returns the count read, fewer only at end of
// file, or -1 after logging with exit status 72.  EINTR retries; EAGAIN on a
// local descriptor waits with poll until it is readable; EIO retries until
// the sixth in a row; every retry first checks the shutdown flag and fails
// when it is raised.  Storage-system and gateway-host data transfer is not
// available in this build: those kinds fail.
[[nodiscard]] int velk_BlockRead(int theFd, const char *fileName, int residency, int bytesToRead, void *buf);

// Writes bytesToWrite bytes from buf to theFd.  Returns bytesToWrite, or -1
// after logging with exit status 72.  Retries as velk_BlockRead; ENOSPC
// waits and retries as velk_NoSpaceWait allows; six zero-byte results in a row fail as EIO.  Storage-system and
// gateway-host kinds fail in this build.
[[nodiscard]] int velk_BlockWrite(int theFd, const char *fileName, int residency, int bytesToWrite, const void *buf);

// Creates the missing directories above the file dirPath (kind residency):
// every one with createMode | 0700 except the file's own directory, which
// gets createMode.  dirPath is modified while the call runs and restored
// before it returns.  Pipes and paths without '/' need nothing.  Returns 0,
// or -1 after logging.
[[nodiscard]] int velk_MakeAllSubdirs(char *dirPath, mode_t createMode, int residency);

// Sets the family-ID attribute of the storage-system file pathName.
// Returns the gateway's result: 0, or negative after a warning.
int velk_SetFamilyID(const char *pathName, int familyID);

// The storage subsystem identifier of the storage-system directory holding
// pathName, or 0 after a warning when its attributes cannot be read.
long velk_GetParentSubsysID(const char *pathName);

// Returns -1 (after logging) when the file or hard-link member described by
// indexEntry ends beyond archiveSize bytes, else 0.  indexOrdinal only
// names the entry in the message.
[[nodiscard]] int velk_CheckFileTruncated(uint64_t archiveSize, const hif_entry_t *indexEntry, long indexOrdinal);

#endif
