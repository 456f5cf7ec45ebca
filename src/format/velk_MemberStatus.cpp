// Member transfer status: the success and problem bit lists, the missing
// list and the CRC table of an archive write, the CRC-32 routine, and the
// removal of local member files after a create.  Reader threads report
// through the setters; the initial thread queries after the copy.  Every
// table and counter is guarded by velk_TableLock, which is never held while
// a message is logged or a file is touched.

#include "velk_MemberStatus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_IndexFile.h"
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
    return RangeCheck{ordinal >= velk_base_index_ordinal && ordinal < velk_max_index_ordinal,
                      velk_base_index_ordinal, velk_max_index_ordinal};
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
    if (velk_success_entry_bl == nullptr || velk_problem_entry_bl == nullptr ||
        (velk_Opt(VELK_OPT_CRC) && velk_crc_table == nullptr)) {
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

void velk_FinalizeMemberLists()
{
    kyl_lock_guard guard(velk_TableLock);
    std::sort(velk_missing_files_list, velk_missing_files_list + missing_file_count);
    missing_sorted = true;
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

// ---------------------------------------------------------------------------
// Removing local member files.
// ---------------------------------------------------------------------------

namespace {

const char *kindOfMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return "directory";
    if (S_ISREG(mode))
        return "regular file";
    if (S_ISLNK(mode))
        return "symlink";
    return "socket,pipe,etc.";
}

// True when the file at path may be removed as the member entry describes
// it.  A directory is never removed.  With paranoid, the file must still be
// of the entry's kind and unchanged since the entry was made.
bool mayRemove(const char *path, const hif_entry_t *entry, uint32_t type, bool paranoid)
{
    struct stat st;
    int rc = velk_Opt(VELK_OPT_FOLLOW_LINKS) ? stat(path, &st) : lstat(path, &st);
    if (rc != 0) {
        if (paranoid && velk_debug_level >= 4)
            velk_ErrPrintf("/trace/ paranoid checking-error %d trying to stat local file %s\n", errno, path);
        // Without paranoid a vanished file is simply not there to remove;
        // with it, a file that cannot be checked is kept.
        return !paranoid;
    }
    if (S_ISDIR(st.st_mode) || (paranoid && (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))) ||
        (paranoid && S_ISREG(st.st_mode) && type == VTO_SYMLINK) ||
        (paranoid && S_ISLNK(st.st_mode) && type == VTO_FILE)) {
        if (velk_debug_level >= 1)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: %s skipped - was a %s, but now is a %s",
                        "velk_RemoveMemberFiles", path, type == VTO_SYMLINK ? "symlink" : "regular file",
                        kindOfMode(st.st_mode));
        return false;
    }
    if (!paranoid)
        return true;
    bool modified = false;
    if (S_ISREG(st.st_mode)) {
        // The entry holds the low 32 bits of the times.
        if (static_cast<uint32_t>(st.st_mtime) > velk_Get32(entry->hent_mtime) ||
            static_cast<uint64_t>(st.st_size) != velk_Get64(entry->hent_fsize))
            modified = true;
    }
    if (static_cast<uint32_t>(st.st_ctime) != velk_Get32(entry->hent_ctime))
        modified = true;
    if (modified) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: %s has been modified - skipped", "velk_RemoveMemberFiles",
                    path);
        return false;
    }
    return true;
}

} // namespace

int velk_RemoveMemberFiles(int indexFd, int indexKind)
{
    VELK_TRACE_ENTRY();
    int64_t base;
    {
        kyl_lock_guard guard(velk_TableLock);
        base = velk_base_index_ordinal;
    }
    console_message("Removing local files", "");
    if (velk_debug_level >= 1)
        printf("/debug/positioning index file to entry %ld\n", static_cast<long>(base));
    if (velk_IndexFilePosition(indexFd, indexKind, base) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Failed to remove one or more local files that were written to the Archive", __func__);
        return -1;
    }
    bool paranoid = (velk_verify_flags & VELK_VERIFY_PARANOID) != 0;
    for (int64_t ordinal = base;; ordinal++) {
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(indexFd, indexKind, 0, &entry, &eof) != 0 || eof)
            break;
        uint32_t type = velk_Get32(entry->hent_type);
        if (type != VTO_FILE && type != VTO_SYMLINK)
            continue;
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(entry, path, sizeof path);
        // A phantom or deleted entry names no archived data (a failed member
        // reads "/dev/null"); its local file, if any, is not ours to remove.
        uint32_t flags = velk_Get32(entry->hent_flags);
        if ((flags & (HIF_FLAG_PHANTOM | HIF_FLAG_DELETED)) != 0 || strcmp(path, "/dev/null") == 0)
            continue;
        if (velk_GetMemberFileXferSuccess(ordinal) != 0) {
            if (velk_debug_level >= 4)
                velk_ErrPrintf("/trace/ index entry %ld [%s] - failed to xfer successfully, unlink skipped\n",
                               static_cast<long>(ordinal), path);
            continue;
        }
        if (!mayRemove(path, entry, type, paranoid))
            continue;
        int rc = unlink(path);
        int err = errno;
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/trace/unlink of %s returned %d\n", path, rc);
        if (rc == 0 || err == ENOENT)
            continue;
        if (err == EPERM)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: no permission to remove %s", __func__, path);
        else if (err == EACCES)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: directory access problem trying to remove %s",
                        __func__, path);
        else
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: system error %d trying to remove %s", __func__, err,
                        path);
    }
    console_message("", "");
    return 0;
}
