// The local kind: an archive or index file in this host's file system, and
// its variant the pipe (the archive is standard output for a create and
// standard input for a read; it has no name, so nothing of it is created
// under a temporary name, renamed or placed, and it is read where it
// stands).  Called as velk_ArchiveKind.h describes.

#include "velk_ArchiveKind.h"
#include "velk_Env.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "velk_ArchiveFile.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LocalArchiveReader.h"
#include "velk_LocalArchiveWriter.h"
#include "velk_LogMsg.h"

namespace {

void localCreateFailed(int err, const char *name)
{
    errno = err;
    perror("Open Archive");
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating local Archive: %s\n", err, name);
    velk_Explain(VELK_MSG_ERROR, err, name, err == ENOENT ? VELK_ADVICE_ARCHIVE_DIR : nullptr);
}

int createLocal(const velk_xfer_settings_t *, const velk_archive_t *)
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
    if (velk_SetPendingArchive(target) != 0)
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
        velk_ForgetPendingArchive();
        return -1;
    }
    return 0;
}

int createPipe(const velk_xfer_settings_t *, const velk_archive_t *)
{
    velk_archive_fd = STDOUT_FILENO;
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

int commitLocal(const char *tmp, const char *final)
{
    // The data reach the disk before the name does: a crash after the
    // rename never leaves an archive with holes in it.
    int fd = open(tmp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int rc = fd < 0 ? -errno : 0;
    if (rc == 0 && fsync(fd) != 0)
        rc = -errno;
    if (fd >= 0)
        close(fd);
    if (rc == 0 && rename(tmp, final) != 0)
        rc = -errno;
    if (rc == 0) {
        int dirRc = syncParentDir(final);
        if (dirRc != 0)
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Error %d flushing the directory of Archive file %s\n",
                        -dirRc, final);
    }
    return rc;
}

int removeLocal(const char *path)
{
    return unlink(path);
}

// Status of the local archive; a failure is reported with the local
// messages.
int statLocal(quor_xfileattr_t *, struct stat *statBuf)
{
    struct stat local;
    if (statBuf == nullptr)
        statBuf = &local;
    if (stat(velk_archive, statBuf) == 0)
        return 0;
    velk_ArchiveStatFailure(errno, "local");
    return -1;
}

int pipeAttrs(quor_xfileattr_t *, struct stat *)
{
    return 0;
}

// A piped archive is read from standard input where it stands; it has no
// size to report.
int openPipe(int, quor_xfileattr_t *, struct stat *statBuf)
{
    if (statBuf != nullptr)
        memset(statBuf, 0, sizeof *statBuf);
    return STDIN_FILENO;
}

int openLocal(int openFlags, quor_xfileattr_t *, struct stat *statBuf)
{
    struct stat local;
    if (statBuf == nullptr)
        statBuf = &local;
    if (statLocal(nullptr, statBuf) != 0 || velk_CheckRegularArchive(statBuf, "Local") != 0)
        return -1;
    int fd = open(velk_archive, openFlags, 0666);
    if (fd < 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Error %d opening local file %s\n", err, velk_archive);
        velk_Explain(VELK_MSG_ERROR, err, velk_archive);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return fd;
}

int localSize(uint64_t *size)
{
    struct stat st;
    memset(&st, 0, sizeof st);
    if (statLocal(nullptr, &st) != 0)
        return -1;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int pipeSize(uint64_t *size)
{
    *size = 0;
    return 0;
}

int actualSizeLocal(uint64_t *size)
{
    struct stat st;
    if (stat(velk_archive, &st) != 0) {
        int err = errno;
        if (err == ENOENT) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such local archive file: %s\n", velk_archive);
        } else if (err == EACCES) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no permission to open local archive file: %s\n",
                        velk_archive);
        } else {
            errno = err;
            perror("stat");
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "[FATAL] error %d getting attributes for local archive file %s\n", err, velk_archive);
            velk_Explain(VELK_MSG_ERROR, err, velk_archive);
        }
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Archive file %s is not a regular file\n", velk_archive);
        return -1;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

// A piped archive is measured by reading it to its end.
int actualSizePipe(uint64_t *size)
{
    return velk_SkipArchiveBytes(STDIN_FILENO, VELK_SKIP_TO_END, size) != 0 ? -1 : 0;
}

int skipLocal(int fd, uint64_t bytes)
{
    if (lseek(fd, static_cast<off_t>(bytes), SEEK_CUR) >= 0)
        return 0;
    int err = errno;
    perror("lseek");
    return err;
}

int fileSizeLocal(const char *path, uint64_t *size)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -errno;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

ssize_t archiveRead(int fd, void *buf, size_t count)
{
    return velk_Env().archiveRead(fd, buf, count);
}

int positionLocal(int fd, uint64_t offsetIn, int posType, int, uint64_t *)
{
    if (offsetIn == ~uint64_t{0} || offsetIn > static_cast<uint64_t>(INT64_MAX)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Unable to convert offset [%lu] to file position on this architecture\n",
                    static_cast<unsigned long>(offsetIn));
        return -1;
    }
    if (lseek64(fd, static_cast<off64_t>(offsetIn), posType) < 0) {
        int err = errno;
        velk_PrintSysError("lseek", err);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d seeking on local file. Type=%s Offset=%lu\n", err,
                    velk_SeekTypeName(posType), static_cast<unsigned long>(offsetIn));
        return -1;
    }
    return 0;
}

ssize_t readLocal(int fd, void *buf, size_t count)
{
    return velk_Env().localRead(fd, buf, count);
}

ssize_t writeLocal(int fd, const void *buf, size_t count)
{
    return velk_Env().localWrite(fd, buf, std::min(count, static_cast<size_t>(VELK_LOCAL_WRITE_PIECE)));
}

velk_subdir_probe_t probeLocal(const char *path)
{
    struct stat64 st;
    if (stat64(path, &st) == 0)
        return velk_SubdirExisting(path, S_ISDIR(st.st_mode), "local directory", "local");
    int err = errno;
    if (err == ENOENT)
        return VELK_PROBE_MISSING;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d creating local subdirs for %s", "velk_MakeAllSubdirs",
                err, path);
    return VELK_PROBE_FAILED;
}

int mkdirLocal(const char *path, mode_t mode)
{
    if (mkdir(path, mode) == 0)
        return 0;
    int err = errno;
    if (err == EEXIST)
        return 0;
    return velk_SubdirCreateFailed(path, err == EPERM || err == EACCES, err, "local");
}

int openLocalIndex(const velk_xfer_settings_t *, velk_index_t *index, const char *path, int openFlags, int kind,
                   uint64_t)
{
    return velk_OpenLocalIndexFile(index, path, openFlags, kind);
}

// The index of a piped archive is a local file like any other.
int openPipeIndex(const velk_xfer_settings_t *, velk_index_t *index, const char *path, int openFlags, int, uint64_t)
{
    return velk_OpenLocalIndexFile(index, path, openFlags, VELK_LOCAL_FILE);
}

int localIndexExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 ? 1 : 0;
}

// A positioned read of a local archive: pread until count bytes or the
// end of the file.
ssize_t readAtLocal(const velk_xfer_settings_t *, int fd, uint64_t offset, void *buf, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(fd, static_cast<char *>(buf) + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int getcwdLocal(char *buf, int size)
{
    return getcwd(buf, static_cast<size_t>(size)) == nullptr ? -1 : 0;
}

int getcwdPipe(char *, int)
{
    return 0;
}

int listLocalDir(const char *dir, void (*fn)(const char *name, void *arg), void *arg)
{
    DIR *d = opendir(dir);
    if (d == nullptr)
        return -errno;
    while (const struct dirent *e = readdir(d))
        fn(e->d_name, arg);
    closedir(d);
    return 0;
}

} // namespace

int velk_KindLocalClose(int fd)
{
    // The archive of a piped create is standard output, which is flushed
    // rather than closed.
    if (fd == STDOUT_FILENO)
        return fflush(stdout) == 0 ? 0 : -errno;
    return close(fd) == 0 ? 0 : -errno;
}

int velk_KindLocalIndexExists(const char *path)
{
    return localIndexExists(path);
}

const velk_archive_kind_t velk_kind_local = {
    .filetype = VELK_LOCAL_FILE,
    .name = "local",
    .is_pipe = false,
    .through_gateway = false,
    .has_layout = false,
    .read_name = "local",
    .write_name = "local",
    .index_fd_kind = VELK_LOCAL_FILE,
    .seek_name = "local",
    .index_source = "?",
    .verify_close_name = "local",
    .index_close_text = "",
    .create = createLocal,
    .commit = commitLocal,
    .remove = removeLocal,
    .open = openLocal,
    .attrs = statLocal,
    .size_and_layout = localSize,
    .archive_read = archiveRead,
    .close = velk_KindLocalClose,
    .actual_size = actualSizeLocal,
    .skip_forward = skipLocal,
    .file_size = fileSizeLocal,
    .position = positionLocal,
    .read = readLocal,
    .write = writeLocal,
    .probe_dir = probeLocal,
    .make_dir = mkdirLocal,
    .copy_to = velk_CopyToLocalArchive,
    .copy_from = velk_CopyFromLocalArchive,
    .index_size = nullptr,
    .open_index = openLocalIndex,
    .index_exists = localIndexExists,
    .place_index = nullptr,
    .getcwd = getcwdLocal,
    .list_dir = listLocalDir,
    .read_at = readAtLocal,
};

// The pipe is a local file without a name: what it does differently is
// where its archive comes from and goes to, and that it has no attributes.
const velk_archive_kind_t velk_kind_pipe = {
    .filetype = VELK_PIPE,
    .name = "local",
    .is_pipe = true,
    .through_gateway = false,
    .has_layout = false,
    .read_name = "local",
    .write_name = "local",
    .index_fd_kind = VELK_LOCAL_FILE,
    .seek_name = "local",
    .index_source = "?",
    .verify_close_name = "QUOR",
    .index_close_text = "",
    .create = createPipe,
    .commit = commitLocal,
    .remove = removeLocal,
    .open = openPipe,
    .attrs = pipeAttrs,
    .size_and_layout = pipeSize,
    .archive_read = archiveRead,
    .close = velk_KindLocalClose,
    .actual_size = actualSizePipe,
    .skip_forward = skipLocal,
    .file_size = fileSizeLocal,
    .position = positionLocal,
    .read = readLocal,
    .write = writeLocal,
    .probe_dir = probeLocal,
    .make_dir = mkdirLocal,
    .copy_to = velk_CopyToLocalArchive,
    .copy_from = velk_CopyFromLocalArchive,
    .index_size = nullptr,
    .open_index = openPipeIndex,
    .index_exists = localIndexExists,
    .place_index = nullptr,
    .getcwd = getcwdPipe,
    .list_dir = nullptr,
    .read_at = nullptr,
};
