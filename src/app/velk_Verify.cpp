// Verification.  Pass 1 reads the index and groups the entries to check into
// ranges of back-to-back members (velk_Ranges.h); pass 2 checks the
// consistency member, then has the archive reader deliver each range to the
// member stream (velk_MemberStream.h), which cuts it into members and calls
// this unit's hooks.  They validate every member header and, as
// the run's verify flags ask, compares the header's fields with the entry
// (info), recomputes the data's CRC-32 (crc) and compares the data with the
// local file of the member's path (compare).  A member error is counted and
// reported and the next member is found again by the index's block counts;
// a failure of the index, the archive or the transfer ends the run.  The
// range state is the hooks' context and is used by one thread at a time.

#include "velk_Verify.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "quor_api.h"
#include "velk_Actions.h"
#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_Consistency.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberNames.h"
#include "velk_Ordinals.h"
#include "velk_MemberStream.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_Ranges.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
constexpr size_t kPathSize = 4097;
constexpr int kReadPollMs = 250;
// Expected CRCs come from the member status table (after a create).
constexpr int kCrcFromTable = 0x1;
// uid and gid fields of a header hold 7 octal digits.
constexpr uint32_t kIdBits = (1u << 21) - 1;

bool verifyBit(int verifyFlags, int bit)
{
    return (verifyFlags & bit) != 0;
}
const char *mark(int verifyFlags)
{
    return verifyBit(verifyFlags, VELK_VERIFY_COMPARE) ? "V" : "v";
}

// The state of one range read.
struct RangeCtl {
    velk_index_t *index = nullptr; // the run's index: its reader
    int controlFlags = 0;
    int verifyFlags = 0; // VELK_VERIFY_* bits of the run
    int indexFd = -1;
    int indexKind = VELK_LOCAL_FILE;
    const ix_ListEntry_t *range = nullptr;
    verifyStats_t *stats = nullptr;

    velk_member_cursor_t cur; // the member being verified and the range's progress
    hif_entry_t entry{};
    bool tarHeaderError = false;
    posix_header_t header{};

    char path[kPathSize] = {};
    int localFd = -1;
    unsigned char *localBuf = nullptr;
    size_t localBufSize = 0;
    uint64_t size = 0;
    uint64_t seen = 0;
    bool doCrc = false;
    uint32_t expectedCrc = 0;
    uint32_t crc = 0;
    bool skipping = false;    // no more local comparison for this member
    bool recordDue = false;   // --json: the current member's record is not written yet
    int64_t errorsBefore = 0; // errors counted before the current member
};

template <size_t N>
void fieldText(char (&out)[N], const char *field, size_t width)
{
    size_t n = strnlen(field, std::min(width, N - 1));
    memcpy(out, field, n);
    out[n] = '\0';
}

void closeLocal(RangeCtl *c)
{
    if (c->localFd < 0)
        return;
    if (close(c->localFd) != 0) {
        perror("close");
        fprintf(stdout, "%s: (%s) warning: error closing local file %s (ignored)\n", velk_msg_prefix[VELK_MSG_VELK],
                "verifyCallbackCtl", c->path);
    }
    c->localFd = -1;
}

int64_t errorSum(const verifyStats_t *s)
{
    return s->indexErrors + s->tarHdrErrors + s->dirErrors + s->fileErrors + s->crcErrors + s->compareErrors;
}

int64_t setExitCodeIfErrors(const verifyStats_t *s)
{
    int64_t n = errorSum(s);
    if (n > 0)
        velk_SetExitCode(VELK_EXIT_MISMATCH);
    return n;
}

// A member error: the message, the exit status and the member skipped for
// any further local comparison.
void memberError(RangeCtl *c, int64_t *counter, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void memberError(RangeCtl *c, int64_t *counter, const char *fmt, ...)
{
    char text[VELK_MSG_BUFSIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    velk_LogFmt(VELK_MSG_ERROR, MSG, "%s\n", text);
    ++*counter;
    velk_SetExitCode(VELK_EXIT_MISMATCH);
    c->skipping = true;
    closeLocal(c);
}

const char *entryTypeName(uint32_t type, char *buf, size_t size)
{
    switch (type) {
    case VTO_FILE: return "FILE";
    case VTO_DIRECTORY: return "DIRECTORY";
    case VTO_HARDLINK: return "HARD LINK";
    case VTO_SYMLINK: return "SYMBOLIC LINK";
    case VTO_INDEXEOF: return "INTERNAL EOF";
    default: snprintf(buf, size, "Unknown: %d", static_cast<int>(type)); return buf;
    }
}

const char *flagName(char f, char *buf, size_t size)
{
    const char *what = "Unknown";
    switch (f) {
    case '0':
    case '\0': what = "Regular File"; break;
    case '1': what = "Link"; break;
    case '2': what = "Symbolic link"; break;
    case '3': what = "Character Special"; break;
    case '4': what = "Block Special"; break;
    case '5': what = "Directory"; break;
    case '6': what = "FIFO special"; break;
    case '7': what = "Reserved Type"; break;
    default: break;
    }
    snprintf(buf, size, "%s: '%c' (0x%2.2x)", what, f, static_cast<unsigned char>(f));
    return buf;
}

// One header field difference, with the entry and address before it.
void fieldError(RangeCtl *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void fieldError(RangeCtl *c, const char *fmt, ...)
{
    char text[VELK_MSG_BUFSIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    velk_LogFmt(VELK_MSG_ERROR, MSG, "At Index File entry %ld, Archive address %lu Path: \"%s\" %s\n",
                static_cast<long>(c->cur.ordinal), static_cast<unsigned long>(c->cur.archiveAddr), c->path, text);
    c->tarHeaderError = true;
    velk_SetExitCode(VELK_EXIT_MISMATCH);
}

uint64_t octal64(const char *field, int width)
{
    uint64_t v = 0;
    (void)OctalToUint64_t(&v, width, field, "");
    return v;
}

// Compares the header's fields with the entry's (-H verify=info).
void compareTarHeaderFields(RangeCtl *c)
{
    const hif_entry_t &e = c->entry;
    const posix_header_t &h = c->header;
    char hName[USTAR_name_size + 1], hPrefix[USTAR_prefix_size + 1];
    char iName[HENT_name_size + 1], iPrefix[USTAR_prefix_size + 1];
    fieldText(hName, h.thb_name, USTAR_name_size);
    fieldText(hPrefix, h.thb_prefix, USTAR_prefix_size);
    fieldText(iName, e.hent_name, HENT_name_size);
    fieldText(iPrefix, e.hent_prefix, USTAR_prefix_size);
    if (strcmp(hName, iName) != 0 || strcmp(hPrefix, iPrefix) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Pathname inconsistency detected\n");
        velk_LogFmt(VELK_MSG_ERROR, MSG, "     At Index File entry %ld, Archive address %lu \n",
                    static_cast<long>(c->cur.ordinal), static_cast<unsigned long>(c->cur.archiveAddr));
        velk_LogFmt(VELK_MSG_ERROR, MSG, "   Index path prefix=\"%s\" Archive path prefix=\"%s\"\n", iPrefix, hPrefix);
        velk_LogFmt(VELK_MSG_ERROR, MSG, "    Index filename=\"%s\" Archive filename=\"%s\"\n", iName, hName);
        c->tarHeaderError = true;
        velk_SetExitCode(VELK_EXIT_MISMATCH);
    }
    char f = h.thb_typeflag;
    bool typeOk = (c->cur.type == VTO_FILE && (f == '0' || f == '\0')) || (c->cur.type == VTO_DIRECTORY && f == '5') ||
                  (c->cur.type == VTO_HARDLINK && f == '1') || (c->cur.type == VTO_SYMLINK && f == '2');
    char b1[32], b2[48];
    if (!typeOk)
        fieldError(c, "Object Type inconsistency detected. Index value: %s  Tar Hdr Value: %s",
                   entryTypeName(c->cur.type, b1, sizeof b1), flagName(f, b2, sizeof b2));
    if (typeOk && c->cur.type == VTO_SYMLINK) {
        char iLink[HENT_linkname_size + 1], hLink[USTAR_linkname_size + 1];
        fieldText(iLink, e.hent_linkname, HENT_linkname_size);
        fieldText(hLink, h.thb_linkname, USTAR_linkname_size);
        if (strcmp(iLink, hLink) != 0) {
            fieldError(c, "Symbolic link inconsistency detected. Index value: [%s]  Tar Hdr Value: [%s]", iLink, hLink);
            ++c->stats->symlinkErrors;
        }
    }
    if (c->cur.type == VTO_FILE || c->cur.type == VTO_HARDLINK) {
        uint64_t hs = velk_GetMemberFilesize(&h);
        if (hs != velk_Get64(e.hent_fsize))
            fieldError(c, "File Size inconsistency detected. Index value: %lu  Tar Hdr Value: %lu",
                       static_cast<unsigned long>(velk_Get64(e.hent_fsize)), static_cast<unsigned long>(hs));
    }
    uint32_t iMode = velk_Get32(e.hent_mode) & 07777;
    auto hMode = static_cast<uint32_t>(octal64(h.thb_mode, USTAR_mode_size));
    if (iMode != hMode)
        fieldError(c, "File Mode inconsistency detected. Index value (octal): [0%o]  Tar Hdr Value (octal): [0%o]",
                   iMode, hMode);
    auto iTime = static_cast<time_t>(velk_Get32(e.hent_mtime));
    auto hTime = static_cast<time_t>(octal64(h.thb_mtime, USTAR_mtime_size));
    if (iTime != hTime) {
        char t1[32] = "", t2[32] = "";
        ctime_r(&iTime, t1);
        ctime_r(&hTime, t2);
        fieldError(c,
                   "File Modification Time inconsistency detected. Index value: %ld [%24.24s] Tar Hdr Value: %ld "
                   "[%24.24s]",
                   static_cast<long>(iTime), t1, static_cast<long>(hTime), t2);
    }
    uint32_t iUid = velk_Get32(e.hent_uid) & kIdBits, hUid = static_cast<uint32_t>(octal64(h.thb_uid, 8)) & kIdBits;
    if (iUid != hUid)
        fieldError(c, "UID inconsistency detected. Index value: %ld  Tar Hdr Value: %ld", static_cast<long>(iUid),
                   static_cast<long>(hUid));
    uint32_t iGid = velk_Get32(e.hent_gid) & kIdBits, hGid = static_cast<uint32_t>(octal64(h.thb_gid, 8)) & kIdBits;
    if (iGid != hGid)
        fieldError(c, "GID inconsistency detected. Index value: %ld  Tar Hdr Value: %ld", static_cast<long>(iGid),
                   static_cast<long>(hGid));
    char iu[33], hu[33];
    fieldText(iu, e.hent_uname, 32);
    fieldText(hu, h.thb_uname, 32);
    if (memcmp(e.hent_uname, h.thb_uname, 32) != 0)
        fieldError(c, "%s: User Name inconsistency detected. Index value: [%s]  Tar Hdr Value: [%s]",
                   "compareTarHeaderFields", iu, hu);
    fieldText(iu, e.hent_gname, 32);
    fieldText(hu, h.thb_gname, 32);
    if (memcmp(e.hent_gname, h.thb_gname, 32) != 0)
        fieldError(c, "Group Name inconsistency detected. Index value: [%s]  Tar Hdr Value: [%s]", iu, hu);
}

// --json: the record of the member just verified, "ok" unless an error was
// counted while it was (or failed is set).
void recordMember(RangeCtl *c, bool failed)
{
    if (!c->recordDue)
        return;
    c->recordDue = false;
    char name[kPathSize];
    velk_FormIxEntryPathname(&c->entry, name, sizeof name);
    if (failed || errorSum(c->stats) > c->errorsBefore)
        (void)velk_OutcomeFailed(c->stats->outcome, name, "verify error");
    else
        (void)velk_OutcomeOk(c->stats->outcome, name);
}

// Makes entry the current member.
void beginMember(RangeCtl *c, const hif_entry_t *entry, int64_t ordinal)
{
    memcpy(&c->entry, entry, sizeof c->entry);
    velk_MemberCursorBegin(&c->cur, entry, ordinal);
    c->tarHeaderError = false;
    c->skipping = false;
    c->doCrc = false;
    c->size = 0;
    c->seen = 0;
    velk_FormIxEntryPathname(entry, c->path, sizeof c->path);
    if (velk_Opt(VELK_OPT_RELPATHS) && c->path[0] == '/') {
        const char *p = c->path;
        while (*p == '/')
            ++p;
        if (velk_debug_level >= 2)
            velk_ErrPrintf("/debug/converted absolute path [%s] to relative path [%s]\n", c->path, p);
        memmove(c->path, p, strlen(p) + 1);
    }
    size_t len = strlen(c->path);
    if (len > 1 && c->path[len - 1] == '/')
        c->path[len - 1] = '\0';
}

// Reads the range's next entry and makes it current.  0, or -1 after the
// message (an index error is counted).
int nextEntry(RangeCtl *c)
{
    const char *func = "verifyCallbackCtl";
    if (c->cur.entriesLeft <= 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG,
                    "%s: fatal internal error - archive data beyond the last entry of the range at address %lu\n", func,
                    static_cast<unsigned long>(c->cur.archiveAddr));
        ++c->stats->indexErrors;
        return -1;
    }
    hif_entry_t *entry = nullptr;
    int eof = 0;
    int limit = static_cast<int>(std::min<int64_t>(c->cur.entriesLeft, INT_MAX));
    int64_t ordinal = c->cur.ordinal + 1;
    uint64_t expected = c->cur.archiveAddr / VELK_BLOCKSIZE;
    if (velk_IndexFileRead(c->index, c->indexFd, c->indexKind, limit, &entry, &eof) != 0 || eof != 0 ||
        entry == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Fatal error reading index entry %ld from %s\n", func,
                    static_cast<long>(ordinal), velk_index_filename);
        ++c->stats->indexErrors;
        return -1;
    }
    if (velk_RangeMemberOk(entry, ordinal, expected, c->range->ixEndBlock, "velk_Verify", "verification") != 0) {
        ++c->stats->indexErrors;
        return -1;
    }
    recordMember(c, false);
    beginMember(c, entry, ordinal);
    c->recordDue = c->stats->outcome != nullptr;
    c->errorsBefore = errorSum(c->stats);
    velk_StatusMsg(0, "Verifying index entry %ld", static_cast<long>(ordinal));
    return 0;
}

// First block of a file or hard-link member.
void verifyMemberFileInit(RangeCtl *c)
{
    c->size = velk_Get64(c->entry.hent_fsize);
    c->seen = 0;
    c->doCrc = false;
    if (verifyBit(c->verifyFlags, VELK_VERIFY_CRC)) {
        if ((c->controlFlags & kCrcFromTable) != 0) {
            c->doCrc = true;
            c->expectedCrc = velk_GetMemberFileXferCRC(c->cur.ordinal);
        } else if ((velk_Get32(c->entry.hent_flags) & HIF_FLAG_CRC) != 0) {
            c->doCrc = true;
            c->expectedCrc = velk_Get32(c->entry.hent_crc32);
        }
        if (c->doCrc)
            velk_ChecksumInit(&c->crc);
    }
    if (velk_Opt(VELK_OPT_VERBOSE))
        printf("%s: %s %s, %lu bytes, %d media blocks\n", velk_msg_prefix[VELK_MSG_VELK], mark(c->verifyFlags),
               velk_ShownName(c->path).c_str(), static_cast<unsigned long>(c->size),
               static_cast<int>(c->cur.blockCount));
    if (!verifyBit(c->verifyFlags, VELK_VERIFY_COMPARE) || c->tarHeaderError)
        return;
    c->localFd = open(c->path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (c->localFd < 0) {
        const int err = errno;
        memberError(c, &c->stats->fileErrors, "Uable to open local file %s (error=%d) - comparison skipped", c->path,
                    err);
        velk_Explain(VELK_MSG_ERROR, err, c->path,
                     err == ENOENT ? "the comparison reads the files the archive was made from, at the same paths"
                                   : nullptr);
        return;
    }
    struct stat st;
    if (fstat(c->localFd, &st) != 0) {
        memberError(c, &c->stats->fileErrors, "Uable to stat local file %s (error=%d) - comparison skipped", c->path,
                    errno);
        return;
    }
    if (static_cast<uint64_t>(st.st_size) != c->size)
        memberError(c, &c->stats->fileErrors,
                    "Sizes different for %s: Archive file size: %lu local file size: %lu - comparison skipped", c->path,
                    static_cast<unsigned long>(c->size), static_cast<unsigned long>(st.st_size));
}

// Compares n archive bytes with the next n bytes of the local file, reading
// no more than that.
void compareLocal(RangeCtl *c, const unsigned char *bytes, uint64_t n)
{
    uint64_t done = 0;
    while (done < n && !c->skipping) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(n - done, c->localBufSize));
        struct pollfd pfd = {c->localFd, POLLIN, 0};
        int prc = poll(&pfd, 1, kReadPollMs);
        if (prc < 0 && errno != EINTR) {
            memberError(c, &c->stats->fileErrors, "Error %d on select while reading local file %s", errno, c->path);
            return;
        }
        if (prc <= 0)
            continue;
        ssize_t r = read(c->localFd, c->localBuf, want);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r < 0) {
            const int err = errno;
            memberError(c, &c->stats->fileErrors, "Error %d reading local file %s", err, c->path);
            velk_Explain(VELK_MSG_ERROR, err, c->path);
            return;
        }
        if (r == 0) {
            memberError(c, &c->stats->fileErrors, "Premature EOF reading local file %s at offset %lu", c->path,
                        static_cast<unsigned long>(c->seen + done));
            return;
        }
        auto got = static_cast<size_t>(r);
        const unsigned char *mismatch = std::mismatch(c->localBuf, c->localBuf + got, bytes + done).first;
        if (mismatch != c->localBuf + got) {
            uint64_t at = c->seen + done + static_cast<uint64_t>(mismatch - c->localBuf);
            memberError(c, &c->stats->compareErrors, "Compare error at offset %lu in local file %s",
                        static_cast<unsigned long>(at), c->path);
            return;
        }
        done += got;
    }
}

// Data blocks of a file or hard-link member.  Returns the blocks consumed.
uint64_t verifyFileData(RangeCtl *c, const unsigned char *bytes, uint32_t length)
{
    uint64_t n = std::min<uint64_t>(length, c->size - c->seen);
    if (c->doCrc)
        velk_ChecksumBuffer(bytes, static_cast<size_t>(n), &c->crc);
    if (c->localFd >= 0 && !c->skipping)
        compareLocal(c, bytes, n);
    c->seen += n;
    if (c->seen == c->size) {
        if (c->doCrc) {
            uint32_t crc = velk_ChecksumFinalize(&c->crc);
            if (velk_debug_level >= 2)
                velk_ErrPrintf("/debug/verifying Index CRC (0x%8.8x) vs. VELK archive CRC (0x%8.8x) for [%s]\n",
                               c->expectedCrc, crc, c->path);
            if (crc != c->expectedCrc) {
                velk_LogFmt(VELK_MSG_ERROR, MSG, "CRC error on %s. Index CRC=%8.8x VELK Archive File CRC=%8.8x\n",
                            c->path, c->expectedCrc, crc);
                ++c->stats->crcErrors;
                velk_SetExitCode(VELK_EXIT_MISMATCH);
            }
            c->doCrc = false;
        }
        closeLocal(c);
    }
    return (n + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE;
}

void verifyDirectory(RangeCtl *c)
{
    ++c->stats->totalDirObjects;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/verifying directory %s\n", c->path);
    bool bad = false;
    if (verifyBit(c->verifyFlags, VELK_VERIFY_COMPARE)) {
        struct stat st;
        int rc = velk_Opt(VELK_OPT_FOLLOW_LINKS) ? stat(c->path, &st) : lstat(c->path, &st);
        if (rc != 0 || !S_ISDIR(st.st_mode)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Local directory missing,inaccessible or not a directory: %s\n", c->path);
            velk_SetExitCode(VELK_EXIT_MISMATCH);
            ++c->stats->dirErrors;
            bad = true;
        }
    }
    if (velk_Opt(VELK_OPT_VERBOSE))
        printf("%s: %s %s/\n", velk_msg_prefix[VELK_MSG_VELK], bad ? "*" : mark(c->verifyFlags),
               velk_ShownName(c->path).c_str());
}

// The member's header block.
void verifyHeader(RangeCtl *c, const unsigned char *block)
{
    // A damaged header is a member error (status 65), not the failure the
    // header check reports on its own.
    int before = velk_exit_code.load();
    if (velk_GetTarHeader(block, &c->header) != 0) {
        if (before == 0)
            velk_exit_code.store(0);
        velk_LogFmt(
            VELK_MSG_ERROR, MSG, " %s: TAR Header error detected at Index File entry %ld, Archive address: %lu\n",
            "verifyCallbackCtl", static_cast<long>(c->cur.ordinal), static_cast<unsigned long>(c->cur.archiveAddr));
        velk_LogFmt(VELK_MSG_ERROR, MSG, "        Index File path=%s\n", c->path);
        ++c->stats->tarHdrErrors;
        c->tarHeaderError = true;
        c->skipping = true;
        velk_SetExitCode(VELK_EXIT_MISMATCH);
    } else if (verifyBit(c->verifyFlags, VELK_VERIFY_INFO)) {
        compareTarHeaderFields(c);
    }
    switch (c->cur.type) {
    case VTO_DIRECTORY: verifyDirectory(c); break;
    case VTO_SYMLINK: {
        ++c->stats->totalSymlinkObjects;
        char target[USTAR_linkname_size + 1];
        fieldText(target, c->header.thb_linkname, USTAR_linkname_size);
        if (velk_Opt(VELK_OPT_VERBOSE))
            printf("%s: %s %s->%s\n", velk_msg_prefix[VELK_MSG_VELK], mark(c->verifyFlags),
                   velk_ShownName(c->path).c_str(), velk_ShownName(target).c_str());
        break;
    }
    case VTO_FILE:
    case VTO_HARDLINK:
        if (c->cur.type == VTO_FILE)
            ++c->stats->totalFileObjects;
        else
            ++c->stats->totalHardLinkObjects;
        if (velk_debug_level >= 2)
            velk_ErrPrintf("%s to verify file %s\n", "starting", c->path);
        if (c->tarHeaderError)
            c->size = velk_Get64(c->entry.hent_fsize);
        else
            verifyMemberFileInit(c);
        if (c->cur.blockCount == 1) {
            if (velk_debug_level >= 2)
                velk_ErrPrintf("/debug/handling zero-length file: %s\n", c->path);
            closeLocal(c);
        }
        break;
    default: break; // an end marker: its blocks are passed over
    }
}

// The member stream's hooks for a range read; ctx is the RangeCtl.
int nextHook(void *ctx)
{
    return nextEntry(static_cast<RangeCtl *>(ctx));
}

int headerHook(void *ctx, const unsigned char *block)
{
    verifyHeader(static_cast<RangeCtl *>(ctx), block);
    return 0;
}

// Data blocks are compared and summed only for a file or hard link whose
// header was sound, and only up to the member's size (the rest is padding).
bool wantsDataHook(void *ctx)
{
    const auto *c = static_cast<const RangeCtl *>(ctx);
    return (c->cur.type == VTO_FILE || c->cur.type == VTO_HARDLINK) && !c->tarHeaderError && c->seen < c->size;
}

int dataHook(void *ctx, const unsigned char *bytes, uint32_t length, uint64_t *blocksOut)
{
    *blocksOut = verifyFileData(static_cast<RangeCtl *>(ctx), bytes, length);
    return 0;
}

int finishHook(void *ctx)
{
    auto *c = static_cast<RangeCtl *>(ctx);
    if (c->localFd >= 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: fatal internal error - all blocks processed according to Index File\n",
                    "verifyCallbackCtl");
        velk_LogFmt(VELK_MSG_ERROR, MSG, "     but local file %s still open\n", c->path);
        closeLocal(c);
    }
    return 0;
}

// A buffer that is not whole blocks stops the range without an exit status
// of its own: the range's failure sets it.
constexpr velk_member_ops_t kVerifyOps = {
    .caller = "verifyCallbackCtl",
    .lengthStatus = 0,
    .next = nextHook,
    .header = headerHook,
    .wantsData = wantsDataHook,
    .data = dataHook,
    .finish = finishHook,
};

// Verifies one range; the index is positioned at its first entry.  0 or -1.
int velk_VerifyFileRange(const velk_xfer_settings_t *xs, velk_index_t *index, int controlFlags, int verifyFlags,
                         int archiveFd, int indexFd, int indexKind, const ix_ListEntry_t *range, verifyStats_t *stats,
                         double *seconds)
{
    RangeCtl c;
    c.index = index;
    c.controlFlags = controlFlags;
    c.verifyFlags = verifyFlags;
    c.indexFd = indexFd;
    c.indexKind = indexKind;
    c.range = range;
    c.stats = stats;
    c.cur.ordinal = range->ixStart - 1;
    c.cur.entriesLeft = range->ixCount;
    c.cur.archiveAddr = range->ixStartBlock * VELK_BLOCKSIZE;
    struct BufFree {
        RangeCtl *c;
        ~BufFree()
        {
            closeLocal(c);
            VELK_FREE(c->localBuf);
        }
    } bufFree{&c};
    if (verifyBit(c.verifyFlags, VELK_VERIFY_COMPARE)) {
        c.localBufSize = std::max<size_t>(xs->iobufsize > 0 ? static_cast<size_t>(xs->iobufsize) : 0, VELK_BLOCKSIZE);
        c.localBuf = static_cast<unsigned char *>(VELK_MALLOC(c.localBufSize));
        if (c.localBuf == nullptr)
            return -1;
    }
    double xferTime = 0.0;
    velk_tar_ext_reader_t ext{};
    velk_member_stream_t stream{&kVerifyOps, &c, &c.cur, &ext};
    int rc = velk_ReadRange(xs, archiveFd, range, velk_MemberStreamCallback, &stream, &xferTime);
    velk_TarExtFree(&ext);
    *seconds += xferTime;
    if (velk_debug_level >= 4)
        velk_ErrPrintf("/trace/returned from Archive File read - result=%d\n", rc);
    if (rc >= 0 && (c.cur.entriesLeft != 0 || c.cur.haveEntry)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Archive file %s ended before entry %ld was complete\n", "velk_Verify",
                    velk_archive, static_cast<long>(c.cur.ordinal));
        rc = -1;
    }
    recordMember(&c, rc < 0);
    if (rc < 0) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "Verify aborted\n");
        return -1;
    }
    return 0;
}

void displayErrorStats(FILE *stream, const verifyStats_t *s, const struct timeval &start, const struct rusage &usage0)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    getrusage(RUSAGE_SELF, &usage);
    int64_t errors = errorSum(s);
    char line[VELK_MSG_BUFSIZE];
    snprintf(
        line, sizeof line,
        "%s: Verify complete. %ld total errors, %ld total objects (%ld Files,%ld Dirs,%ld Hard Links,%ld "
        "symlinks) wallclock/user/sys: %.3f %.3f %.3f seconds",
        velk_msg_prefix[errors == 0 ? VELK_MSG_VELK : VELK_MSG_ERROR], static_cast<long>(errors),
        static_cast<long>(s->totalFileObjects + s->totalDirObjects + s->totalHardLinkObjects + s->totalSymlinkObjects),
        static_cast<long>(s->totalFileObjects), static_cast<long>(s->totalDirObjects),
        static_cast<long>(s->totalHardLinkObjects), static_cast<long>(s->totalSymlinkObjects),
        velk_DiffTimeval(&now, &start), velk_DiffTimeval(&usage.ru_utime, &usage0.ru_utime),
        velk_DiffTimeval(&usage.ru_stime, &usage0.ru_stime));
    velk_LogMsg(VELK_MSG_LOGONLY, MSG, line);
    if (errors == 0 && velk_debug_level < 1 && !velk_Opt(VELK_OPT_STATS) && !velk_Opt(VELK_OPT_VERBOSE))
        return;
    fprintf(stream, "%s\n", line);
    const struct {
        int64_t n;
        const char *gap;
        const char *what;
        bool asError;
    } parts[] = {{s->crcErrors, " ", "CRC Errors", true},
                 {s->compareErrors, " ", "Compare Errors", true},
                 {s->tarHdrErrors, " ", "Tar Header Errors", true},
                 {s->indexErrors, "  ", "Index Entry Errors", true},
                 {s->fileErrors, " ", "local file open/read error(s)]", true},
                 {s->dirErrors, " ", "Directory entry errors", false},
                 {s->symlinkErrors, " ", "Symbolic Link errors", true}};
    for (const auto &p : parts) {
        if (p.n == 0)
            continue;
        char part[128];
        snprintf(part, sizeof part, " .......%s%ld %s", p.gap, static_cast<long>(p.n), p.what);
        fprintf(stream, "%s:  %s\n", velk_msg_prefix[VELK_MSG_VELK], part);
        if (p.asError)
            velk_LogFmt(VELK_MSG_LOGONLY, MSG, "%s\n", part);
    }
    fflush(stream);
}

// What pass 1 reads and how it selects.
struct Pass1 {
    velk_index_t *index; // the run's index: its reader
    int indexFd;
    int indexKind;
    int64_t selectable;
    uint64_t archiveSize;
    bool afterCreate;                 // no names, no confirmation; failed members skipped
    int verifyFlags;                  // VELK_VERIFY_* bits of the run
    velk_member_names_t *names;       // marks of the member names (null after a create)
    const velk_members_t *members;    // the run's member table
    velk_range_list_t *ranges;        // the selected entries, range by range
    verifyStats_t *stats;             // counts of stored and missing CRCs
    const velk_ordinals_t *ordinals;  // -J: the ordinals to select (null after a create)
    const velk_xfer_settings_t *xfer; // the run's transfer settings, for the archive reads
};

// Pass 1 for one entry.  0 to go on, 1 to end pass 1 (quit), -1 to fail.
int considerEntry(const Pass1 &p, const hif_entry_t *entry, int64_t ordinal, bool *ask)
{
    if (!velk_IndexEntrySane(entry)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Hmmm- %s does not appear to be a file created by velk.\n",
                    velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    uint32_t type = velk_Get32(entry->hent_type);
    uint32_t flags = velk_Get32(entry->hent_flags);
    bool failed =
        p.afterCreate && (type == VTO_FILE || type == VTO_HARDLINK) && velk_GetMemberFileXferSuccess(ordinal) != 0;
    if (failed || (flags & (HIF_FLAG_PHANTOM | HIF_FLAG_DELETED)) != 0) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/skipping deleted or phantom index entry %ld\n", static_cast<long>(ordinal));
        if (p.names != nullptr && (flags & HIF_FLAG_PHANTOM) == 0)
            velk_MemberNamesDeletedSeen(p.names, entry);
        return 0;
    }
    if (!p.afterCreate && p.members->count > 0) {
        if (velk_EntrySelected(p.ordinals, entry, ordinal) == 0)
            return 0;
        velk_MemberNamesSelected(p.names, entry);
    }
    if (type == VTO_UNKNOWN || type > VTO_INDEXEOF) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%sCannot verify unrecognized object type: %d Index Entry %ld\n",
                    p.afterCreate ? "Internal error. " : "", static_cast<int>(type), static_cast<long>(ordinal));
        if (p.afterCreate)
            velk_SetExitCode(VELK_EXIT_IOERR);
        return 0;
    }
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    if (velk_Opt(VELK_OPT_RELPATHS) && path[0] == '/' && path[strspn(path, "/")] == '\0') {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("Skipping standalone root directory: [%s]\n", path);
        return 0;
    }
    if (!p.afterCreate && *ask) {
        int answer = velk_GetYesNo("extract", nullptr, path);
        if (answer == VELK_ANSWER_NO)
            return 0;
        if (answer == VELK_ANSWER_QUIT)
            return 1;
        if (answer == VELK_ANSWER_ALL)
            *ask = false;
    }
    if (velk_RangeEntryInside(p.archiveSize, entry, ordinal, path) != 0 ||
        velk_RangeEntryShapeOk(entry, ordinal, path) != 0)
        return -1;
    if (velk_AddIxListEntry(p.ranges, entry, ordinal, 0) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Fatal malloc error creating index entry list\n");
        return -1;
    }
    if (!p.afterCreate && verifyBit(p.verifyFlags, VELK_VERIFY_CRC) && (type == VTO_FILE || type == VTO_HARDLINK))
        ++((flags & HIF_FLAG_CRC) != 0 ? p.stats->crcStored : p.stats->crcMissing);
    return 0;
}

// A CRC check was asked for members whose index holds no CRC: said before
// the archive is read (the caller then fails the run, for that check was
// never made).
void reportMissingCrcs(const verifyStats_t *s)
{
    if (s->crcMissing == 0)
        return;
    if (s->crcStored == 0)
        velk_LogFmt(VELK_MSG_WARNING, MSG,
                    "no CRC was stored in index file %s (the archive was created without -H crc): "
                    "no CRC can be checked\n",
                    velk_index_filename);
    else
        velk_LogFmt(VELK_MSG_WARNING, MSG,
                    "%ld of %ld member files have no CRC stored in index file %s: their CRCs "
                    "cannot be checked\n",
                    static_cast<long>(s->crcMissing), static_cast<long>(s->crcMissing + s->crcStored),
                    velk_index_filename);
}

int pass1(const Pass1 &p)
{
    velk_SetProgramPhase(VTP_VERIFY_PASS1);
    console_message("reading index file", p.afterCreate ? " (PostXfer Verify)" : "");
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug] Pass 1 - building <index-to-read> list. Index entry count=%d\n",
                       static_cast<int>(p.selectable));
    velk_FreeIxList(p.ranges);
    if (velk_IndexReadInit(p.index) != 0 || velk_IndexFileRewind(p.index, p.indexFd, p.indexKind) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "Fatal error rewinding index file. Cannot continue...\n");
        return -1;
    }
    bool ask = velk_Opt(VELK_OPT_CONFIRM);
    for (int64_t ordinal = 0; ordinal < p.selectable; ++ordinal) {
        if (velk_shutdown_signalled.load() != 0)
            return -1;
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(p.index, p.indexFd, p.indexKind, 0, &entry, &eof) != 0 || eof != 0 || entry == nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Fatal error reading index entry %ld from %s\n", "velk_Verify",
                        static_cast<long>(ordinal), velk_index_filename);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        velk_StatusMsg(0, "Reading index entry %ld", static_cast<long>(ordinal));
        int rc = considerEntry(p, entry, ordinal, &ask);
        if (rc < 0)
            return -1;
        if (rc > 0)
            break;
    }
    return 0;
}

// Pass 2 over the open archive: the consistency member, then every range.
// 0, or -1 when a range could not be read.
int pass2(int archiveFd, const Pass1 &p, bool foreign, int controlFlags, verifyStats_t *stats)
{
    velk_SetProgramPhase(VTP_VERIFY_PASS2);
    if (foreign) {
        velk_LogFmt(VELK_MSG_INFO, MSG, "Archive file %s was not created by VELK - skipping consistency file check\n",
                    velk_archive);
    } else {
        velk_StatusMsg(1, "Pass2 - Verify Consistency File");
        if (velk_VerifyConsistencyFile(p.index, archiveFd, velk_filetype, p.indexFd, p.indexKind) != 0)
            return -1;
    }
    console_message("Verifying archive file entries", "");
    if (velk_IndexFileRewind(p.index, p.indexFd, p.indexKind) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "Fatal error rewinding index file. Cannot continue...\n");
        return -1;
    }
    double seconds = 0.0;
    for (const ix_ListEntry_t *r = p.ranges->head; r != nullptr; r = r->next) {
        if (r->ixStart != 0 && velk_IndexFilePosition(p.index, p.indexFd, p.indexKind, r->ixStart) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Fatal error positioning index file to entry %ld.\n", "velk_Verify",
                        static_cast<long>(r->ixStart));
            return -1;
        }
        velk_StatusMsg(0, "Pass2 - Read Index Group %ld-%ld", static_cast<long>(r->ixStart),
                       static_cast<long>(r->ixEnd));
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ reading next Index File group. Entries %ld-%ld, count=%ld\n",
                           static_cast<long>(r->ixStart), static_cast<long>(r->ixEnd), static_cast<long>(r->ixCount));
        int rc = velk_VerifyFileRange(p.xfer, p.index, controlFlags, p.verifyFlags, archiveFd, p.indexFd, p.indexKind,
                                      r, stats, &seconds);
        setExitCodeIfErrors(stats);
        if (rc != 0)
            return -1;
    }
    console_message("", "");
    return 0;
}

int openArchive()
{
    console_message("Opening archive file", "");
    return velk_OpenArchiveForReading();
}

void closeArchiveFd(int fd, const char *func)
{
    if (fd < 0)
        return;
    const bool gateway = velk_CurrentArchiveKind()->through_gateway;
    int rc = gateway ? quor_Close(fd) : (close(fd) == 0 ? 0 : -errno);
    if (rc != 0)
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d closing %s Archive file %s\n", func, rc,
                    gateway ? "QUOR" : "local", velk_archive);
}

bool sizeMatches(uint64_t actual, uint64_t recorded)
{
    if (actual == recorded)
        return true;
    velk_LogFmt(VELK_MSG_ERROR, MSG, "[FATAL] Archive file %s size = %lu\n", velk_archive,
                static_cast<unsigned long>(actual));
    velk_LogFmt(VELK_MSG_ERROR, MSG, "       is inconsistent with size of %lu from Index File %s\n",
                static_cast<unsigned long>(recorded), velk_index_filename);
    velk_SetExitCode(VELK_EXIT_IOERR);
    return false;
}

// Both passes over an open index.  Returns 0 when the verification ran to
// its end, -1 otherwise; the counted errors are in stats.
int runPasses(const Pass1 &p, bool foreign, int controlFlags, verifyStats_t *stats)
{
    if (pass1(p) != 0)
        return -1;
    reportMissingCrcs(stats);
    if (p.ranges->head == nullptr) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ no index entries were selected for verifying \n");
        return 0;
    }
    velk_StatusMsg(1, "Pass2 - Opening files");
    int archiveFd = openArchive();
    if (archiveFd < 0)
        return -1;
    int rc = pass2(archiveFd, p, foreign, controlFlags, stats);
    closeArchiveFd(archiveFd, "velk_Verify");
    return rc;
}

struct Timing {
    struct timeval start;
    struct rusage usage;
};

int startTiming(Timing *t)
{
    gettimeofday(&t->start, nullptr);
    memset(&t->usage, 0, sizeof t->usage);
    if (getrusage(RUSAGE_SELF, &t->usage) == 0)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: error %d on getrusage call - terminating\n", "velk_Verify", errno);
    velk_SetExitCode(VELK_EXIT_OSERR);
    return -1;
}

// While a create's archive is still under its temporary name, that name is
// the archive velk_archive names.
struct ArchiveNameSwap {
    char *saved = velk_archive;
    ArchiveNameSwap()
    {
        if (velk_archive_tmpname != nullptr)
            velk_archive = velk_archive_tmpname;
    }
    ~ArchiveNameSwap() { velk_archive = saved; }
};

} // namespace

int velk_Verify(velk_run_t *run)
{
    VELK_TRACE_ENTRY();
    FILE *out = velk_Opt(VELK_OPT_TO_STDOUT) ? stderr : stdout;
    Timing t;
    if (startTiming(&t) != 0) {
        velk_FinalLine(false);
        return -1;
    }
    if (velk_CurrentArchiveKind()->is_pipe) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: please use regular tar to read piped Archive Files\n", "velk_Verify");
        velk_SetExitCode(VELK_EXIT_USAGE);
        velk_FinalLine(false);
        return -1;
    }
    verifyStats_t stats{};
    const velk_outcome_t outcome{nullptr, nullptr, run->records, "verify"};
    stats.outcome = run->records != nullptr ? &outcome : nullptr;
    velk_member_names_t names;
    velk_ordinals_t ordinals;
    velk_range_list_t ranges;
    bool ok = velk_GenFilelist(run) >= 0 && velk_OrdinalsPrepare(&ordinals, &run->members) == 0 &&
              (ordinals.active || velk_MemberNamesPrepare(&names, &run->members) == 0);
    velk_SetProgramPhase(VTP_VERIFY_PASS1);
    velk_StatusMsg(1, "Opening Files");
    uint64_t size = 0;
    int indexFd = -1;
    if (ok)
        ok = velk_GetArchiveSizeAndLayout(&size) == 0;
    if (ok) {
        indexFd = velk_OpenIndexFile(&run->xfer, &run->index, velk_index_filename, O_RDONLY, velk_filetype);
        ok = indexFd >= 0;
    }
    if (ok) {
        if (velk_debug_level >= 2)
            velk_ErrPrintf("[debug] successfully opened Index file for reading on FD=%d\n", indexFd);
        bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
        int64_t objects = std::min<int64_t>(velk_Get32(velk_index_hdr.hif_hdr.obj_count), velk_index_entries);
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ Index file contains %d entries, including consistency file\n",
                           static_cast<int>(objects));
        velk_archive_blocks = size / VELK_BLOCKSIZE;
        Pass1 p{&run->index,   indexFd, VELK_LOCAL_FILE,  foreign ? objects : std::max<int64_t>(objects - 1, 0),
                size,          false,   run->verifyFlags, &names,
                &run->members, &ranges, &stats,           &ordinals,
                &run->xfer};
        ok = sizeMatches(size, velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize)) &&
             velk_OrdinalsCheck(&ordinals, p.selectable) == 0 && runPasses(p, foreign, 0, &stats) == 0;
        if (stats.crcMissing > 0) {
            velk_NoteFailure("no stored CRC");
            velk_SetExitCode(VELK_EXIT_USAGE);
            ok = false;
        }
        velk_MemberNamesReportMissing(&names);
        displayErrorStats(out, &stats, t.start, t.usage);
    }
    // The outcome is this verification's own: its failures and its counted
    // errors, not an exit status some earlier step may have left.
    ok = ok && setExitCodeIfErrors(&stats) == 0;
    if (!ok)
        velk_SetExitCode(VELK_EXIT_IOERR);
    velk_FinalLine(ok);
    if (indexFd >= 0 && close(indexFd) != 0)
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d closing %sindex file %s\n", "velk_Verify", errno,
                    velk_CurrentArchiveKind()->index_close_text, velk_index_filename);
    velk_FreeIxList(&ranges);
    return ok ? 0 : -1;
}

int velk_PostXferVerify(velk_run_t *run)
{
    FILE *out = velk_stdout_is_data ? stderr : stdout;
    Timing t;
    if (startTiming(&t) != 0)
        return -1;
    ArchiveNameSwap name;
    uint64_t size = 0;
    if (velk_GetArchiveSizeAndLayout(&size) != 0)
        return -1;
    velk_index_t *index = &run->index;
    if (velk_IndexFileRewind(index, index->tmpFd, VELK_LOCAL_FILE) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "Fatal error rewinding index file. Cannot continue...\n");
        return -1;
    }
    if (velk_debug_level >= 2)
        velk_ErrPrintf("[debug] successfully rewound Index file for reading on FD=%d\n", index->tmpFd);
    uint64_t recorded = velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize);
    bool ok = sizeMatches(size, recorded);
    if (recorded != run->archive.size) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Internal error in %s. velk_archive_filesize (%lu)\n", "velk_PostXferVerify",
                    static_cast<unsigned long>(run->archive.size));
        velk_LogFmt(VELK_MSG_ERROR, MSG, "       is inconsistent with size of %lu from Index File header\n",
                    static_cast<unsigned long>(recorded));
        velk_SetExitCode(VELK_EXIT_IOERR);
        ok = false;
    }
    if (recorded / VELK_BLOCKSIZE != velk_archive_blocks) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Internal error in %s. velk_archive_blocks (%lu)\n", "velk_PostXferVerify",
                    static_cast<unsigned long>(velk_archive_blocks));
        velk_LogFmt(VELK_MSG_ERROR, MSG, "       is inconsistent with block count of %lu from Index File header\n",
                    static_cast<unsigned long>(recorded / VELK_BLOCKSIZE));
        velk_SetExitCode(VELK_EXIT_IOERR);
        ok = false;
    }
    verifyStats_t stats{};
    velk_range_list_t ranges;
    if (ok) {
        bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
        int64_t objects = velk_index_entries;
        Pass1 p{index,         index->tmpFd, VELK_LOCAL_FILE,  foreign ? objects : std::max<int64_t>(objects - 1, 0),
                size,          true,         run->verifyFlags, nullptr,
                &run->members, &ranges,      &stats,           nullptr,
                &run->xfer};
        int flags = velk_Opt(VELK_OPT_CRC) ? kCrcFromTable : 0;
        ok = runPasses(p, foreign, flags, &stats) == 0;
        displayErrorStats(out, &stats, t.start, t.usage);
    }
    if (velk_IndexFileRewind(index, index->tmpFd, VELK_LOCAL_FILE) != 0)
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d rewinding %sindex file %s (postVerify termination)\n",
                    "velk_PostXferVerify", -1, "", index->tmpName);
    velk_FreeIxList(&ranges);
    return ok && errorSum(&stats) == 0 ? 0 : -1;
}
