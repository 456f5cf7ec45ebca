// The extract action.  Pass 1 reads the index alone: it selects entries by
// path (or by ordinal with -J), checks each against the archive's size and
// its own type and size, refuses paths that would leave the current
// directory, and groups the rest into ranges of back-to-back members.  Pass
// 2 has the archive reader deliver each range, in order, to readCallbackCtl,
// which runs on the reader's delivery thread while the initial thread waits
// in the reader; the extraction state (velk_extract_state_t, owned by
// velk_Extract and handed to the callback as its argument) is therefore
// used by one thread at a time and takes no lock.  Local files are created below the current
// directory only: every parent directory is reached without following
// symbolic links, member files are created exclusively, and owners, modes
// and times are set on the object just made.  Directory attributes are
// applied at the end, deepest first.

#include "velk_Extract.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "velk_Actions.h"
#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "kyl_fd.h"
#include "velk_FileAccess.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_HardLink.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_IndexOrder.h"
#include "velk_LogMsg.h"
#include "velk_MemberNames.h"
#include "velk_MemberStatus.h"
#include "velk_Ranges.h"
#include "velk_Memory.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"

void (*velk_extract_dir_opened_hook)(const char *path) = nullptr;

namespace {

constexpr size_t kLocalPathSize = VELK_LOCAL_PATH_SIZE;
// One wait for a writable descriptor before a write, in milliseconds.
constexpr int kWritePollMs = 250;
// Names that mark the placeholder of a member whose file was missing when
// the archive was made.
constexpr char kDevNull[] = "/dev/null";
// Permission, set-ID and sticky bits of a mode.
constexpr uint32_t kModeBits = 07777;
// Creation modes: a new directory is always searchable and writable by its
// owner (its own mode comes at the end), a new file writable by its owner.
constexpr mode_t kDirOwnerBits = 0300;
constexpr mode_t kFileOwnerWrite = 0200;

bool optOn(uint32_t flag)
{
    return velk_Opt(flag);
}
bool toStdout()
{
    return velk_Opt(VELK_OPT_TO_STDOUT);
}
bool asRoot(velk_extract_state_t *xs)
{
    return xs->effectiveUid == 0;
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

void refuseDotDot(const char *path)
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Refusing to extract %s: the path has a \"..\" component\n", path);
    velk_NoteFailure("unsafe path refused");
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// ---------------------------------------------------------------------------
// Local objects.
// ---------------------------------------------------------------------------

// Walks the first len characters of path from the current directory, one
// component at a time, never following a symbolic link; creates missing
// components when create is set.  A directory made here belongs to the
// extracting user: only a directory member is given its archived owner.
// *fdOut gets an O_PATH descriptor of the last directory reached.  Returns
// 0, -2 (refused, after the ERROR and status 72) or -1 (after a message).
int walkDirs(velk_extract_state_t *xs, const char *path, size_t len, bool create, int *fdOut)
{
    int dfd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening the current directory\n", errno);
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
            mode_t mode = (0777 & ~xs->savedUmask) | kDirOwnerBits;
            if (mkdirat(dfd, comp, mode) != 0 && errno != EEXIST) {
                int err = errno;
                close(dfd);
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating subdirectory %s\n", err, sofar);
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
void applyFileAttrs(velk_extract_state_t *xs, int fd)
{
    const char *func = "velk_WriteLocalFile";
    auto uid = static_cast<uid_t>(velk_Get32(xs->curIndexEntry.hent_uid));
    auto gid = static_cast<gid_t>(velk_Get32(xs->curIndexEntry.hent_gid));
    if (asRoot(xs) && !optOn(VELK_OPT_OWN_IDS)) {
        if (fchown(fd, uid, gid) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting uid/gid for %s\n", func,
                        xs->curLocalPath);
    }
    if (optOn(VELK_OPT_EXACT_PERMS)) {
        uint32_t mode = velk_Get32(xs->curIndexEntry.hent_mode) & kModeBits;
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
                        xs->curLocalPath);
        if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
            perror("fchmod");
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) Error changing mode to 0%o for %s\n", func, mode,
                        xs->curLocalPath);
        }
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    if (optOn(VELK_OPT_MTIME_NOW)) {
        times[1].tv_sec = 0;
        times[1].tv_nsec = UTIME_NOW;
    } else {
        times[1].tv_sec = static_cast<time_t>(velk_Get32(xs->curIndexEntry.hent_mtime));
        times[1].tv_nsec = 0;
    }
    if (futimens(fd, times) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting modification time for %s\n", func,
                    xs->curLocalPath);
}

// Closes the member file and marks it closed.
void closeLocalFile(velk_extract_state_t *xs)
{
    if (xs->curLocalFileFd >= 0 && xs->curLocalFileOwned && close(xs->curLocalFileFd) != 0) {
        perror("close");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) warning: error closing local file %s (ignored)\n",
                    "velk_WriteLocalFile", xs->curLocalPath);
    }
    xs->curLocalFileFd = -1;
    xs->curLocalFileOwned = false;
    if (xs->curParentFd >= 0)
        close(xs->curParentFd);
    xs->curParentFd = -1;
}

// Removes the member file still open (its data incomplete) through the
// directory it was made in, and names it.  The failure that stopped the
// member has been counted already.
void removeIncomplete(velk_extract_state_t *xs)
{
    if (xs->curLocalFileFd < 0 || !xs->curLocalFileOwned)
        return;
    close(xs->curLocalFileFd);
    xs->curLocalFileFd = -1;
    int err = 0;
    if (xs->curParentFd < 0)
        err = EBADF;
    else if (unlinkat(xs->curParentFd, xs->curLocalPath + xs->curLeafAt, 0) != 0)
        err = errno;
    if (err == 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: incomplete, removed\n", xs->curLocalPath);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: incomplete, error %d removing it\n", xs->curLocalPath, err);
    closeLocalFile(xs);
}

} // namespace

int velk_DeferDirectory(velk_extract_state_t *xs, const char *path, const hif_entry_t *entry)
{
    if (xs->deferredCount == xs->deferredSize) {
        size_t grown = xs->deferredSize == 0 ? 64 : xs->deferredSize * 2;
        void *p = VELK_REALLOC(xs->deferredDirs, grown * sizeof(velk_extract_state_t::DeferredDir));
        if (p == nullptr)
            return -1;
        xs->deferredDirs = static_cast<velk_extract_state_t::DeferredDir *>(p);
        xs->deferredSize = grown;
    }
    char *copy = VELK_STRDUP(path);
    if (copy == nullptr)
        return -1;
    int depth = 0;
    for (const char *c = path; *c != '\0'; ++c)
        if (*c == '/')
            ++depth;
    velk_extract_state_t::DeferredDir &d = xs->deferredDirs[xs->deferredCount++];
    d.path = copy;
    d.depth = depth;
    d.mode = velk_Get32(entry->hent_mode) & kModeBits;
    d.uid = velk_Get32(entry->hent_uid);
    d.gid = velk_Get32(entry->hent_gid);
    d.mtime = velk_Get32(entry->hent_mtime);
    return 0;
}

namespace {

void freeDeferred(velk_extract_state_t *xs)
{
    for (size_t i = 0; i < xs->deferredCount; ++i)
        VELK_FREE(xs->deferredDirs[i].path);
    VELK_FREE(xs->deferredDirs);
    xs->deferredDirs = nullptr;
    xs->deferredCount = 0;
    xs->deferredSize = 0;
}

// A directory member: created with its missing parents; its attributes wait
// for the end.
void extractDirectory(velk_extract_state_t *xs)
{
    char path[kLocalPathSize];
    snprintf(path, sizeof path, "%s", xs->curLocalPath);
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/')
        path[--len] = '\0';
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/creating directory %s\n", path);
    verboseLine("%s: x %s/\n", velk_msg_prefix[VELK_MSG_VELK], path);
    if (toStdout() || len == 0)
        return;
    if (velk_Mkdir(xs, path) != 0)
        return;
    if (velk_DeferDirectory(xs, path, &xs->curIndexEntry) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting mode flags for directory %s\n",
                    "readCallbackCtl", path);
}

// ---------------------------------------------------------------------------
// The callback's steps.
// ---------------------------------------------------------------------------

void headerInconsistency(velk_extract_state_t *xs)
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&xs->curIndexEntry, path, sizeof path);
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, " %s: fatal inconsistency detected \n", "readCallbackCtl");
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        At Index File entry %ld, path=%s\n",
                static_cast<long>(xs->curListIxCur), path);
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        Archive address: %lu \n",
                static_cast<unsigned long>(xs->curArchiveAddr));
}

// Checks the member's header block against its entry and acts on the
// member's type.  0 to go on, -1 to stop.
int handleHeader(velk_extract_state_t *xs, const unsigned char *block)
{
    const char *func = "readCallbackCtl";
    if (velk_GetTarHeader(block, &xs->curTarHeader) != 0) {
        headerInconsistency(xs);
        velk_NoteFailure("header mismatch");
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    char hName[USTAR_name_size + 1];
    char hPrefix[USTAR_prefix_size + 1];
    char iName[HENT_name_size + 1];
    char iPrefix[USTAR_prefix_size + 1];
    fieldText(hName, xs->curTarHeader.thb_name, USTAR_name_size);
    fieldText(hPrefix, xs->curTarHeader.thb_prefix, USTAR_prefix_size);
    fieldText(iName, xs->curIndexEntry.hent_name, HENT_name_size);
    fieldText(iPrefix, xs->curIndexEntry.hent_prefix, USTAR_prefix_size);
    if (hPrefix[0] == '\0' && strcmp(hName, kDevNull) == 0) {
        // The placeholder of a member that failed while the archive was made.
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&xs->curIndexEntry, path, sizeof path);
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "%s: At index entry %ld, archive filename '/dev/null' was found -  index filename is %s \n", func,
                    static_cast<long>(xs->curListIxCur), path);
        snprintf(xs->curLocalPath, sizeof xs->curLocalPath, "%s", kDevNull);
        xs->curFileIsDevNull = true;
        ++xs->devNullFileCount;
        velk_NoteFailure("extracted to /dev/null");
    } else if (strcmp(hPrefix, iPrefix) != 0 || strcmp(hName, iName) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal pathname inconsistency detected\n", func);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     At Index File entry %ld, Archive address %lu\n",
                    static_cast<long>(xs->curListIxCur), static_cast<unsigned long>(xs->curArchiveAddr));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Index path prefix=\"%s\" Archive path prefix=\"%s\"\n",
                    iPrefix, hPrefix);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Index filename=\"%s\" Archive filename=\"%s\"\n", iName,
                    hName);
        velk_NoteFailure("header mismatch");
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    // The entry's size decides how many bytes are written; a header that
    // disagrees means the index does not describe this archive.
    uint64_t headerSize = velk_GetMemberFilesize(&xs->curTarHeader);
    uint64_t entrySize = velk_Get64(xs->curIndexEntry.hent_fsize);
    if (headerSize != entrySize) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal index inconsistency: archive header size %lu differs from index size %lu\n", func,
                    static_cast<unsigned long>(headerSize), static_cast<unsigned long>(entrySize));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        At Index File entry %ld, path=%s\n",
                    static_cast<long>(xs->curListIxCur), xs->curLocalPath);
        velk_NoteFailure("header mismatch");
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }

    switch (xs->curIndexType) {
    case VTO_DIRECTORY: extractDirectory(xs); break;
    case VTO_FILE: {
        if (velk_debug_level >= 2)
            velk_ErrPrintf("%s to extract file %s\n", "starting", xs->curLocalPath);
        int rc = velk_InitLocalFile(xs);
        if (rc < 0)
            return -1;
        if (rc == 0)
            ++xs->file_objects;
        if (velk_debug_level >= 2 && xs->curBlockCount == 1)
            velk_ErrPrintf("/debug/handling zero-length file: %s\n", xs->curLocalPath);
        break;
    }
    case VTO_SYMLINK: {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("will create symlink for %s\n", xs->curLocalPath);
        char target[HENT_linkname_size + 1];
        fieldText(target, xs->curIndexEntry.hent_linkname, HENT_linkname_size);
        if (velk_Symlink(xs, xs->curLocalPath, target) == 0)
            ++xs->file_objects;
        break;
    }
    case VTO_HARDLINK: break;
    default: {
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&xs->curIndexEntry, path, sizeof path);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    " %s: fatal: unrecognized object type {%d) for index entry %ld (%s) \n", func,
                    static_cast<int>(xs->curIndexType), static_cast<long>(xs->curListIxCur), path);
        velk_NoteFailure("unrecognized type");
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    }
    velk_hardlink_member_t link{xs->curIndexType,
                                xs->curLocalPath,
                                xs->curIndexEntry.hent_linkname,
                                xs->curLocalFileOwned ? xs->curLocalFileFd : -1,
                                !xs->curFileDiscard && !xs->curFileIsDevNull,
                                xs->savedUmask};
    xs->file_objects += velk_HardLinkMember(&link);
    xs->curTarHeaderExtracted = true;
    return 0;
}

// The current member's blocks are all handled.  0, or -1 when its local
// file was left open (an internal error).
int finishMember(velk_extract_state_t *xs)
{
    ++xs->total_ix_entries;
    ++xs->total_objects;
    if (xs->curIndexType == VTO_FILE) {
        xs->total_file_bytes += xs->curLocFileSize;
        velk_StatusMsg(xs->curListLeftToDo == 1 ? 1 : 0, "Bytes: %lu Index Entries: %ld",
                       static_cast<unsigned long>(xs->total_file_bytes), xs->total_ix_entries);
    }
    --xs->curListLeftToDo;
    xs->curHaveEntry = false;
    if (xs->curLocalFileFd >= 0 && xs->curLocalFileOwned) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error - all blocks processed according to Index File\n", "readCallbackCtl");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     but local file %s still open\n", xs->curLocalPath);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        closeLocalFile(xs);
        return -1;
    }
    xs->curLocalFileFd = -1;
    return 0;
}

// Makes entry, read again from the index during pass 2, the current member
// after checking that it still describes what pass 1 laid out: a sane entry
// whose member starts at expectedBlock and ends inside the range.  0, or -1
// after the message with status 72.
int beginRangeMember(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal, uint64_t expectedBlock,
                     uint64_t rangeEndBlock)
{
    if (velk_RangeMemberOk(entry, ordinal, expectedBlock, rangeEndBlock, "velk_Extract", "extraction") != 0) {
        xs->curHaveEntry = false;
        return -1;
    }
    return velk_ExtractBeginMember(xs, entry, ordinal);
}

// Reads the range's next entry and makes it current: the member that starts
// where the previous one ended.  0 or -1.
int nextRangeEntry(velk_extract_state_t *xs)
{
    const char *func = "readCallbackCtl";
    if (xs->curListEntry == nullptr || xs->curListLeftToDo <= 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error - archive data beyond the last entry of the range at address %lu\n", func,
                    static_cast<unsigned long>(xs->curArchiveAddr));
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    hif_entry_t *entry = nullptr;
    int eof = 0;
    int limit = static_cast<int>(std::min<int64_t>(xs->curListLeftToDo, INT_MAX));
    if (velk_IndexFileRead(xs->index_Fd, xs->index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
        entry == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error reading index entry %ld from %s\n", func,
                    static_cast<long>(xs->curListIxCur + 1), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    ++xs->curListIxCur;
    ++xs->curFileSpecInx;
    return beginRangeMember(xs, entry, xs->curListIxCur, xs->curArchiveAddr / VELK_BLOCKSIZE,
                            xs->curListEntry->ixEndBlock);
}

} // namespace

// ---------------------------------------------------------------------------
// Exported routines.
// ---------------------------------------------------------------------------

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

void velk_ExtractPrepare(velk_extract_state_t *xs)
{
    xs->savedUmask = umask(0);
    xs->umaskSaved = true;
    xs->effectiveUid = geteuid();
    xs->total_objects = 0;
    xs->file_objects = 0;
    xs->devNullFileCount = 0;
    xs->total_ix_entries = 0;
    xs->total_file_bytes = 0;
    xs->leadingSlashNoticed = false;
    xs->curHaveEntry = false;
    if (xs->curLocalFileOwned)
        closeLocalFile(xs);
    xs->curLocalFileFd = -1;
    xs->curLocalFileOwned = false;
    freeDeferred(xs);
}

void velk_ExtractRestoreUmask(velk_extract_state_t *xs)
{
    if (xs->umaskSaved)
        umask(xs->savedUmask);
    xs->umaskSaved = false;
}

int velk_ExtractBeginMember(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal)
{
    memcpy(&xs->curIndexEntry, entry, sizeof xs->curIndexEntry);
    xs->curListIxCur = ordinal;
    xs->curIndexType = velk_Get32(entry->hent_type);
    xs->curArchiveAddr = velk_Get64(entry->hent_offset) * VELK_BLOCKSIZE;
    xs->curBlockCount = velk_Get32(entry->hent_blocks);
    xs->curBlocksHandled = 0;
    xs->curTarHeaderExtracted = false;
    xs->curFileIsDevNull = false;
    xs->curFileDiscard = false;
    xs->curFileDoCheckSum = false;
    xs->curLocFileSize = velk_Get64(entry->hent_fsize);
    xs->curLocFileWritten = 0;
    xs->curHaveEntry = true;
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    int stripped = 0;
    int rc = velk_ExtractFormPath(path, xs->curLocalPath, sizeof xs->curLocalPath, &stripped);
    if (rc == VELK_XPATH_OK)
        return 0;
    if (rc == VELK_XPATH_DOTDOT)
        refuseDotDot(path);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Index entry %ld has no usable path: [%s]\n",
                    static_cast<long>(ordinal), path);
    if (rc != VELK_XPATH_DOTDOT)
        velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    xs->curHaveEntry = false;
    return -1;
}

int velk_OpenMemberParent(velk_extract_state_t *xs, const char *path, int create, int *fdOut, const char **leafOut)
{
    const char *slash = strrchr(path, '/');
    size_t len = slash != nullptr ? static_cast<size_t>(slash - path) : 0;
    int rc = walkDirs(xs, path, len, create != 0, fdOut);
    if (rc == 0)
        *leafOut = slash != nullptr ? slash + 1 : path;
    return rc;
}

int velk_Mkdir(velk_extract_state_t *xs, const char *path)
{
    while (*path == '/')
        ++path;
    if (toStdout() || *path == '\0')
        return 0;
    int fd = -1;
    int rc = walkDirs(xs, path, strlen(path), true, &fd);
    if (rc == 0)
        close(fd);
    return rc;
}

int velk_Symlink(velk_extract_state_t *xs, const char *path, const char *target)
{
    if (toStdout())
        return 0;
    verboseLine("%s: x %s is a symbolic link to %s\n", velk_msg_prefix[VELK_MSG_VELK], path, target);
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
    int rc = velk_OpenMemberParent(xs, name, 1, &dfd, &leaf);
    if (rc != 0)
        return -1;
    kyl_fd dir(dfd);
    // Whatever held the name before goes (a directory stays and the link
    // then fails).
    unlinkat(dfd, leaf, 0);
    if (symlinkat(target, dfd, leaf) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating symlink %s->%s\n", errno, name, target);
        velk_NoteFailure("symlink not created");
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

int velk_InitLocalFile(velk_extract_state_t *xs)
{
    uint32_t mode = velk_Get32(xs->curIndexEntry.hent_mode) & kModeBits;
    xs->curLocFileSize = velk_Get64(xs->curIndexEntry.hent_fsize);
    xs->curLocFileWritten = 0;
    xs->curFileDiscard = false;
    xs->curLocalFileFd = -1;
    xs->curLocalFileOwned = false;
    xs->curFileDoCheckSum = false;
    // A stored CRC is always checked: it costs one pass over data already
    // in memory, and a damaged archive must not pass for a good one.
    if ((velk_Get32(xs->curIndexEntry.hent_flags) & HIF_FLAG_CRC) != 0 && !xs->curFileIsDevNull) {
        xs->curFileDoCheckSum = true;
        xs->curIndexEntryCRC = velk_Get32(xs->curIndexEntry.hent_crc32);
        velk_ChecksumInit(&xs->curLocFileCRC);
    }
    verboseLine("%s: x %s, %lu bytes, %d media blocks\n", velk_msg_prefix[VELK_MSG_VELK], xs->curLocalPath,
                static_cast<unsigned long>(xs->curLocFileSize), static_cast<int>(xs->curBlockCount));
    size_t len = strlen(xs->curLocalPath);
    if (len > 0 && xs->curLocalPath[len - 1] == '/')
        xs->curLocalPath[--len] = '\0';

    if (xs->curFileIsDevNull) {
        // A placeholder's data are zeros: nothing is written anywhere.
        xs->curFileDiscard = true;
        return 0;
    }
    if (toStdout()) {
        fflush(stdout);
        xs->curLocalFileFd = STDOUT_FILENO;
        return 0;
    }
    char *name = xs->curLocalPath;
    while (*name == '/')
        ++name;
    int dfd = -1;
    const char *leaf = nullptr;
    int rc = velk_OpenMemberParent(xs, name, 1, &dfd, &leaf);
    if (rc == -2) {
        xs->curFileDiscard = true;
        xs->curFileDoCheckSum = false;
        return 1;
    }
    if (rc != 0)
        return -1;
    kyl_fd dir(dfd);
    mode_t createMode = static_cast<mode_t>((mode & 0777 & ~xs->savedUmask) | kFileOwnerWrite);
    kyl_fd file(createExclusive(dfd, leaf, createMode, xs->curLocFileSize > 0 ? O_TRUNC | O_NONBLOCK : O_TRUNC));
    if (!file.valid()) {
        int err = errno;
        perror(xs->curLocFileSize > 0 ? "open (create)" : "creat");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Cannot create %s (error=%d)\n", xs->curLocalPath, err);
        velk_NoteFailure("could not be created");
        return -1;
    }
    if (xs->curLocFileSize == 0)
        applyFileAttrs(xs, file.get());
    // The extract state owns the member file, and the directory it was made
    // in (through which an incomplete file is removed), from here on.
    xs->curLocalFileFd = file.release();
    xs->curLocalFileOwned = true;
    xs->curParentFd = dir.release();
    xs->curLeafAt = static_cast<size_t>(leaf - xs->curLocalPath);
    if (xs->curLocFileSize == 0)
        closeLocalFile(xs);
    return 0;
}

int velk_WriteLocalFile(velk_extract_state_t *xs, const unsigned char *bytes, uint32_t length, int *blocksConsumedOut)
{
    uint64_t need = xs->curLocFileSize - xs->curLocFileWritten;
    uint64_t n = std::min<uint64_t>(length, need);
    *blocksConsumedOut = static_cast<int>((n + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE);
    if (n == 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - no data due for %s\n", __func__,
                    xs->curLocalPath);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    if (xs->curFileDoCheckSum)
        velk_ChecksumBuffer(bytes, static_cast<size_t>(n), &xs->curLocFileCRC);

    if (!xs->curFileDiscard) {
        if (xs->curLocalFileFd < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - %s is not open\n", __func__,
                        xs->curLocalPath);
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        size_t done = 0;
        bool spaceWarned = false;
        velk_nospace_t noSpace;
        int zeroWrites = 0;
        while (done < n) {
            struct pollfd pfd;
            pfd.fd = xs->curLocalFileFd;
            pfd.events = POLLOUT;
            pfd.revents = 0;
            int prc = poll(&pfd, 1, kWritePollMs);
            if (prc < 0 && errno != EINTR) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on select while writing local file %s\n",
                            errno, xs->curLocalPath);
                return -1;
            }
            // A forced shutdown stops the member; the caller removes it.
            if (velk_shutdown_signalled.load() != 0)
                return -1;
            if (prc <= 0)
                continue;
            ssize_t w = velk_local_write_fn(xs->curLocalFileFd, bytes + done,
                                            std::min<size_t>(static_cast<size_t>(n) - done, VELK_LOCAL_WRITE_PIECE));
            if (w > 0) {
                done += static_cast<size_t>(w);
                zeroWrites = 0;
                velk_NoSpaceProgress(&noSpace);
                continue;
            }
            int err = w == 0 ? (++zeroWrites > VELK_MAX_ZERO_WRITES ? EIO : 0) : errno;
            if (err == 0 || err == EINTR || err == EAGAIN)
                continue;
            if (err == ENOSPC) {
                if (!spaceWarned) {
                    fputs("Out of space in local filesystem - retrying\n", stderr);
                    fflush(stderr);
                    spaceWarned = true;
                }
                // The wait is bounded, and a forced shutdown ends it.
                if (velk_NoSpaceWait(&noSpace, xs->curLocalPath) == 0)
                    continue;
                if (velk_shutdown_signalled.load() != 0)
                    return -1;
            }
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing local file %s\n", err, xs->curLocalPath);
            velk_NoteFailure("write error");
            return -1;
        }
    }
    xs->curLocFileWritten += n;
    if (xs->curLocFileWritten < xs->curLocFileSize)
        return 0;

    if (xs->curFileDoCheckSum) {
        uint32_t crc = velk_ChecksumFinalize(&xs->curLocFileCRC);
        if (crc != xs->curIndexEntryCRC) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "CRC error on %s. Index CRC=%8.8x Extracted File CRC=%8.8x\n", xs->curLocalPath,
                        xs->curIndexEntryCRC, crc);
            velk_NoteFailure("CRC mismatch");
            velk_SetExitCode(VELK_EXIT_MISMATCH);
        }
        xs->curFileDoCheckSum = false;
    }
    if (xs->curLocalFileOwned) {
        applyFileAttrs(xs, xs->curLocalFileFd);
        closeLocalFile(xs);
    }
    xs->curLocalFileFd = -1;
    return 0;
}

int readCallbackCtl(io_buffer_t *theBuf, void *state)
{
    auto *xs = static_cast<velk_extract_state_t *>(state);
    const char *func = "readCallbackCtl";
    if (theBuf->dataLength % VELK_BLOCKSIZE != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error. Data length [%d] not a multiple of %d\n", func,
                    static_cast<int>(theBuf->dataLength), VELK_BLOCKSIZE);
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    const unsigned char *data = theBuf->buffer;
    uint32_t pos = 0;
    while (pos < theBuf->dataLength) {
        // A forced shutdown stops the transfer between blocks; the action
        // removes the member left incomplete.
        if (velk_shutdown_signalled.load() != 0)
            return -1;
        if (!xs->curHaveEntry && nextRangeEntry(xs) != 0)
            return -1;
        uint32_t left = theBuf->dataLength - pos;
        uint64_t consumed = 0;
        if (!xs->curTarHeaderExtracted) {
            if (handleHeader(xs, data + pos) != 0)
                return -1;
            consumed = 1;
        } else if (xs->curIndexType == VTO_FILE) {
            int blocks = 0;
            if (velk_WriteLocalFile(xs, data + pos, left, &blocks) != 0)
                return -1;
            consumed = static_cast<uint64_t>(blocks);
        } else {
            // Data blocks of a symbolic link from a foreign archive: skipped.
            consumed = std::min<uint64_t>(xs->curBlockCount - xs->curBlocksHandled, left / VELK_BLOCKSIZE);
        }
        if (consumed == 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - no progress at address %lu\n",
                        func, static_cast<unsigned long>(xs->curArchiveAddr));
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        xs->curBlocksHandled += consumed;
        xs->curArchiveAddr += consumed * VELK_BLOCKSIZE;
        pos += static_cast<uint32_t>(consumed * VELK_BLOCKSIZE);
        if (xs->curBlocksHandled >= xs->curBlockCount && finishMember(xs) != 0)
            return -1;
    }
    return 0;
}

void velk_FinishDirectories(velk_extract_state_t *xs)
{
    if (xs->deferredCount == 0) {
        freeDeferred(xs);
        return;
    }
    // Deepest first: a directory made read-only must not block what lies
    // below it, and setting a child's attributes leaves the parent's times
    // alone.
    std::stable_sort(xs->deferredDirs, xs->deferredDirs + xs->deferredCount,
                     [](const velk_extract_state_t::DeferredDir &a, const velk_extract_state_t::DeferredDir &b) {
                         return a.depth > b.depth;
                     });
    const char *func = "readCallbackCtl";
    for (size_t i = 0; i < xs->deferredCount; ++i) {
        const velk_extract_state_t::DeferredDir &d = xs->deferredDirs[i];
        int dfd = -1;
        const char *leaf = nullptr;
        if (velk_OpenMemberParent(xs, d.path, 0, &dfd, &leaf) != 0)
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
        if (velk_extract_dir_opened_hook != nullptr)
            velk_extract_dir_opened_hook(d.path);
        if (asRoot(xs) && !optOn(VELK_OPT_OWN_IDS)) {
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
    freeDeferred(xs);
}

// ---------------------------------------------------------------------------
// The action.
// ---------------------------------------------------------------------------

namespace {

// A requested ordinal (-J) and the member-list record that asked for it.
struct OrdinalRequest {
    int64_t ordinal;
    int64_t fsPos;
};

struct RunTimes {
    struct timeval start;
    struct rusage usage;
};

// The whole action's outcome and its final line.  Returns 0 or -1.
int endAction(velk_extract_state_t *xs, bool ok, int archiveFd, int indexFd, int indexKind)
{
    velk_FinishDirectories(xs);
    if (!ok)
        velk_SetExitCode(VELK_EXIT_IOERR);
    velk_FinalLine(ok);
    fflush(stdout);
    if (archiveFd >= 0) {
        // A storage-system or gateway-host archive is a gateway descriptor.
        const bool gateway = velk_CurrentArchiveKind()->through_gateway;
        const int rc = gateway ? quor_Close(archiveFd) : (close(archiveFd) == 0 ? 0 : -errno);
        if (rc != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d closing %s Archive file %s\n", "velk_Extract",
                        -rc, gateway ? "QUOR" : "local", velk_archive);
        velk_archive_fd = -1;
    }
    if (indexFd >= 0) {
        if (close(indexFd) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d closing %sindex file %s\n", "velk_Extract",
                        errno, indexKind == VELK_QUOR_FILE ? "QUOR " : "", velk_index_filename);
    }
    xs->index_Fd = -1;
    velk_FreeIxList();
    velk_ExtractRestoreUmask(xs);
    return ok ? 0 : -1;
}

// The -J operands as sorted, distinct ordinals into *out (count in *countOut;
// the caller frees *out).  0, or -1 after the message with status 64.
int collectOrdinals(OrdinalRequest **out, int64_t *countOut)
{
    *out = nullptr;
    *countOut = 0;
    int64_t n = velk_FileListEntries;
    if (n <= 0)
        return 0;
    auto *req = static_cast<OrdinalRequest *>(VELK_CALLOC(static_cast<size_t>(n), sizeof(OrdinalRequest)));
    if (req == nullptr)
        return -1;
    for (int64_t i = 0; i < n; ++i) {
        const char *text = velk_FileList[i].filename != nullptr ? velk_FileList[i].filename : "";
        char *end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(text, &end, 10);
        if (*text < '0' || *text > '9' || end == nullptr || *end != '\0' || errno != 0 || v > INT64_MAX) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Specified index entry: %s is not an index ordinal\n", text);
            velk_SetExitCode(VELK_EXIT_USAGE);
            VELK_FREE(req);
            return -1;
        }
        req[i].ordinal = static_cast<int64_t>(v);
        req[i].fsPos = i;
    }
    std::stable_sort(req, req + n,
                     [](const OrdinalRequest &a, const OrdinalRequest &b) { return a.ordinal < b.ordinal; });
    int64_t kept = 0;
    for (int64_t i = 0; i < n; ++i)
        if (kept == 0 || req[kept - 1].ordinal != req[i].ordinal)
            req[kept++] = req[i];
    *out = req;
    *countOut = kept;
    return 0;
}

// An entry without its "VELK_IDX" mark: 0 when sane, else -1 after the
// message (status 72).
int entrySane(const hif_entry_t *entry)
{
    if (velk_IndexEntrySane(entry))
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Hmmm- %s does not appear to be a file created by velk.\n",
                velk_index_filename);
    velk_NoteFailure("corrupt index entry");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

// A forced shutdown stopped the action: -1 after the message.
int interrupted()
{
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract interrupted by a forced shutdown\n");
    velk_NoteFailure("interrupted");
    return -1;
}

// Pass 1 for one entry read at ordinal.  Returns 0 to go on, 1 to end pass
// 1 early (quit at the prompt), -1 to fail the action.
int considerEntry(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal, int64_t fsPos, bool byPath)
{
    if (entrySane(entry) != 0)
        return -1;
    uint32_t flags = velk_Get32(entry->hent_flags);
    if ((flags & (HIF_FLAG_PHANTOM | HIF_FLAG_DELETED)) != 0) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/skipping deleted or phantom index entry %ld\n", static_cast<long>(ordinal));
        return 0;
    }
    if (byPath) {
        if (velk_IndexEntryWasSelected(entry, velk_FileList, velk_FileListEntries) == 0)
            return 0;
        velk_MemberNamesSelected(entry);
    }
    uint32_t type = velk_Get32(entry->hent_type);
    if (type == VTO_UNKNOWN || type > VTO_INDEXEOF) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Cannot extract unrecognized object type: %d Index Entry %ld\n",
                    static_cast<int>(type), static_cast<long>(ordinal));
        velk_NoteFailure("unrecognized type");
        velk_SetExitCode(VELK_EXIT_EXTRACT_IO);
        return 0;
    }
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    if (velk_RangeEntryInside(xs->archiveSizeBytes, entry, ordinal, path) != 0 ||
        velk_RangeEntryShapeOk(entry, ordinal, path) != 0)
        return -1;

    char local[VELK_PATH_BUFSIZE];
    int stripped = 0;
    int rc = velk_ExtractFormPath(path, local, sizeof local, &stripped);
    if (stripped != 0 && !xs->leadingSlashNoticed && !toStdout()) {
        xs->leadingSlashNoticed = true;
        velk_ErrPrintf("%s: Removing leading `/' from absolute path names in the archive\n",
                       velk_msg_prefix[VELK_MSG_VELK]);
    }
    if (rc == VELK_XPATH_ROOT_ONLY) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("Skipping standalone root directory: [%s]\n", path);
        return 0;
    }
    if (rc == VELK_XPATH_DOTDOT) {
        refuseDotDot(path);
        return 0;
    }
    if (rc != VELK_XPATH_OK || local[0] == '\0')
        return 0;

    if (byPath && optOn(VELK_OPT_CONFIRM)) {
        int answer = velk_GetYesNo("extract", nullptr, local);
        if (answer == VELK_ANSWER_NO)
            return 0;
        if (answer == VELK_ANSWER_QUIT)
            return 1;
        if (answer == VELK_ANSWER_ALL)
            velk_option_flags &= ~VELK_OPT_CONFIRM;
    }
    if (velk_AddIxListEntry(entry, ordinal, fsPos) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal malloc error creating index entry list\n");
        return -1;
    }
    return 0;
}

// Pass 1: checks that the first entries entries are in archive order and
// builds the range list from the first selectable ones.  0 or -1.
int pass1(velk_extract_state_t *xs, int64_t selectable, int64_t entries, const OrdinalRequest *req, int64_t reqCount)
{
    velk_SetProgramPhase(VTP_EXTRACT_PASS1);
    console_message("reading index file", "");
    velk_StatusMsg(1, "Reading %ld index entries", static_cast<long>(selectable));
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug] Pass 1 - building <index-to-read> list. Index entry count=%ld\n",
                       static_cast<long>(selectable));
    if (!optOn(VELK_OPT_BY_ORDINAL)) {
        // Every entry is read, the consistency file's too, so that the order
        // of the whole index is known before anything is extracted.
        velk_index_order_t order;
        bool selecting = true;
        for (int64_t ordinal = 0; ordinal < entries; ++ordinal) {
            if (velk_shutdown_signalled.load() != 0)
                return interrupted();
            hif_entry_t *entry = nullptr;
            int eof = 0;
            if (velk_IndexFileRead(xs->index_Fd, xs->index_file_residency, 0, &entry, &eof) != 0) {
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -1;
            }
            if (eof != 0 || entry == nullptr)
                break;
            if (entrySane(entry) != 0 || velk_IndexOrderCheck(&order, entry, ordinal) != 0)
                return -1;
            if (!selecting || ordinal >= selectable)
                continue;
            int rc = considerEntry(xs, entry, ordinal, 0, true);
            if (rc < 0)
                return -1;
            if (rc > 0)
                selecting = false;
        }
        return 0;
    }
    // By ordinal: the whole order is checked first, then one positioned
    // read per group of consecutive ordinals.
    if (velk_IndexOrderScan(xs->index_Fd, xs->index_file_residency, entries) != 0)
        return -1;
    int64_t i = 0;
    while (i < reqCount) {
        int64_t j = i + 1;
        while (j < reqCount && req[j].ordinal == req[j - 1].ordinal + 1)
            ++j;
        if (velk_IndexFilePosition(xs->index_Fd, xs->index_file_residency, req[i].ordinal) != 0) {
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        for (int64_t k = i; k < j; ++k) {
            hif_entry_t *entry = nullptr;
            int eof = 0;
            int limit = static_cast<int>(std::min<int64_t>(j - k, INT_MAX));
            if (velk_IndexFileRead(xs->index_Fd, xs->index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
                entry == nullptr) {
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -1;
            }
            if (considerEntry(xs, entry, req[k].ordinal, req[k].fsPos, false) < 0)
                return -1;
        }
        i = j;
    }
    return 0;
}

// Reads one range through the archive reader.  Adds its time and length
// to the totals.  0 or -1.
int readRange(velk_extract_state_t *xs, int archiveFd, ix_ListEntry_t *range, double *seconds, uint64_t *bytes)
{
    if (velk_IndexFilePosition(xs->index_Fd, xs->index_file_residency, range->ixStart) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error positioning index file to entry %ld.\n",
                    "velk_Extract", static_cast<long>(range->ixStart));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ reading next Index File group. Entries %ld-%ld, count=%ld fsOrd=%ld\n",
                       static_cast<long>(range->ixStart), static_cast<long>(range->ixEnd),
                       static_cast<long>(range->ixCount), static_cast<long>(range->ixFsOrd));
    xs->curListEntry = range;
    xs->curListLeftToDo = range->ixCount;
    xs->curFileSpecInx = range->ixFsOrd;
    hif_entry_t *entry = nullptr;
    int eof = 0;
    int limit = static_cast<int>(std::min<int64_t>(range->ixCount, INT_MAX));
    if (velk_IndexFileRead(xs->index_Fd, xs->index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
        entry == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error reading index entry %ld from %s\n",
                    "velk_Extract", static_cast<long>(range->ixStart), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    xs->curListIxCur = range->ixStart;
    if (beginRangeMember(xs, entry, range->ixStart, range->ixStartBlock, range->ixEndBlock) != 0)
        return -1;
    uint64_t length = (range->ixEndBlock - range->ixStartBlock) * VELK_BLOCKSIZE;
    double xferTime = 0.0;
    int rc = velk_ReadRange(archiveFd, range, readCallbackCtl, xs, &xferTime);
    *seconds += xferTime;
    *bytes += length;
    if (velk_debug_level >= 4)
        velk_ErrPrintf("/trace/returned from Archive File read - result=%d\n", rc);
    if (rc < 0) {
        if (velk_shutdown_signalled.load() != 0)
            interrupted();
        removeIncomplete(xs);
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract aborted\n");
        return -1;
    }
    // A reader that ends early (an archive cut short after it was measured)
    // leaves members of the range undone.
    if (xs->curListLeftToDo != 0 || xs->curHaveEntry) {
        removeIncomplete(xs);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Archive file %s ended before entry %ld was complete\n",
                    "velk_Extract", velk_archive, static_cast<long>(xs->curListIxCur));
        velk_SetExitCode(VELK_EXIT_IOERR);
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract aborted\n");
        xs->curHaveEntry = false;
        return -1;
    }
    return 0;
}

void statisticsLine(velk_extract_state_t *xs, FILE *outStream, const RunTimes &t, double seconds, uint64_t bytes)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    getrusage(RUSAGE_SELF, &usage);
    double wall = velk_DiffTimeval(&now, &t.start);
    double user = velk_DiffTimeval(&usage.ru_utime, &t.usage.ru_utime);
    double sys = velk_DiffTimeval(&usage.ru_stime, &t.usage.ru_stime);
    char line[VELK_MSG_BUFSIZE];
    int n = snprintf(
        line, sizeof line, "%s: Extract complete for %s, %ld files. total bytes read: %lu in %.3f seconds ",
        velk_msg_prefix[VELK_MSG_VELK], velk_archive, xs->file_objects, static_cast<unsigned long>(bytes), seconds);
    size_t used = n > 0 ? std::min(static_cast<size_t>(n), sizeof line - 1) : 0;
    if (seconds >= 0.001) {
        n = snprintf(line + used, sizeof line - used, "(%.3f MB/s %s)", static_cast<double>(bytes) / 1e6 / seconds,
                     ix_ListCount > 1 ? "average" : "");
        used = n > 0 ? std::min(used + static_cast<size_t>(n), sizeof line - 1) : used;
    }
    snprintf(line + used, sizeof line - used, " wallclock/user/sys: %.3f %.3f %.3f seconds", wall, user, sys);
    velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, line);
    if (velk_debug_level >= 1 || optOn(VELK_OPT_STATS) || optOn(VELK_OPT_VERBOSE)) {
        fputs(line, outStream);
        fputc('\n', outStream);
        fflush(outStream);
    }
    velk_LogFileTransfer(velk_archive_abs_path != nullptr ? velk_archive_abs_path : velk_archive, VOP_EXTRACT, 0,
                         velk_filetype, velk_member_filetype, bytes, seconds);
}

} // namespace

namespace {

// Refuses the archive kind this action cannot read (a pipe), with the
// final line.  Returns 0 when the kind
// can be read, -1 otherwise.
int refuseUnreadableKind(velk_extract_state_t *xs)
{
    if (velk_CurrentArchiveKind()->is_pipe) {
        // Nothing was extracted: a refused pipe must not end as a success.
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "velk_Extract: please use regular tar to read piped Archive Files\n");
        velk_SetExitCode(VELK_EXIT_USAGE);
        velk_FinalLine(false);
        velk_ExtractRestoreUmask(xs);
        return -1;
    }
    return 0;
}

// Reports an archive whose size differs from the one expected.
void archiveSizeMismatch(uint64_t actual, uint64_t expected)
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Archive file %s size = %lu\n", velk_archive,
                static_cast<unsigned long>(actual));
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "       is inconsistent with size of %lu from Index File %s\n",
                static_cast<unsigned long>(expected), velk_index_filename);
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// Checks every -J ordinal against the entries that can be selected.
// Returns 0, or -1 after the message with status 64.
int checkRequestedOrdinals(const OrdinalRequest *req, int64_t reqCount, int64_t selectable)
{
    for (int64_t i = 0; i < reqCount; ++i) {
        if (req[i].ordinal >= selectable) {
            velk_LogFmt(
                VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "Specified index entry: %lu is > number of index entries in the archive (%lu) [from Index File %s]\n",
                static_cast<unsigned long>(req[i].ordinal), static_cast<unsigned long>(selectable),
                velk_index_filename);
            velk_SetExitCode(VELK_EXIT_USAGE);
            return -1;
        }
    }
    return 0;
}

// The index file as opened for the action, with the entries that can be
// selected from it.
struct OpenedIndex {
    int fd = -1;
    int kind = 0;
    int64_t entries = 0; // the header's object count, at most the entries present
    int64_t selectable = 0;
};

// Opens the index, checks it against the archive's size, and counts the
// entries that can be selected (the consistency file's entry of an archive
// velk wrote is never extracted).  Returns 0, or -1 after the message; ix
// records what was opened either way, for endAction.
int openIndex(velk_extract_state_t *xs, OpenedIndex *ix)
{
    velk_SetProgramPhase(VTP_EXTRACT_OPEN_FILES);
    uint64_t archiveSize = 0;
    if (velk_GetArchiveSizeAndLayout(&archiveSize) != 0)
        return -1;
    velk_StatusMsg(1, "Open Index File");
    ix->kind = velk_filetype;
    ix->fd = velk_OpenIndexFile(velk_index_filename, O_RDONLY, ix->kind);
    if (ix->fd < 0)
        return -1;
    // A storage-system or gateway-host index is read from a local copy.
    ix->kind = velk_ArchiveKindOps(ix->kind)->index_fd_kind;
    xs->index_Fd = ix->fd;
    xs->index_file_residency = ix->kind;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("[debug] successfully opened Index file for reading on FD=%d\n", ix->fd);

    bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
    if (foreign && velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ index says Archive File was NOT created by VELK\n");

    xs->archiveSizeBytes = archiveSize;
    uint64_t recorded = velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize);
    if (recorded != xs->archiveSizeBytes) {
        archiveSizeMismatch(xs->archiveSizeBytes, recorded);
        return -1;
    }
    // The header's object count, which the open has checked against the
    // entries present.  The last entry of an archive velk wrote is the
    // consistency file's.
    int64_t objects = std::min<int64_t>(velk_Get32(velk_index_hdr.hif_hdr.obj_count), velk_index_entries);
    ix->entries = objects;
    ix->selectable = foreign ? objects : std::max<int64_t>(objects - 1, 0);
    return 0;
}

// Pass 2: opens the archive, checks its size again and reads every range.
// *archiveFdOut gets the archive descriptor (or -1) for endAction.  Returns
// 0, or -1 after the message.
int pass2(velk_extract_state_t *xs, FILE *outStream, const RunTimes &times, int indexFd, int kind, int *archiveFdOut)
{
    velk_SetProgramPhase(VTP_EXTRACT_READARCHIVE);
    velk_StatusMsg(1, "Opening archive file");
    console_message("Opening archive file", "");
    struct stat openStat;
    memset(&openStat, 0, sizeof openStat);
    quor_xfileattr_t xattr;
    memset(&xattr, 0, sizeof xattr);
    const bool quor = velk_CurrentArchiveKind()->has_layout;
    int archiveFd = velk_OpenArchiveFile(O_RDONLY, quor ? &xattr : nullptr, &openStat);
    *archiveFdOut = archiveFd;
    if (archiveFd < 0)
        return -1;
    velk_archive_fd = archiveFd;
    uint64_t openSize = static_cast<uint64_t>(openStat.st_size);
    if (quor) {
        // The layout of the archive as opened.
        openSize = xattr.Attrs.DataLength;
        int rc = velk_GetArchiveStripeInfo(optOn(VELK_OPT_NOSTAGE) ? 1 : 0, &xattr);
        quor_FreeXAttributes(&xattr);
        if (rc != 0)
            return -1;
    }
    if (openSize != xs->archiveSizeBytes) {
        archiveSizeMismatch(openSize, xs->archiveSizeBytes);
        return -1;
    }
    console_message("Reading archive file", "");
    if (velk_IndexFileRewind(indexFd, kind) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error rewinding index file. Cannot continue...\n");
        return -1;
    }
    double seconds = 0.0;
    uint64_t bytes = 0;
    bool ok = true;
    for (ix_ListEntry_t *r = ixListHead; r != nullptr; r = r->next) {
        if (readRange(xs, archiveFd, r, &seconds, &bytes) != 0) {
            ok = false;
            break;
        }
    }
    xs->curListEntry = nullptr;
    console_message("", "");
    if (!ok)
        return -1;
    if (xs->devNullFileCount > 0) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "%d files were extracted to /dev/null. Files were missing at creation time\n"
                    "         due to filesystem errors or user removal during the archive creation\n",
                    static_cast<int>(xs->devNullFileCount));
        velk_SetExitCode(VELK_EXIT_MISMATCH);
    }
    statisticsLine(xs, outStream, times, seconds, bytes);
    return 0;
}

} // namespace

int velk_Extract()
{
    VELK_TRACE_ENTRY();
    // The run's extraction state; the archive reader hands it to the data
    // callback and is done with it before the action returns.
    velk_extract_state_t state;
    velk_extract_state_t *xs = &state;
    FILE *outStream = toStdout() ? stderr : stdout;
    RunTimes times;
    gettimeofday(&times.start, nullptr);
    memset(&times.usage, 0, sizeof times.usage);
    getrusage(RUSAGE_SELF, &times.usage);
    velk_ExtractPrepare(xs);
    velk_FreeIxList();
    xs->index_Fd = -1;

    if (refuseUnreadableKind(xs) != 0)
        return -1;
    if (velk_GenFilelist() < 0 || (!optOn(VELK_OPT_BY_ORDINAL) && velk_MemberNamesPrepare() != 0))
        return endAction(xs, false, -1, -1, 0);

    OrdinalRequest *req = nullptr;
    int64_t reqCount = 0;
    if (optOn(VELK_OPT_BY_ORDINAL) && collectOrdinals(&req, &reqCount) != 0)
        return endAction(xs, false, -1, -1, 0);
    struct ReqFree {
        OrdinalRequest *p;
        ~ReqFree()
        {
            if (p != nullptr)
                VELK_FREE(p);
        }
    } reqFree{req};

    OpenedIndex ix;
    if (openIndex(xs, &ix) != 0 || checkRequestedOrdinals(req, reqCount, ix.selectable) != 0)
        return endAction(xs, false, -1, ix.fd, ix.kind);
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ Index file contains %d entries, including consistency file\n",
                       static_cast<int>(ix.entries));
    velk_FreeIxList();
    if (velk_IndexReadInit() != 0)
        return endAction(xs, false, -1, ix.fd, ix.kind);

    if (pass1(xs, ix.selectable, ix.entries, req, reqCount) != 0)
        return endAction(xs, false, -1, ix.fd, ix.kind);
    velk_MemberNamesReportMissing();

    if (ixListHead == nullptr) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ no index entries were selected for extracting \n");
        return endAction(xs, true, -1, ix.fd, ix.kind);
    }

    int archiveFd = -1;
    bool ok = pass2(xs, outStream, times, ix.fd, ix.kind, &archiveFd) == 0;
    return endAction(xs, ok, archiveFd, ix.fd, ix.kind);
}
