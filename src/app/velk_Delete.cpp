// Soft delete and undelete.  Only the deleted bit of selected index entries
// changes.  A local index is changed in place, entry by entry; an index in
// the storage system is copied, with the changes, into a new file beside
// it, which the gateway then renames over the index in one step, so the
// index name always holds the old index or the new one.

#include "velk_Delete.h"
#include "velk_Expire.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "quor_api.h"
#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_Consistency.h"
#include "velk_FileAccess.h"
#include "velk_FileList.h"
#include "velk_GatewayRename.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberNames.h"
#include "velk_Ordinals.h"
#include "velk_Outcome.h"
#include "velk_Utils.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
// Entries a copy writes at a time.
constexpr size_t kCopyEntries = 8192;
constexpr size_t kNameMax = 1024;

struct DeleteRun {
    bool isDelete = true;
    const char *word = "Delete";
    const velk_xfer_settings_t *xfer = nullptr; // the run's, for the index copies
    int readFd = -1;                            // the index (a storage-system one through its local copy)
    int rwFd = -1;                              // a local index opened for rewriting in place
    int newFd = -1;                             // the new storage-system index being written
    bool copyMode = false;
    char newName[kNameMax + 1] = "";
    bool keepNew = false; // the new index may hold the index now: never removed
    std::vector<unsigned char> buf;
    size_t buffered = 0;
    long total = 0, modified = 0, skipped = 0, phantom = 0;
    long refused = 0;                        // named entries that cannot change (directories, the consistency member)
    velk_member_names_t names;               // which member names selected an entry
    velk_ordinals_t ordinals;                // -J: the ordinals to select
    velk_index_t *index = nullptr;           // the run's index: its class of service
    const velk_members_t *members = nullptr; // the run's member table
    // --json: the members acted on, with the outcome of each when it is not
    // the change itself; recorded once the index is complete.
    velk_outcome_t outcome;
    std::vector<std::pair<std::string, const char *>> acted;

    void note(const char *path, const char *what)
    {
        if (outcome.records != nullptr)
            acted.emplace_back(path, what);
    }
};

// --json: one record per member acted on.  A change counts only when the
// whole index was written (done).
void recordActed(const DeleteRun *run, bool done)
{
    const char *changed = run->isDelete ? "deleted" : "undeleted";
    for (const auto &[path, what] : run->acted) {
        if (what != nullptr && strcmp(what, "skipped") == 0)
            (void)velk_OutcomeRecord(&run->outcome, path.c_str(), what, nullptr);
        else if (what != nullptr)
            (void)velk_OutcomeRecord(&run->outcome, path.c_str(), "failed", what);
        else if (done)
            (void)velk_OutcomeRecord(&run->outcome, path.c_str(), changed, nullptr);
        else
            (void)velk_OutcomeRecord(&run->outcome, path.c_str(), "failed", "index not rewritten");
    }
}

// The name of a storage-system index's replacement: ".B.pid" in the
// index's own directory.  0, or -1 when it does not fit.
int copyNames(DeleteRun *run)
{
    const char *path = velk_index_filename;
    const char *slash = strrchr(path, '/');
    const int pid = static_cast<int>(getpid());
    int n1;
    if (slash == nullptr) {
        n1 = snprintf(run->newName, sizeof run->newName, ".%s.%d", path, pid);
    } else {
        const int dirLen = static_cast<int>(slash - path);
        n1 = snprintf(run->newName, sizeof run->newName, "%.*s/.%s.%d", dirLen, path, slash + 1, pid);
    }
    if (n1 < 0 || static_cast<size_t>(n1) > kNameMax) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: index file name too long: %s\n", __func__, path);
        return -1;
    }
    return 0;
}

// Creates the new storage-system index with the old one's size as hints
// and the index class of service (the old index's unless one was given).
int createNewQuorIndex(DeleteRun *run, uint64_t size)
{
    if (copyNames(run) != 0)
        return -1;
    console_message("creating new QUOR Index file", run->newName);
    quor_cos_hints_t hints;
    quor_cos_priorities_t prio;
    memset(&hints, 0, sizeof hints);
    memset(&prio, 0, sizeof prio);
    if (run->index->cosId >= 1) {
        hints.COSId = static_cast<uint32_t>(run->index->cosId);
        prio.COSIdPriority = 30;
    }
    hints.MinFileSize = hints.MaxFileSize = size;
    prio.MinFileSizePriority = prio.MaxFileSizePriority = 20;
    (void)quor_Unlink(run->newName);
    int fd = quor_Open(run->newName, O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &prio, nullptr);
    if (fd < 0) {
        if (fd == -ENOENT)
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Nonexistent path (do you need -P?) creating archive file %s\n",
                        run->newName);
        else if (fd == -EACCES || fd == -EPERM)
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Permision error creating new index file %s\n", run->newName);
        else {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d on quor_Open (create) for %s\n", fd, run->newName);
            velk_Explain(VELK_MSG_ERROR, fd, run->newName);
        }
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    run->newFd = fd;
    run->buf.resize(kCopyEntries * sizeof(hif_entry_t));
    console_message("copying index file header to ", run->newName);
    // The header goes over byte for byte.
    unsigned char header[HIF_HDR_SIZE];
    if (pread(run->readFd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Fatal: error repositioning Index file %s\n", velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_BlockWrite(fd, run->newName, VELK_QUOR_FILE, static_cast<int>(sizeof header), header) !=
        static_cast<int>(sizeof header)) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// Writes the buffered entries to the new storage-system index.
int flushCopy(DeleteRun *run)
{
    if (run->buffered == 0)
        return 0;
    const int bytes = static_cast<int>(run->buffered * sizeof(hif_entry_t));
    run->buffered = 0;
    if (velk_BlockWrite(run->newFd, run->newName, VELK_QUOR_FILE, bytes, run->buf.data()) != bytes) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// Puts the complete new storage-system index in the old one's place: the
// gateway's rename replaces it in one step, so the index name always holds
// the old index or the new one.  A lost reply that leaves unknown which
// keeps the new file (run->keepNew) and names it.
int swapQuorIndex(DeleteRun *run)
{
    const char *fn = "velk_CommonDeleteUndelete";
    (void)velk_ExpireSetExpiration(run->index->setExpiration, run->newName);
    console_message("renaming index files", "");
    int rc = velk_GatewayRename(run->newName, velk_index_filename);
    if (rc == VELK_RENAME_UNKNOWN) {
        char option[kNameMax + 3];
        velk_IndexOptionName(run->newName, option, sizeof option);
        velk_LogFmt(VELK_MSG_ERROR, MSG,
                    "%s: Index file %s holds the changes if %s no longer exists, otherwise it is the old index and "
                    "%s the changed one (read the archive with -I %s)\n",
                    fn, velk_index_filename, run->newName, run->newName, option);
        velk_SetExitCode(VELK_EXIT_IOERR);
        run->keepNew = true;
        return -1;
    }
    if (rc < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: error %d attempting to rename new index file [%s] to [%s]\n", fn, rc,
                    run->newName, velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("%s:successfully renamed new index [%s] to original name [%s]\n", fn, run->newName,
                       velk_index_filename);
    return 0;
}

// The archive's size in bytes.  0, or -1 after the message.
int archiveSize(uint64_t *size)
{
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    int rc = ops->file_size(velk_archive, size);
    if (rc < 0) {
        // A local failure is shown as its errno, a gateway one as its code.
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d getting attributes for %s archive file %s\n",
                    ops->through_gateway ? rc : -rc, ops->name, velk_archive);
        velk_Explain(VELK_MSG_ERROR, rc, velk_archive, rc == -ENOENT ? VELK_ADVICE_ARCHIVE_MISSING : nullptr);
        return -1;
    }
    return 0;
}

// The index must describe the archive as it is: same size, and the
// archive's consistency member equal to the index's record.
int consistencyCheck(DeleteRun *run)
{
    uint64_t actual = 0;
    if (archiveSize(&actual) != 0)
        return -1;
    const uint64_t recorded = velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize);
    if (actual != recorded) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Fatal: Archive file %s size = %lu\n", velk_archive,
                    static_cast<unsigned long>(actual));
        velk_LogFmt(VELK_MSG_ERROR, MSG, "       is inconsistent with size of %lu from Index File %s\n",
                    static_cast<unsigned long>(recorded), velk_index_filename);
        return -1;
    }
    int archiveFd = velk_OpenArchiveFile(O_RDONLY, nullptr, nullptr);
    if (archiveFd < 0)
        return -1;
    velk_archive_blocks = (actual + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE;
    int rc = velk_VerifyConsistencyFile(run->index, archiveFd, velk_filetype, run->readFd, VELK_LOCAL_FILE);
    (void)velk_CurrentArchiveKind()->close(archiveFd);
    return rc;
}

// Whether entry may change: only files and links carry the mark.  A named
// entry that may not (a directory, the consistency member) is reported and
// counted, for the run must then fail; without names such entries are
// simply passed over.
bool changeable(DeleteRun *run, const hif_entry_t *entry, int64_t ordinal, bool foreign, const char *path)
{
    const bool named = run->members->count > 0;
    const uint32_t type = velk_Get32(entry->hent_type);
    const bool consistency = !foreign && ordinal == run->total - 1;
    if (!consistency && (type == VTO_FILE || type == VTO_HARDLINK || type == VTO_SYMLINK))
        return true;
    if (!named) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/passing over entry that cannot change: %s\n", path);
        return false;
    }
    if (consistency)
        velk_ErrPrintf("WARNING: Cannot %s Consistency File index entry [%s]\n", run->word, path);
    else
        velk_ErrPrintf("WARNING: Cannot %s directory '%s'\n", run->word, path);
    run->refused++;
    run->note(path, "cannot change");
    return false;
}

// With member names an entry is selected only by a name of its own path;
// without names every entry is (-H norecurse: those at the top).
bool entrySelected(const velk_members_t *members, const hif_entry_t *entry)
{
    if (members->count > 0)
        return velk_IndexEntryNamed(entry, members->table, members->count) != 0;
    return velk_IndexEntryWasSelected(entry, members->table, members->count) != 0;
}

// Goes through every entry, changing the selected ones.  0, or -1 (the
// user quit, or an error).
int processEntries(DeleteRun *run, bool foreign)
{
    console_message("reading index file", "");
    if (velk_IndexReadInit(run->index) != 0 || velk_IndexFileRewind(run->index, run->readFd, VELK_LOCAL_FILE) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Fatal: error repositioning Index file %s\n", velk_index_filename);
        return -1;
    }
    bool ask = velk_Opt(VELK_OPT_CONFIRM);
    for (int64_t ordinal = 0; ordinal < run->total; ++ordinal) {
        if (velk_shutdown_signalled.load() != 0) {
            velk_LogMsg(VELK_MSG_ERROR, MSG, "Interrupted by a forced shutdown\n");
            return -1;
        }
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(run->index, run->readFd, VELK_LOCAL_FILE, 0, &entry, &eof) != 0)
            return -1;
        if (eof != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Index file %s ends after %ld of %ld entries\n", velk_index_filename,
                        static_cast<long>(ordinal), run->total);
            return -1;
        }
        if (!velk_IndexEntrySane(entry)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Hmmm- %s does not appear to be a file created by velk.\n",
                        velk_index_filename);
            return -1;
        }
        hif_entry_t changed = *entry;
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(entry, path, sizeof path);
        const uint32_t flags = velk_Get32(entry->hent_flags);
        if ((flags & HIF_FLAG_PHANTOM) != 0) {
            run->phantom++;
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/skipping phantom index entry %ld\n", static_cast<long>(ordinal));
        } else if (run->ordinals.active ? velk_EntrySelected(&run->ordinals, entry, ordinal) == 0
                                        : !entrySelected(run->members, entry)) {
            if (velk_debug_level >= 3)
                velk_ErrPrintf("/debug/skipping unselected entry: %s\n", path);
        } else {
            velk_MemberNamesSelected(&run->names, entry);
            if (changeable(run, entry, ordinal, foreign, path)) {
                int answer =
                    ask ? velk_GetYesNo(run->isDelete ? "delete" : "undelete", nullptr, path) : VELK_ANSWER_YES;
                if (answer == VELK_ANSWER_QUIT)
                    return -1;
                if (answer == VELK_ANSWER_ALL)
                    ask = false;
                if (answer == VELK_ANSWER_NO) {
                    run->skipped++;
                    run->note(path, "skipped");
                } else {
                    velk_Put32(changed.hent_flags,
                               run->isDelete ? (flags | HIF_FLAG_DELETED) : (flags & ~HIF_FLAG_DELETED));
                    printf("%s: %c  %s\n", velk_msg_prefix[VELK_MSG_VELK], run->isDelete ? 'd' : 'u', path);
                    run->modified++;
                    run->note(path, nullptr);
                    if (!run->copyMode && velk_IndexRewriteEntry(run->rwFd, &changed, ordinal) != 0)
                        return -1;
                }
            }
        }
        if (run->copyMode) {
            memcpy(run->buf.data() + run->buffered * sizeof(hif_entry_t), &changed, sizeof changed);
            if (++run->buffered == kCopyEntries && flushCopy(run) != 0)
                return -1;
        }
    }
    return run->copyMode ? flushCopy(run) : 0;
}

// Closes what is still open; an unfinished new storage-system index is
// removed.
void closeAll(DeleteRun *run, bool removeNew)
{
    if (run->newFd >= 0) {
        (void)quor_Close(run->newFd);
        run->newFd = -1;
    }
    if (removeNew && !run->keepNew && run->newName[0] != '\0')
        (void)quor_Unlink(run->newName);
    if (run->rwFd >= 0) {
        if (close(run->rwFd) != 0)
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d closing %s index file %s\n", "velk_CommonDeleteUndelete",
                        errno, "local", velk_index_filename);
        run->rwFd = -1;
    }
    if (run->readFd >= 0) {
        close(run->readFd);
        run->readFd = -1;
    }
}

// Sends the changed local copy of a gateway-host index back in place of
// the old one.  0 or -1 (message, status 72).
int sendBackRemoteIndex(DeleteRun *run)
{
    if (close(run->rwFd) != 0) {
        run->rwFd = -1;
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d closing %s index file %s\n", "velk_CommonDeleteUndelete", errno,
                    "local", run->index->tmpName);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    run->rwFd = -1;
    // The copy is sent as it stands: its entries are the old index's with
    // the delete marks changed.
    run->index->tmpFd = open(run->index->tmpName, O_RDONLY | O_CLOEXEC);
    if (run->index->tmpFd < 0 || velk_SendIndexToRemote(run->xfer, run->index) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// The work between opening the index and the final line.  0 or -1.
int deleteUndelete(DeleteRun *run)
{
    const int kind = velk_filetype;
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(kind);
    uint64_t oldSize = 0;
    // A storage-system index is rewritten as a new file with its class of
    // service; a gateway-host one is changed in its local copy, which then
    // goes back whole; a local one is changed where it is.
    const bool remote = ops->through_gateway && !ops->has_layout;
    if (ops->has_layout) {
        quor_Attrs_t attrs;
        memset(&attrs, 0, sizeof attrs);
        int rc = quor_GetListAttrs(velk_index_filename, &attrs);
        if (rc < 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: error %d getting attributes for QUOR index file [%s]\n",
                        "velk_CommonDeleteUndelete", rc, velk_index_filename);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        oldSize = attrs.DataLength;
        if (run->index->cosId < 1)
            run->index->cosId = static_cast<int>(attrs.COSId);
    }
    // A storage-system index is read through a local copy of it.
    run->readFd = velk_OpenIndexFile(run->xfer, run->index, velk_index_filename, O_RDONLY, kind);
    if (run->readFd < 0)
        return -1;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("[debug] successfully opened Index file for reading on FD=%d\n", run->readFd);
    run->copyMode = ops->has_layout;
    if (!run->copyMode) {
        run->rwFd = open(remote ? run->index->tmpName : velk_index_filename, O_RDWR | O_CLOEXEC);
        if (run->rwFd < 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: error %d opening rewrite file for %s index file [%s]\n",
                        "velk_CommonDeleteUndelete", errno, remote ? "tmp REMOTE" : "local", velk_index_filename);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
    }
    run->total = static_cast<long>(std::min<int64_t>(velk_Get32(velk_index_hdr.hif_hdr.obj_count), velk_index_entries));
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ Index file contains %d entries\n", static_cast<int>(run->total));
    if (velk_OrdinalsCheck(&run->ordinals, run->total) != 0)
        return -1;
    const bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
    if (!velk_Opt(VELK_OPT_NOCFCHK) && !foreign && consistencyCheck(run) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (run->copyMode && createNewQuorIndex(run, oldSize) != 0)
        return -1;
    if (processEntries(run, foreign) != 0)
        return -1;
    if (run->copyMode) {
        int rc = quor_Close(run->newFd);
        run->newFd = -1;
        if (rc < 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d closing QUOR index file %s\n", rc, run->newName);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        if (swapQuorIndex(run) != 0)
            return -1;
        run->newName[0] = '\0';
    }
    if (remote && run->modified > 0 && sendBackRemoteIndex(run) != 0)
        return -1;
    return 0;
}

} // namespace

int velk_IndexRewriteEntry(int fd, const hif_entry_t *entry, int64_t ordinal)
{
    const off_t at = static_cast<off_t>(HIF_HDR_SIZE + sizeof(hif_entry_t) * static_cast<uint64_t>(ordinal));
    const auto *p = reinterpret_cast<const unsigned char *>(entry);
    size_t done = 0;
    while (done < sizeof(hif_entry_t)) {
        ssize_t n = pwrite(fd, p + done, sizeof(hif_entry_t) - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d rewriting Index File %s entry %ld\n", velk_ProgramName(),
                        n < 0 ? errno : EIO, velk_index_filename, static_cast<long>(ordinal));
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

int velk_CommonDeleteUndelete(velk_run_t *run, int isDelete)
{
    DeleteRun del;
    del.xfer = &run->xfer;
    del.index = &run->index;
    del.members = &run->members;
    del.isDelete = isDelete != 0;
    del.word = del.isDelete ? "Delete" : "Undelete";
    del.outcome.records = run->records;
    del.outcome.action = del.isDelete ? "delete" : "undelete";
    del.names.exact = true;
    if (velk_GenFilelist(run) < 0 || velk_OrdinalsPrepare(&del.ordinals, &run->members) != 0 ||
        (!del.ordinals.active && velk_MemberNamesPrepare(&del.names, &run->members) != 0)) {
        velk_FinalLine(false);
        return -1;
    }
    if (velk_CurrentArchiveKind()->is_pipe) {
        // Nothing was changed: a refused pipe must not end as a success.
        velk_LogMsg(VELK_MSG_ERROR, MSG, "<DELETE> and <UNDELETE> functions do not work with piped Archive File\n");
        velk_SetExitCode(VELK_EXIT_USAGE);
        velk_FinalLine(false);
        return -1;
    }
    const bool done = deleteUndelete(&del) == 0;
    bool ok = done;
    closeAll(&del, !ok);
    recordActed(&del, done);
    if (ok && velk_MemberNamesReportMissing(&del.names) > 0)
        ok = false;
    if (done && del.refused > 0) {
        // A name asked for a change that cannot be made: not a success.
        for (long i = 0; i < del.refused; i++)
            velk_NoteFailure("cannot change");
        velk_SetExitCode(VELK_EXIT_USAGE);
        ok = false;
    }
    if (done && (velk_debug_level >= 1 || velk_Opt(VELK_OPT_STATS) || velk_Opt(VELK_OPT_VERBOSE)))
        printf("%s: %s complete. total index entries: %ld entries modified: %ld entries skipped by user: %ld "
               "phantom entries: %ld\n",
               velk_msg_prefix[VELK_MSG_VELK], del.word, del.total, del.modified, del.skipped, del.phantom);
    console_message("", "");
    velk_FinalLine(ok);
    fflush(stdout);
    return ok ? 0 : -1;
}

int velk_Delete(velk_run_t *run)
{
    return velk_CommonDeleteUndelete(run, 1);
}

int velk_Undelete(velk_run_t *run)
{
    return velk_CommonDeleteUndelete(run, 0);
}
