// The gateway-host kind: archive and index files kept in the gateway
// host's own file system, reached through the gateway's local-file calls
// and data stream.  A new archive is created under its temporary name and
// renamed by the gateway; an index is received whole into the temporary
// local index and sent back whole.  Called as velk_ArchiveKind.h describes.

#include "velk_ArchiveKind.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "velk_ArchiveFile.h"
#include "velk_FileAccess.h"
#include "velk_GatewayRename.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_Lfx.h"
#include "velk_LogMsg.h"
#include "velk_RemoteArchive.h"

namespace {

int createRemoteFile()
{
    const char *tmp = velk_archive_tmpname;
    (void)kylgw_LfxUnlink(tmp);
    int fd = quor_Open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0666, nullptr, nullptr, nullptr);
    if (fd < 0) {
        errno = -fd;
        perror("Open Archive");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating remote Archive: %s\n", fd, tmp);
        velk_Explain(VELK_MSG_ERROR, fd, tmp, fd == -ENOENT ? VELK_ADVICE_ARCHIVE_DIR : nullptr);
        return -1;
    }
    velk_archive_fd = fd;
    return 0;
}

int createRemote(const velk_xfer_settings_t *, const velk_archive_t *)
{
    int rc = velk_SetPendingArchive(velk_archive);
    return rc == 0 ? createRemoteFile() : rc;
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

// Status of the gateway-host archive; a failure is reported with the
// remote messages.
int statRemote(quor_xfileattr_t *, struct stat *statBuf)
{
    struct stat local;
    if (statBuf == nullptr)
        statBuf = &local;
    lfx_Stat_rply_t st;
    memset(&st, 0, sizeof st);
    int rc = kylgw_LfxStat(velk_archive, &st);
    if (rc == 0) {
        lfxToStat(st, statBuf);
        return 0;
    }
    velk_ArchiveStatFailure(-rc, "remote");
    return -1;
}

int openRemote(int openFlags, quor_xfileattr_t *, struct stat *statBuf)
{
    struct stat local;
    if (statBuf == nullptr)
        statBuf = &local;
    if (statRemote(nullptr, statBuf) != 0 || velk_CheckRegularArchive(statBuf, "Remote") != 0)
        return -1;
    int fd = quor_OpenX(1, velk_archive, openFlags, 0666, nullptr, nullptr, nullptr);
    if (fd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Error %d opening remote file %s\n", fd, velk_archive);
        velk_Explain(VELK_MSG_ERROR, fd, velk_archive);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return fd;
    }
    return fd;
}

int remoteSize(uint64_t *size)
{
    struct stat st;
    memset(&st, 0, sizeof st);
    if (statRemote(nullptr, &st) != 0)
        return -1;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int fileSizeRemote(const char *path, uint64_t *size)
{
    lfx_Stat_rply_t st;
    memset(&st, 0, sizeof st);
    int rc = kylgw_LfxStat(path, &st);
    if (rc < 0)
        return rc;
    *size = st.hst_size;
    return 0;
}

int positionRemote(int theFd, uint64_t offsetIn, int posType, int, uint64_t *offsetOut)
{
    if (offsetIn == ~uint64_t{0}) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "*** %s: (internal error)Unable to convert offset %luto file position on this architecture\n",
                    "velk_PositionFile", static_cast<unsigned long>(offsetIn));
        return -1;
    }
    int64_t rc = quor_Lseek(theFd, static_cast<int64_t>(offsetIn), posType);
    if (rc < 0) {
        velk_PrintSysError("quor_Lseek", static_cast<int>(-rc));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %ld seeking on remote file. Type=%s Offset=%lu\n",
                    static_cast<long>(rc), velk_SeekTypeName(posType), static_cast<unsigned long>(offsetIn));
        return -1;
    }
    *offsetOut = static_cast<uint64_t>(rc);
    return 0;
}

int actualSizeRemote(uint64_t *size)
{
    lfx_Stat_rply_t st;
    memset(&st, 0, sizeof st);
    if (kylgw_LfxStat(velk_archive, &st) < 0)
        return -1;
    *size = st.hst_size;
    return 0;
}

int skipRemote(int fd, uint64_t bytes)
{
    uint64_t newOffset = 0;
    if (velk_PositionFile(fd, VELK_REMOTE_FILE, bytes, SEEK_CUR, QUOR_SET_OFFSET_FORWARD, &newOffset) != 0)
        return -1;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/ returned offset from velk_PositionFile = %lu\n", static_cast<unsigned long>(newOffset));
    return 0;
}

velk_subdir_probe_t probeRemote(const char *path)
{
    lfx_Stat_rply_t st;
    memset(&st, 0, sizeof st);
    int rc = kylgw_LfxStat(path, &st);
    if (rc == 0)
        return velk_SubdirExisting(path, S_ISDIR(st.hst_mode), "remote directory", "remote");
    if (rc == -ENOENT)
        return VELK_PROBE_MISSING;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d creating local subdirs for %s", "velk_MakeAllSubdirs",
                -rc, path);
    return VELK_PROBE_FAILED;
}

// A directory that cannot be made on the gateway host fails the call as for
// the other kinds: the archive could not be created under it anyway.
int mkdirRemote(const char *path, mode_t mode)
{
    int rc = kylgw_LfxMkdir(path, mode);
    if (rc == 0 || rc == -EEXIST)
        return 0;
    return velk_SubdirCreateFailed(path, rc == -EACCES || rc == -EPERM, rc, "remote");
}

// The size of the gateway-host index path.  0 with *size set, or -1 with a
// message and exit status 72.
int remoteIndexSize(const char *path, uint64_t *size)
{
    lfx_Stat_rply_t st;
    memset(&st, 0, sizeof st);
    int rc = kylgw_LfxStat(path, &st);
    if (rc < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d getting attributes for remote index file %s\n",
                    -rc, path);
        velk_Explain(VELK_MSG_ERROR, rc, path, rc == -ENOENT ? VELK_ADVICE_INDEX_MISSING : nullptr);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *size = st.hst_size;
    return 0;
}

// Receives the gateway-host index path (size bytes) whole into a new
// temporary local index and opens that as the index.  Returns the local
// descriptor, or -1 after a message.
int openRemoteIndexCopy(const velk_xfer_settings_t *xs, velk_index_t *index, const char *path, int, int, uint64_t size)
{
    if (velk_CreateTmpIndexFile(index) != 0)
        return -1;
    int rc = velk_LfxReceiveFile(RMTIO_FILE, nullptr, xs, index->tmpFd, index->tmpName, -1, path, 0, 0, size, nullptr,
                                 nullptr);
    close(index->tmpFd);
    index->tmpFd = -1;
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening %s index file: %s\n", rc,
                    velk_IndexKindName(VELK_REMOTE_FILE), path);
        velk_Explain(VELK_MSG_ERROR, rc, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_OpenLocalIndexFile(index, index->tmpName, O_RDONLY, VELK_LOCAL_FILE);
}

const char *orEmptyTmp(const velk_index_t *index)
{
    return index->tmpName != nullptr ? index->tmpName : "";
}

// A positioned read through the gateway's local-file transfer.
ssize_t readAtRemote(const velk_xfer_settings_t *xs, int fd, uint64_t offset, void *buf, size_t count)
{
    return velk_KindCopyReadAt(velk_CopyFromRemoteArchive, xs, fd, offset, buf, count);
}

int getcwdRemote(char *buf, int size)
{
    return kylgw_LfxGetcwd(buf, size) < 0 ? -1 : 0;
}

} // namespace

int velk_CopyIndexToRemote(const velk_xfer_settings_t *xs, velk_index_t *index, int (*beforeRename)())
{
    if (velk_CurrentArchiveKind()->is_pipe) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: need index file copy code for piped Archive File\n",
                    __func__);
        return 0;
    }
    // The entries get the members' outcomes first, as for the storage
    // system.
    if (velk_CopyAndAdjustLocalIndex(index) != 0)
        return -1;
    return velk_SendIndexToRemote(xs, index, beforeRename);
}

int velk_SendIndexToRemote(const velk_xfer_settings_t *xs, velk_index_t *index, int (*beforeRename)())
{
    const char *final = velk_index_filename != nullptr ? velk_index_filename : "";
    char tmp[PATH_MAX];
    if (velk_ArchiveTmpName(final, tmp, sizeof tmp) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "*** %s: Error on velk_LocalFileSend for temp index file: %s\n",
                    __func__, orEmptyTmp(index));
        velk_SetExitCode(VELK_EXIT_IOERR);
        index_CopyFailure();
        return -1;
    }
    // The new index goes beside the old one and is renamed over it only
    // when complete, so a failure leaves the old index as it was.
    console_message("copying Index File to remote host", "...Creating file");
    struct stat st;
    const uint64_t size = fstat(index->tmpFd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    (void)kylgw_LfxUnlink(tmp);
    int rc = velk_LfxSendFile(RMTIO_FILE, nullptr, xs, index->tmpFd, index->tmpName, tmp, 0, 0, size, nullptr);
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "*** %s: Error on velk_LocalFileSend for temp index file: %s\n",
                    __func__, orEmptyTmp(index));
        rc = -1;
    }
    if (velk_PlaceIndexFile(rc, tmp, final, beforeRename, kylgw_LfxUnlink) != 0)
        return -1;
    return velk_IndexFileRewind(index, index->tmpFd, VELK_LOCAL_FILE) == 0 ? 0 : -1;
}

// A gateway-host index has no class of service or family.
static int placeRemoteIndex(const velk_xfer_settings_t *xs, velk_index_t *index, int (*beforeRename)())
{
    return velk_CopyIndexToRemote(xs, index, beforeRename);
}

const velk_archive_kind_t velk_kind_remote = {
    .filetype = VELK_REMOTE_FILE,
    .name = "remote",
    .is_pipe = false,
    .through_gateway = true,
    .has_layout = false,
    .read_name = "remote-resident",
    .write_name = "REMOTE",
    .index_fd_kind = VELK_LOCAL_FILE,
    .seek_name = "REMOTE",
    .index_source = "Unix gateway",
    .verify_close_name = "QUOR",
    .index_close_text = "",
    .create = createRemote,
    .commit = velk_GatewayRename,
    .remove = kylgw_LfxUnlink,
    .open = openRemote,
    .attrs = statRemote,
    .size_and_layout = remoteSize,
    .archive_read = velk_KindGatewayRead,
    .close = quor_Close,
    .actual_size = actualSizeRemote,
    .skip_forward = skipRemote,
    .file_size = fileSizeRemote,
    .position = positionRemote,
    .read = velk_KindGatewayRead,
    .write = velk_KindGatewayWrite,
    .probe_dir = probeRemote,
    .make_dir = mkdirRemote,
    .copy_to = velk_CopyToRemoteArchive,
    .copy_from = velk_CopyFromRemoteArchive,
    .index_size = remoteIndexSize,
    .open_index = openRemoteIndexCopy,
    .index_exists = velk_KindLocalIndexExists,
    .place_index = placeRemoteIndex,
    .getcwd = getcwdRemote,
    .list_dir = nullptr, // the gateway host's file calls list no directory
    .read_at = readAtRemote,
};
