#ifndef VELK_MEMBERSTATUS_H
#define VELK_MEMBERSTATUS_H

// Per-member transfer outcome of an archive write: a success and a problem
// bit per member ordinal, the list of members whose file was missing, the
// CRC-32 of each member's data (with -H crc), the identity of each file
// archived whole (with -H rmlocal), the member table the run's index was
// built from, and the CRC-32 routine itself.  Reader threads report
// concurrently; every table is guarded by velk_TableLock.  The queries take
// the same lock, so they may run while reports still come.

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

#include "kyl_mutex.h"
#include "velk_FileSpec.h"

// Guards the bit lists, the report counters, the missing list, the CRC and
// identity tables, the registered member table and the range they cover
// (velk_MemberStatus.cpp holds them).
extern kyl_mutex_t velk_TableLock;

// Sets up the tables for the ordinals baseOrdinal .. memberCount (the
// member count itself being the consistency file's ordinal), all members
// unreported, both counters 0, no missing members; with -H crc a zeroed CRC
// table, with -H rmlocal an identity table with nothing recorded.  Replaces any earlier tables.  Call before any reader thread
// starts.  Returns 0; -1 with exit status 64 when memberCount + 1 is not
// above baseOrdinal, or -1 (status 78 from the allocator) when memory runs
// out.  Takes velk_TableLock.
[[nodiscard]] int velk_InitMemberFileLists(int64_t memberCount, int64_t baseOrdinal) KYL_EXCLUDES(velk_TableLock);

// Records the outcome of one member: succeeded non-zero sets its success bit
// and clears its problem bit, zero the reverse; a later report overrides an
// earlier one and every report counts.  Returns 0, or -1 for an ordinal the
// tables do not cover (an internal error: logged, exit status 1).  Any
// thread; takes velk_TableLock.
int velk_SetMemberFileXferSuccess(int64_t ordinal, int succeeded) KYL_EXCLUDES(velk_TableLock);

// Adds ordinal to the missing list unless it is listed already.  A listed
// member is failed whatever else is reported for it (its archive data are
// zeros).  Returns 0, -ENOMEM when the list cannot grow (the list is left as
// it was), or -EINVAL for an ordinal the tables do not cover (logged, exit
// status 1).  Any thread; takes velk_TableLock.
int velk_SetMissingMemberFile(int64_t ordinal) KYL_EXCLUDES(velk_TableLock);

// Stores a member's finished CRC-32 (ignored when -H crc was not in force
// at init).  Returns 0, or -1 for an ordinal the tables do not cover
// (logged, exit status 1).  Any thread; takes velk_TableLock.
int velk_SetMemberFileXferCRC(int64_t ordinal, uint32_t crc) KYL_EXCLUDES(velk_TableLock);

// Sorts the missing list in ascending order so that queries search it by
// halves.  Call after the last report.  Takes velk_TableLock.
void velk_FinalizeMemberLists() KYL_EXCLUDES(velk_TableLock);

// 0 when the member's data in the archive is good, 1 when it is not:
// listed as missing, reported failed last, never reported, or an ordinal the
// tables do not cover (an internal error: logged, exit status 1).  The
// answer depends only on what was recorded, so repeated queries in any order
// agree.  Unreported members are logged ("xfer status not set") for the
// first 49 such queries, then once "too many errors".  Takes velk_TableLock.
int velk_GetMemberFileXferSuccess(int64_t ordinal) KYL_EXCLUDES(velk_TableLock);

// True when ordinal is on the missing list: its file was missing or
// inaccessible when its turn came.  Takes velk_TableLock.
bool velk_IsMemberFileMissing(int64_t ordinal) KYL_EXCLUDES(velk_TableLock);

// The stored CRC-32 of a member; 0 when none was stored, without -H crc, or
// for an ordinal the tables do not cover (logged, exit status 1).  Takes
// velk_TableLock.
uint32_t velk_GetMemberFileXferCRC(int64_t ordinal) KYL_EXCLUDES(velk_TableLock);

// The numbers of successful and failed reports so far.  Either pointer may
// be null.  Takes velk_TableLock.
void velk_GetMemberFileXferSummary(int64_t *successOut, int64_t *failedOut) KYL_EXCLUDES(velk_TableLock);

// What -H rmlocal must find again before it removes a member's file: the
// file as it was once its data had gone out whole (regular files), or the
// link as it was listed (symbolic links).
struct velk_MemberIdentity_t {
    uint64_t dev;
    uint64_t ino;
    uint64_t size; // compared for regular files only
    int64_t mtimeSec;
    int64_t ctimeSec;
    uint32_t mtimeNsec;
    uint32_t ctimeNsec;
    uint32_t dirLen; // leading path characters resolved as given (velk_FileSpec_t)
    uint32_t kind;   // VTO_FILE or VTO_SYMLINK; 0 when nothing is recorded
};

// Fills *id from a status record: kind VTO_FILE for a regular file,
// VTO_SYMLINK for a link, else 0 (never matches).  No locks.
void velk_IdentityFromStat(const struct stat *st, uint32_t dirLen, velk_MemberIdentity_t *id);

// True when st shows the very object id describes, unchanged: the same
// kind, device, inode, modification and change time to the nanosecond, and
// for a regular file the same size.  No locks.
bool velk_IdentityMatches(const velk_MemberIdentity_t *id, const struct stat *st);

// Records the identity of a member archived whole (ignored when -H rmlocal
// was not in force at init).  Returns 0, or -1 for an ordinal the tables do
// not cover (logged, exit status 1).  Any thread; takes velk_TableLock.
int velk_SetMemberFileIdentity(int64_t ordinal, const velk_MemberIdentity_t *id) KYL_EXCLUDES(velk_TableLock);

// Copies the recorded identity of a member into *out.  Returns 0 when one
// was recorded, 1 when none was (out is then zeroed), -1 for an ordinal the
// tables do not cover (logged, exit status 1).  Takes velk_TableLock.
int velk_GetMemberFileIdentity(int64_t ordinal, velk_MemberIdentity_t *out) KYL_EXCLUDES(velk_TableLock);

// Registers the member table the run's index entries are made from, in
// order (an entry that could not be made leaves a record without an
// ordinal); null and 0 forget it.  The records must outlive the
// registration.  Initial thread, before any reader starts; takes
// velk_TableLock.
void velk_SetMemberRecords(const velk_FileSpec_t *records, int64_t count) KYL_EXCLUDES(velk_TableLock);

// The registered record with status information that index entry ordinal,
// naming path, was made from; null when there is none (no table registered,
// or a member not from the table, such as the consistency file).  Records
// lie at or after their ordinal's position; lookups in ascending ordinal
// order, as the writers make them, skip each record at most once.  Takes
// velk_TableLock.
const velk_FileSpec_t *velk_FindMemberRecord(int64_t ordinal, const char *path) KYL_EXCLUDES(velk_TableLock);

// The first ordinal the tables cover (the base ordinal given at init).
// Takes velk_TableLock.
int64_t velk_GetMemberBaseOrdinal() KYL_EXCLUDES(velk_TableLock);

// Frees the tables and forgets the registered member table (end of run,
// tests).  Takes velk_TableLock.
void velk_ReleaseMemberFileLists() KYL_EXCLUDES(velk_TableLock);

// The standard CRC-32 (reflected polynomial 0xEDB88320, preset and final
// complement; "123456789" gives 0xCBF43926) over a register the caller
// holds.  Between calls the register holds the CRC of the bytes seen so far,
// so any split of the data into buffers gives the same value.  No state, no
// locks; any thread.
void velk_ChecksumInit(uint32_t *crc);
void velk_ChecksumBuffer(const void *bytes, size_t length, uint32_t *crc);
// Returns the finished CRC (also left in *crc).
uint32_t velk_ChecksumFinalize(uint32_t *crc);

#endif
