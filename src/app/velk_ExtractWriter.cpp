// The extract action's file-system writer: makes the local objects of the
// members below the current directory.  Every parent directory is reached
// without following symbolic links (a planted link or a non-directory in
// the way refuses the member), member files are created exclusively, and
// owners, modes and times are set on the object just made; directory
// attributes wait for the end and are applied deepest first.  A member file
// left half written by a stop is removed through the directory it was made
// in.  Runs on the archive reader's delivery thread during a range and on
// the initial thread otherwise, never both at once; takes no lock.

#include "velk_ExtractWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kyl_fd.h"
#include "velk_Env.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"

namespace {

constexpr size_t kLocalPathSize = VELK_LOCAL_PATH_SIZE;
// One wait for a writable descriptor before a write, in milliseconds.
constexpr int kWritePollMs = 250;
// Permission, set-ID and sticky bits of a mode.
constexpr uint32_t kModeBits = 07777;
// Creation modes: a new directory is always searchable and writable by its
// owner (its own mode comes at the end), a new file writable by its owner.
constexpr mode_t kDirOwnerBits = 0300;
constexpr mode_t kFileOwnerWrite = 0200;
// What to do when a member can't be made where extraction puts it.
constexpr const char *kExtractDirAdvice =
    "members are extracted below the working directory (or -C DIR), which must be writable";

bool optOn(uint32_t flag)
{
    return velk_Opt(flag);
}
bool toStdout()
{
    return velk_Opt(VELK_OPT_TO_STDOUT);
}
bool asRoot(velk_extract_writer_t *w)
{
    return w->effectiveUid == 0;
}

// Bounded copy of a fixed text field that need not be NUL-terminated.
template <size_t N>
void fieldText(char (&out)[N], const char *field, size_t width)
{
    size_t n = strnlen(field, std::min(width, N - 1));
    memcpy(out, field, n);
    out[n] = '\0';
}

// Prints a -v line on standard output (never with -O, whose standard output
// carries data).
void verboseLine(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void verboseLine(const char *fmt, ...)
{
    if (!optOn(VELK_OPT_VERBOSE) || toStdout())
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stdout, fmt, ap);
    va_end(ap);
    fflush(stdout);
}

} // namespace

void velk_ExtractRefuseDotDot(const char *path)
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Refusing to extract %s: the path has a \"..\" component\n", path);
    velk_NoteFailure("unsafe path refused");
    velk_SetExitCode(VELK_EXIT_IOERR);
}

namespace {

// ---------------------------------------------------------------------------
// Local objects.
// ---------------------------------------------------------------------------

// Walks the first len characters of path from the current directory, one
// component at a time, never following a symbolic link; creates missing
// components when create is set.  A directory made here belongs to the
// extracting user: only a directory member is given its archived owner.
// *fdOut gets an O_PATH descriptor of the last directory reached.  Returns
// 0, -2 (refused, after the ERROR and status 72) or -1 (after a message).
int walkDirs(velk_extract_writer_t *w, const char *path, size_t len, bool create, int *fdOut)
{
    int dfd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening the current directory\n", err);
        velk_Explain(VELK_MSG_ERROR, err, ".");
        return -1;
    }
    char comp[kLocalPathSize];
    size_t i = 0;
    while (i < len) {
        while (i < len && path[i] == '/')
            ++i;
        size_t start = i;
        while (i < len && path[i] != '/')
            ++i;
        size_t clen = i - start;
        if (clen == 0)
            break;
        if (clen >= sizeof comp) {
            close(dfd);
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating subdirectory %s\n", ENAMETOOLONG, path);
            return -1;
        }
        memcpy(comp, path + start, clen);
        comp[clen] = '\0';
        if (strcmp(comp, ".") == 0)
            continue;
        // The prefix of path up to this component, for messages.
        char sofar[kLocalPathSize];
        snprintf(sofar, sizeof sofar, "%.*s", static_cast<int>(i), path);

        int nfd = openat(dfd, comp, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (nfd < 0 && errno == ENOENT && create) {
            mode_t mode = (0777 & ~w->savedUmask) | kDirOwnerBits;
            if (mkdirat(dfd, comp, mode) != 0 && errno != EEXIST) {
                int err = errno;
                close(dfd);
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating subdirectory %s\n", err, sofar);
                velk_Explain(VELK_MSG_ERROR, err, sofar, kExtractDirAdvice);
                return -1;
            }
            nfd = openat(dfd, comp, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (nfd < 0) {
            int err = errno;
            struct stat st;
            bool exists = fstatat(dfd, comp, &st, AT_SYMLINK_NOFOLLOW) == 0;
            close(dfd);
            if (exists && S_ISLNK(st.st_mode)) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Refusing to extract %s: %s is a symbolic link\n", path,
                            sofar);
                velk_NoteFailure("unsafe path refused");
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -2;
            }
            if (exists && !S_ISDIR(st.st_mode)) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Refusing to extract %s: %s is not a directory\n", path,
                            sofar);
                velk_NoteFailure("unsafe path refused");
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -2;
            }
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d trying to create subdirectory %s\n", err, sofar);
            velk_Explain(VELK_MSG_ERROR, err, sofar, kExtractDirAdvice);
            return -1;
        }
        close(dfd);
        dfd = nfd;
    }
    *fdOut = dfd;
    return 0;
}

// Creates name in dirFd exclusively: an existing non-directory of that name
// (a file, a symbolic link, anything) is removed first, so nothing is ever
// written through a link.  Returns the descriptor, or -1 with errno set.
int createExclusive(int dirFd, const char *name, mode_t mode, int extraFlags)
{
    int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | extraFlags;
    int fd = openat(dirFd, name, flags, mode);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    if (unlinkat(dirFd, name, 0) != 0 && errno != ENOENT)
        return -1;
    return openat(dirFd, name, flags, mode);
}

// Owner (as root, unless -o), mode (-p) and times of the open member file,
// in that order so that the set-ID bits -p restores survive the change of
// owner.  A set-user-ID (set-group-ID) bit is restored only on a file whose
// owner (group) is the archived one: a program must never come to run as
// someone it did not run as in the archive.
void applyFileAttrs(velk_extract_writer_t *w, int fd)
{
    const char *func = "velk_WriteLocalFile";
    auto uid = static_cast<uid_t>(velk_Get32(w->curIndexEntry.hent_uid));
    auto gid = static_cast<gid_t>(velk_Get32(w->curIndexEntry.hent_gid));
    if (asRoot(w) && !optOn(VELK_OPT_OWN_IDS)) {
        if (fchown(fd, uid, gid) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting uid/gid for %s\n", func,
                        w->curLocalPath);
    }
    if (optOn(VELK_OPT_EXACT_PERMS)) {
        uint32_t mode = velk_Get32(w->curIndexEntry.hent_mode) & kModeBits;
        struct stat st;
        bool known = fstat(fd, &st) == 0;
        uint32_t wanted = mode;
        if (!known || st.st_uid != uid)
            mode &= ~static_cast<uint32_t>(S_ISUID);
        if (!known || st.st_gid != gid)
            mode &= ~static_cast<uint32_t>(S_ISGID);
        if (mode != wanted)
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                        "%s: set-ID bits not restored: the file's owner or group is not the archived one\n",
                        w->curLocalPath);
        if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
            perror("fchmod");
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) Error changing mode to 0%o for %s\n", func, mode,
                        w->curLocalPath);
        }
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    if (optOn(VELK_OPT_MTIME_NOW)) {
        times[1].tv_sec = 0;
        times[1].tv_nsec = UTIME_NOW;
    } else {
        times[1].tv_sec = static_cast<time_t>(velk_Get32(w->curIndexEntry.hent_mtime));
        times[1].tv_nsec = 0;
    }
    if (futimens(fd, times) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting modification time for %s\n", func,
                    w->curLocalPath);
}

// Closes the member file and marks it closed.
void closeLocalFile(velk_extract_writer_t *w)
{
    if (w->curLocalFileFd >= 0 && w->curLocalFileOwned && close(w->curLocalFileFd) != 0) {
        perror("close");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) warning: error closing local file %s (ignored)\n",
                    "velk_WriteLocalFile", w->curLocalPath);
    }
    w->curLocalFileFd = -1;
    w->curLocalFileOwned = false;
    if (w->curParentFd >= 0)
        close(w->curParentFd);
    w->curParentFd = -1;
}

// Removes the member file still open (its data incomplete) through the
// directory it was made in, and names it.  The failure that stopped the
// member has been counted already.
void removeIncomplete(velk_extract_writer_t *w)
{
    if (w->curLocalFileFd < 0 || !w->curLocalFileOwned)
        return;
    close(w->curLocalFileFd);
    w->curLocalFileFd = -1;
    int err = 0;
    if (w->curParentFd < 0)
        err = EBADF;
    else if (unlinkat(w->curParentFd, w->curLocalPath + w->curLeafAt, 0) != 0)
        err = errno;
    if (err == 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: incomplete, removed\n", w->curLocalPath);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: incomplete, error %d removing it\n", w->curLocalPath, err);
    closeLocalFile(w);
}

} // namespace

int velk_DeferDirectory(velk_extract_writer_t *w, const char *path, const hif_entry_t *entry)
{
    if (w->deferredCount == w->deferredSize) {
        size_t grown = w->deferredSize == 0 ? 64 : w->deferredSize * 2;
        void *p = VELK_REALLOC(w->deferredDirs, grown * sizeof(velk_extract_writer_t::DeferredDir));
        if (p == nullptr)
            return -1;
        w->deferredDirs = static_cast<velk_extract_writer_t::DeferredDir *>(p);
        w->deferredSize = grown;
    }
    char *copy = VELK_STRDUP(path);
    if (copy == nullptr)
        return -1;
    int depth = 0;
    for (const char *c = path; *c != '\0'; ++c)
        if (*c == '/')
            ++depth;
    velk_extract_writer_t::DeferredDir &d = w->deferredDirs[w->deferredCount++];
    d.path = copy;
    d.depth = depth;
    d.mode = velk_Get32(entry->hent_mode) & kModeBits;
    d.uid = velk_Get32(entry->hent_uid);
    d.gid = velk_Get32(entry->hent_gid);
    d.mtime = velk_Get32(entry->hent_mtime);
    return 0;
}

namespace {

void freeDeferred(velk_extract_writer_t *w)
{
    for (size_t i = 0; i < w->deferredCount; ++i)
        VELK_FREE(w->deferredDirs[i].path);
    VELK_FREE(w->deferredDirs);
    w->deferredDirs = nullptr;
    w->deferredCount = 0;
    w->deferredSize = 0;
}

} // namespace

void velk_ExtractDirectory(velk_extract_writer_t *w)
{
    char path[kLocalPathSize];
    snprintf(path, sizeof path, "%s", w->curLocalPath);
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/')
        path[--len] = '\0';
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/creating directory %s\n", path);
    verboseLine("%s: x %s/\n", velk_msg_prefix[VELK_MSG_VELK], velk_ShownName(path).c_str());
    if (toStdout() || len == 0)
        return;
    if (velk_Mkdir(w, path) != 0)
        return;
    if (velk_DeferDirectory(w, path, &w->curIndexEntry) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting mode flags for directory %s\n",
                    "readCallbackCtl", path);
}

int velk_ExtractFormPath(const char *archivePath, char *out, size_t size, int *strippedOut)
{
    const char *p = archivePath;
    while (*p == '/')
        ++p;
    if (strippedOut != nullptr)
        *strippedOut = p != archivePath ? 1 : 0;
    if (*p == '\0' && p != archivePath)
        return VELK_XPATH_ROOT_ONLY;
    // A ".." component anywhere would lead out of the current directory.
    for (const char *c = p; *c != '\0';) {
        const char *end = strchr(c, '/');
        size_t n = end != nullptr ? static_cast<size_t>(end - c) : strlen(c);
        if (n == 2 && c[0] == '.' && c[1] == '.')
            return VELK_XPATH_DOTDOT;
        if (end == nullptr)
            break;
        c = end + 1;
    }
    size_t len = strlen(p);
    if (len >= size)
        return VELK_XPATH_TOO_LONG;
    memcpy(out, p, len + 1);
    return VELK_XPATH_OK;
}

void velk_ExtractWriterPrepare(velk_extract_writer_t *w)
{
    w->savedUmask = umask(0);
    w->umaskSaved = true;
    w->effectiveUid = geteuid();
    if (w->curLocalFileOwned)
        closeLocalFile(w);
    w->curLocalFileFd = -1;
    w->curLocalFileOwned = false;
    freeDeferred(w);
}

void velk_ExtractRestoreUmask(velk_extract_writer_t *w)
{
    if (w->umaskSaved)
        umask(w->savedUmask);
    w->umaskSaved = false;
}

int velk_ExtractWriterBegin(velk_extract_writer_t *w, const hif_entry_t *entry, int64_t ordinal)
{
    memcpy(&w->curIndexEntry, entry, sizeof w->curIndexEntry);
    w->curFileIsDevNull = false;
    w->curFileDiscard = false;
    w->curFileDoCheckSum = false;
    w->curLocFileSize = velk_Get64(entry->hent_fsize);
    w->curLocFileWritten = 0;
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    int stripped = 0;
    int rc = velk_ExtractFormPath(path, w->curLocalPath, sizeof w->curLocalPath, &stripped);
    if (rc == VELK_XPATH_OK)
        return 0;
    if (rc == VELK_XPATH_DOTDOT)
        velk_ExtractRefuseDotDot(path);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Index entry %ld has no usable path: [%s]\n",
                    static_cast<long>(ordinal), path);
    if (rc != VELK_XPATH_DOTDOT)
        velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

int velk_OpenMemberParent(velk_extract_writer_t *w, const char *path, int create, int *fdOut, const char **leafOut)
{
    const char *slash = strrchr(path, '/');
    size_t len = slash != nullptr ? static_cast<size_t>(slash - path) : 0;
    int rc = walkDirs(w, path, len, create != 0, fdOut);
    if (rc == 0)
        *leafOut = slash != nullptr ? slash + 1 : path;
    return rc;
}

int velk_Mkdir(velk_extract_writer_t *w, const char *path)
{
    while (*path == '/')
        ++path;
    if (toStdout() || *path == '\0')
        return 0;
    int fd = -1;
    int rc = walkDirs(w, path, strlen(path), true, &fd);
    if (rc == 0)
        close(fd);
    return rc;
}

int velk_Symlink(velk_extract_writer_t *w, const char *path, const char *target)
{
    if (toStdout())
        return 0;
    verboseLine("%s: x %s is a symbolic link to %s\n", velk_msg_prefix[VELK_MSG_VELK], velk_ShownName(path).c_str(),
                velk_ShownName(target).c_str());
    while (*path == '/')
        ++path;
    if (*path == '\0')
        return 0;
    char name[kLocalPathSize];
    snprintf(name, sizeof name, "%s", path);
    size_t len = strlen(name);
    if (len > 0 && name[len - 1] == '/')
        name[--len] = '\0';
    if (len == 0)
        return 0;
    int dfd = -1;
    const char *leaf = nullptr;
    int rc = velk_OpenMemberParent(w, name, 1, &dfd, &leaf);
    if (rc != 0)
        return -1;
    kyl_fd dir(dfd);
    // Whatever held the name before goes (a directory stays and the link
    // then fails).
    unlinkat(dfd, leaf, 0);
    if (symlinkat(target, dfd, leaf) != 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating symlink %s->%s\n", err, name, target);
        velk_Explain(VELK_MSG_ERROR, err, name, kExtractDirAdvice);
        velk_NoteFailure("symlink not created");
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    // With -p the link keeps its archived time, as tar programs restore it;
    // the link itself is changed, never what it points at.
    if (optOn(VELK_OPT_EXACT_PERMS) && !optOn(VELK_OPT_MTIME_NOW)) {
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_NOW;
        times[1].tv_sec = static_cast<time_t>(velk_Get32(w->curIndexEntry.hent_mtime));
        times[1].tv_nsec = 0;
        if (utimensat(dfd, leaf, times, AT_SYMLINK_NOFOLLOW) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting modification time for %s\n",
                        "velk_Symlink", name);
    }
    return 0;
}

int velk_InitLocalFile(velk_extract_writer_t *w)
{
    uint32_t mode = velk_Get32(w->curIndexEntry.hent_mode) & kModeBits;
    w->curLocFileSize = velk_Get64(w->curIndexEntry.hent_fsize);
    w->curLocFileWritten = 0;
    w->curFileDiscard = false;
    w->curLocalFileFd = -1;
    w->curLocalFileOwned = false;
    w->curFileDoCheckSum = false;
    // A stored CRC is always checked: it costs one pass over data already
    // in memory, and a damaged archive must not pass for a good one.
    if ((velk_Get32(w->curIndexEntry.hent_flags) & HIF_FLAG_CRC) != 0 && !w->curFileIsDevNull) {
        w->curFileDoCheckSum = true;
        w->curIndexEntryCRC = velk_Get32(w->curIndexEntry.hent_crc32);
        velk_ChecksumInit(&w->curLocFileCRC);
    }
    verboseLine("%s: x %s, %lu bytes, %d media blocks\n", velk_msg_prefix[VELK_MSG_VELK],
                velk_ShownName(w->curLocalPath).c_str(), static_cast<unsigned long>(w->curLocFileSize),
                static_cast<int>(velk_Get32(w->curIndexEntry.hent_blocks)));
    size_t len = strlen(w->curLocalPath);
    if (len > 0 && w->curLocalPath[len - 1] == '/')
        w->curLocalPath[--len] = '\0';

    if (w->curFileIsDevNull) {
        // A placeholder's data are zeros: nothing is written anywhere.
        w->curFileDiscard = true;
        return 0;
    }
    if (toStdout()) {
        fflush(stdout);
        w->curLocalFileFd = STDOUT_FILENO;
        return 0;
    }
    char *name = w->curLocalPath;
    while (*name == '/')
        ++name;
    int dfd = -1;
    const char *leaf = nullptr;
    int rc = velk_OpenMemberParent(w, name, 1, &dfd, &leaf);
    if (rc == -2) {
        w->curFileDiscard = true;
        w->curFileDoCheckSum = false;
        return 1;
    }
    if (rc != 0)
        return -1;
    kyl_fd dir(dfd);
    mode_t createMode = static_cast<mode_t>((mode & 0777 & ~w->savedUmask) | kFileOwnerWrite);
    kyl_fd file(createExclusive(dfd, leaf, createMode, w->curLocFileSize > 0 ? O_TRUNC | O_NONBLOCK : O_TRUNC));
    if (!file.valid()) {
        int err = errno;
        perror(w->curLocFileSize > 0 ? "open (create)" : "creat");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Cannot create %s (error=%d)\n", w->curLocalPath, err);
        velk_Explain(VELK_MSG_ERROR, err, w->curLocalPath, kExtractDirAdvice);
        velk_NoteFailure("could not be created");
        return -1;
    }
    if (w->curLocFileSize == 0)
        applyFileAttrs(w, file.get());
    // The extract state owns the member file, and the directory it was made
    // in (through which an incomplete file is removed), from here on.
    w->curLocalFileFd = file.release();
    w->curLocalFileOwned = true;
    w->curParentFd = dir.release();
    w->curLeafAt = static_cast<size_t>(leaf - w->curLocalPath);
    if (w->curLocFileSize == 0)
        closeLocalFile(w);
    return 0;
}

int velk_WriteLocalFile(velk_extract_writer_t *w, const unsigned char *bytes, uint32_t length, int *blocksConsumedOut)
{
    uint64_t need = w->curLocFileSize - w->curLocFileWritten;
    uint64_t n = std::min<uint64_t>(length, need);
    *blocksConsumedOut = static_cast<int>((n + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE);
    if (n == 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - no data due for %s\n", __func__,
                    w->curLocalPath);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    if (w->curFileDoCheckSum)
        velk_ChecksumBuffer(bytes, static_cast<size_t>(n), &w->curLocFileCRC);

    if (!w->curFileDiscard) {
        if (w->curLocalFileFd < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - %s is not open\n", __func__,
                        w->curLocalPath);
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        size_t done = 0;
        bool spaceWarned = false;
        velk_nospace_t noSpace;
        int zeroWrites = 0;
        while (done < n) {
            struct pollfd pfd;
            pfd.fd = w->curLocalFileFd;
            pfd.events = POLLOUT;
            pfd.revents = 0;
            int prc = poll(&pfd, 1, kWritePollMs);
            if (prc < 0 && errno != EINTR) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on select while writing local file %s\n",
                            errno, w->curLocalPath);
                return -1;
            }
            // A forced shutdown stops the member; the caller removes it.
            if (velk_shutdown_signalled.load() != 0)
                return -1;
            if (prc <= 0)
                continue;
            ssize_t wrote =
                velk_Env().localWrite(w->curLocalFileFd, bytes + done,
                                      std::min<size_t>(static_cast<size_t>(n) - done, VELK_LOCAL_WRITE_PIECE));
            if (wrote > 0) {
                done += static_cast<size_t>(wrote);
                zeroWrites = 0;
                velk_NoSpaceProgress(&noSpace);
                continue;
            }
            int err = wrote == 0 ? (++zeroWrites > VELK_MAX_ZERO_WRITES ? EIO : 0) : errno;
            if (err == 0 || err == EINTR || err == EAGAIN)
                continue;
            if (err == ENOSPC) {
                if (!spaceWarned) {
                    fputs("Out of space in local filesystem - retrying\n", stderr);
                    fflush(stderr);
                    spaceWarned = true;
                }
                // The wait is bounded, and a forced shutdown ends it.
                if (velk_NoSpaceWait(&noSpace, w->curLocalPath) == 0)
                    continue;
                if (velk_shutdown_signalled.load() != 0)
                    return -1;
            }
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing local file %s\n", err, w->curLocalPath);
            velk_Explain(VELK_MSG_ERROR, err, w->curLocalPath);
            velk_NoteFailure("write error");
            return -1;
        }
    }
    w->curLocFileWritten += n;
    if (w->curLocFileWritten < w->curLocFileSize)
        return 0;

    if (w->curFileDoCheckSum) {
        uint32_t crc = velk_ChecksumFinalize(&w->curLocFileCRC);
        if (crc != w->curIndexEntryCRC) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "CRC error on %s. Index CRC=%8.8x Extracted File CRC=%8.8x\n", w->curLocalPath,
                        w->curIndexEntryCRC, crc);
            velk_NoteFailure("CRC mismatch");
            velk_SetExitCode(VELK_EXIT_MISMATCH);
        }
        w->curFileDoCheckSum = false;
    }
    if (w->curLocalFileOwned) {
        applyFileAttrs(w, w->curLocalFileFd);
        closeLocalFile(w);
    }
    w->curLocalFileFd = -1;
    return 0;
}

void velk_ExtractCloseFile(velk_extract_writer_t *w)
{
    closeLocalFile(w);
}

void velk_ExtractRemoveIncomplete(velk_extract_writer_t *w)
{
    removeIncomplete(w);
}

void velk_FinishDirectories(velk_extract_writer_t *w)
{
    if (w->deferredCount == 0) {
        freeDeferred(w);
        return;
    }
    // Deepest first: a directory made read-only must not block what lies
    // below it, and setting a child's attributes leaves the parent's times
    // alone.
    std::stable_sort(w->deferredDirs, w->deferredDirs + w->deferredCount,
                     [](const velk_extract_writer_t::DeferredDir &a, const velk_extract_writer_t::DeferredDir &b) {
                         return a.depth > b.depth;
                     });
    const char *func = "readCallbackCtl";
    for (size_t i = 0; i < w->deferredCount; ++i) {
        const velk_extract_writer_t::DeferredDir &d = w->deferredDirs[i];
        int dfd = -1;
        const char *leaf = nullptr;
        if (velk_OpenMemberParent(w, d.path, 0, &dfd, &leaf) != 0)
            continue;
        // Every change goes through one descriptor of the directory itself,
        // opened without following a link: whatever replaces the name in
        // the meantime is never touched.
        kyl_fd dir(openat(dfd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        close(dfd);
        if (!dir.valid()) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting time(s) for directory %s\n", func,
                        d.path);
            continue;
        }
        velk_Env().dirOpened(d.path);
        if (asRoot(w) && !optOn(VELK_OPT_OWN_IDS)) {
            if (fchown(dir.get(), static_cast<uid_t>(d.uid), static_cast<gid_t>(d.gid)) != 0)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting uid/gid for directory %s\n", func,
                            d.path);
        }
        if (optOn(VELK_OPT_EXACT_PERMS)) {
            if (fchmod(dir.get(), static_cast<mode_t>(d.mode)) != 0)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting mode flags for directory %s\n", func,
                            d.path);
        }
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(d.mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (futimens(dir.get(), times) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting time(s) for directory %s\n", func,
                        d.path);
    }
    freeDeferred(w);
}
