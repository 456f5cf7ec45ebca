// File access on archive and index files of every kind: positioning, block
// reads and writes with their retry rules, intermediate directories for -P,
// the family and subsystem attributes of storage-system files and the
// truncation check of index entries.  Any thread may call these; no locks
// are taken here.  Every retry loop looks at the shutdown flag on each turn
// so that a forced shutdown never waits behind a busy file.

#include "velk_FileAccess.h"

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>

#include "quor_api.h"
#include "velk_ArchiveKind.h"
#include "velk_Env.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Utils.h"

static long noSpaceLimitSeconds()
{
    const char *text = getenv("VELK_NOSPACE_WAIT");
    if (text != nullptr && *text != '\0') {
        char *end = nullptr;
        long value = strtol(text, &end, 10);
        if (*end == '\0' && value >= 0)
            return value;
    }
    return 1800;
}

int velk_NoSpaceWait(velk_nospace_t *wait, const char *what)
{
    if (velk_shutdown_signalled.load())
        return -1;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (wait->since.tv_sec == 0 && wait->since.tv_nsec == 0)
        wait->since = now;
    long limit = noSpaceLimitSeconds();
    long waited = now.tv_sec - wait->since.tv_sec;
    if (waited >= limit) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "No space left writing %s for %ld seconds - giving up\n", what,
                    waited);
        return -1;
    }
    velk_Env().nospaceSleep(static_cast<unsigned>(std::min<long>(VELK_NOSPACE_WAIT_SECONDS, limit - waited)));
    return velk_shutdown_signalled.load() ? -1 : 0;
}

// A path component buffer: the longest archive path and its NUL.
static constexpr size_t kParentDirSize = 1025;

static const char *safeName(const char *name)
{
    return name != nullptr ? name : "";
}

// ---------------------------------------------------------------------------
// Positioning.
// ---------------------------------------------------------------------------

int velk_PositionFile(int theFd, int residency, uint64_t offsetIn, int posType, int quorDirection, uint64_t *offsetOut)
{
    VELK_TRACE_ENTRY();
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(residency);
    // A gateway kind reports where the seek ended.
    if (ops->through_gateway && offsetOut == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] internal error - no offset result given\n", __func__);
        return -1;
    }
    return ops->position(theFd, offsetIn, posType, quorDirection, offsetOut);
}

// ---------------------------------------------------------------------------
// Block reads and writes.
// ---------------------------------------------------------------------------

int velk_BlockRead(int theFd, const char *fileName, int residency, int bytesToRead, void *buf)
{
    VELK_TRACE_ENTRY();
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(residency);
    const char *kind = ops->read_name;
    if (bytesToRead < 0 || (bytesToRead > 0 && buf == nullptr)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] internal error - bad read request (%d bytes)\n", __func__,
                    bytesToRead);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }

    auto *p = static_cast<unsigned char *>(buf);
    int done = 0;
    int eioInRow = 0;
    bool sawEio = false;
    while (done < bytesToRead) {
        if (velk_shutdown_signalled.load()) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: shutdown requested - read of %s file %s stopped\n",
                        __func__, kind, safeName(fileName));
            return -1;
        }
        ssize_t n = ops->read(theFd, p + done, static_cast<size_t>(bytesToRead - done));
        if (n > 0) {
            done += static_cast<int>(n);
            eioInRow = 0;
            continue;
        }
        if (n == 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/ %s: (QUOR file) hit EOF with %d bytes left to read\n", __func__,
                               bytesToRead - done);
            break;
        }
        int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN) {
            // A non-blocking descriptor with nothing yet: wait for data
            // instead of spinning (a gateway call is simply tried again).
            if (ops->through_gateway)
                continue;
            err = -velk_WaitReady(theFd, POLLIN);
            if (err == 0)
                continue;
        } else if (err == EIO && ++eioInRow <= VELK_MAX_EIO_RETRIES) {
            sawEio = true;
            continue;
        }
        velk_SetExitCode(VELK_EXIT_IOERR);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d reading %d bytes from %s file: %s \n", __func__,
                    err, bytesToRead - done, kind, safeName(fileName));
        velk_Explain(VELK_MSG_ERROR, err, safeName(fileName));
        return -1;
    }
    if (sawEio && done == bytesToRead)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: Recovered I/O error reading %s file: %s\n", __func__, kind,
                    safeName(fileName));
    return done;
}

int velk_BlockWrite(int theFd, const char *fileName, int residency, int bytesToWrite, const void *buf)
{
    VELK_TRACE_ENTRY();
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(residency);
    const char *kind = ops->write_name;
    if (bytesToWrite < 0 || (bytesToWrite > 0 && buf == nullptr)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] internal error - bad write request (%d bytes)\n", __func__,
                    bytesToWrite);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }

    const auto *p = static_cast<const unsigned char *>(buf);
    int done = 0;
    int eioInRow = 0;
    int zeroInRow = 0;
    bool sawEio = false;
    velk_nospace_t noSpace;
    while (done < bytesToWrite) {
        if (velk_shutdown_signalled.load()) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: shutdown requested - write of %s file %s stopped\n",
                        __func__, kind, safeName(fileName));
            return -1;
        }
        // A local write moves at most VELK_LOCAL_WRITE_PIECE bytes.
        ssize_t n = ops->write(theFd, p + done, static_cast<size_t>(bytesToWrite - done));
        int err = 0;
        if (n > 0) {
            done += static_cast<int>(n);
            eioInRow = 0;
            velk_NoSpaceProgress(&noSpace);
            zeroInRow = 0;
            continue;
        }
        if (n == 0) {
            // A write that moves nothing is tried again, but a file that
            // keeps refusing data is failing: after a few in a row it is
            // treated as an I/O error.
            if (++zeroInRow <= VELK_MAX_ZERO_WRITES)
                continue;
            err = EIO;
        } else {
            err = errno;
            if (err == EINTR)
                continue;
            if (err == EAGAIN) {
                if (ops->through_gateway)
                    continue;
                err = -velk_WaitReady(theFd, POLLOUT);
                if (err == 0)
                    continue;
            } else if (err == EIO && ++eioInRow <= VELK_MAX_EIO_RETRIES) {
                sawEio = true;
                continue;
            } else if (err == ENOSPC) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                            "%s: NO SPACE writing to %s file: %s -delaying/retrying\n", __func__, kind,
                            safeName(fileName));
                if (velk_NoSpaceWait(&noSpace, safeName(fileName)) == 0)
                    continue;
                return -1;
            }
        }
        velk_SetExitCode(VELK_EXIT_IOERR);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d writing %d bytes to %s file: %s \n", __func__, err,
                    bytesToWrite - done, kind, safeName(fileName));
        velk_Explain(VELK_MSG_ERROR, err, safeName(fileName));
        return -1;
    }
    if (sawEio)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: Recovered I/O error writing %s file: %s\n", __func__, kind,
                    safeName(fileName));
    return done;
}

// ---------------------------------------------------------------------------
// Intermediate directories.
// ---------------------------------------------------------------------------

static int createDir(const char *path, mode_t mode, const velk_archive_kind_t *ops)
{
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/ attempting to create intermediate dir `%s'\n", path);
    return ops->make_dir(path, mode);
}

// Last '/' in path[0, end), or -1.
static long lastSlashBefore(const char *path, long end)
{
    for (long i = end - 1; i >= 0; --i)
        if (path[i] == '/')
            return i;
    return -1;
}

int velk_MakeAllSubdirs(char *dirPath, mode_t createMode, int residency)
{
    VELK_TRACE_ENTRY();
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(residency);
    if (ops->is_pipe) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("%s: skipping intermediate path creation for piped archive\n", __func__);
        return 0;
    }
    if (dirPath == nullptr)
        return 0;
    long dirEnd = lastSlashBefore(dirPath, static_cast<long>(strlen(dirPath)));
    // No '/' (the current directory) or only the leading one (the root):
    // nothing to create.
    if (dirEnd <= 0)
        return 0;

    // The file name is cut off while the directories are made; every exit
    // below puts the '/' back.
    dirPath[dirEnd] = '\0';
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/creating intermediate paths for `%s'\n", dirPath);

    // Upward walk: find the deepest ancestor that exists.  existingEnd is
    // the position of the '/' that ends it, 0 when none was found (nothing
    // of a relative path exists, or only the root of an absolute one).
    long existingEnd = 0;
    int result = 0;
    for (long end = dirEnd;;) {
        long slash = lastSlashBefore(dirPath, end);
        if (slash <= 0)
            break;
        dirPath[slash] = '\0';
        velk_subdir_probe_t probe = ops->probe_dir(dirPath);
        dirPath[slash] = '/';
        if (probe == VELK_PROBE_FAILED) {
            result = -1;
            break;
        }
        if (probe == VELK_PROBE_DIR) {
            existingEnd = slash;
            break;
        }
        end = slash;
    }

    // Downward walk: every directory below the existing one, down to the
    // file's own directory, which alone gets createMode unchanged.
    if (result == 0) {
        for (long i = existingEnd + 1; i < dirEnd; ++i) {
            if (dirPath[i] != '/')
                continue;
            dirPath[i] = '\0';
            int rc = createDir(dirPath, createMode | 0700, ops);
            dirPath[i] = '/';
            if (rc != 0) {
                result = -1;
                break;
            }
        }
    }
    if (result == 0 && createDir(dirPath, createMode, ops) != 0)
        result = -1;

    dirPath[dirEnd] = '/';
    return result;
}

// ---------------------------------------------------------------------------
// Storage-system attributes.
// ---------------------------------------------------------------------------

int velk_SetFamilyID(const char *pathName, int familyID)
{
    VELK_TRACE_ENTRY();
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/setting family ID for %s to %d\n", safeName(pathName), familyID);
    quor_fileattr_t attrIn;
    memset(&attrIn, 0, sizeof attrIn);
    attrIn.Attrs.FamilyId = static_cast<uint32_t>(familyID);
    int rc = quor_FileSetAttributes(pathName, QUOR_ATTRSEL_FAMILYID, &attrIn, nullptr);
    if (rc < 0)
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: Error %d trying to set family ID %d for %s\n", __func__,
                    rc, familyID, safeName(pathName));
    return rc;
}

long velk_GetParentSubsysID(const char *pathName)
{
    VELK_TRACE_ENTRY();
    char dir[kParentDirSize];
    const char *path = safeName(pathName);
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        snprintf(dir, sizeof dir, "%s", ".");
    } else if (slash == path) {
        snprintf(dir, sizeof dir, "%s", "/");
    } else {
        size_t len = static_cast<size_t>(slash - path);
        if (len > sizeof dir - 1)
            len = sizeof dir - 1;
        memcpy(dir, path, len);
        dir[len] = '\0';
    }
    quor_fileattr_t attr;
    memset(&attr, 0, sizeof attr);
    int rc = quor_FileGetAttributes(dir, &attr);
    if (rc < 0) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: error %d trying to obtain subsys ID for directory %s\n",
                    __func__, rc, dir);
        return 0;
    }
    return static_cast<long>(attr.Attrs.SubSystemId);
}

// ---------------------------------------------------------------------------
// Truncation check.
// ---------------------------------------------------------------------------

int velk_CheckFileTruncated(uint64_t archiveSize, const hif_entry_t *indexEntry, long indexOrdinal)
{
    if (indexEntry == nullptr)
        return 0;
    uint32_t type = velk_Get32(indexEntry->hent_type);
    if (type != VTO_FILE && type != VTO_HARDLINK)
        return 0;
    uint64_t offset = velk_Get64(indexEntry->hent_offset);
    uint64_t blocks = velk_Get32(indexEntry->hent_blocks);
    // The entry comes from an index file: an offset so large that the end
    // does not fit 64 bits lies beyond any archive.
    constexpr uint64_t kMaxBlocks = ~uint64_t{0} / VELK_BLOCKSIZE;
    bool beyond = offset > kMaxBlocks - blocks || (offset + blocks) * VELK_BLOCKSIZE > archiveSize;
    if (!beyond)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "%s: detected trucated member file at index ordinal %ld offset: %lu filesize: %luarchive size: %lu\n",
                __func__, indexOrdinal, static_cast<unsigned long>(offset * VELK_BLOCKSIZE),
                static_cast<unsigned long>(velk_Get64(indexEntry->hent_fsize)),
                static_cast<unsigned long>(archiveSize));
    return -1;
}
