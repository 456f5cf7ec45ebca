#include "velk_ArchiveFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "velk_ArchiveKind.h"
#include "velk_FileAccess.h"
#include "velk_GatewayRename.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"
#include "velk_Xfer.h"

char *velk_archive_tmpname = nullptr;

namespace {

void failIo()
{
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// The name the pending archive is renamed to (velk_archive, or the file a
// symbolic link of that name points to), velk_Malloc'd; null when none.
char *commitName = nullptr;

// The temporary name of archive for the create of process pid.
int tmpNameFor(const char *archive, long pid, char *out, size_t size)
{
    const char *slash = strrchr(archive, '/');
    size_t dirLen = slash == nullptr ? 0 : static_cast<size_t>(slash - archive) + 1;
    const char *base = archive + dirLen;
    char suffix[32];
    int suffixLen = snprintf(suffix, sizeof suffix, ".velk-%ld.tmp", pid);
    // The last component holds "." + base + suffix within NAME_MAX bytes.
    size_t baseLen = std::min(strlen(base), static_cast<size_t>(NAME_MAX - 1 - suffixLen));
    int n =
        snprintf(out, size, "%.*s.%.*s%s", static_cast<int>(dirLen), archive, static_cast<int>(baseLen), base, suffix);
    return n > 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

// The process id of name when name is, exactly, the temporary name of
// target's last component for a create by that process; else 0.
long tmpNamePid(const char *target, const char *name)
{
    static constexpr char kTag[] = ".velk-";
    static constexpr char kEnd[] = ".tmp";
    const size_t len = strlen(name);
    if (len <= sizeof kEnd - 1 || strcmp(name + len - (sizeof kEnd - 1), kEnd) != 0)
        return 0;
    const std::string stem(name, len - (sizeof kEnd - 1));
    const size_t tag = stem.rfind(kTag);
    if (tag == std::string::npos)
        return 0;
    const std::string digits = stem.substr(tag + sizeof kTag - 1);
    if (digits.empty() || digits.size() > 10 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const long pid = strtol(digits.c_str(), nullptr, 10);
    char expected[PATH_MAX];
    if (pid > INT_MAX || tmpNameFor(target, pid, expected, sizeof expected) != 0)
        return 0;
    const char *slash = strrchr(expected, '/');
    return strcmp(slash == nullptr ? expected : slash + 1, name) == 0 ? pid : 0;
}

// Temporary files of target found in its directory, with their processes.
struct StaleScan {
    const char *target;
    std::vector<std::pair<std::string, long>> found;
};

void collectTmpName(const char *name, void *arg)
{
    auto *scan = static_cast<StaleScan *>(arg);
    if (long pid = tmpNamePid(scan->target, name); pid > 0)
        scan->found.emplace_back(name, pid);
}

// Removes the temporary files of target that creates by processes no
// longer alive on this host left in its directory (a create that was
// killed could not remove its own), one message for each.  A live
// process's file, or any other name, is never touched.  Returns the count
// removed.
int removeStaleTmpFiles(const velk_archive_kind_t *ops, const char *target)
{
    if (ops->list_dir == nullptr || target == nullptr || *target == '\0')
        return 0;
    const char *slash = strrchr(target, '/');
    const std::string prefix = slash == nullptr ? "" : std::string(target, static_cast<size_t>(slash - target) + 1);
    StaleScan scan{target, {}};
    if (ops->list_dir(prefix.empty() ? "." : prefix.c_str(), collectTmpName, &scan) != 0)
        return 0;
    int removed = 0;
    for (const auto &[name, pid] : scan.found) {
        if (pid == static_cast<long>(getpid()) || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        const std::string path = prefix + name;
        if (ops->remove(path.c_str()) != 0)
            continue;
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "removed temporary file %s left by ended process %ld\n",
                    path.c_str(), pid);
        removed++;
    }
    return removed;
}

} // namespace

void velk_ForgetPendingArchive()
{
    VELK_FREE(velk_archive_tmpname);
    VELK_FREE(commitName);
    velk_archive_tmpname = nullptr;
    commitName = nullptr;
}

// Makes target (velk_archive, or the file a symbolic link of that name
// points to) the name the new archive will be renamed to and records its
// temporary name.  Returns 0, or -1 after the message.
int velk_SetPendingArchive(const char *target)
{
    char tmp[PATH_MAX];
    if (velk_ArchiveTmpName(target, tmp, sizeof tmp) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "archive path is too long for its temporary name: %s\n", target);
        return -1;
    }
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    (void)removeStaleTmpFiles(ops, target);
    if (ops->place_index != nullptr)
        (void)removeStaleTmpFiles(ops, velk_index_filename); // its index goes beside it the same way
    velk_archive_tmpname = VELK_STRDUP(tmp);
    commitName = VELK_STRDUP(target);
    if (velk_archive_tmpname == nullptr || commitName == nullptr) {
        velk_ForgetPendingArchive();
        return -1;
    }
    return 0;
}

void velk_ArchiveStatFailure(int err, const char *where)
{
    if (err == ENOENT)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no such %s archive file: %s\n", where, velk_archive);
    else if (err == EACCES)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] no permission to open %s archive file: %s\n", where,
                    velk_archive);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] error %d getting attributes for %s archive file %s\n",
                    err, where, velk_archive);
    failIo();
}

int velk_CheckRegularArchive(const struct stat *statBuf, const char *label)
{
    if (S_ISREG(statBuf->st_mode))
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] %s archive file %s is not a regular file\n", label,
                velk_archive);
    failIo();
    return -1;
}

int velk_CreateArchiveFile(const velk_xfer_settings_t *xs, const velk_archive_t *archive)
{
    velk_archive_stripewidth = 1;
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    // A pipe has no name: nothing to make above it, nothing to rename.
    if (ops->is_pipe)
        return ops->create(xs, archive);
    if (velk_Opt(VELK_OPT_MAKE_PARENTS)) {
        // The walk cuts the path in place and restores it.
        char path[VELK_MAX_ARCHIVE_PATH + 1];
        snprintf(path, sizeof path, "%s", velk_archive);
        if (velk_MakeAllSubdirs(path, 0777, velk_filetype) != 0) {
            failIo();
            return -1;
        }
    }
    velk_ForgetPendingArchive();
    int rc = ops->create(xs, archive);
    if (rc != 0) {
        // A gateway archive exists already when a later step of its
        // creation failed.
        if (velk_archive_fd >= 0) {
            (void)ops->close(velk_archive_fd);
            velk_archive_fd = -1;
        }
        velk_DiscardArchiveFile();
        failIo();
    }
    return rc;
}

int velk_ArchiveTmpName(const char *archive, char *out, size_t size)
{
    return tmpNameFor(archive, static_cast<long>(getpid()), out, size);
}

int velk_CommitArchiveFile()
{
    if (velk_archive_tmpname == nullptr)
        return 0;
    const char *tmp = velk_archive_tmpname;
    int rc = velk_CurrentArchiveKind()->commit(tmp, commitName);
    if (rc == VELK_RENAME_UNKNOWN) {
        // Either name may hold the new archive now: neither is removed.
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "The new Archive file is %s if that still exists (%s is then the old archive, as it was), "
                    "otherwise %s\n",
                    tmp, commitName, commitName);
        failIo();
        velk_ForgetPendingArchive();
        return VELK_RENAME_UNKNOWN;
    }
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d putting Archive file %s in place of %s\n", -rc, tmp,
                    commitName);
        failIo();
        return -1;
    }
    velk_ForgetPendingArchive();
    return 0;
}

void velk_DiscardArchiveFile()
{
    if (velk_archive_tmpname == nullptr)
        return;
    (void)velk_CurrentArchiveKind()->remove(velk_archive_tmpname);
    velk_ForgetPendingArchive();
}

int velk_GetArchiveXAttrs(int kind, quor_xfileattr_t *xattr, struct stat *statBuf)
{
    return velk_ArchiveKindOps(kind)->attrs(xattr, statBuf);
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
    return velk_CurrentArchiveKind()->open(openFlags, xattr, statBuf);
}

int velk_OpenArchiveForReading()
{
    quor_xfileattr_t xattr;
    memset(&xattr, 0, sizeof xattr);
    struct stat st;
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    int fd = velk_OpenArchiveFile(O_RDONLY, ops->has_layout ? &xattr : nullptr, &st);
    if (fd >= 0 && ops->has_layout) {
        int rc = velk_GetArchiveStripeInfo(velk_Opt(VELK_OPT_NOSTAGE) ? 1 : 0, &xattr);
        quor_FreeXAttributes(&xattr);
        if (rc != 0) {
            (void)ops->close(fd);
            return -1;
        }
    }
    return fd < 0 ? -1 : fd;
}

// ---------------------------------------------------------------------------
// Sequential archive reads.
// ---------------------------------------------------------------------------

static const char *archiveName()
{
    return velk_archive != nullptr ? velk_archive : "";
}

int64_t velk_ReadArchive(int fd, size_t length, void *buffer)
{
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    int source = ops->is_pipe ? STDIN_FILENO : fd;
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
        ssize_t n = ops->archive_read(source, p + done, length - done);
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
        if (err == EAGAIN && ops->through_gateway) {
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
        velk_Explain(VELK_MSG_ERROR, err, archiveName());
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (sawEio)
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "%s: Recovered I/O error reading archive file: %s\n", __func__,
                    archiveName());
    return static_cast<int64_t>(done);
}

int velk_SkipArchiveBytes(int fd, uint64_t length, uint64_t *dropped)
{
    static thread_local unsigned char sink[65536];
    *dropped = 0;
    while (*dropped < length) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof sink, length - *dropped));
        int64_t n = velk_ReadArchive(fd, want, sink);
        if (n < 0)
            return -1;
        *dropped += static_cast<uint64_t>(n);
        if (static_cast<size_t>(n) < want)
            break;
    }
    return 0;
}

int velk_ReadArchiveBlock(int fd, unsigned char *block)
{
    int64_t n = velk_ReadArchive(fd, VELK_BLOCKSIZE, block);
    if (n < 0)
        return -1;
    if (n == 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: no header block could be read from archive file %s\n",
                    "velk_ReadHdrBlock", archiveName());
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (n < static_cast<int64_t>(VELK_BLOCKSIZE)) {
        // The archive ends inside a block: the rest of it does not exist, so
        // the block is not a header.
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: archive file %s ends after %d bytes of a header block\n",
                    "velk_ReadHdrBlock", archiveName(), static_cast<int>(n));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

int velk_ReadHdrBlock(int fd, posix_header_t *header)
{
    unsigned char block[VELK_BLOCKSIZE];
    if (velk_ReadArchiveBlock(fd, block) != 0)
        return -1;
    return velk_GetTarHeader(block, header);
}

int velk_GetArchiveSizeAndLayout(uint64_t *size)
{
    return velk_CurrentArchiveKind()->size_and_layout(size);
}
