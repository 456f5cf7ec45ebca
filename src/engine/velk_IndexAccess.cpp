// Opening an index file of any kind (the size of a storage-system or
// gateway-host index comes from the client library, the bytes of a local
// one from the index file unit), asking whether one exists, and placing a
// create's finished index in the storage system under a temporary name
// that is renamed over the old index only when complete.  Initial thread
// only; no locks.

#include "velk_IndexAccess.h"
#include "velk_Expire.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "velk_ArchiveFile.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_Lfx.h"
#include "velk_LogMsg.h"

namespace {

const char *orEmptyTmp()
{
    return velk_tmpIndexFile != nullptr ? velk_tmpIndexFile : "";
}

// The size of a storage-system (VELK_QUOR_FILE) or gateway-host index file.
// 0 with *size set, or -1 with a message and exit status 72.
int remoteIndexSize(const char *path, int kind, uint64_t *size)
{
    if (kind == VELK_QUOR_FILE) {
        quor_fileattr_t attr;
        memset(&attr, 0, sizeof attr);
        int rc = quor_FileGetAttributes(path, &attr);
        if (rc < 0) {
            if (rc == -EACCES)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Permission problem getting attributes for: %s\n", path);
            else if (rc == -ENOENT)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "No such file: %s\n", path);
            else
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d getting Index File attributes for %s\n", rc,
                            path);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        *size = attr.Attrs.DataLength;
        return 0;
    }
    lfx_Stat_rply_t st;
    memset(&st, 0, sizeof st);
    int rc = kylgw_LfxStat(path, &st);
    if (rc < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d getting attributes for remote index file %s\n",
                    -rc, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *size = st.hst_size;
    return 0;
}

// Opens storage-system file path, waiting 10 seconds and trying again
// while the gateway says it is busy.  The descriptor, or negative.
int openQuorBusyRetry(const char *path, int openFlags)
{
    for (;;) {
        int fd = quor_Open(path, openFlags, 0666, nullptr, nullptr, nullptr);
        if (fd != -EAGAIN && fd != -6005 && fd != -1411)
            return fd;
        sleep(10);
    }
}

// Copies the storage-system index path (size bytes) into a new temporary
// local index, 4 MiB per sequential read, and opens that as the index.
// Returns the local descriptor, or -1 after a message.
int openQuorIndexCopy(const char *path, int openFlags, uint64_t size)
{
    const char *kind = velk_IndexKindName(VELK_QUOR_FILE);
    int qfd = openQuorBusyRetry(path, openFlags);
    if (qfd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening %s index file: %s\n", qfd, kind, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_CreateTmpIndexFile() != 0) {
        (void)quor_Close(qfd);
        return -1;
    }
    std::vector<unsigned char> buf(VELK_INDEX_BUFSIZE);
    uint64_t copied = 0;
    int rc = 0;
    while (rc == 0 && copied < size) {
        const int want = static_cast<int>(std::min<uint64_t>(buf.size(), size - copied));
        int n = velk_BlockRead(qfd, path, VELK_QUOR_FILE, want, buf.data());
        if (n < want) {
            // A file shorter than its attributes said is as bad as an error.
            if (n >= 0)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d reading %d bytes from index file %s\n",
                            EIO, want, path);
            rc = -1;
        } else if (write(velk_tmpIndexFD, buf.data(), static_cast<size_t>(n)) != n) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing temporary index file %s\n", errno,
                        velk_tmpIndexFile);
            rc = -1;
        }
        copied += static_cast<uint64_t>(std::max(n, 0));
    }
    (void)quor_Close(qfd);
    close(velk_tmpIndexFD);
    velk_tmpIndexFD = -1;
    if (rc != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_OpenLocalIndexFile(velk_tmpIndexFile, O_RDONLY, VELK_LOCAL_FILE);
}

// Receives the gateway-host index path (size bytes) whole into a new
// temporary local index and opens that as the index.  Returns the local
// descriptor, or -1 after a message.
int openRemoteIndexCopy(const char *path, uint64_t size)
{
    if (velk_CreateTmpIndexFile() != 0)
        return -1;
    int rc = velk_LfxReceiveFile(RMTIO_FILE, nullptr, velk_tmpIndexFD, velk_tmpIndexFile, -1, path, 0, 0, size, nullptr,
                                 nullptr);
    close(velk_tmpIndexFD);
    velk_tmpIndexFD = -1;
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening %s index file: %s\n", rc,
                    velk_IndexKindName(VELK_REMOTE_FILE), path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_OpenLocalIndexFile(velk_tmpIndexFile, O_RDONLY, VELK_LOCAL_FILE);
}

} // namespace

int velk_OpenIndexFile(const char *path, int openFlags, int kind)
{
    if (kind != VELK_QUOR_FILE && kind != VELK_REMOTE_FILE)
        return velk_OpenLocalIndexFile(path, openFlags, kind);
    uint64_t size = 0;
    if (remoteIndexSize(path, kind, &size) != 0)
        return -1;
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s: Index File %s is %lu bytes in length\n", __func__, path,
                       static_cast<unsigned long>(size));
        velk_ErrPrintf("/debug/ opening %s index file %s\n", velk_IndexKindName(kind), path);
    }
    if (kind == VELK_QUOR_FILE)
        return openQuorIndexCopy(path, openFlags, size);
    return openRemoteIndexCopy(path, size);
}

int velk_IndexFileDoesExist(const char *path, int kind)
{
    if (path == nullptr)
        return 0;
    if (kind == VELK_QUOR_FILE) {
        quor_fileattr_t attr;
        memset(&attr, 0, sizeof attr);
        return quor_FileGetAttributes(path, &attr) == 0 ? 1 : 0;
    }
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

namespace {

// Class-of-service hints for an index of size bytes: as for the archive,
// with no fallback class.
void indexHints(uint64_t size, quor_cos_hints_t *hints, quor_cos_priorities_t *prios)
{
    memset(hints, 0, sizeof *hints);
    memset(prios, 0, sizeof *prios);
    hints->MinFileSize = size;
    hints->MaxFileSize = size;
    prios->MinFileSizePriority = 20;
    prios->MaxFileSizePriority = 20;
    if (velk_index_cosID >= 1) {
        hints->COSId = static_cast<uint32_t>(velk_index_cosID);
        prios->COSIdPriority = 30;
    } else if (velk_index_cosID == 0) {
        long subsys = velk_GetParentSubsysID(velk_index_filename);
        (void)quorex_SelectCOS(nullptr, size, static_cast<uint32_t>(velk_UID), static_cast<uint32_t>(velk_GID),
                               curAcctId, static_cast<uint32_t>(copyCount), static_cast<uint32_t>(subsys), hints,
                               prios);
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug]Index File Hints: COS ID=%d, priority=%d Size=%lu\n", static_cast<int>(hints->COSId),
                       static_cast<int>(prios->COSIdPriority), static_cast<unsigned long>(size));
}

// Writes the temporary index's header and every entry, adjusted, to the
// storage-system file qfd, 8192 entries at a time.  0 or -1 (message).
int writeAdjustedIndex(int qfd, const char *name, unsigned char *buf)
{
    if (pread(velk_tmpIndexFD, buf, HIF_HDR_SIZE, 0) != static_cast<ssize_t>(HIF_HDR_SIZE) ||
        velk_BlockWrite(qfd, name, VELK_QUOR_FILE, static_cast<int>(HIF_HDR_SIZE), buf) !=
            static_cast<int>(HIF_HDR_SIZE) ||
        velk_IndexFilePosition(velk_tmpIndexFD, VELK_LOCAL_FILE, 0) != 0 || velk_IndexReadInit() != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing index file header to %s\n", errno, name);
        return -1;
    }
    int held = 0;
    for (int64_t ordinal = 0;; ordinal++) {
        hif_entry_t *e = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(velk_tmpIndexFD, VELK_LOCAL_FILE, 0, &e, &eof) != 0)
            return -1;
        if (!eof) {
            auto *slot = reinterpret_cast<hif_entry_t *>(buf + static_cast<size_t>(held) * HIF_ENTRY_SIZE);
            if (velk_AdjustIndexEntry(ordinal, e, slot) != 0)
                return -1;
            held++;
        }
        if (held > 0 && (held == VELK_INDEX_BUFENTRIES || eof)) {
            int bytes = held * static_cast<int>(HIF_ENTRY_SIZE);
            if (velk_BlockWrite(qfd, name, VELK_QUOR_FILE, bytes, buf) != bytes) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error writing %d index entries to %s\n", held, name);
                return -1;
            }
            held = 0;
        }
        if (eof)
            return 0;
    }
}

// The end of placing a new index written under tmp (rc: its result so
// far): a requested stop fails it, then beforeRename runs and the file is
// renamed over final.  On any failure tmp is removed with removeTmp, status
// 72 set and, unless the step before the rename failed (nothing was put in
// place, so the old archive and index still belong together), the
// copy-failure hint given.  0 or -1.
int placeIndex(int rc, const char *tmp, const char *final, int (*beforeRename)(), int (*removeTmp)(const char *))
{
    if (rc == 0 && velk_shutdown_signalled.load() != 0)
        rc = -1;
    bool beforeFailed = false;
    if (rc == 0 && beforeRename != nullptr && beforeRename() != 0) {
        rc = -1;
        beforeFailed = true;
    }
    int moved;
    if (rc == 0 && (moved = quor_Rename(tmp, final)) < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d putting Index File %s in place of %s\n", moved, tmp,
                    final);
        rc = -1;
    }
    console_message("", "");
    if (rc != 0) {
        (void)removeTmp(tmp);
        velk_SetExitCode(VELK_EXIT_IOERR);
        if (!beforeFailed)
            index_CopyFailure();
        return -1;
    }
    return 0;
}

} // namespace

int velk_CopyIndexToQuor(int (*beforeRename)())
{
    if (velk_filetype == VELK_PIPE) {
        velk_LogMsg(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                    "velk_CopyIndexToQuor: need index file copy code for piped Archive File\n");
        return 0;
    }
    console_message("copying Index File to QUOR", "...Creating file");
    const char *final = velk_index_filename != nullptr ? velk_index_filename : "";
    char tmp[PATH_MAX];
    if (velk_ArchiveTmpName(final, tmp, sizeof tmp) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on quor_Open (create) for Index File %s\n",
                    -ENAMETOOLONG, final);
        velk_SetExitCode(VELK_EXIT_IOERR);
        index_CopyFailure();
        return -1;
    }
    std::vector<unsigned char> buf(VELK_INDEX_BUFSIZE);
    struct stat st;
    uint64_t size = fstat(velk_tmpIndexFD, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    quor_cos_hints_t hints;
    quor_cos_priorities_t prios;
    quor_cos_hints_t used;
    memset(&used, 0, sizeof used);
    indexHints(size, &hints, &prios);

    // The new index is written beside the old one and renamed over it only
    // when complete: a failure leaves the old index as it was.
    (void)quor_Unlink(tmp);
    int qfd = quor_Open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &prios, &used);
    if (qfd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on quor_Open (create) for Index File %s\n", qfd,
                    final);
        velk_SetExitCode(VELK_EXIT_IOERR);
        index_CopyFailure();
        return -1;
    }
    if (used.COSId != 0)
        velk_index_cosID = static_cast<int>(used.COSId);
    if (velk_index_familyid > 0) {
        int rc = velk_SetFamilyID(tmp, velk_index_familyid);
        if (rc < 0)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                        "[warning] Error %d returned when trying to set family ID %d for index file '%s'\n", rc,
                        velk_index_familyid, final);
    }
    int rc = writeAdjustedIndex(qfd, tmp, buf.data());
    int closed = quor_Close(qfd);
    if (rc == 0 && closed < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d closing QUOR index file %s\n", closed, final);
        rc = -1;
    }
    (void)velk_ExpireSetExpiration(tmp);
    return placeIndex(rc, tmp, final, beforeRename, quor_Unlink);
}

void velk_SyncIndexDirectory(const char *path)
{
    const char *slash = strrchr(path, '/');
    std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Error %d flushing the directory of Index file %s\n", errno,
                    path);
    if (fd >= 0)
        close(fd);
}

int velk_CopyIndexToRemote(int (*beforeRename)())
{
    if (velk_filetype == VELK_PIPE) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: need index file copy code for piped Archive File\n",
                    __func__);
        return 0;
    }
    // The entries get the members' outcomes first, as for the storage
    // system.
    if (velk_CopyAndAdjustLocalIndex() != 0)
        return -1;
    return velk_SendIndexToRemote(beforeRename);
}

int velk_SendIndexToRemote(int (*beforeRename)())
{
    const char *final = velk_index_filename != nullptr ? velk_index_filename : "";
    char tmp[PATH_MAX];
    if (velk_ArchiveTmpName(final, tmp, sizeof tmp) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "*** %s: Error on velk_LocalFileSend for temp index file: %s\n",
                    __func__, orEmptyTmp());
        velk_SetExitCode(VELK_EXIT_IOERR);
        index_CopyFailure();
        return -1;
    }
    // The new index goes beside the old one and is renamed over it only
    // when complete, so a failure leaves the old index as it was.
    console_message("copying Index File to remote host", "...Creating file");
    struct stat st;
    const uint64_t size = fstat(velk_tmpIndexFD, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    (void)kylgw_LfxUnlink(tmp);
    int rc = velk_LfxSendFile(RMTIO_FILE, nullptr, velk_tmpIndexFD, velk_tmpIndexFile, tmp, 0, 0, size, nullptr);
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "*** %s: Error on velk_LocalFileSend for temp index file: %s\n",
                    __func__, orEmptyTmp());
        rc = -1;
    }
    if (placeIndex(rc, tmp, final, beforeRename, kylgw_LfxUnlink) != 0)
        return -1;
    return velk_IndexFileRewind(velk_tmpIndexFD, VELK_LOCAL_FILE) == 0 ? 0 : -1;
}
