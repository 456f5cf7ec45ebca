// Member transfer status: the success and problem bit lists, the missing
// list, the CRC and identity tables of an archive write, the member table
// the index was made from, and the CRC-32 routine.  Reader
// threads report through the setters; the initial thread queries after the
// copy.  Every table and counter is guarded by velk_TableLock, which is never
// held while a message is logged.

#include "velk_MemberStatus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libdeflate.h>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"

kyl_mutex_t velk_TableLock;

namespace {

// Ordinals covered: velk_base_index_ordinal <= ordinal < velk_max_index_ordinal.
int64_t velk_base_index_ordinal KYL_GUARDED_BY(velk_TableLock) = 0;
int64_t velk_max_index_ordinal KYL_GUARDED_BY(velk_TableLock) = 0;
// Word i / 32 holds member i (ordinal minus base) at bit 31 - i % 32.
uint32_t *velk_success_entry_bl KYL_GUARDED_BY(velk_TableLock) = nullptr;
uint32_t *velk_problem_entry_bl KYL_GUARDED_BY(velk_TableLock) = nullptr;
int64_t velk_bitlist_length KYL_GUARDED_BY(velk_TableLock) = 0;
int64_t velk_successful_xfers KYL_GUARDED_BY(velk_TableLock) = 0;
int64_t velk_failed_xfers KYL_GUARDED_BY(velk_TableLock) = 0;
// Ordinals of members whose file was missing or inaccessible; sorted once
// missing_sorted is set (appending may clear it again).
int64_t *velk_missing_files_list KYL_GUARDED_BY(velk_TableLock) = nullptr;
int64_t missing_file_count KYL_GUARDED_BY(velk_TableLock) = 0;
int64_t missing_files_table_size KYL_GUARDED_BY(velk_TableLock) = 0;
bool missing_sorted KYL_GUARDED_BY(velk_TableLock) = true;
// One CRC per covered ordinal; null without -H crc.
uint32_t *velk_crc_table KYL_GUARDED_BY(velk_TableLock) = nullptr;
// One identity per covered ordinal; null without -H rmlocal.
velk_MemberIdentity_t *velk_identity_table KYL_GUARDED_BY(velk_TableLock) = nullptr;
// The registered member table, and where the last lookup found its record:
// the record of ordinal o lies at position o + skipped, where skipped (the
// records before it that made no entry) never shrinks as o grows.
const velk_FileSpec_t *member_records KYL_GUARDED_BY(velk_TableLock) = nullptr;
int64_t member_record_count KYL_GUARDED_BY(velk_TableLock) = 0;
int64_t last_found_ordinal KYL_GUARDED_BY(velk_TableLock) = -1;
int64_t last_found_skipped KYL_GUARDED_BY(velk_TableLock) = 0;
// Queries that met an unreported member, for limiting their messages.
int64_t unreported_queries KYL_GUARDED_BY(velk_TableLock) = 0;

// The missing list grows this many entries at a time.
constexpr int64_t kMissingGrowth = 50;
// Unreported members named before the messages stop.
constexpr int64_t kUnreportedReported = 49;

struct RangeCheck {
    bool ok;
    int64_t min;
    int64_t max;
};

RangeCheck inRange(int64_t ordinal) KYL_REQUIRES(velk_TableLock)
{
    return RangeCheck{ordinal >= velk_base_index_ordinal && ordinal < velk_max_index_ordinal, velk_base_index_ordinal,
                      velk_max_index_ordinal};
}

// An ordinal outside the tables is a fault of the caller: logged with the
// line that met it and recorded as exit status 1.  The caller fails its own
// call instead of ending the process, so a create still finishes and the
// member counts as failed.
void badOrdinal(const char *func, int line, int64_t ordinal, const RangeCheck &r)
{
    velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                "%s: internal error at line %d. Bad index value %ld [min: %ld,max: %ld", func, line,
                static_cast<long>(ordinal), static_cast<long>(r.min), static_cast<long>(r.max));
    velk_SetExitCode(VELK_EXIT_BOOKKEEPING);
}

uint32_t bitMask(int64_t i)
{
    return uint32_t{1} << (31 - static_cast<int>(i % 32));
}

bool bitSet(const uint32_t *list, int64_t i)
{
    return (list[i / 32] & bitMask(i)) != 0;
}

bool missingListed(int64_t ordinal) KYL_REQUIRES(velk_TableLock)
{
    const int64_t *begin = velk_missing_files_list;
    const int64_t *end = begin + missing_file_count;
    if (missing_sorted)
        return std::binary_search(begin, end, ordinal);
    return std::find(begin, end, ordinal) != end;
}

void freeTables() KYL_REQUIRES(velk_TableLock)
{
    VELK_FREE(velk_success_entry_bl);
    VELK_FREE(velk_problem_entry_bl);
    VELK_FREE(velk_missing_files_list);
    VELK_FREE(velk_crc_table);
    VELK_FREE(velk_identity_table);
    velk_identity_table = nullptr;
    velk_success_entry_bl = nullptr;
    velk_problem_entry_bl = nullptr;
    velk_missing_files_list = nullptr;
    velk_crc_table = nullptr;
    velk_bitlist_length = 0;
    missing_file_count = 0;
    missing_files_table_size = 0;
    missing_sorted = true;
    velk_base_index_ordinal = 0;
    velk_max_index_ordinal = 0;
}

} // namespace

int velk_InitMemberFileLists(int64_t memberCount, int64_t baseOrdinal)
{
    VELK_TRACE_ENTRY();
    int64_t maximum = memberCount + 1;
    if (maximum <= baseOrdinal) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Internal error - max file entries (%ld) <= base index offset (%ld)", static_cast<long>(maximum),
                    static_cast<long>(baseOrdinal));
        velk_SetExitCode(VELK_EXIT_USAGE);
        return -1;
    }
    int64_t covered = maximum - baseOrdinal;
    int64_t words = (covered + 31) / 32;

    kyl_lock_guard guard(velk_TableLock);
    freeTables();
    velk_successful_xfers = 0;
    velk_failed_xfers = 0;
    unreported_queries = 0;
    velk_success_entry_bl = static_cast<uint32_t *>(VELK_CALLOC(static_cast<size_t>(words), sizeof(uint32_t)));
    velk_problem_entry_bl = static_cast<uint32_t *>(VELK_CALLOC(static_cast<size_t>(words), sizeof(uint32_t)));
    if (velk_Opt(VELK_OPT_CRC))
        velk_crc_table = static_cast<uint32_t *>(VELK_CALLOC(static_cast<size_t>(covered), sizeof(uint32_t)));
    if (velk_Opt(VELK_OPT_RMLOCAL))
        velk_identity_table = static_cast<velk_MemberIdentity_t *>(
            VELK_CALLOC(static_cast<size_t>(covered), sizeof(velk_MemberIdentity_t)));
    if (velk_success_entry_bl == nullptr || velk_problem_entry_bl == nullptr ||
        (velk_Opt(VELK_OPT_CRC) && velk_crc_table == nullptr) ||
        (velk_Opt(VELK_OPT_RMLOCAL) && velk_identity_table == nullptr)) {
        freeTables();
        return -1;
    }
    velk_bitlist_length = words;
    velk_base_index_ordinal = baseOrdinal;
    velk_max_index_ordinal = maximum;
    return 0;
}

void velk_ReleaseMemberFileLists()
{
    kyl_lock_guard guard(velk_TableLock);
    freeTables();
    member_records = nullptr;
    member_record_count = 0;
    last_found_ordinal = -1;
    last_found_skipped = 0;
    velk_successful_xfers = 0;
    velk_failed_xfers = 0;
    unreported_queries = 0;
}

int velk_SetMemberFileXferSuccess(int64_t ordinal, int succeeded)
{
    RangeCheck r;
    {
        kyl_lock_guard guard(velk_TableLock);
        r = inRange(ordinal);
        if (r.ok) {
            int64_t i = ordinal - velk_base_index_ordinal;
            uint32_t *set = succeeded ? velk_success_entry_bl : velk_problem_entry_bl;
            uint32_t *clear = succeeded ? velk_problem_entry_bl : velk_success_entry_bl;
            set[i / 32] |= bitMask(i);
            clear[i / 32] &= ~bitMask(i);
            if (succeeded)
                velk_successful_xfers++;
            else
                velk_failed_xfers++;
            return 0;
        }
    }
    badOrdinal(__func__, __LINE__, ordinal, r);
    return -1;
}

int velk_SetMissingMemberFile(int64_t ordinal)
{
    RangeCheck r;
    int64_t foundAt = -1;
    int64_t addedAt = -1;
    {
        kyl_lock_guard guard(velk_TableLock);
        r = inRange(ordinal);
        if (r.ok) {
            for (int64_t k = 0; k < missing_file_count; k++) {
                if (velk_missing_files_list[k] == ordinal) {
                    foundAt = k;
                    break;
                }
            }
            if (foundAt < 0) {
                if (missing_file_count == missing_files_table_size) {
                    int64_t newSize = missing_files_table_size + kMissingGrowth;
                    auto *grown = static_cast<int64_t *>(
                        VELK_REALLOC(velk_missing_files_list, static_cast<size_t>(newSize) * sizeof(int64_t)));
                    if (grown == nullptr)
                        return -ENOMEM;
                    velk_missing_files_list = grown;
                    missing_files_table_size = newSize;
                }
                if (missing_file_count > 0 && velk_missing_files_list[missing_file_count - 1] > ordinal)
                    missing_sorted = false;
                addedAt = missing_file_count;
                velk_missing_files_list[missing_file_count++] = ordinal;
            }
        }
    }
    if (!r.ok) {
        badOrdinal(__func__, __LINE__, ordinal, r);
        return -EINVAL;
    }
    if (velk_debug_level >= 2) {
        if (foundAt >= 0)
            velk_ErrPrintf("/debug/found existing index entry %ld in <missing file> list at inx=%d\n",
                           static_cast<long>(ordinal), static_cast<int>(foundAt));
        else
            velk_ErrPrintf("/debug/adding index entry %ld to <missing file> list at table inx=%d\n",
                           static_cast<long>(ordinal), static_cast<int>(addedAt));
    }
    return 0;
}

int velk_SetMemberFileXferCRC(int64_t ordinal, uint32_t crc)
{
    RangeCheck r;
    {
        kyl_lock_guard guard(velk_TableLock);
        r = inRange(ordinal);
        if (r.ok) {
            if (velk_crc_table != nullptr)
                velk_crc_table[ordinal - velk_base_index_ordinal] = crc;
            return 0;
        }
    }
    badOrdinal(__func__, __LINE__, ordinal, r);
    return -1;
}

void velk_IdentityFromStat(const struct stat *st, uint32_t dirLen, velk_MemberIdentity_t *id)
{
    memset(id, 0, sizeof *id);
    id->dev = static_cast<uint64_t>(st->st_dev);
    id->ino = static_cast<uint64_t>(st->st_ino);
    id->size = static_cast<uint64_t>(st->st_size);
    id->mtimeSec = static_cast<int64_t>(st->st_mtim.tv_sec);
    id->mtimeNsec = static_cast<uint32_t>(st->st_mtim.tv_nsec);
    id->ctimeSec = static_cast<int64_t>(st->st_ctim.tv_sec);
    id->ctimeNsec = static_cast<uint32_t>(st->st_ctim.tv_nsec);
    id->dirLen = dirLen;
    id->kind = S_ISREG(st->st_mode) ? uint32_t{VTO_FILE} : S_ISLNK(st->st_mode) ? uint32_t{VTO_SYMLINK} : 0u;
}

bool velk_IdentityMatches(const velk_MemberIdentity_t *id, const struct stat *st)
{
    velk_MemberIdentity_t now;
    velk_IdentityFromStat(st, id->dirLen, &now);
    return id->kind != 0 && now.kind == id->kind && now.dev == id->dev && now.ino == id->ino &&
           now.mtimeSec == id->mtimeSec && now.mtimeNsec == id->mtimeNsec && now.ctimeSec == id->ctimeSec &&
           now.ctimeNsec == id->ctimeNsec && (id->kind != VTO_FILE || now.size == id->size);
}

int velk_SetMemberFileIdentity(int64_t ordinal, const velk_MemberIdentity_t *id)
{
    RangeCheck r;
    {
        kyl_lock_guard guard(velk_TableLock);
        r = inRange(ordinal);
        if (r.ok) {
            if (velk_identity_table != nullptr)
                velk_identity_table[ordinal - velk_base_index_ordinal] = *id;
            return 0;
        }
    }
    badOrdinal(__func__, __LINE__, ordinal, r);
    return -1;
}

int velk_GetMemberFileIdentity(int64_t ordinal, velk_MemberIdentity_t *out)
{
    memset(out, 0, sizeof *out);
    RangeCheck r;
    {
        kyl_lock_guard guard(velk_TableLock);
        r = inRange(ordinal);
        if (r.ok) {
            if (velk_identity_table != nullptr)
                *out = velk_identity_table[ordinal - velk_base_index_ordinal];
            return out->kind != 0 ? 0 : 1;
        }
    }
    badOrdinal(__func__, __LINE__, ordinal, r);
    return -1;
}

void velk_SetMemberRecords(const velk_FileSpec_t *records, int64_t count)
{
    kyl_lock_guard guard(velk_TableLock);
    member_records = records;
    member_record_count = records != nullptr ? count : 0;
    last_found_ordinal = -1;
    last_found_skipped = 0;
}

const velk_FileSpec_t *velk_FindMemberRecord(int64_t ordinal, const char *path)
{
    kyl_lock_guard guard(velk_TableLock);
    if (ordinal < 0 || path == nullptr)
        return nullptr;
    // A record is never before ordinal + the records skipped before an
    // earlier ordinal; a lookup for an earlier ordinal starts at ordinal.
    int64_t skipped = ordinal >= last_found_ordinal ? last_found_skipped : 0;
    size_t pathLen = strlen(path);
    for (int64_t pos = ordinal + skipped; pos < member_record_count; pos++) {
        const velk_FileSpec_t *rec = &member_records[pos];
        if (!rec->haveStatInfo || rec->filename == nullptr)
            continue;
        // A directory's entry name loses the trailing "/" of its operand.
        size_t len = strlen(rec->filename);
        while (len > 1 && rec->filename[len - 1] == '/')
            len--;
        if (len == pathLen && memcmp(rec->filename, path, len) == 0) {
            last_found_ordinal = ordinal;
            last_found_skipped = pos - ordinal;
            return rec;
        }
    }
    return nullptr;
}

void velk_FinalizeMemberLists()
{
    kyl_lock_guard guard(velk_TableLock);
    std::sort(velk_missing_files_list, velk_missing_files_list + missing_file_count);
    missing_sorted = true;
}

bool velk_IsMemberFileMissing(int64_t ordinal)
{
    kyl_lock_guard guard(velk_TableLock);
    return missingListed(ordinal);
}

int velk_GetMemberFileXferSuccess(int64_t ordinal)
{
    RangeCheck r;
    int64_t unreported = 0;
    {
        kyl_lock_guard guard(velk_TableLock);
        r = inRange(ordinal);
        if (r.ok) {
            int64_t i = ordinal - velk_base_index_ordinal;
            // A member whose file was missing has zeros in the archive, so it
            // is failed even if a later report called it a success.
            if (missingListed(ordinal))
                return 1;
            if (bitSet(velk_success_entry_bl, i))
                return 0;
            if (bitSet(velk_problem_entry_bl, i))
                return 1;
            unreported = ++unreported_queries;
        }
    }
    if (!r.ok) {
        badOrdinal(__func__, __LINE__, ordinal, r);
        return 1;
    }
    // Nobody reported the member: its data may never have been written, so
    // it is failed (a phantom in the index, never removed by rmlocal).
    if (unreported <= kUnreportedReported)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: internal error - index entry %ld - xfer status not set!",
                    __func__, static_cast<long>(ordinal));
    else if (unreported == kUnreportedReported + 1)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s:  too many errors - errors after index entry %ld not listed",
                    __func__, static_cast<long>(ordinal));
    return 1;
}

uint32_t velk_GetMemberFileXferCRC(int64_t ordinal)
{
    RangeCheck r;
    {
        kyl_lock_guard guard(velk_TableLock);
        r = inRange(ordinal);
        if (r.ok)
            return velk_crc_table != nullptr ? velk_crc_table[ordinal - velk_base_index_ordinal] : 0;
    }
    badOrdinal(__func__, __LINE__, ordinal, r);
    return 0;
}

int64_t velk_GetMemberBaseOrdinal()
{
    kyl_lock_guard guard(velk_TableLock);
    return velk_base_index_ordinal;
}

void velk_GetMemberFileXferSummary(int64_t *successOut, int64_t *failedOut)
{
    kyl_lock_guard guard(velk_TableLock);
    if (successOut != nullptr)
        *successOut = velk_successful_xfers;
    if (failedOut != nullptr)
        *failedOut = velk_failed_xfers;
}

// ---------------------------------------------------------------------------
// CRC-32.  libdeflate's routine takes and returns the finished value of the
// standard CRC-32 and applies the preset and final complement itself, so
// the register always holds the CRC of the bytes seen so far and the final
// step has nothing left to do.
// ---------------------------------------------------------------------------

void velk_ChecksumInit(uint32_t *crc)
{
    *crc = 0;
}

void velk_ChecksumBuffer(const void *bytes, size_t length, uint32_t *crc)
{
    if (length == 0)
        return;
    *crc = libdeflate_crc32(*crc, bytes, length);
}

uint32_t velk_ChecksumFinalize(uint32_t *crc)
{
    return *crc;
}
