// The create action: the member table, a complete temporary index laid out
// before any data moves (so the archive's size and every member's offset
// are known in advance), the consistency file, the archive itself, the data
// copy, the index put in its place, and the optional removal of the
// archived local files.  The archive and the index are both written under
// temporary names and renamed over the old ones only when complete, so a
// create that fails or is stopped leaves an existing archive and index as
// they were.  Initial thread only.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quor_api.h"
#include "velk_Actions.h"
#include "velk_ArchiveCopy.h"
#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_Consistency.h"
#include "velk_Expire.h"
#include "velk_FileAccess.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_MemberStatus.h"
#include "velk_Outcome.h"
#include "velk_RemoveLocal.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Verify.h"
#include "velk_Xfer.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;

const char *archiveKindName(int kind)
{
    return velk_ArchiveKindOps(kind)->name;
}

// Closes the archive descriptor (if open) by kind; errno-style or gateway
// result.
int closeArchive()
{
    if (velk_archive_fd < 0)
        return 0;
    int rc = velk_CurrentArchiveKind()->close(velk_archive_fd);
    velk_archive_fd = -1;
    return rc;
}

double seconds(const struct timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Renames the finished, adjusted temporary index over the index name: the
// old index is replaced in one step, never removed first.  The data are
// flushed to the disk before the rename and the directory after it.
// Returns 0, or -1 (message, status 72) with the temporary index still
// whole at its name.
int renameIndexIntoPlace(int fd, const char *from, const char *to)
{
    int err = 0;
    if (fd >= 0 && fsync(fd) != 0)
        err = errno;
    else if (rename(from, to) != 0)
        err = errno;
    if (err == 0) {
        velk_SyncIndexDirectory(to);
        return 0;
    }
    errno = err;
    perror("rename");
    velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d on rename attempt of local index file from %s to %s\n", err, from, to);
    velk_Explain(VELK_MSG_ERROR, err, to);
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

// Lays out the temporary index: one entry per member-table record, written
// in blocks, then the consistency file and the final header.  The positions
// of the records that got no entry are appended to *leftOut.  0 or -1.
int writeTemporaryIndex(velk_run_t *run, std::vector<int64_t> *leftOut)
{
    velk_index_t *index = &run->index;
    const velk_members_t *members = &run->members;
    int bufBytes = 0;
    int bufEntries = 0;
    velk_GetIndexBufSize(&bufBytes, &bufEntries);
    auto *buf = static_cast<unsigned char *>(VELK_MALLOC(static_cast<size_t>(bufBytes) + HIF_ENTRY_SIZE));
    if (buf == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Unable to allocate temporary index file buffer (%d entries=%d bytes) \n",
                    "velk_Create", bufEntries, bufBytes + static_cast<int>(HIF_ENTRY_SIZE));
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return -1;
    }
    int64_t built = 0;
    int64_t omitted = 0;
    int inBuf = 0;
    int rc = 0;
    for (int64_t i = 0; i < members->count; ++i) {
        if (velk_shutdown_signalled.load()) {
            rc = -1;
            break;
        }
        hif_entry_t entry;
        if (velk_IndexFromFileSpec(i, &members->table[i], &entry) != 0) {
            ++omitted;
            leftOut->push_back(i);
            continue;
        }
        ++built;
        velk_archive_blocks += velk_Get32(entry.hent_blocks);
        run->archive.size = velk_archive_blocks * VELK_BLOCKSIZE;
        velk_EncodeIndexEntry(&entry, buf + static_cast<size_t>(inBuf) * HIF_ENTRY_SIZE);
        if (++inBuf == bufEntries) {
            int bytes = inBuf * static_cast<int>(HIF_ENTRY_SIZE);
            if (velk_BlockWrite(index->tmpFd, index->tmpName, VELK_LOCAL_FILE, bytes, buf) != bytes) {
                velk_LogFmt(VELK_MSG_ERROR, MSG, "Error writing %d index entries (%ld bytes) to file %s - aborting\n",
                            inBuf, static_cast<long>(bytes), index->tmpName);
                rc = -1;
                break;
            }
            inBuf = 0;
        }
    }
    if (rc == 0 && inBuf > 0) {
        int bytes = inBuf * static_cast<int>(HIF_ENTRY_SIZE);
        if (velk_BlockWrite(index->tmpFd, index->tmpName, VELK_LOCAL_FILE, bytes, buf) != bytes) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Error flushing %d index entries (%ld bytes) to file %s - aborting\n",
                        inBuf, static_cast<long>(bytes), index->tmpName);
            rc = -1;
        }
    }
    VELK_FREE(buf);
    if (rc != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }

    // The consistency record describes the finished archive: for it the
    // totals include its own member and the end block.
    velk_index_entries = built;
    uint64_t cfSize = 0;
    uint32_t cfBlocks = 0;
    velk_GetCfSizes(&cfSize, &cfBlocks);
    velk_index_entries += 1;
    velk_archive_blocks += cfBlocks + 1;
    velk_BuildConsistencyHeader();
    if (velk_WriteConsistencyFile(&run->archive) != 0)
        return -1;
    char sizeText[32];
    snprintf(sizeText, sizeof sizeText, "%lu", static_cast<unsigned long>(velk_archive_blocks * VELK_BLOCKSIZE));
    velk_LogFmt(VELK_MSG_LOGONLY, MSG, "INFO: Archive file will be %s bytes, %d objects\n", sizeText,
                static_cast<int>(velk_index_entries));
    velk_index_entries -= 1;
    velk_archive_blocks -= cfBlocks + 1;
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/Index file written. %d ObjectEntries used, %d omitted. ", static_cast<int>(built),
                       static_cast<int>(omitted));
        velk_ErrPrintf("       Archive File will be %lu blocks (excluding consistency file)\n",
                       static_cast<unsigned long>(velk_archive_blocks));
    }

    if (velk_WriteConsFileIndexEntry(&run->archive, index->tmpFd, index->tmpName) != 0)
        return -1;
    velk_archive_blocks += 1;
    run->archive.size = velk_archive_blocks * VELK_BLOCKSIZE;
    velk_BuildIndexHeader(index);
    if (velk_WriteIndexHeader(index->tmpFd, VELK_LOCAL_FILE, index->tmpName, &velk_index_hdr) != 0)
        return -1;
    return 0;
}

// When the create started, for the statistics line.
struct CreateStart {
    velk_run_t *run;
    std::vector<int64_t> *leftOut; // member-table records that got no index entry
    struct timeval wall;
    struct rusage usage;
};

// Builds the member table and the complete temporary index with its
// consistency record.  Returns 0 to go on, 1 when there is nothing to
// archive (status 3 set: the action still ends as a success), -1 on a
// failure (after the message).
int prepareTemporaryIndex(velk_run_t *run, std::vector<int64_t> *leftOut)
{
    if (velk_GenFilelist(run) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "[FATAL] error(s) generating filename list \n");
        velk_SetExitCode(VELK_EXIT_FILELIST);
        return -1;
    }
    if (run->members.count == 0) {
        velk_LogFmt(VELK_MSG_INFO, MSG, "refusing to create empty archive\n");
        velk_SetExitCode(VELK_EXIT_EMPTY);
        return 1;
    }
    if (velk_InitMemberFileLists(run->members.count, 0) != 0)
        return -1;
    if (velk_debug_level >= 2)
        velk_DumpFileSpecList(&run->members);
    if (velk_CreateTmpIndexFile(&run->index) != 0)
        return -1;
    if (velk_Opt(VELK_OPT_VERBOSE) || velk_debug_level >= 1)
        console_message("Writing temp index file to ", run->index.tmpName);
    memset(&velk_index_hdr, 0, sizeof velk_index_hdr);
    if (velk_WriteIndexHeader(run->index.tmpFd, VELK_LOCAL_FILE, run->index.tmpName, &velk_index_hdr) != 0)
        return -1;
    return writeTemporaryIndex(run, leftOut);
}

// Logs the "Create complete" line, and prints it with -v, --stats or debug.
void createStatisticsLine(const CreateStart &start, double xferTime, int threadsUsed, int recoveries)
{
    int64_t good = 0;
    int64_t bad = 0;
    velk_GetMemberFileXferSummary(&good, &bad);
    struct timeval wallEnd;
    gettimeofday(&wallEnd, nullptr);
    struct rusage usageEnd;
    getrusage(RUSAGE_SELF, &usageEnd);
    char line[VELK_MSG_BUFSIZE];
    int n = snprintf(line, sizeof line,
                     "%s Create complete for %s. %lu bytes written for %ld member files, max threads: %d "
                     "Transfer time: %.3f seconds ",
                     velk_msg_prefix[VELK_MSG_VELK], velk_archive, static_cast<unsigned long>(start.run->archive.size),
                     static_cast<long>(good - 1), threadsUsed, xferTime);
    if (xferTime >= 0.001 && n > 0 && static_cast<size_t>(n) < sizeof line)
        n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "(%.3f MB/s)",
                      static_cast<double>(start.run->archive.size) / 1e6 / xferTime);
    if (recoveries > 0 && n > 0 && static_cast<size_t>(n) < sizeof line)
        n += snprintf(line + n, sizeof line - static_cast<size_t>(n), " error recoveries: %d", recoveries);
    if (n > 0 && static_cast<size_t>(n) < sizeof line)
        snprintf(line + n, sizeof line - static_cast<size_t>(n), " wallclock/user/sys: %.3f %.3f %.3f seconds",
                 seconds(wallEnd) - seconds(start.wall), seconds(usageEnd.ru_utime) - seconds(start.usage.ru_utime),
                 seconds(usageEnd.ru_stime) - seconds(start.usage.ru_stime));
    velk_LogMsg(VELK_MSG_LOGONLY, MSG, line);
    if (velk_Opt(VELK_OPT_STATS) || velk_Opt(VELK_OPT_VERBOSE) || velk_debug_level >= 1) {
        FILE *out = velk_stdout_is_data ? stderr : stdout;
        fprintf(out, "%s\n", line);
        fflush(out);
    }
}

// Copies the members into the archive by its kind, then reports the
// transfer (statistics line on success, transfer log either way).  Returns
// the copy's result: 0, or non-zero when it failed.
int copyMembers(const CreateStart &start)
{
    double xferTime = 0;
    int threadsUsed = 0;
    int recoveries = 0;
    int copy = velk_CopyToArchive(&start.run->xfer, &start.run->archive, &start.run->index, &xferTime, &threadsUsed,
                                  &recoveries);
    if (velk_CurrentArchiveKind()->has_layout)
        (void)velk_ExpireSetExpiration(start.run->archive.setExpiration, velk_archive_tmpname != nullptr
                                                                             ? velk_archive_tmpname
                                                                             : start.run->archive.absPath);
    if (copy == 0)
        createStatisticsLine(start, xferTime, threadsUsed, recoveries);
    const velk_run_t *run = start.run;
    velk_LogFileTransfer(run->archive.absPath != nullptr ? run->archive.absPath : velk_archive, VOP_CREATE, copy,
                         velk_filetype, run->memberFiletype, run->archive.size, xferTime, run->xfer.acctId);
    return copy;
}

// Asked to verify (-H verify): closes the archive and verifies it.  Returns 0, or -1 when the
// verification failed (the temporary index is then kept, status 72, unless
// a shutdown was the cause).
int verifyArchive(velk_run_t *run)
{
    velk_SetProgramPhase(VTP_CREATE_VERIFYARCHIVE);
    int rc = closeArchive();
    if (rc != 0)
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: (verify) Error %d closing %s Archive file %s\n", "velk_Create", rc,
                    velk_CurrentArchiveKind()->verify_close_name, velk_archive);
    if (velk_PostXferVerify(run) == 0)
        return 0;
    if (!velk_shutdown_signalled.load()) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "WARNING: verify failed for archive file %s\n", velk_archive);
        velk_LogFmt(VELK_MSG_ERROR, MSG,
                    "Temporary index file (%s) was left on this system to assist in troubleshooting the "
                    "problem\n",
                    run->index.tmpName);
        velk_SetExitCode(VELK_EXIT_IOERR);
        run->index.unlinkTmp = 0;
    }
    return -1;
}

// Puts the adjusted temporary index of a local (or piped) archive in place
// of the index file, with the archive's mode rule.  When that fails the
// temporary index, complete, is kept and named, so that the archive can
// still be read with -I.  True when the index is in place.
bool placeAdjustedLocalIndex(velk_index_t *index)
{
    // The temporary index was private (0600) while it was being written;
    // the placed index gets the archive's mode rule.
    mode_t mask = umask(0);
    umask(mask);
    if (index->tmpFd >= 0)
        (void)fchmod(index->tmpFd, 0666 & ~mask);
    if (renameIndexIntoPlace(index->tmpFd, index->tmpName, velk_index_filename) != 0) {
        index->unlinkTmp = 0;
        char option[PATH_MAX + 2];
        velk_IndexOptionName(index->tmpName, option, sizeof option);
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Index file of archive %s was kept as %s (read the archive with -I %s)\n",
                    velk_archive, index->tmpName, option);
        return false;
    }
    index->unlinkTmp = 0;
    char *finalName = VELK_STRDUP(velk_index_filename);
    if (finalName != nullptr) {
        VELK_FREE(index->tmpName);
        index->tmpName = finalName;
    }
    return true;
}

// Puts the finished archive and then its index in place.  The archive is
// closed, the member lists finalized and a local index adjusted while
// everything is still temporary, so a failure up to the archive's rename
// leaves the old archive and index as they were.  True when both are in
// place (status 72 otherwise).
bool placeArchiveAndIndex(velk_run_t *run)
{
    int rc = closeArchive();
    if (rc != 0)
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d closing %s Archive file %s\n", "velk_Create", rc,
                    archiveKindName(velk_filetype), velk_archive);
    velk_FinalizeMemberLists();
    velk_SetProgramPhase(VTP_CREATE_COPYINDEX);
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    bool local = ops->place_index == nullptr;
    if (local && velk_CopyAndAdjustLocalIndex(&run->index) != 0)
        return false;
    // A shutdown asked for up to here still keeps the old archive.
    if (velk_shutdown_signalled.load())
        return false;
    bool indexPlaced;
    // A storage-system or gateway-host index is written in full first; the
    // archive then takes its name just before the index does.
    if (!local)
        indexPlaced = ops->place_index(&run->xfer, &run->index, velk_CommitArchiveFile) == 0;
    else if (velk_CommitArchiveFile() != 0)
        return false;
    else
        indexPlaced = placeAdjustedLocalIndex(&run->index);
    if (!indexPlaced)
        velk_SetExitCode(VELK_EXIT_IOERR);
    return indexPlaced;
}

// The steps of a create from the member list to the archive and index in
// place and the -H rmlocal removal.  Returns true when the action
// succeeded (an empty member list included).
bool runCreate(const CreateStart &start)
{
    int prepared = prepareTemporaryIndex(start.run, start.leftOut);
    if (prepared != 0)
        return prepared > 0;

    // The archive is written under a temporary name; the old archive and
    // its index stay untouched until the new ones are complete.
    if (velk_CreateArchiveFile(&start.run->xfer, &start.run->archive) != 0)
        return false;
    console_message("", "");

    if (copyMembers(start) != 0)
        return false;
    if (start.run->verifyFlags != 0 && verifyArchive(start.run) != 0)
        return false;
    if (!placeArchiveAndIndex(start.run))
        return false;

    // Local files go only when their archive and its index are both in
    // place.
    if (velk_Opt(VELK_OPT_RMLOCAL) && !velk_shutdown_signalled.load()) {
        velk_SetProgramPhase(VTP_CREATE_RMLOCAL);
        (void)velk_RemoveMemberFiles(start.run, start.run->index.tmpFd, VELK_LOCAL_FILE);
    }
    return true;
}

// Writes one record per member-table record.  With the archive and its
// index in place a member is done unless it got no index entry or its data
// did not go out whole; when they are not in place no member was archived.
void recordMembers(const velk_run_t *run, bool placed, const std::vector<int64_t> &leftOut)
{
    const velk_members_t *members = &run->members;
    const velk_outcome_t outcome{run->okfile, run->exfile};
    if (outcome.ok == nullptr && outcome.ex == nullptr)
        return;
    size_t left = 0;
    int64_t ordinal = 0;
    for (int64_t i = 0; i < members->count; ++i) {
        const velk_FileSpec_t &rec = members->table[i];
        bool noEntry = left < leftOut.size() && leftOut[left] == i;
        if (noEntry)
            ++left;
        const char *reason = nullptr;
        if (!placed)
            reason = "archive not created";
        else if (noEntry)
            reason = "omitted from the archive";
        else if ((rec.objectType == VTO_FILE || rec.objectType == VTO_SYMLINK) &&
                 velk_GetMemberFileXferSuccess(ordinal) != 0)
            reason = velk_IsMemberFileMissing(ordinal) ? "missing or inaccessible" : "changed during archiving";
        if (!noEntry)
            ++ordinal;
        if (rec.filename == nullptr)
            continue;
        if (reason != nullptr)
            (void)velk_OutcomeFailed(&outcome, rec.filename, reason);
        else
            (void)velk_OutcomeOk(&outcome, rec.filename);
    }
}

// The final line, the archive closed, a new archive that was not put in
// place removed (the old one is never touched), and the temporary index
// removed unless it is kept.
void finishCreate(velk_index_t *index, bool ok)
{
    velk_SetProgramPhase(VTP_SHUTDOWN);
    bool shutdown = velk_shutdown_signalled.load() != 0;
    velk_FinalLine(ok, !ok && shutdown);
    int rc = closeArchive();
    if (rc != 0)
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d closing %s Archive file %s\n", "velk_Create", rc,
                    archiveKindName(velk_filetype), velk_archive);
    velk_DiscardArchiveFile();
    // An index put in place, or kept for an archive that was, stays even
    // after a shutdown.
    if (index->tmpFd >= 0 && index->unlinkTmp) {
        close(index->tmpFd);
        index->tmpFd = -1;
        if (index->tmpName != nullptr)
            unlink(index->tmpName);
    }
}

} // namespace

int velk_Create(velk_run_t *run)
{
    std::vector<int64_t> leftOut;
    CreateStart start;
    start.run = run;
    start.leftOut = &leftOut;
    gettimeofday(&start.wall, nullptr);
    if (getrusage(RUSAGE_SELF, &start.usage) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: error %d on getrusage call - terminating\n", "velk_Create", errno);
        velk_SetExitCode(VELK_EXIT_OSERR);
        velk_FinalLine(false);
        return -1;
    }

    velk_archive_blocks = 0;
    run->archive.size = 0;
    run->index.tmpFd = -1;
    run->index.unlinkTmp = 1;
    bool ok = runCreate(start);
    recordMembers(run, ok, leftOut);
    finishCreate(&run->index, ok);
    return ok ? 0 : -1;
}
