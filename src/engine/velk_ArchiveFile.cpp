#include "velk_ArchiveFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"
#include "velk_Xfer.h"

uint64_t velk_archive_filesize = 0;
char *velk_archive_tmpname = nullptr;

namespace {

void sleepSeconds(unsigned seconds)
{
    kylgw_ThreadSleep(seconds, 0);
}

void failIo()
{
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// The name the pending archive is renamed to (velk_archive, or the file a
// symbolic link of that name points to), velk_Malloc'd; null when none.
char *commitName = nullptr;

void forgetPending()
{
    VELK_FREE(velk_archive_tmpname);
    VELK_FREE(commitName);
    velk_archive_tmpname = nullptr;
    commitName = nullptr;
}

// Makes target (velk_archive, or the file a symbolic link of that name
// points to) the name the new archive will be renamed to and records its
// temporary name.  Returns 0, or -1 after the message.
int setPending(const char *target)
{
    char tmp[PATH_MAX];
    if (velk_ArchiveTmpName(target, tmp, sizeof tmp) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "archive path is too long for its temporary name: %s\n", target);
        return -1;
    }
    velk_archive_tmpname = VELK_STRDUP(tmp);
    commitName = VELK_STRDUP(target);
    if (velk_archive_tmpname == nullptr || commitName == nullptr) {
        forgetPending();
        return -1;
    }
    return 0;
}

// Flushes the directory that holds path, so that a rename in it lasts.
int syncParentDir(const char *path)
{
    const char *slash = strrchr(path, '/');
    std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    int rc = fsync(fd) == 0 ? 0 : -errno;
    close(fd);
    return rc;
}

bool isBusy(int rc)
{
    return rc == -EAGAIN || rc == KYLGW_E_STAGING || rc == KYLGW_E_MIGRATING;
}

// A gateway-host status record as a local one (type, permissions, owner,
// size and times).
void lfxToStat(const lfx_Stat_rply_t &in, struct stat *out)
{
    memset(out, 0, sizeof *out);
    out->st_mode = static_cast<mode_t>(in.hst_mode);
    out->st_nlink = in.hst_nlink;
    out->st_uid = in.hst_uid;
    out->st_gid = in.hst_gid;
    out->st_size = static_cast<off_t>(std::min<uint64_t>(in.hst_size, INT64_MAX));
    out->st_mtime = in.hst_mtime;
    out->st_atime = in.hst_atime;
    out->st_ctime = in.hst_ctime;
}

// Status of a local or gateway-host archive with the messages of its kind.
int statArchive(int kind, struct stat *statBuf)
{
    struct stat local;
    if (statBuf == nullptr)
        statBuf = &local;
    const char *where = kind == VELK_REMOTE_FILE ? "remote" : "local";
    int err;
    if (kind == VELK_REMOTE_FILE) {
        lfx_Stat_rply_t st;
        memset(&st, 0, sizeof st);
        int rc = kylgw_LfxStat(velk_archive, &st);
        if (rc == 0) {
            lfxToStat(st, statBuf);
            return 0;
        }
        err = -rc;
    } else {
        if (stat(velk_archive, statBuf) == 0)
            return 0;
        err = errno;
    }
    if (err == ENOENT)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such %s archive file: %s\n", where, velk_archive);
    else if (err == EACCES)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no permission to open %s archive file: %s\n", where,
                    velk_archive);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] error %d getting attributes for %s archive file %s\n",
                    err, where, velk_archive);
    failIo();
    return -1;
}

void quorAttrFailure(int rc)
{
    if (rc == -EACCES)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no permission to access QUOR archive file: %s\n",
                    velk_archive);
    else if (rc == -ENOENT)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such QUOR archive file: %s\n", velk_archive);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] error %d getting attributes for QUOR archive file %s\n",
                    rc, velk_archive);
    failIo();
}

void localCreateFailed(int err, const char *name)
{
    errno = err;
    perror("Open Archive");
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating local Archive: %s\n", err, name);
}

int createLocal()
{
    // What is at the archive name now decides where the new archive goes:
    // nothing or a regular file: beside it under the temporary name, to be
    // renamed over it (over the file a symbolic link names, as writing
    // through the link did); a device or other special file: written in
    // place, as nothing of it is kept anyway.
    const char *target = velk_archive;
    char resolved[PATH_MAX];
    struct stat st;
    if (stat(velk_archive, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            localCreateFailed(EISDIR, velk_archive);
            return -1;
        }
        if (!S_ISREG(st.st_mode)) {
            velk_archive_fd = open(velk_archive, O_RDWR | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
            if (velk_archive_fd < 0) {
                localCreateFailed(errno, velk_archive);
                return -1;
            }
            return 0;
        }
        // A file the user may not write is not replaced behind its back.
        if (access(velk_archive, W_OK) != 0) {
            localCreateFailed(errno, velk_archive);
            return -1;
        }
        struct stat lst;
        if (lstat(velk_archive, &lst) == 0 && S_ISLNK(lst.st_mode) && realpath(velk_archive, resolved) != nullptr)
            target = resolved;
    }
    if (setPending(target) != 0)
        return -1;
    // Created exclusively, never through a symbolic link.  A file already
    // there carries this process's id: the leftover of an earlier process
    // that had the same id, replaced.
    const char *tmp = velk_archive_tmpname;
    for (int attempt = 0; attempt < 2; attempt++) {
        velk_archive_fd = open(tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (velk_archive_fd >= 0 || errno != EEXIST || unlink(tmp) != 0)
            break;
    }
    if (velk_archive_fd < 0) {
        localCreateFailed(errno, tmp);
        // Nothing of this run's is at the name.
        forgetPending();
        return -1;
    }
    return 0;
}

int createQuor()
{
    const char *tmp = velk_archive_tmpname;
    console_message("creating QUOR Archive file", velk_archive);
    quor_cos_hints_t hints;
    quor_cos_priorities_t prios;
    quor_cos_hints_t used;
    memset(&hints, 0, sizeof hints);
    memset(&prios, 0, sizeof prios);
    memset(&used, 0, sizeof used);
    hints.MinFileSize = velk_archive_filesize;
    hints.MaxFileSize = velk_archive_filesize;
    prios.MinFileSizePriority = 20;
    prios.MaxFileSizePriority = 20;
    int asked = velk_archive_cosID;
    if (velk_archive_cosID >= 1) {
        hints.COSId = static_cast<uint32_t>(velk_archive_cosID);
        prios.COSIdPriority = 30;
    } else if (velk_archive_cosID == 0) {
        long subsys = velk_GetParentSubsysID(velk_archive);
        int rc = quorex_SelectCOS(nullptr, velk_archive_filesize, static_cast<uint32_t>(velk_UID),
                                  static_cast<uint32_t>(velk_GID), curAcctId, static_cast<uint32_t>(copyCount),
                                  static_cast<uint32_t>(subsys), &hints, &prios);
        if (rc >= 0)
            velk_archive_cosID = static_cast<int>(hints.COSId);
    }
    if (velk_archive_cosID < 1) {
        velk_archive_cosID = 11;
        hints.COSId = 11;
        prios.COSIdPriority = 30;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug] Hints: COS ID=%d, priority=%d Size=%lu\n", static_cast<int>(hints.COSId),
                       static_cast<int>(prios.COSIdPriority), static_cast<unsigned long>(velk_archive_filesize));

    (void)quor_Unlink(tmp);
    int fd = quor_Open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666, &hints, &prios, &used);
    if (fd < 0) {
        if (fd == -ENOENT)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "Nonexistent path (do you need -P?) creating archive file %s\n", velk_archive);
        else if (fd == -EPERM)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Permision error creating archive file %s\n", velk_archive);
        else
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on quor_Open (create) for %s\n", fd, velk_archive);
        return -1;
    }
    velk_archive_fd = fd;
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
    if (velk_archive_familyid > 0) {
        int rc = velk_SetFamilyID(tmp, velk_archive_familyid);
        if (rc < 0)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                        "[warning] Error %d returned when trying to set family ID %d for File '%s'\n", rc,
                        velk_archive_familyid, velk_archive);
    }
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

int createRemote()
{
    const char *tmp = velk_archive_tmpname;
    (void)kylgw_LfxUnlink(tmp);
    int fd = quor_Open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666, nullptr, nullptr, nullptr);
    if (fd < 0) {
        errno = -fd;
        perror("Open Archive");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating remote Archive: %s\n", fd, tmp);
        return -1;
    }
    velk_archive_fd = fd;
    return 0;
}

} // namespace

void (*velk_busy_sleep_fn)(unsigned seconds) = sleepSeconds;

int velk_CreateArchiveFile()
{
    velk_optimum_access = 0;
    velk_archive_stripewidth = 1;
    velk_archive_is_tape = false;
    if (velk_filetype == VELK_PIPE) {
        velk_archive_fd = STDOUT_FILENO;
        return 0;
    }
    if (velk_Opt(VELK_OPT_MAKE_PARENTS)) {
        // The walk cuts the path in place and restores it.
        char path[VELK_MAX_ARCHIVE_PATH + 1];
        snprintf(path, sizeof path, "%s", velk_archive);
        if (velk_MakeAllSubdirs(path, 0777, velk_filetype) != 0) {
            failIo();
            return -1;
        }
    }
    forgetPending();
    int rc;
    if (velk_filetype == VELK_QUOR_FILE || velk_filetype == VELK_REMOTE_FILE) {
        rc = setPending(velk_archive);
        if (rc == 0)
            rc = velk_filetype == VELK_QUOR_FILE ? createQuor() : createRemote();
    } else {
        rc = createLocal();
    }
    if (rc != 0) {
        // A storage-system archive exists already when a later step of its
        // creation failed.
        if (velk_archive_fd >= 0 && velk_filetype != VELK_LOCAL_FILE) {
            (void)quor_Close(velk_archive_fd);
            velk_archive_fd = -1;
        }
        velk_DiscardArchiveFile();
        failIo();
    }
    return rc;
}

int velk_ArchiveTmpName(const char *archive, char *out, size_t size)
{
    const char *slash = strrchr(archive, '/');
    size_t dirLen = slash == nullptr ? 0 : static_cast<size_t>(slash - archive) + 1;
    const char *base = archive + dirLen;
    char suffix[32];
    int suffixLen = snprintf(suffix, sizeof suffix, ".velk-%ld.tmp", static_cast<long>(getpid()));
    // The last component holds "." + base + suffix within NAME_MAX bytes.
    size_t baseLen = std::min(strlen(base), static_cast<size_t>(NAME_MAX - 1 - suffixLen));
    int n =
        snprintf(out, size, "%.*s.%.*s%s", static_cast<int>(dirLen), archive, static_cast<int>(baseLen), base, suffix);
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

int velk_CommitArchiveFile()
{
    if (velk_archive_tmpname == nullptr)
        return 0;
    const char *tmp = velk_archive_tmpname;
    int rc;
    if (velk_filetype == VELK_QUOR_FILE || velk_filetype == VELK_REMOTE_FILE) {
        rc = quor_Rename(tmp, commitName);
    } else {
        // The data reach the disk before the name does: a crash after the
        // rename never leaves an archive with holes in it.
        int fd = open(tmp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        rc = fd < 0 ? -errno : 0;
        if (rc == 0 && fsync(fd) != 0)
            rc = -errno;
        if (fd >= 0)
            close(fd);
        if (rc == 0 && rename(tmp, commitName) != 0)
            rc = -errno;
        if (rc == 0) {
            int dirRc = syncParentDir(commitName);
            if (dirRc != 0)
                velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Error %d flushing the directory of Archive file %s\n",
                            -dirRc, commitName);
        }
    }
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d putting Archive file %s in place of %s\n", -rc, tmp,
                    commitName);
        failIo();
        return -1;
    }
    forgetPending();
    return 0;
}

void velk_DiscardArchiveFile()
{
    if (velk_archive_tmpname == nullptr)
        return;
    if (velk_filetype == VELK_QUOR_FILE)
        (void)quor_Unlink(velk_archive_tmpname);
    else if (velk_filetype == VELK_REMOTE_FILE)
        (void)kylgw_LfxUnlink(velk_archive_tmpname);
    else
        (void)unlink(velk_archive_tmpname);
    forgetPending();
}

int velk_GetArchiveXAttrs(int kind, quor_xfileattr_t *xattr, struct stat *statBuf)
{
    switch (kind) {
    case VELK_PIPE: return 0;
    case VELK_QUOR_FILE: {
        int rc = quor_FileGetXAttributes(velk_archive, 8, 0, xattr);
        if (rc < 0) {
            quorAttrFailure(rc);
            return -1;
        }
        return 0;
    }
    default: return statArchive(kind, statBuf);
    }
}

int velk_GetArchiveStripeInfo(int useDataLevel, const quor_xfileattr_t *xattr)
{
    velk_storage_level_t levels[VELK_MAX_STORAGE_LEVELS];
    int count = 0;
    if (xattr != nullptr) {
        count = static_cast<int>(std::min<size_t>(QUOR_MAX_LEVELS, VELK_MAX_STORAGE_LEVELS));
        for (int i = 0; i < count; ++i) {
            const quor_levelattrs_t &l = xattr->LevelAttrs[i];
            levels[i].optimumAccess = l.OptimumAccessSize;
            levels[i].stripeWidth = l.StripeWidth;
            levels[i].stripeLength = static_cast<uint32_t>(std::min<uint64_t>(l.StripeLength, UINT32_MAX));
            levels[i].flags = l.Flags;
        }
    }
    return velk_GetArchiveStripeInfo(useDataLevel, levels, count, velk_archive);
}

int velk_OpenArchiveFile(int openFlags, quor_xfileattr_t *xattr, struct stat *statBuf)
{
    double start = velk_GetTimestamp();
    if (velk_filetype == VELK_QUOR_FILE) {
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
            velk_busy_sleep_fn(VELK_BUSY_RETRY_SECONDS);
        }
        if (fd < 0) {
            if (fd == -ENOENT)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such QUOR archive file: %s\n", velk_archive);
            else if (fd == -EISDIR)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] QUOR archive file is a directory: %s\n",
                            velk_archive);
            else if (fd == -EACCES)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no permission to open QUOR archive file: %s\n",
                            velk_archive);
            else
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] error %d opening QUOR archive file %s\n", fd,
                            velk_archive);
            failIo();
            return fd;
        }
        if (velk_Opt(VELK_OPT_STATUS_FIFO))
            velk_StatusMsg(1, "ArchiveFile Open Time %.3f seconds", velk_GetTimestamp() - start);
        quor_xfileattr_t local;
        if (xattr == nullptr) {
            memset(&local, 0, sizeof local);
            xattr = &local;
        }
        if (velk_GetArchiveXAttrs(VELK_QUOR_FILE, xattr, nullptr) != 0) {
            (void)quor_Close(fd);
            failIo();
            return -1;
        }
        if (xattr == &local)
            quor_FreeXAttributes(&local);
        return fd;
    }

    struct stat local;
    if (statBuf == nullptr)
        statBuf = &local;
    const bool remote = velk_filetype == VELK_REMOTE_FILE;
    if (statArchive(velk_filetype, statBuf) != 0)
        return -1;
    if (!S_ISREG(statBuf->st_mode)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] %s archive file %s is not a regular file\n",
                    remote ? "Remote" : "Local", velk_archive);
        failIo();
        return -1;
    }
    int fd;
    if (remote) {
        fd = quor_OpenX(1, velk_archive, openFlags, 0666, nullptr, nullptr, nullptr);
        if (fd < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Error %d opening remote file %s\n", fd,
                        velk_archive);
            failIo();
            return fd;
        }
    } else {
        fd = open(velk_archive, openFlags, 0666);
        if (fd < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Error %d opening local file %s\n", errno,
                        velk_archive);
            failIo();
            return -1;
        }
    }
    return fd;
}

// ---------------------------------------------------------------------------
// Sequential archive reads.
// ---------------------------------------------------------------------------

static const char *archiveName()
{
    return velk_archive != nullptr ? velk_archive : "";
}

ssize_t (*velk_archive_read_fn)(int fd, void *buf, size_t count) = ::read;

// One read of the archive as read(2) gives it: a storage-system archive
// through the gateway's movers, a gateway-host archive through the
// gateway's data stream (a negative code becomes errno).
static ssize_t readSome(int source, void *buf, size_t count)
{
    if (velk_filetype != VELK_QUOR_FILE && velk_filetype != VELK_REMOTE_FILE)
        return velk_archive_read_fn(source, buf, count);
    ssize_t n = quor_Read(source, buf, count);
    if (n >= 0)
        return n;
    errno = static_cast<int>(-n);
    return -1;
}

int64_t velk_ReadArchive(int fd, size_t length, void *buffer)
{
    int source = velk_filetype == VELK_PIPE ? STDIN_FILENO : fd;
    auto *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    int eioInRow = 0;
    bool sawEio = false;

    while (done < length) {
        if (velk_shutdown_signalled.load()) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: shutdown requested - read of Archive file %s stopped\n",
                        __func__, archiveName());
            return -1;
        }
        ssize_t n = readSome(source, p + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            eioInRow = 0;
            continue;
        }
        if (n == 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/ %s: hit EOF with %d bytes left to read\n", __func__,
                               static_cast<int>(length - done));
            return static_cast<int64_t>(done);
        }
        int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN && (velk_filetype == VELK_QUOR_FILE || velk_filetype == VELK_REMOTE_FILE)) {
            continue; // the gateway was busy: ask again
        } else if (err == EAGAIN) {
            // A non-blocking descriptor with nothing yet: wait for data
            // instead of spinning.
            err = -velk_WaitReady(source, POLLIN);
            if (err == 0)
                continue;
        } else if (err == EIO && ++eioInRow <= VELK_MAX_EIO_RETRIES) {
            sawEio = true;
            continue;
        }
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d reading %d bytes from Archive file %s\n", __func__,
                    err, static_cast<int>(length - done), archiveName());
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (sawEio)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: Recovered I/O error reading archive file: %s\n", __func__,
                    archiveName());
    return static_cast<int64_t>(done);
}

int velk_ReadHdrBlock(int fd, posix_header_t *header)
{
    unsigned char block[VELK_BLOCKSIZE];
    int64_t n = velk_ReadArchive(fd, sizeof block, block);
    if (n < 0)
        return -1;
    if (n == 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: no header block could be read from archive file %s\n",
                    __func__, archiveName());
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (n < static_cast<int64_t>(sizeof block)) {
        // The archive ends inside a block: the rest of it does not exist, so
        // the block is not a header.
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: archive file %s ends after %d bytes of a header block\n",
                    __func__, archiveName(), static_cast<int>(n));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_GetTarHeader(block, header);
}

int velk_GetArchiveSizeAndLayout(uint64_t *size)
{
    if (velk_filetype != VELK_QUOR_FILE) {
        struct stat st;
        memset(&st, 0, sizeof st);
        if (velk_GetArchiveXAttrs(velk_filetype, nullptr, &st) != 0)
            return -1;
        *size = static_cast<uint64_t>(st.st_size);
        return 0;
    }
    quor_xfileattr_t xattr;
    memset(&xattr, 0, sizeof xattr);
    if (velk_GetArchiveXAttrs(velk_filetype, &xattr, nullptr) != 0)
        return -1;
    int rc = velk_GetArchiveStripeInfo(velk_Opt(VELK_OPT_NOSTAGE) ? 1 : 0, &xattr);
    *size = xattr.Attrs.DataLength;
    quor_FreeXAttributes(&xattr);
    return rc;
}
