#ifndef VELK_MEMBERSTATUS_H
#define VELK_MEMBERSTATUS_H

// Per-member transfer outcome of an archive write: a success and a problem
// bit per member ordinal, the list of members whose file was missing, the
// CRC-32 of each member's data (with -H crc) and the CRC-32 routine itself.
// Reader threads report concurrently; every table is guarded by
// velk_TableLock.  The queries take the same lock, so they may run while
// reports still come.

#include <cstddef>
#include <cstdint>

#include "kyl_mutex.h"

// Guards the bit lists, the report counters, the missing list, the CRC table
// and the range they cover (velk_MemberStatus.cpp holds them).
extern kyl_mutex_t velk_TableLock;

// Sets up the tables for the ordinals baseOrdinal .. memberCount (the
// member count itself being the consistency file's ordinal), all members
// unreported, both counters 0, no missing members; with -H crc a zeroed CRC
// table.  Replaces any earlier tables.  Call before any reader thread
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

// The stored CRC-32 of a member; 0 when none was stored, without -H crc, or
// for an ordinal the tables do not cover (logged, exit status 1).  Takes
// velk_TableLock.
uint32_t velk_GetMemberFileXferCRC(int64_t ordinal) KYL_EXCLUDES(velk_TableLock);

// The numbers of successful and failed reports so far.  Either pointer may
// be null.  Takes velk_TableLock.
void velk_GetMemberFileXferSummary(int64_t *successOut, int64_t *failedOut) KYL_EXCLUDES(velk_TableLock);

// The first ordinal the tables cover (the base ordinal given at init).
// Takes velk_TableLock.
int64_t velk_GetMemberBaseOrdinal() KYL_EXCLUDES(velk_TableLock);

// Frees the tables (end of run, tests).  Takes velk_TableLock.
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
