// The extract action.  Pass 1 reads the index alone: it selects entries by
// path (or by ordinal with -J), checks each against the archive's size and
// its own type and size, refuses paths that would leave the current
// directory, and groups the rest into ranges of back-to-back members.  Pass
// 2 has the archive reader deliver each range, in order, to the member
// stream (velk_MemberStream.h) with this unit's hooks: each member's header
// is checked against its entry and the member handed to the file-system
// writer (velk_ExtractWriter.h).  The hooks run on the reader's delivery
// thread while the initial thread waits in the reader; the extraction state
// (velk_extract_state_t, owned by velk_Extract and handed to the stream as
// the hooks' context) is therefore used by one thread at a time and takes
// no lock.

#include "velk_Extract.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "velk_Actions.h"
#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_FileAccess.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_HardLink.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_IndexOrder.h"
#include "velk_LogMsg.h"
#include "velk_MemberNames.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_Ordinals.h"
#include "velk_Outcome.h"
#include "velk_Ranges.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"

namespace {

// Names that mark the placeholder of a member whose file was missing when
// the archive was made.
constexpr char kDevNull[] = "/dev/null";

bool optOn(uint32_t flag)
{
    return velk_Opt(flag);
}
bool toStdout()
{
    return velk_Opt(VELK_OPT_TO_STDOUT);
}

// Bounded copy of a fixed text field that need not be NUL-terminated.
template <size_t N>
void fieldText(char (&out)[N], const char *field, size_t width)
{
    size_t n = strnlen(field, std::min(width, N - 1));
    memcpy(out, field, n);
    out[n] = '\0';
}

// ---------------------------------------------------------------------------
// The member stream's hooks.
// ---------------------------------------------------------------------------

void headerInconsistency(velk_extract_state_t *xs)
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&xs->writer.curIndexEntry, path, sizeof path);
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, " %s: fatal inconsistency detected \n", "readCallbackCtl");
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        At Index File entry %ld, path=%s\n",
                static_cast<long>(xs->cur.ordinal), path);
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        Archive address: %lu \n",
                static_cast<unsigned long>(xs->cur.archiveAddr));
}

// Checks the member's header block against its entry and acts on the
// member's type.  0 to go on, -1 to stop.
int handleHeader(velk_extract_state_t *xs, const unsigned char *block)
{
    const char *func = "readCallbackCtl";
    if (velk_GetTarHeader(block, &xs->curTarHeader) != 0) {
        headerInconsistency(xs);
        velk_NoteFailure("header mismatch");
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    char hName[USTAR_name_size + 1];
    char hPrefix[USTAR_prefix_size + 1];
    char iName[HENT_name_size + 1];
    char iPrefix[USTAR_prefix_size + 1];
    fieldText(hName, xs->curTarHeader.thb_name, USTAR_name_size);
    fieldText(hPrefix, xs->curTarHeader.thb_prefix, USTAR_prefix_size);
    fieldText(iName, xs->writer.curIndexEntry.hent_name, HENT_name_size);
    fieldText(iPrefix, xs->writer.curIndexEntry.hent_prefix, USTAR_prefix_size);
    if (hPrefix[0] == '\0' && strcmp(hName, kDevNull) == 0) {
        // The placeholder of a member that failed while the archive was made.
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&xs->writer.curIndexEntry, path, sizeof path);
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "%s: At index entry %ld, archive filename '/dev/null' was found -  index filename is %s \n", func,
                    static_cast<long>(xs->cur.ordinal), path);
        snprintf(xs->writer.curLocalPath, sizeof xs->writer.curLocalPath, "%s", kDevNull);
        xs->writer.curFileIsDevNull = true;
        ++xs->devNullFileCount;
        velk_NoteFailure("extracted to /dev/null");
    } else if (strcmp(hPrefix, iPrefix) != 0 || strcmp(hName, iName) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal pathname inconsistency detected\n", func);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     At Index File entry %ld, Archive address %lu\n",
                    static_cast<long>(xs->cur.ordinal), static_cast<unsigned long>(xs->cur.archiveAddr));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Index path prefix=\"%s\" Archive path prefix=\"%s\"\n",
                    iPrefix, hPrefix);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Index filename=\"%s\" Archive filename=\"%s\"\n", iName,
                    hName);
        velk_NoteFailure("header mismatch");
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    // The entry's size decides how many bytes are written; a header that
    // disagrees means the index does not describe this archive.
    uint64_t headerSize = velk_GetMemberFilesize(&xs->curTarHeader);
    uint64_t entrySize = velk_Get64(xs->writer.curIndexEntry.hent_fsize);
    if (headerSize != entrySize) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal index inconsistency: archive header size %lu differs from index size %lu\n", func,
                    static_cast<unsigned long>(headerSize), static_cast<unsigned long>(entrySize));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        At Index File entry %ld, path=%s\n",
                    static_cast<long>(xs->cur.ordinal), xs->writer.curLocalPath);
        velk_NoteFailure("header mismatch");
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }

    switch (xs->cur.type) {
    case VTO_DIRECTORY: velk_ExtractDirectory(&xs->writer); break;
    case VTO_FILE: {
        if (velk_debug_level >= 2)
            velk_ErrPrintf("%s to extract file %s\n", "starting", xs->writer.curLocalPath);
        int rc = velk_InitLocalFile(&xs->writer);
        if (rc < 0)
            return -1;
        if (rc == 0)
            ++xs->file_objects;
        if (velk_debug_level >= 2 && xs->cur.blockCount == 1)
            velk_ErrPrintf("/debug/handling zero-length file: %s\n", xs->writer.curLocalPath);
        break;
    }
    case VTO_SYMLINK: {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("will create symlink for %s\n", xs->writer.curLocalPath);
        char target[HENT_linkname_size + 1];
        fieldText(target, xs->writer.curIndexEntry.hent_linkname, HENT_linkname_size);
        if (velk_Symlink(&xs->writer, xs->writer.curLocalPath, target) == 0)
            ++xs->file_objects;
        break;
    }
    case VTO_HARDLINK: break;
    default: {
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&xs->writer.curIndexEntry, path, sizeof path);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    " %s: fatal: unrecognized object type {%d) for index entry %ld (%s) \n", func,
                    static_cast<int>(xs->cur.type), static_cast<long>(xs->cur.ordinal), path);
        velk_NoteFailure("unrecognized type");
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    }
    velk_hardlink_member_t link{xs->cur.type,
                                xs->writer.curLocalPath,
                                xs->writer.curIndexEntry.hent_linkname,
                                xs->writer.curLocalFileOwned ? xs->writer.curLocalFileFd : -1,
                                !xs->writer.curFileDiscard && !xs->writer.curFileIsDevNull,
                                xs->writer.savedUmask};
    xs->file_objects += velk_HardLinkMember(&xs->made, &link);
    return 0;
}

// Writes the record of the member at ordinal, whose entry is entry: failed
// for the reason counted last when a failure was counted since the member
// began; otherwise done, or (when it was not) failed as "not extracted".
void recordMember(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal, bool done)
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    const char *reason = nullptr;
    if (velk_FailureMark(&reason) > xs->memberMark && reason != nullptr)
        (void)velk_OutcomeFailed(&xs->outcome, path, reason);
    else if (done)
        (void)velk_OutcomeOk(&xs->outcome, path);
    else
        (void)velk_OutcomeFailed(&xs->outcome, path, "not extracted");
    xs->recordedThrough = std::max(xs->recordedThrough, ordinal);
}

// The current member's blocks are all handled (the stream has counted its
// entry as done).  0, or -1 when its local file was left open (an internal
// error).
int finishMember(velk_extract_state_t *xs)
{
    recordMember(xs, &xs->writer.curIndexEntry, xs->cur.ordinal, true);
    ++xs->total_ix_entries;
    ++xs->total_objects;
    if (xs->cur.type == VTO_FILE) {
        xs->total_file_bytes += xs->writer.curLocFileSize;
        velk_StatusMsg(xs->cur.entriesLeft == 0 ? 1 : 0, "Bytes: %lu Index Entries: %ld",
                       static_cast<unsigned long>(xs->total_file_bytes), xs->total_ix_entries);
    }
    if (xs->writer.curLocalFileFd >= 0 && xs->writer.curLocalFileOwned) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error - all blocks processed according to Index File\n", "readCallbackCtl");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     but local file %s still open\n", xs->writer.curLocalPath);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        velk_ExtractCloseFile(&xs->writer);
        return -1;
    }
    xs->writer.curLocalFileFd = -1;
    return 0;
}

// Makes entry, read again from the index during pass 2, the current member
// after checking that it still describes what pass 1 laid out: a sane entry
// whose member starts at expectedBlock and ends inside the range.  0, or -1
// after the message with status 72.
int beginRangeMember(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal, uint64_t expectedBlock,
                     uint64_t rangeEndBlock)
{
    if (velk_RangeMemberOk(entry, ordinal, expectedBlock, rangeEndBlock, "velk_Extract", "extraction") != 0) {
        xs->cur.haveEntry = false;
        return -1;
    }
    return velk_ExtractBeginMember(xs, entry, ordinal);
}

// Reads the range's next entry and makes it current: the member that starts
// where the previous one ended.  0 or -1.
int nextRangeEntry(velk_extract_state_t *xs)
{
    const char *func = "readCallbackCtl";
    if (xs->curListEntry == nullptr || xs->cur.entriesLeft <= 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error - archive data beyond the last entry of the range at address %lu\n", func,
                    static_cast<unsigned long>(xs->cur.archiveAddr));
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    hif_entry_t *entry = nullptr;
    int eof = 0;
    int limit = static_cast<int>(std::min<int64_t>(xs->cur.entriesLeft, INT_MAX));
    if (velk_IndexFileRead(xs->index, xs->index_Fd, xs->index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
        entry == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error reading index entry %ld from %s\n", func,
                    static_cast<long>(xs->cur.ordinal + 1), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    ++xs->cur.ordinal;
    ++xs->curFileSpecInx;
    return beginRangeMember(xs, entry, xs->cur.ordinal, xs->cur.archiveAddr / VELK_BLOCKSIZE,
                            xs->curListEntry->ixEndBlock);
}

// The hooks themselves; ctx is the velk_extract_state_t.
int nextHook(void *ctx)
{
    return nextRangeEntry(static_cast<velk_extract_state_t *>(ctx));
}

int headerHook(void *ctx, const unsigned char *block)
{
    return handleHeader(static_cast<velk_extract_state_t *>(ctx), block);
}

// Only a file member's data are written; the blocks of any other member
// (a symbolic link from a foreign archive carries some) are passed over.
bool wantsDataHook(void *ctx)
{
    return static_cast<const velk_extract_state_t *>(ctx)->cur.type == VTO_FILE;
}

int dataHook(void *ctx, const unsigned char *bytes, uint32_t length, uint64_t *blocksOut)
{
    int blocks = 0;
    if (velk_WriteLocalFile(&static_cast<velk_extract_state_t *>(ctx)->writer, bytes, length, &blocks) != 0)
        return -1;
    *blocksOut = static_cast<uint64_t>(blocks);
    return 0;
}

int finishHook(void *ctx)
{
    return finishMember(static_cast<velk_extract_state_t *>(ctx));
}

// The extract stream names itself readCallbackCtl in its messages.  A
// buffer that is not whole blocks means the archive and its index disagree.
constexpr velk_member_ops_t kExtractOps = {
    .caller = "readCallbackCtl",
    .lengthStatus = VELK_EXIT_MISMATCH,
    .next = nextHook,
    .header = headerHook,
    .wantsData = wantsDataHook,
    .data = dataHook,
    .finish = finishHook,
};

} // namespace

void velk_ExtractPrepare(velk_extract_state_t *xs)
{
    xs->total_objects = 0;
    xs->file_objects = 0;
    xs->devNullFileCount = 0;
    xs->total_ix_entries = 0;
    xs->total_file_bytes = 0;
    xs->leadingSlashNoticed = false;
    xs->cur.haveEntry = false;
    velk_ExtractWriterPrepare(&xs->writer);
}

int velk_ExtractBeginMember(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal)
{
    velk_MemberCursorBegin(&xs->cur, entry, ordinal);
    xs->memberMark = velk_FailureMark(nullptr);
    if (velk_ExtractWriterBegin(&xs->writer, entry, ordinal) == 0)
        return 0;
    xs->cur.haveEntry = false;
    return -1;
}

// ---------------------------------------------------------------------------
// The action.
// ---------------------------------------------------------------------------

namespace {

// A requested ordinal (-J) and the member-list record that asked for it.
struct OrdinalRequest {
    int64_t ordinal;
    int64_t fsPos;
};

struct RunTimes {
    struct timeval start;
    struct rusage usage;
};

// The whole action's outcome and its final line.  Returns 0 or -1.
int endAction(velk_extract_state_t *xs, bool ok, int archiveFd, int indexFd, int indexKind)
{
    velk_FinishDirectories(&xs->writer);
    if (!ok)
        velk_SetExitCode(VELK_EXIT_IOERR);
    velk_FinalLine(ok);
    fflush(stdout);
    if (archiveFd >= 0) {
        // A storage-system or gateway-host archive is a gateway descriptor.
        const bool gateway = velk_CurrentArchiveKind()->through_gateway;
        const int rc = gateway ? quor_Close(archiveFd) : (close(archiveFd) == 0 ? 0 : -errno);
        if (rc != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d closing %s Archive file %s\n", "velk_Extract",
                        -rc, gateway ? "QUOR" : "local", velk_archive);
        velk_archive_fd = -1;
    }
    if (indexFd >= 0) {
        if (close(indexFd) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d closing %sindex file %s\n", "velk_Extract",
                        errno, indexKind == VELK_QUOR_FILE ? "QUOR " : "", velk_index_filename);
    }
    xs->index_Fd = -1;
    velk_FreeIxList(&xs->ranges);
    velk_ExtractRestoreUmask(&xs->writer);
    return ok ? 0 : -1;
}

// The -J operands, the names of members, as sorted, distinct ordinals into
// *out (count in *countOut; the caller frees *out).  0, or -1 after the
// message with status 64.
int collectOrdinals(const velk_members_t *members, OrdinalRequest **out, int64_t *countOut)
{
    *out = nullptr;
    *countOut = 0;
    int64_t n = members->count;
    if (n <= 0)
        return 0;
    auto *req = static_cast<OrdinalRequest *>(VELK_CALLOC(static_cast<size_t>(n), sizeof(OrdinalRequest)));
    if (req == nullptr)
        return -1;
    for (int64_t i = 0; i < n; ++i) {
        const char *text = members->table[i].filename != nullptr ? members->table[i].filename : "";
        if (velk_ParseOrdinal(text, &req[i].ordinal) != 0) {
            VELK_FREE(req);
            return -1;
        }
        req[i].fsPos = i;
    }
    std::stable_sort(req, req + n,
                     [](const OrdinalRequest &a, const OrdinalRequest &b) { return a.ordinal < b.ordinal; });
    int64_t kept = 0;
    for (int64_t i = 0; i < n; ++i)
        if (kept == 0 || req[kept - 1].ordinal != req[i].ordinal)
            req[kept++] = req[i];
    *out = req;
    *countOut = kept;
    return 0;
}

// An entry without its "VELK_IDX" mark: 0 when sane, else -1 after the
// message (status 72).
int entrySane(const hif_entry_t *entry)
{
    if (velk_IndexEntrySane(entry))
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Hmmm- %s does not appear to be a file created by velk.\n",
                velk_index_filename);
    velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

// A forced shutdown stopped the action: -1 after the message.
int interrupted()
{
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract interrupted by a forced shutdown\n");
    velk_NoteFailure("interrupted");
    return -1;
}

// Pass 1 for one entry read at ordinal.  Returns 0 to go on, 1 to end pass
// 1 early (quit at the prompt), -1 to fail the action.
int considerEntry(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal, int64_t fsPos, bool byPath)
{
    if (entrySane(entry) != 0)
        return -1;
    uint32_t flags = velk_Get32(entry->hent_flags);
    if ((flags & (HIF_FLAG_PHANTOM | HIF_FLAG_DELETED)) != 0) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/skipping deleted or phantom index entry %ld\n", static_cast<long>(ordinal));
        if (byPath && (flags & HIF_FLAG_PHANTOM) == 0)
            velk_MemberNamesDeletedSeen(&xs->names, entry);
        return 0;
    }
    if (byPath) {
        if (velk_IndexEntryWasSelected(entry, xs->run->members.table, xs->run->members.count) == 0)
            return 0;
        velk_MemberNamesSelected(&xs->names, entry);
    }
    uint32_t type = velk_Get32(entry->hent_type);
    if (type == VTO_UNKNOWN || type > VTO_INDEXEOF) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Cannot extract unrecognized object type: %d Index Entry %ld\n",
                    static_cast<int>(type), static_cast<long>(ordinal));
        velk_NoteFailure("unrecognized type");
        velk_SetExitCode(VELK_EXIT_EXTRACT_IO);
        return 0;
    }
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    if (velk_RangeEntryInside(xs->archiveSizeBytes, entry, ordinal, path) != 0 ||
        velk_RangeEntryShapeOk(entry, ordinal, path) != 0)
        return -1;

    char local[VELK_PATH_BUFSIZE];
    int stripped = 0;
    int rc = velk_ExtractFormPath(path, local, sizeof local, &stripped);
    if (stripped != 0 && !xs->leadingSlashNoticed && !toStdout()) {
        xs->leadingSlashNoticed = true;
        velk_ErrPrintf("%s: Removing leading `/' from absolute path names in the archive\n",
                       velk_msg_prefix[VELK_MSG_VELK]);
    }
    if (rc == VELK_XPATH_ROOT_ONLY) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("Skipping standalone root directory: [%s]\n", path);
        return 0;
    }
    if (rc == VELK_XPATH_DOTDOT) {
        velk_ExtractRefuseDotDot(path);
        return 0;
    }
    if (rc != VELK_XPATH_OK || local[0] == '\0')
        return 0;

    if (byPath && optOn(VELK_OPT_CONFIRM)) {
        int answer = velk_GetYesNo("extract", nullptr, local);
        if (answer == VELK_ANSWER_NO)
            return 0;
        if (answer == VELK_ANSWER_QUIT)
            return 1;
        if (answer == VELK_ANSWER_ALL)
            velk_option_flags &= ~VELK_OPT_CONFIRM;
    }
    if (velk_AddIxListEntry(&xs->ranges, entry, ordinal, fsPos) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal malloc error creating index entry list\n");
        return -1;
    }
    return 0;
}

// considerEntry, and the failed record of an entry it refused while the
// action goes on.
int considerAndRecord(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal, int64_t fsPos, bool byPath)
{
    long mark = velk_FailureMark(nullptr);
    int rc = considerEntry(xs, entry, ordinal, fsPos, byPath);
    const char *reason = nullptr;
    if (rc == 0 && velk_FailureMark(&reason) > mark && reason != nullptr) {
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(entry, path, sizeof path);
        (void)velk_OutcomeFailed(&xs->outcome, path, reason);
    }
    return rc;
}

// Pass 1: checks that the first entries entries are in archive order and
// builds the range list from the first selectable ones.  0 or -1.
int pass1(velk_extract_state_t *xs, int64_t selectable, int64_t entries, const OrdinalRequest *req, int64_t reqCount)
{
    velk_SetProgramPhase(VTP_EXTRACT_PASS1);
    console_message("reading index file", "");
    velk_StatusMsg(1, "Reading %ld index entries", static_cast<long>(selectable));
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug] Pass 1 - building <index-to-read> list. Index entry count=%ld\n",
                       static_cast<long>(selectable));
    if (!optOn(VELK_OPT_BY_ORDINAL)) {
        // Every entry is read, the consistency file's too, so that the order
        // of the whole index is known before anything is extracted.
        velk_index_order_t order;
        bool selecting = true;
        for (int64_t ordinal = 0; ordinal < entries; ++ordinal) {
            if (velk_shutdown_signalled.load() != 0)
                return interrupted();
            hif_entry_t *entry = nullptr;
            int eof = 0;
            if (velk_IndexFileRead(xs->index, xs->index_Fd, xs->index_file_residency, 0, &entry, &eof) != 0) {
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -1;
            }
            if (eof != 0 || entry == nullptr)
                break;
            if (entrySane(entry) != 0 || velk_IndexOrderCheck(&order, entry, ordinal) != 0)
                return -1;
            if (!selecting || ordinal >= selectable)
                continue;
            int rc = considerAndRecord(xs, entry, ordinal, 0, true);
            if (rc < 0)
                return -1;
            if (rc > 0)
                selecting = false;
        }
        return 0;
    }
    // By ordinal: the whole order is checked first, then one positioned
    // read per group of consecutive ordinals.
    if (velk_IndexOrderScan(xs->index, xs->index_Fd, xs->index_file_residency, entries) != 0)
        return -1;
    int64_t i = 0;
    while (i < reqCount) {
        int64_t j = i + 1;
        while (j < reqCount && req[j].ordinal == req[j - 1].ordinal + 1)
            ++j;
        if (velk_IndexFilePosition(xs->index, xs->index_Fd, xs->index_file_residency, req[i].ordinal) != 0) {
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        for (int64_t k = i; k < j; ++k) {
            hif_entry_t *entry = nullptr;
            int eof = 0;
            int limit = static_cast<int>(std::min<int64_t>(j - k, INT_MAX));
            if (velk_IndexFileRead(xs->index, xs->index_Fd, xs->index_file_residency, limit, &entry, &eof) != 0 ||
                eof != 0 || entry == nullptr) {
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -1;
            }
            if (considerAndRecord(xs, entry, req[k].ordinal, req[k].fsPos, false) < 0)
                return -1;
        }
        i = j;
    }
    return 0;
}

// Reads one range through the archive reader.  Adds its time and length
// to the totals.  0 or -1.
int readRange(velk_extract_state_t *xs, int archiveFd, ix_ListEntry_t *range, double *seconds, uint64_t *bytes)
{
    if (velk_IndexFilePosition(xs->index, xs->index_Fd, xs->index_file_residency, range->ixStart) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error positioning index file to entry %ld.\n",
                    "velk_Extract", static_cast<long>(range->ixStart));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ reading next Index File group. Entries %ld-%ld, count=%ld fsOrd=%ld\n",
                       static_cast<long>(range->ixStart), static_cast<long>(range->ixEnd),
                       static_cast<long>(range->ixCount), static_cast<long>(range->ixFsOrd));
    xs->curListEntry = range;
    xs->cur.entriesLeft = range->ixCount;
    xs->curFileSpecInx = range->ixFsOrd;
    hif_entry_t *entry = nullptr;
    int eof = 0;
    int limit = static_cast<int>(std::min<int64_t>(range->ixCount, INT_MAX));
    if (velk_IndexFileRead(xs->index, xs->index_Fd, xs->index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
        entry == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error reading index entry %ld from %s\n",
                    "velk_Extract", static_cast<long>(range->ixStart), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    xs->cur.ordinal = range->ixStart;
    if (beginRangeMember(xs, entry, range->ixStart, range->ixStartBlock, range->ixEndBlock) != 0)
        return -1;
    uint64_t length = (range->ixEndBlock - range->ixStartBlock) * VELK_BLOCKSIZE;
    double xferTime = 0.0;
    velk_tar_ext_reader_t ext{};
    velk_member_stream_t stream{&kExtractOps, xs, &xs->cur, &ext};
    int rc = velk_ReadRange(&xs->run->xfer, archiveFd, range, velk_MemberStreamCallback, &stream, &xferTime);
    velk_TarExtFree(&ext);
    *seconds += xferTime;
    *bytes += length;
    if (velk_debug_level >= 4)
        velk_ErrPrintf("/trace/returned from Archive File read - result=%d\n", rc);
    if (rc < 0) {
        if (velk_shutdown_signalled.load() != 0)
            interrupted();
        velk_ExtractRemoveIncomplete(&xs->writer);
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract aborted\n");
        return -1;
    }
    // A reader that ends early (an archive cut short after it was measured)
    // leaves members of the range undone.
    if (xs->cur.entriesLeft != 0 || xs->cur.haveEntry) {
        velk_ExtractRemoveIncomplete(&xs->writer);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Archive file %s ended before entry %ld was complete\n",
                    "velk_Extract", velk_archive, static_cast<long>(xs->cur.ordinal));
        velk_SetExitCode(VELK_EXIT_IOERR);
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract aborted\n");
        xs->cur.haveEntry = false;
        return -1;
    }
    return 0;
}

// Writes a failed record for every selected member that has none: pass 2
// stopped before it was done.  The member being handled then gets the
// reason counted for it; the others were "not extracted".
void recordUnfinished(velk_extract_state_t *xs)
{
    if (xs->outcome.ex == nullptr)
        return;
    for (ix_ListEntry_t *r = xs->ranges.head; r != nullptr; r = r->next) {
        for (int64_t o = std::max(r->ixStart, xs->recordedThrough + 1); o <= r->ixEnd; ++o) {
            hif_entry_t entry;
            if (velk_IndexReadRandomEntry(xs->index, xs->index_Fd, xs->index_file_residency, o, &entry) != 0)
                return;
            if (o != xs->cur.ordinal)
                xs->memberMark = velk_FailureMark(nullptr);
            recordMember(xs, &entry, o, false);
        }
    }
}

void statisticsLine(velk_extract_state_t *xs, FILE *outStream, const RunTimes &t, double seconds, uint64_t bytes)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    getrusage(RUSAGE_SELF, &usage);
    double wall = velk_DiffTimeval(&now, &t.start);
    double user = velk_DiffTimeval(&usage.ru_utime, &t.usage.ru_utime);
    double sys = velk_DiffTimeval(&usage.ru_stime, &t.usage.ru_stime);
    char line[VELK_MSG_BUFSIZE];
    int n = snprintf(
        line, sizeof line, "%s: Extract complete for %s, %ld files. total bytes read: %lu in %.3f seconds ",
        velk_msg_prefix[VELK_MSG_VELK], velk_archive, xs->file_objects, static_cast<unsigned long>(bytes), seconds);
    size_t used = n > 0 ? std::min(static_cast<size_t>(n), sizeof line - 1) : 0;
    if (seconds >= 0.001) {
        n = snprintf(line + used, sizeof line - used, "(%.3f MB/s %s)", static_cast<double>(bytes) / 1e6 / seconds,
                     xs->ranges.count > 1 ? "average" : "");
        used = n > 0 ? std::min(used + static_cast<size_t>(n), sizeof line - 1) : used;
    }
    snprintf(line + used, sizeof line - used, " wallclock/user/sys: %.3f %.3f %.3f seconds", wall, user, sys);
    velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, line);
    if (velk_debug_level >= 1 || optOn(VELK_OPT_STATS) || optOn(VELK_OPT_VERBOSE)) {
        fputs(line, outStream);
        fputc('\n', outStream);
        fflush(outStream);
    }
    const velk_run_t *run = xs->run;
    velk_LogFileTransfer(run->archive.absPath != nullptr ? run->archive.absPath : velk_archive, VOP_EXTRACT, 0,
                         velk_filetype, run->memberFiletype, bytes, seconds, run->xfer.acctId);
}

} // namespace

namespace {

// Reports an archive whose size differs from the one expected.
void archiveSizeMismatch(uint64_t actual, uint64_t expected)
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Archive file %s size = %lu\n", velk_archive,
                static_cast<unsigned long>(actual));
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "       is inconsistent with size of %lu from Index File %s\n",
                static_cast<unsigned long>(expected), velk_index_filename);
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// Checks every -J ordinal against the entries that can be selected.
// Returns 0, or -1 after the message with status 64.
int checkRequestedOrdinals(const OrdinalRequest *req, int64_t reqCount, int64_t selectable)
{
    for (int64_t i = 0; i < reqCount; ++i) {
        if (req[i].ordinal >= selectable) {
            velk_LogFmt(
                VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "Specified index entry: %lu is > number of index entries in the archive (%lu) [from Index File %s]\n",
                static_cast<unsigned long>(req[i].ordinal), static_cast<unsigned long>(selectable),
                velk_index_filename);
            velk_SetExitCode(VELK_EXIT_USAGE);
            return -1;
        }
    }
    return 0;
}

// The index file as opened for the action, with the entries that can be
// selected from it.
struct OpenedIndex {
    int fd = -1;
    int kind = 0;
    int64_t entries = 0; // the header's object count, at most the entries present
    int64_t selectable = 0;
};

// Opens the index, checks it against the archive's size, and counts the
// entries that can be selected (the consistency file's entry of an archive
// velk wrote is never extracted).  Returns 0, or -1 after the message; ix
// records what was opened either way, for endAction.
int openIndex(velk_extract_state_t *xs, OpenedIndex *ix)
{
    velk_SetProgramPhase(VTP_EXTRACT_OPEN_FILES);
    uint64_t archiveSize = 0;
    if (velk_GetArchiveSizeAndLayout(&archiveSize) != 0)
        return -1;
    velk_StatusMsg(1, "Open Index File");
    ix->kind = velk_filetype;
    ix->fd = velk_OpenIndexFile(&xs->run->xfer, xs->index, velk_index_filename, O_RDONLY, ix->kind);
    if (ix->fd < 0)
        return -1;
    // A storage-system or gateway-host index is read from a local copy.
    ix->kind = velk_ArchiveKindOps(ix->kind)->index_fd_kind;
    xs->index_Fd = ix->fd;
    xs->index_file_residency = ix->kind;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("[debug] successfully opened Index file for reading on FD=%d\n", ix->fd);

    bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
    if (foreign && velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ index says Archive File was NOT created by VELK\n");

    xs->archiveSizeBytes = archiveSize;
    uint64_t recorded = velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize);
    // A piped archive has no size before it is read: it is measured as it
    // passes (pass 2) and taken to be the size recorded until then.
    if (velk_CurrentArchiveKind()->is_pipe)
        xs->archiveSizeBytes = recorded;
    if (recorded != xs->archiveSizeBytes) {
        archiveSizeMismatch(xs->archiveSizeBytes, recorded);
        return -1;
    }
    // The header's object count, which the open has checked against the
    // entries present.  The last entry of an archive velk wrote is the
    // consistency file's.
    int64_t objects = std::min<int64_t>(velk_Get32(velk_index_hdr.hif_hdr.obj_count), velk_index_entries);
    ix->entries = objects;
    ix->selectable = foreign ? objects : std::max<int64_t>(objects - 1, 0);
    return 0;
}

// Passes over a piped archive up to byte target (VELK_SKIP_TO_END: to its
// end, which must be where the index says).  A pipe that ends first, or
// goes on past its recorded size, does not match its index.  0, or -1
// after the message.
int pipeSkipTo(velk_extract_state_t *xs, int archiveFd, uint64_t target)
{
    uint64_t want = target == VELK_SKIP_TO_END ? VELK_SKIP_TO_END : target - xs->pipePos;
    uint64_t dropped = 0;
    if (velk_SkipArchiveBytes(archiveFd, want, &dropped) != 0)
        return -1;
    xs->pipePos += dropped;
    bool cut = target != VELK_SKIP_TO_END && dropped < want;
    if (cut || (target == VELK_SKIP_TO_END && xs->pipePos != xs->archiveSizeBytes)) {
        archiveSizeMismatch(xs->pipePos, xs->archiveSizeBytes);
        return -1;
    }
    return 0;
}

// Pass 2: opens the archive, checks its size again and reads every range.
// *archiveFdOut gets the archive descriptor (or -1) for endAction.  Returns
// 0, or -1 after the message.
int pass2(velk_extract_state_t *xs, FILE *outStream, const RunTimes &times, int indexFd, int kind, int *archiveFdOut)
{
    velk_SetProgramPhase(VTP_EXTRACT_READARCHIVE);
    velk_StatusMsg(1, "Opening archive file");
    console_message("Opening archive file", "");
    struct stat openStat;
    memset(&openStat, 0, sizeof openStat);
    quor_xfileattr_t xattr;
    memset(&xattr, 0, sizeof xattr);
    const bool quor = velk_CurrentArchiveKind()->has_layout;
    int archiveFd = velk_OpenArchiveFile(O_RDONLY, quor ? &xattr : nullptr, &openStat);
    *archiveFdOut = archiveFd;
    if (archiveFd < 0)
        return -1;
    velk_archive_fd = archiveFd;
    uint64_t openSize = static_cast<uint64_t>(openStat.st_size);
    if (quor) {
        // The layout of the archive as opened.
        openSize = xattr.Attrs.DataLength;
        int rc = velk_GetArchiveStripeInfo(optOn(VELK_OPT_NOSTAGE) ? 1 : 0, &xattr);
        quor_FreeXAttributes(&xattr);
        if (rc != 0)
            return -1;
    }
    const bool pipe = velk_CurrentArchiveKind()->is_pipe;
    if (!pipe && openSize != xs->archiveSizeBytes) {
        archiveSizeMismatch(openSize, xs->archiveSizeBytes);
        return -1;
    }
    console_message("Reading archive file", "");
    if (velk_IndexFileRewind(xs->index, indexFd, kind) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error rewinding index file. Cannot continue...\n");
        return -1;
    }
    double seconds = 0.0;
    uint64_t bytes = 0;
    bool ok = true;
    for (ix_ListEntry_t *r = xs->ranges.head; r != nullptr; r = r->next) {
        if ((pipe && pipeSkipTo(xs, archiveFd, r->ixStartBlock * VELK_BLOCKSIZE) != 0) ||
            readRange(xs, archiveFd, r, &seconds, &bytes) != 0) {
            ok = false;
            break;
        }
        xs->pipePos = r->ixEndBlock * VELK_BLOCKSIZE;
    }
    // The rest of a piped archive is read only to measure it.
    if (ok && pipe && pipeSkipTo(xs, archiveFd, VELK_SKIP_TO_END) != 0)
        ok = false;
    xs->curListEntry = nullptr;
    console_message("", "");
    if (!ok)
        return -1;
    if (xs->devNullFileCount > 0) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "%d files were extracted to /dev/null. Files were missing at creation time\n"
                    "         due to filesystem errors or user removal during the archive creation\n",
                    static_cast<int>(xs->devNullFileCount));
        velk_SetExitCode(VELK_EXIT_MISMATCH);
    }
    statisticsLine(xs, outStream, times, seconds, bytes);
    return 0;
}

} // namespace

int velk_Extract(velk_run_t *run)
{
    VELK_TRACE_ENTRY();
    // The run's extraction state; the member stream hands it to the hooks
    // and is done with it before the action returns.
    velk_extract_state_t state;
    velk_extract_state_t *xs = &state;
    xs->run = run;
    xs->index = &run->index;
    FILE *outStream = toStdout() ? stderr : stdout;
    RunTimes times;
    gettimeofday(&times.start, nullptr);
    memset(&times.usage, 0, sizeof times.usage);
    getrusage(RUSAGE_SELF, &times.usage);
    velk_ExtractPrepare(xs);
    velk_FreeIxList(&xs->ranges);
    xs->index_Fd = -1;
    xs->outcome = velk_outcome_t{run->okfile, run->exfile, run->records, "extract"};

    if (velk_GenFilelist(run) < 0 ||
        (!optOn(VELK_OPT_BY_ORDINAL) && velk_MemberNamesPrepare(&xs->names, &run->members) != 0))
        return endAction(xs, false, -1, -1, 0);

    OrdinalRequest *req = nullptr;
    int64_t reqCount = 0;
    if (optOn(VELK_OPT_BY_ORDINAL) && collectOrdinals(&run->members, &req, &reqCount) != 0)
        return endAction(xs, false, -1, -1, 0);
    struct ReqFree {
        OrdinalRequest *p;
        ~ReqFree()
        {
            if (p != nullptr)
                VELK_FREE(p);
        }
    } reqFree{req};

    OpenedIndex ix;
    if (openIndex(xs, &ix) != 0 || checkRequestedOrdinals(req, reqCount, ix.selectable) != 0)
        return endAction(xs, false, -1, ix.fd, ix.kind);
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ Index file contains %d entries, including consistency file\n",
                       static_cast<int>(ix.entries));
    velk_FreeIxList(&xs->ranges);
    if (velk_IndexReadInit(xs->index) != 0)
        return endAction(xs, false, -1, ix.fd, ix.kind);

    if (pass1(xs, ix.selectable, ix.entries, req, reqCount) != 0)
        return endAction(xs, false, -1, ix.fd, ix.kind);
    velk_MemberNamesReportMissing(&xs->names);
    for (int64_t i = 0; i < xs->names.tracked; ++i)
        if (!xs->names.found[i] && xs->names.table[i].filename != nullptr)
            (void)velk_OutcomeFailed(&xs->outcome, xs->names.table[i].filename,
                                     xs->names.deleted[i] ? "soft-deleted in archive" : "not found in archive");

    if (xs->ranges.head == nullptr) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ no index entries were selected for extracting \n");
        return endAction(xs, true, -1, ix.fd, ix.kind);
    }

    int archiveFd = -1;
    // Failures from here on belong to the member being handled.
    xs->memberMark = velk_FailureMark(nullptr);
    xs->cur.ordinal = -1;
    bool ok = pass2(xs, outStream, times, ix.fd, ix.kind, &archiveFd) == 0;
    recordUnfinished(xs);
    return endAction(xs, ok, archiveFd, ix.fd, ix.kind);
}
