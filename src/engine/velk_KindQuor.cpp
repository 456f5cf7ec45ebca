// The storage-system kind: archive and index files kept by the storage
// system behind the gateway, reached through the client library.  A new
// archive gets class-of-service hints, a family and a storage layout; a
// busy storage system is waited for; an index is read through a temporary
// local copy and placed by writing a new file beside it that is renamed
// over it when complete.  Called as velk_ArchiveKind.h describes.

#include "velk_ArchiveKind.h"
#include "velk_Env.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <climits>
#include <unistd.h>
#include <vector>

#include "velk_ArchiveFile.h"
#include "velk_Expire.h"
#include "velk_FileAccess.h"
#include "velk_GatewayRename.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_QuorArchiveReader.h"
#include "velk_QuorArchiveWriter.h"
#include "velk_StatusFifo.h"
#include "velk_Utils.h"

namespace {

void failIo()
{
    velk_SetExitCode(VELK_EXIT_IOERR);
}

void quorAttrFailure(int rc)
{
    if (rc == -EACCES)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no permission to access QUOR archive file: %s\n",
                    velk_archive);
    else if (rc == -ENOENT)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such QUOR archive file: %s\n", velk_archive);
    else {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] error %d getting attributes for QUOR archive file %s\n",
                    rc, velk_archive);
        velk_Explain(VELK_MSG_ERROR, rc, velk_archive);
    }
    failIo();
}

bool isBusy(int rc)
{
    return rc == -EAGAIN || rc == KYLGW_E_STAGING || rc == KYLGW_E_MIGRATING;
}

// Class-of-service hints for the archive: explicit, automatic by size, or
// class 11 as the fallback.
void archiveHints(const velk_xfer_settings_t *xs, const velk_archive_t *archive, quor_cos_hints_t *hints,
                  quor_cos_priorities_t *prios)
{
    hints->MinFileSize = archive->size;
    hints->MaxFileSize = archive->size;
    prios->MinFileSizePriority = 20;
    prios->MaxFileSizePriority = 20;
    if (velk_archive_cosID >= 1) {
        hints->COSId = static_cast<uint32_t>(velk_archive_cosID);
        prios->COSIdPriority = 30;
    } else if (velk_archive_cosID == 0) {
        long subsys = velk_GetParentSubsysID(velk_archive);
        int rc =
            quorex_SelectCOS(nullptr, archive->size, static_cast<uint32_t>(xs->uid), static_cast<uint32_t>(xs->gid),
                             xs->acctId, static_cast<uint32_t>(copyCount), static_cast<uint32_t>(subsys), hints, prios);
        if (rc >= 0)
            velk_archive_cosID = static_cast<int>(hints->COSId);
    }
    if (velk_archive_cosID < 1) {
        velk_archive_cosID = 11;
        hints->COSId = 11;
        prios->COSIdPriority = 30;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug] Hints: COS ID=%d, priority=%d Size=%lu\n", static_cast<int>(hints->COSId),
                       static_cast<int>(prios->COSIdPriority), static_cast<unsigned long>(archive->size));
}

// Records the class the new archive got (warning when it is not the one
// asked for) and sets its family.
void noteArchiveClass(const velk_archive_t *archive, const char *tmp, int asked, const quor_cos_hints_t &used)
{
    if (asked >= 1 && used.COSId != static_cast<uint32_t>(asked)) {
        char name[QUOR_COSNAME_SIZE + 1];
        memcpy(name, used.COSName, QUOR_COSNAME_SIZE);
        name[QUOR_COSNAME_SIZE] = '\0';
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                    "[warning] File '%s' created on COS %d [%s] instead of specified COS %d\n", velk_archive,
                    static_cast<int>(used.COSId), name, asked);
    }
    if (used.COSId != 0)
        velk_archive_cosID = static_cast<int>(used.COSId);
    if (archive->familyId > 0) {
        int rc = velk_SetFamilyID(tmp, archive->familyId);
        if (rc < 0)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                        "[warning] Error %d returned when trying to set family ID %d for File '%s'\n", rc,
                        archive->familyId, velk_archive);
    }
}

int createQuorFile(const velk_xfer_settings_t *xs, const velk_archive_t *archive)
{
    const char *tmp = velk_archive_tmpname;
    console_message("creating QUOR Archive file", velk_archive);
    quor_cos_hints_t hints;
    quor_cos_priorities_t prios;
    quor_cos_hints_t used;
    memset(&hints, 0, sizeof hints);
    memset(&prios, 0, sizeof prios);
    memset(&used, 0, sizeof used);
    int asked = velk_archive_cosID;
    archiveHints(xs, archive, &hints, &prios);

    (void)quor_Unlink(tmp);
    int fd = quor_Open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &prios, &used);
    if (fd < 0) {
        if (fd == -ENOENT)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "Nonexistent path (do you need -P?) creating archive file %s\n", velk_archive);
        else if (fd == -EPERM)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Permision error creating archive file %s\n", velk_archive);
        else {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on quor_Open (create) for %s\n", fd, velk_archive);
            velk_Explain(VELK_MSG_ERROR, fd, velk_archive);
        }
        return -1;
    }
    velk_archive_fd = fd;
    noteArchiveClass(archive, tmp, asked, used);
    quor_xfileattr_t xattr;
    memset(&xattr, 0, sizeof xattr);
    int got = quor_FileGetXAttributes(tmp, 8, 0, &xattr);
    if (got < 0) {
        quorAttrFailure(got);
        return -1;
    }
    int rc = velk_GetArchiveStripeInfo(0, &xattr);
    quor_FreeXAttributes(&xattr);
    return rc;
}

int createQuor(const velk_xfer_settings_t *xs, const velk_archive_t *archive)
{
    int rc = velk_SetPendingArchive(velk_archive);
    return rc == 0 ? createQuorFile(xs, archive) : rc;
}

int attrsQuor(quor_xfileattr_t *xattr, struct stat *)
{
    int rc = quor_FileGetXAttributes(velk_archive, 8, 0, xattr);
    if (rc < 0) {
        quorAttrFailure(rc);
        return -1;
    }
    return 0;
}

void openFailure(int fd)
{
    if (fd == -ENOENT)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such QUOR archive file: %s\n", velk_archive);
    else if (fd == -EISDIR)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] QUOR archive file is a directory: %s\n", velk_archive);
    else if (fd == -EACCES)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no permission to open QUOR archive file: %s\n",
                    velk_archive);
    else {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] error %d opening QUOR archive file %s\n", fd,
                    velk_archive);
        velk_Explain(VELK_MSG_ERROR, fd, velk_archive);
    }
    failIo();
}

int openQuor(int openFlags, quor_xfileattr_t *xattr, struct stat *)
{
    double start = velk_GetTimestamp();
    quor_Attrs_t attrs;
    memset(&attrs, 0, sizeof attrs);
    int rc = quor_GetListAttrs(velk_archive, &attrs);
    if (rc < 0) {
        failIo();
        return rc;
    }
    // A symbolic link opens as the file it names; a directory or any
    // other object is refused.
    if (attrs.Type != QUOR_OBJTYPE_FILE && attrs.Type != QUOR_OBJTYPE_SYMLINK &&
        attrs.Type != QUOR_OBJTYPE_HARDLINKED_FILE) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Archive file %s is a directory or junction\n",
                    velk_archive);
        failIo();
        return -1;
    }
    if (velk_Opt(VELK_OPT_NOSTAGE))
        openFlags |= VELK_OPEN_NOSTAGE;
    int fd;
    // A busy storage system is waited for; a shutdown ends the wait.
    while (isBusy(fd = quor_Open(velk_archive, openFlags, 0666, nullptr, nullptr, nullptr))) {
        if (velk_shutdown_signalled.load()) {
            failIo();
            return fd;
        }
        velk_Env().busySleep(VELK_BUSY_RETRY_SECONDS);
    }
    if (fd < 0) {
        openFailure(fd);
        return fd;
    }
    if (velk_Opt(VELK_OPT_STATUS_FIFO))
        velk_StatusMsg(1, "ArchiveFile Open Time %.3f seconds", velk_GetTimestamp() - start);
    quor_xfileattr_t local;
    if (xattr == nullptr) {
        memset(&local, 0, sizeof local);
        xattr = &local;
    }
    if (attrsQuor(xattr, nullptr) != 0) {
        (void)quor_Close(fd);
        failIo();
        return -1;
    }
    if (xattr == &local)
        quor_FreeXAttributes(&local);
    return fd;
}

int quorSize(uint64_t *size)
{
    quor_xfileattr_t xattr;
    memset(&xattr, 0, sizeof xattr);
    if (attrsQuor(&xattr, nullptr) != 0)
        return -1;
    int rc = velk_GetArchiveStripeInfo(velk_Opt(VELK_OPT_NOSTAGE) ? 1 : 0, &xattr);
    *size = xattr.Attrs.DataLength;
    quor_FreeXAttributes(&xattr);
    return rc;
}

// The archive must be a plain file; a directory, symbolic link or junction
// has no size to list.
int actualSizeQuor(uint64_t *size)
{
    quor_fileattr_t attr;
    memset(&attr, 0, sizeof attr);
    int rc = quor_FileGetAttributes(velk_archive, &attr);
    if (rc < 0) {
        if (rc == -EACCES)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "[FATAL] no permission to get attrs. for QUOR archive file: %s\n", velk_archive);
        else if (rc == -ENOENT)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such QUOR archive file: %s\n", velk_archive);
        else
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "[FATAL] error %d getting attributes for QUOR archive file %s\n", rc, velk_archive);
        return -1;
    }
    if (attr.Attrs.Type != QUOR_OBJTYPE_FILE && attr.Attrs.Type != QUOR_OBJTYPE_HARDLINKED_FILE) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Archive file %s is a directory/symlink/junction\n",
                    velk_archive);
        return -1;
    }
    *size = attr.Attrs.DataLength;
    return 0;
}

// One plain seek, without the no-space retries of positionQuor.
int skipQuor(int fd, uint64_t bytes)
{
    uint64_t newOffset = 0;
    int rc = quor_SetFileOffset(fd, bytes, SEEK_CUR, QUOR_SET_OFFSET_FORWARD, &newOffset);
    if (rc < 0)
        return rc;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/ returned offset from quor_SetFileOffset = %lu\n",
                       static_cast<unsigned long>(newOffset));
    return 0;
}

int fileSizeQuor(const char *path, uint64_t *size)
{
    quor_Attrs_t attrs;
    memset(&attrs, 0, sizeof attrs);
    int rc = quor_GetListAttrs(path, &attrs);
    if (rc < 0)
        return rc;
    *size = attrs.DataLength;
    return 0;
}

const char *quorDirectionName(int direction)
{
    switch (direction) {
    case QUOR_SET_OFFSET_FORWARD: return "QUOR_SET_OFFSET_FORWARD";
    case QUOR_SET_OFFSET_BACKWARD: return "QUOR_SET_OFFSET_BACKWARD";
    default: return "???";
    }
}

int positionQuor(int theFd, uint64_t offsetIn, int posType, int quorDirection, uint64_t *offsetOut)
{
    int noSpaceCount = 0;
    for (;;) {
        if (velk_shutdown_signalled.load()) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "%s: shutdown requested - seek on QUOR-resident file stopped\n", "velk_PositionFile");
            return -1;
        }
        int rc = quor_SetFileOffset(theFd, offsetIn, posType, quorDirection, offsetOut);
        if (rc == 0) {
            if (velk_debug_level >= 2)
                velk_ErrPrintf("/debug/ returned offset from quor_SetFileOffset = %lu\n",
                               static_cast<unsigned long>(*offsetOut));
            return 0;
        }
        if (rc == -ENOSPC) {
            // The sixth no-space result in a row fails without a message of
            // its own: five waits were announced already.
            if (++noSpaceCount > VELK_MAX_NOSPACE_SEEK_RETRIES)
                return -1;
            velk_LogMsg(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                        "\"No Space\" error seeking on QUOR-resident file - delaying/retrying");
            velk_Env().nospaceSleep(VELK_NOSPACE_WAIT_SECONDS);
            continue;
        }
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Error %d seeking on QUOR-resident file. Type=%s Dir=%s Offset=%lu\n", rc,
                    velk_SeekTypeName(posType), quorDirectionName(quorDirection), static_cast<unsigned long>(offsetIn));
        return -1;
    }
}

// Reports a shutdown that stopped a busy-retry loop.
void subdirsStopped(const char *path)
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: shutdown requested - creation of subdirs stopped at %s",
                "velk_MakeAllSubdirs", path);
}

velk_subdir_probe_t probeQuor(const char *path)
{
    for (;;) {
        if (velk_shutdown_signalled.load()) {
            subdirsStopped(path);
            return VELK_PROBE_FAILED;
        }
        quor_stat_t st;
        memset(&st, 0, sizeof st);
        int rc = quor_Stat(path, &st);
        if (rc == 0)
            return velk_SubdirExisting(path, S_ISDIR(st.st_mode), "directory", "QUOR");
        if (rc == -ENOENT)
            return VELK_PROBE_MISSING;
        if (rc == -EAGAIN)
            continue;
        if (rc == -EACCES)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Access denied (QUOR permission problem) for %s",
                        "velk_MakeAllSubdirs", path);
        else
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d creating subdirs for %s",
                        "velk_MakeAllSubdirs", rc, path);
        return VELK_PROBE_FAILED;
    }
}

int mkdirQuor(const char *path, mode_t mode)
{
    for (;;) {
        if (velk_shutdown_signalled.load()) {
            subdirsStopped(path);
            return -1;
        }
        quor_stat_t st;
        memset(&st, 0, sizeof st);
        if (quor_Stat(path, &st) == 0 && S_ISDIR(st.st_mode))
            return 0;
        int rc = quor_Mkdir(path, mode);
        if (rc == 0 || rc == -EEXIST)
            return 0;
        if (rc == -EAGAIN)
            continue;
        return velk_SubdirCreateFailed(path, rc == -EPERM || rc == -EACCES, rc, "QUOR");
    }
}

// The size of the storage-system index path.  0 with *size set, or -1 with
// a message and exit status 72.
int quorIndexSize(const char *path, uint64_t *size)
{
    quor_fileattr_t attr;
    memset(&attr, 0, sizeof attr);
    int rc = quor_FileGetAttributes(path, &attr);
    if (rc < 0) {
        if (rc == -EACCES)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Permission problem getting attributes for: %s\n", path);
        else if (rc == -ENOENT)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "No such file: %s\n", path);
        else {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d getting Index File attributes for %s\n", rc, path);
            velk_Explain(VELK_MSG_ERROR, rc, path);
        }
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *size = attr.Attrs.DataLength;
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
int openQuorIndexCopy(const velk_xfer_settings_t *, velk_index_t *index, const char *path, int openFlags, int,
                      uint64_t size)
{
    const char *kind = velk_IndexKindName(VELK_QUOR_FILE);
    int qfd = openQuorBusyRetry(path, openFlags);
    if (qfd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening %s index file: %s\n", qfd, kind, path);
        velk_Explain(VELK_MSG_ERROR, qfd, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_CreateTmpIndexFile(index) != 0) {
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
        } else if (write(index->tmpFd, buf.data(), static_cast<size_t>(n)) != n) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing temporary index file %s\n", errno,
                        index->tmpName);
            rc = -1;
        }
        copied += static_cast<uint64_t>(std::max(n, 0));
    }
    (void)quor_Close(qfd);
    close(index->tmpFd);
    index->tmpFd = -1;
    if (rc != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_OpenLocalIndexFile(index, index->tmpName, O_RDONLY, VELK_LOCAL_FILE);
}

int quorIndexExists(const char *path)
{
    quor_fileattr_t attr;
    memset(&attr, 0, sizeof attr);
    return quor_FileGetAttributes(path, &attr) == 0 ? 1 : 0;
}

// Class-of-service hints for an index of size bytes: as for the archive,
// with no fallback class.
void indexHints(const velk_xfer_settings_t *xs, const velk_index_t *index, uint64_t size, quor_cos_hints_t *hints,
                quor_cos_priorities_t *prios)
{
    memset(hints, 0, sizeof *hints);
    memset(prios, 0, sizeof *prios);
    hints->MinFileSize = size;
    hints->MaxFileSize = size;
    prios->MinFileSizePriority = 20;
    prios->MaxFileSizePriority = 20;
    if (index->cosId >= 1) {
        hints->COSId = static_cast<uint32_t>(index->cosId);
        prios->COSIdPriority = 30;
    } else if (index->cosId == 0) {
        long subsys = velk_GetParentSubsysID(velk_index_filename);
        (void)quorex_SelectCOS(nullptr, size, static_cast<uint32_t>(xs->uid), static_cast<uint32_t>(xs->gid),
                               xs->acctId, static_cast<uint32_t>(copyCount), static_cast<uint32_t>(subsys), hints,
                               prios);
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug]Index File Hints: COS ID=%d, priority=%d Size=%lu\n", static_cast<int>(hints->COSId),
                       static_cast<int>(prios->COSIdPriority), static_cast<unsigned long>(size));
}

// Writes the temporary index's header and every entry, adjusted, to the
// storage-system file qfd, 8192 entries at a time.  0 or -1 (message).
int writeAdjustedIndex(velk_index_t *index, int qfd, const char *name, unsigned char *buf)
{
    if (pread(index->tmpFd, buf, HIF_HDR_SIZE, 0) != static_cast<ssize_t>(HIF_HDR_SIZE) ||
        velk_BlockWrite(qfd, name, VELK_QUOR_FILE, static_cast<int>(HIF_HDR_SIZE), buf) !=
            static_cast<int>(HIF_HDR_SIZE) ||
        velk_IndexFilePosition(index, index->tmpFd, VELK_LOCAL_FILE, 0) != 0 || velk_IndexReadInit(index) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing index file header to %s\n", errno, name);
        return -1;
    }
    int held = 0;
    for (int64_t ordinal = 0;; ordinal++) {
        hif_entry_t *e = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(index, index->tmpFd, VELK_LOCAL_FILE, 0, &e, &eof) != 0)
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

// Creates the new index file tmp with the index's class-of-service hints
// and family.  Its descriptor, or -1 after the message (status 72, the
// copy-failure hint).
int createIndexFile(const velk_xfer_settings_t *xs, velk_index_t *index, const char *tmp, const char *final)
{
    struct stat st;
    uint64_t size = fstat(index->tmpFd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    quor_cos_hints_t hints;
    quor_cos_priorities_t prios;
    quor_cos_hints_t used;
    memset(&used, 0, sizeof used);
    indexHints(xs, index, size, &hints, &prios);
    (void)quor_Unlink(tmp);
    int qfd = quor_Open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &prios, &used);
    if (qfd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on quor_Open (create) for Index File %s\n", qfd,
                    final);
        velk_Explain(VELK_MSG_ERROR, qfd, final);
        velk_SetExitCode(VELK_EXIT_IOERR);
        index_CopyFailure();
        return -1;
    }
    if (used.COSId != 0)
        index->cosId = static_cast<int>(used.COSId);
    if (index->familyId > 0) {
        int rc = velk_SetFamilyID(tmp, index->familyId);
        if (rc < 0)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                        "[warning] Error %d returned when trying to set family ID %d for index file '%s'\n", rc,
                        index->familyId, final);
    }
    return qfd;
}

int getcwdQuor(char *buf, int size)
{
    return quor_Getcwd(buf, size) < 0 ? -1 : 0;
}

// Entries asked for in one directory read.
constexpr uint32_t kDirChunk = 64;

int listQuorDir(const char *dir, void (*fn)(const char *name, void *arg), void *arg)
{
    int dfd = quor_Opendir(dir);
    if (dfd < 0)
        return dfd;
    std::vector<ns_DirEntry_t> entries(kDirChunk);
    uint64_t offset = 0;
    int rc = 0;
    for (uint32_t end = 0; end == 0;) {
        uint64_t next = offset;
        int n = quor_ReadAttrs(dfd, offset, kDirChunk, 0, &end, &next, entries.data());
        if (n < 0) {
            rc = n;
            break;
        }
        for (int i = 0; i < n; i++) {
            entries[static_cast<size_t>(i)].Name[sizeof entries[0].Name - 1] = '\0';
            fn(entries[static_cast<size_t>(i)].Name, arg);
        }
        if (n == 0 || next == offset)
            break;
        offset = next;
    }
    (void)quor_Closedir(dfd);
    return rc;
}

// A positioned read through the movers.
ssize_t readAtQuor(const velk_xfer_settings_t *xs, int fd, uint64_t offset, void *buf, size_t count)
{
    return velk_KindCopyReadAt(velk_CopyFromQUORArchive, xs, fd, offset, buf, count);
}

// Sessions a positioned read opens again, in a row, before it fails.
constexpr int kMaxSessionRenewals = 3;

} // namespace

// A mounted archive's kept reader: the archive descriptor and the reader
// set up on it (null until the first read, and after a failed one).
struct velk_pread_t {
    velk_xfer_settings_t xs;
    int fd;
    velk_quor_reader_t *reader;
};

namespace {

int readerOpenQuor(const velk_xfer_settings_t *xs, int fd, velk_pread_t **out)
{
    *out = new (std::nothrow) velk_pread_t{*xs, fd, nullptr};
    if (*out != nullptr)
        return 0;
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "velk_Mount: out of memory\n");
    (void)quor_Close(fd);
    velk_SetExitCode(VELK_EXIT_NOMEM);
    return -1;
}

// Opens the archive again in a new session after the old one was lost.
// 0, or -1 after the message.
int renewSession(velk_pread_t *p)
{
    velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                "Connection to the gateway lost reading %s - opening it again in a new session\n", velk_archive);
    // The first call after the loss opens the new session; the old
    // descriptor went with the old one.
    (void)quor_Close(p->fd);
    p->fd = velk_OpenArchiveForReading();
    return p->fd < 0 ? -1 : 0;
}

// A positioned read through the kept reader: one list-read request for a
// range that fits one request.
ssize_t readerReadQuor(velk_pread_t *p, uint64_t offset, void *buf, size_t count)
{
    for (int renewals = 0;; ++renewals) {
        if (p->fd < 0 || velk_shutdown_signalled.load() != 0)
            break;
        if (p->reader == nullptr && velk_QuorReaderOpen(&p->xs, p->fd, true, &p->reader) != 0)
            break;
        velk_read_at_target_t t{static_cast<unsigned char *>(buf), count, 0};
        int rc = velk_QuorReaderRead(p->reader, offset, count, velk_KindCollectReadAt, &t, nullptr);
        if (rc == 0 && t.got == count)
            return static_cast<ssize_t>(count);
        velk_QuorReaderClose(p->reader);
        p->reader = nullptr;
        if (rc != VELK_QUOR_SESSION_LOST || renewals == kMaxSessionRenewals || renewSession(p) != 0)
            break;
    }
    errno = EIO;
    return -1;
}

int readerCloseQuor(velk_pread_t *p)
{
    velk_QuorReaderClose(p->reader);
    int rc = p->fd >= 0 ? quor_Close(p->fd) : 0;
    delete p;
    return rc;
}

} // namespace

int velk_CopyIndexToQuor(const velk_xfer_settings_t *xs, velk_index_t *index, int (*beforeRename)())
{
    if (velk_CurrentArchiveKind()->is_pipe) {
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
    // The new index is written beside the old one and renamed over it only
    // when complete: a failure leaves the old index as it was.
    int qfd = createIndexFile(xs, index, tmp, final);
    if (qfd < 0)
        return -1;
    int rc = writeAdjustedIndex(index, qfd, tmp, buf.data());
    int closed = quor_Close(qfd);
    if (rc == 0 && closed < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d closing QUOR index file %s\n", closed, final);
        rc = -1;
    }
    (void)velk_ExpireSetExpiration(index->setExpiration, tmp);
    return velk_PlaceIndexFile(rc, tmp, final, beforeRename, quor_Unlink);
}

const velk_archive_kind_t velk_kind_quor = {
    .filetype = VELK_QUOR_FILE,
    .name = "QUOR",
    .is_pipe = false,
    .through_gateway = true,
    .has_layout = true,
    .read_name = "QUOR-resident",
    .write_name = "QUOR-resident",
    .index_fd_kind = VELK_LOCAL_FILE,
    .seek_name = "QUOR",
    .index_source = "QUOR",
    .verify_close_name = "QUOR",
    .index_close_text = "QUOR ",
    .create = createQuor,
    .commit = velk_GatewayRename,
    .remove = quor_Unlink,
    .open = openQuor,
    .attrs = attrsQuor,
    .size_and_layout = quorSize,
    .archive_read = velk_KindGatewayRead,
    .close = quor_Close,
    .actual_size = actualSizeQuor,
    .skip_forward = skipQuor,
    .file_size = fileSizeQuor,
    .position = positionQuor,
    .read = velk_KindGatewayRead,
    .write = velk_KindGatewayWrite,
    .probe_dir = probeQuor,
    .make_dir = mkdirQuor,
    .copy_to = velk_CopyToQUORArchive,
    .copy_from = velk_CopyFromQUORArchive,
    .index_size = quorIndexSize,
    .open_index = openQuorIndexCopy,
    .index_exists = quorIndexExists,
    .place_index = velk_CopyIndexToQuor,
    .getcwd = getcwdQuor,
    .list_dir = listQuorDir,
    .read_at = readAtQuor,
    .reader_open = readerOpenQuor,
    .reader_read = readerReadQuor,
    .reader_close = readerCloseQuor,
};
