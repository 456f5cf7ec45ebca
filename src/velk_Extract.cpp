// The extract action.  Pass 1 reads the index alone: it selects entries by
// path (or by ordinal with -J), checks each against the archive's size and
// its own type and size, refuses paths that would leave the current
// directory, and groups the rest into ranges of back-to-back members.  Pass
// 2 has the archive reader deliver each range, in order, to readCallbackCtl,
// which runs on the reader's delivery thread while the initial thread waits
// in the reader; the extraction state below is therefore used by one thread
// at a time and takes no lock.  Local files are created below the current
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
#include "velk_Fd.h"
#include "velk_FileAccess.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LocalArchiveReader.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_Run.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"

ix_ListEntry_t *ixListHead = nullptr;
ix_ListEntry_t *ixListTail = nullptr;
long ix_ListCount = 0;

namespace {

// Local paths: the longest path a member can carry and its NUL.
constexpr size_t kLocalPathSize = 4097;
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

// ---------------------------------------------------------------------------
// Extraction state.  The initial thread sets it during the passes; during a
// range transfer only the reader's delivery thread touches it, and the
// initial thread waits for that transfer to end.
// ---------------------------------------------------------------------------

int index_Fd = -1;
int index_file_residency = VELK_LOCAL_FILE;
uint64_t archiveSizeBytes = 0;       // the archive's actual size

ix_ListEntry_t *curListEntry = nullptr;
int64_t curListIxCur = 0;            // ordinal of the current entry
int64_t curListLeftToDo = 0;         // entries of the range not yet finished
int64_t curFileSpecInx = 0;

bool curHaveEntry = false;           // a member is being handled
hif_entry_t curIndexEntry;           // copy of its entry
uint32_t curIndexType = 0;
uint64_t curArchiveAddr = 0;         // archive byte address being consumed
uint64_t curBlockCount = 0;
uint64_t curBlocksHandled = 0;
bool curTarHeaderExtracted = false;
posix_header_t curTarHeader;

char curLocalPath[kLocalPathSize];
int curLocalFileFd = -1;             // -1 when closed
bool curLocalFileOwned = false;      // curLocalFileFd is a file of ours (not standard output)
uint64_t curLocFileSize = 0;
uint64_t curLocFileWritten = 0;
bool curFileIsDevNull = false;
bool curFileDiscard = false;         // the member's data are read and dropped

bool curFileDoCheckSum = false;
uint32_t curIndexEntryCRC = 0;
uint32_t curLocFileCRC = 0;

long total_objects = 0;
long file_objects = 0;
long devNullFileCount = 0;
long total_ix_entries = 0;
uint64_t total_file_bytes = 0;

mode_t savedUmask = 022;
uid_t effectiveUid = 0;
bool umaskSaved = false;
bool leadingSlashNoticed = false;

// A directory member whose owner, mode and times are applied at the end.
struct DeferredDir {
    char *path;
    int depth;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    uint32_t mtime;
};
DeferredDir *deferredDirs = nullptr;
size_t deferredCount = 0;
size_t deferredSize = 0;

bool optOn(uint32_t flag) { return velk_Opt(flag); }
bool toStdout() { return velk_Opt(VELK_OPT_TO_STDOUT); }
bool asRoot() { return effectiveUid == 0; }

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

// Checks that the entry's blocks agree with its type and size: files, hard
// links and symbolic links occupy their header and their data rounded up to
// whole blocks, a directory one block.  0, or -1 after the message with
// status 72.
int entryShapeOk(const hif_entry_t *entry, int64_t ordinal, const char *path)
{
    uint32_t type = velk_Get32(entry->hent_type);
    uint64_t size = velk_Get64(entry->hent_fsize);
    uint32_t blocks = velk_Get32(entry->hent_blocks);
    bool ok;
    if (type == VTO_DIRECTORY)
        ok = blocks == 1;
    else if (type == VTO_FILE || type == VTO_HARDLINK || type == VTO_SYMLINK)
        ok = size <= VELK_MAX_MEMBER_SIZE && blocks == velk_MemberBlocks(size);
    else
        ok = blocks >= 1;
    if (ok)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "Fatal: Index entry %ld (member file %s) records %u blocks for %lu bytes\n"
                "- must recreate index with 'velk -X' command\n",
                static_cast<long>(ordinal), path, blocks, static_cast<unsigned long>(size));
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

// Checks that the member lies inside the archive.  The block count is
// compared with what is left after the offset, so no product can wrap.  0,
// or -1 after the messages with status 72.
int entryInsideArchive(const hif_entry_t *entry, int64_t ordinal, const char *path)
{
    uint32_t type = velk_Get32(entry->hent_type);
    uint64_t offset = velk_Get64(entry->hent_offset);
    uint64_t blocks = velk_Get32(entry->hent_blocks);
    uint64_t archiveBlocks = archiveSizeBytes / VELK_BLOCKSIZE;
    bool beyond = offset > archiveBlocks || blocks > archiveBlocks - offset;
    // Files and hard links also get the truncation check's own detail line.
    if (type == VTO_FILE || type == VTO_HARDLINK) {
        if (velk_CheckFileTruncated(archiveSizeBytes, entry, static_cast<long>(ordinal)) != 0)
            beyond = true;
    }
    if (!beyond)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "Fatal: Index entry %ld (member file %s) extends past end of archive\n"
                "- must recreate index with 'velk -X' command\n",
                static_cast<long>(ordinal), path);
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

void refuseDotDot(const char *path)
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Refusing to extract %s: the path has a \"..\" component\n", path);
    velk_SetExitCode(VELK_EXIT_IOERR);
}

// ---------------------------------------------------------------------------
// Local objects.
// ---------------------------------------------------------------------------

// Sets the owner of name in dirFd (never through a symbolic link).
int chownAt(int dirFd, const char *name, const hif_entry_t *entry)
{
    return fchownat(dirFd, name, static_cast<uid_t>(velk_Get32(entry->hent_uid)),
                    static_cast<gid_t>(velk_Get32(entry->hent_gid)), AT_SYMLINK_NOFOLLOW);
}

// Walks the first len characters of path from the current directory, one
// component at a time, never following a symbolic link; creates missing
// components when create is set.  *fdOut gets an O_PATH descriptor of the
// last directory reached.  Returns 0, -2 (refused, after the ERROR and
// status 72) or -1 (after a message).
int walkDirs(const char *path, size_t len, bool create, const hif_entry_t *entry, int *fdOut)
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
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating subdirectory %s\n", ENAMETOOLONG,
                        path);
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
            mode_t mode = (0777 & ~savedUmask) | kDirOwnerBits;
            if (mkdirat(dfd, comp, mode) == 0) {
                if (entry != nullptr && asRoot() && !optOn(VELK_OPT_OWN_IDS) && chownAt(dfd, comp, entry) != 0)
                    velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: [warning]: error setting uid/gid for %s\n",
                                "velk_Mkdir", sofar);
            } else if (errno != EEXIST) {
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
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                            "Refusing to extract %s: %s is a symbolic link\n", path, sofar);
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -2;
            }
            if (exists && !S_ISDIR(st.st_mode)) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Refusing to extract %s: %s is not a directory\n",
                            path, sofar);
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

// Owner (as root), mode (-p) and times of the open member file, in that
// order so that the set-ID bits -p restores survive the change of owner.
void applyFileAttrs(int fd)
{
    const char *func = "velk_WriteLocalFile";
    if (asRoot()) {
        if (fchown(fd, static_cast<uid_t>(velk_Get32(curIndexEntry.hent_uid)),
                   static_cast<gid_t>(velk_Get32(curIndexEntry.hent_gid))) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting uid/gid for %s\n", func, curLocalPath);
    }
    if (optOn(VELK_OPT_EXACT_PERMS)) {
        uint32_t mode = velk_Get32(curIndexEntry.hent_mode) & kModeBits;
        if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
            perror("fchmod");
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) Error changing mode to 0%o for %s\n", func, mode,
                        curLocalPath);
        }
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    if (optOn(VELK_OPT_MTIME_NOW)) {
        times[1].tv_sec = 0;
        times[1].tv_nsec = UTIME_NOW;
    } else {
        times[1].tv_sec = static_cast<time_t>(velk_Get32(curIndexEntry.hent_mtime));
        times[1].tv_nsec = 0;
    }
    if (futimens(fd, times) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting modification time for %s\n", func,
                    curLocalPath);
}

// Closes the member file and marks it closed.
void closeLocalFile()
{
    if (curLocalFileFd >= 0 && curLocalFileOwned && close(curLocalFileFd) != 0) {
        perror("close");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) warning: error closing local file %s (ignored)\n",
                    "velk_WriteLocalFile", curLocalPath);
    }
    curLocalFileFd = -1;
    curLocalFileOwned = false;
}

// Remembers a directory member for velk_FinishDirectories.  0 or -1 (status
// 78 from the allocator).
int deferDirectory(const char *path, const hif_entry_t *entry)
{
    if (deferredCount == deferredSize) {
        size_t grown = deferredSize == 0 ? 64 : deferredSize * 2;
        void *p = VELK_REALLOC(deferredDirs, grown * sizeof(DeferredDir));
        if (p == nullptr)
            return -1;
        deferredDirs = static_cast<DeferredDir *>(p);
        deferredSize = grown;
    }
    char *copy = VELK_STRDUP(path);
    if (copy == nullptr)
        return -1;
    int depth = 0;
    for (const char *c = path; *c != '\0'; ++c)
        if (*c == '/')
            ++depth;
    DeferredDir &d = deferredDirs[deferredCount++];
    d.path = copy;
    d.depth = depth;
    d.mode = velk_Get32(entry->hent_mode) & kModeBits;
    d.uid = velk_Get32(entry->hent_uid);
    d.gid = velk_Get32(entry->hent_gid);
    d.mtime = velk_Get32(entry->hent_mtime);
    return 0;
}

void freeDeferred()
{
    for (size_t i = 0; i < deferredCount; ++i)
        VELK_FREE(deferredDirs[i].path);
    VELK_FREE(deferredDirs);
    deferredDirs = nullptr;
    deferredCount = 0;
    deferredSize = 0;
}

// A directory member: created with its missing parents; its attributes wait
// for the end.
void extractDirectory()
{
    char path[kLocalPathSize];
    snprintf(path, sizeof path, "%s", curLocalPath);
    size_t len = strlen(path);
    while (len > 1 && path[len - 1] == '/')
        path[--len] = '\0';
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/creating directory %s\n", path);
    verboseLine("%s: x %s/\n", velk_msg_prefix[VELK_MSG_VELK], path);
    if (toStdout() || len == 0)
        return;
    if (velk_Mkdir(&curIndexEntry, path) != 0)
        return;
    if (deferDirectory(path, &curIndexEntry) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting mode flags for directory %s\n",
                    "readCallbackCtl", path);
}

// ---------------------------------------------------------------------------
// The callback's steps.
// ---------------------------------------------------------------------------

void headerInconsistency()
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&curIndexEntry, path, sizeof path);
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, " %s: fatal inconsistency detected \n", "readCallbackCtl");
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        At Index File entry %ld, path=%s\n",
                static_cast<long>(curListIxCur), path);
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        Archive address: %lu \n",
                static_cast<unsigned long>(curArchiveAddr));
}

// Checks the member's header block against its entry and acts on the
// member's type.  0 to go on, -1 to stop.
int handleHeader(const unsigned char *block)
{
    const char *func = "readCallbackCtl";
    if (velk_GetTarHeader(block, &curTarHeader) != 0) {
        headerInconsistency();
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    char hName[USTAR_name_size + 1];
    char hPrefix[USTAR_prefix_size + 1];
    char iName[HENT_name_size + 1];
    char iPrefix[USTAR_prefix_size + 1];
    fieldText(hName, curTarHeader.thb_name, USTAR_name_size);
    fieldText(hPrefix, curTarHeader.thb_prefix, USTAR_prefix_size);
    fieldText(iName, curIndexEntry.hent_name, HENT_name_size);
    fieldText(iPrefix, curIndexEntry.hent_prefix, USTAR_prefix_size);
    if (hPrefix[0] == '\0' && strcmp(hName, kDevNull) == 0) {
        // The placeholder of a member that failed while the archive was made.
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&curIndexEntry, path, sizeof path);
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "%s: At index entry %ld, archive filename '/dev/null' was found -  index filename is %s \n", func,
                    static_cast<long>(curListIxCur), path);
        snprintf(curLocalPath, sizeof curLocalPath, "%s", kDevNull);
        curFileIsDevNull = true;
        ++devNullFileCount;
    } else if (strcmp(hPrefix, iPrefix) != 0 || strcmp(hName, iName) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal pathname inconsistency detected\n", func);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     At Index File entry %ld, Archive address %lu\n",
                    static_cast<long>(curListIxCur), static_cast<unsigned long>(curArchiveAddr));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Index path prefix=\"%s\" Archive path prefix=\"%s\"\n",
                    iPrefix, hPrefix);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Index filename=\"%s\" Archive filename=\"%s\"\n", iName,
                    hName);
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    // The entry's size decides how many bytes are written; a header that
    // disagrees means the index does not describe this archive.
    uint64_t headerSize = velk_GetMemberFilesize(&curTarHeader);
    uint64_t entrySize = velk_Get64(curIndexEntry.hent_fsize);
    if (headerSize != entrySize) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal index inconsistency: archive header size %lu differs from index size %lu\n", func,
                    static_cast<unsigned long>(headerSize), static_cast<unsigned long>(entrySize));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "        At Index File entry %ld, path=%s\n",
                    static_cast<long>(curListIxCur), curLocalPath);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }

    switch (curIndexType) {
    case VTO_DIRECTORY:
        extractDirectory();
        break;
    case VTO_FILE: {
        if (velk_debug_level >= 2)
            velk_ErrPrintf("%s to extract file %s\n", "starting", curLocalPath);
        int rc = velk_InitLocalFile();
        if (rc < 0)
            return -1;
        if (rc == 0)
            ++file_objects;
        if (velk_debug_level >= 2 && curBlockCount == 1)
            velk_ErrPrintf("/debug/handling zero-length file: %s\n", curLocalPath);
        break;
    }
    case VTO_SYMLINK: {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("will create symlink for %s\n", curLocalPath);
        char target[HENT_linkname_size + 1];
        fieldText(target, curIndexEntry.hent_linkname, HENT_linkname_size);
        if (velk_Symlink(&curIndexEntry, curLocalPath, target) == 0)
            ++file_objects;
        break;
    }
    default: {
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&curIndexEntry, path, sizeof path);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    " %s: fatal: unrecognized object type {%d) for index entry %ld (%s) \n", func,
                    static_cast<int>(curIndexType), static_cast<long>(curListIxCur), path);
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    }
    curTarHeaderExtracted = true;
    return 0;
}

// The current member's blocks are all handled.  0, or -1 when its local
// file was left open (an internal error).
int finishMember()
{
    ++total_ix_entries;
    ++total_objects;
    if (curIndexType == VTO_FILE) {
        total_file_bytes += curLocFileSize;
        velk_StatusMsg(curListLeftToDo == 1 ? 1 : 0, "Bytes: %lu Index Entries: %ld",
                       static_cast<unsigned long>(total_file_bytes), total_ix_entries);
    }
    --curListLeftToDo;
    curHaveEntry = false;
    if (curLocalFileFd >= 0 && curLocalFileOwned) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error - all blocks processed according to Index File\n", "readCallbackCtl");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     but local file %s still open\n", curLocalPath);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        closeLocalFile();
        return -1;
    }
    curLocalFileFd = -1;
    return 0;
}

// Makes entry, read again from the index during pass 2, the current member
// after checking that it still describes what pass 1 laid out: a sane entry
// whose member starts at expectedBlock and ends inside the range.  0, or -1
// after the message with status 72.
int beginRangeMember(const hif_entry_t *entry, int64_t ordinal, uint64_t expectedBlock, uint64_t rangeEndBlock)
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    uint64_t offset = velk_Get64(entry->hent_offset);
    uint64_t blocks = velk_Get32(entry->hent_blocks);
    if (!velk_IndexEntrySane(entry) || offset != expectedBlock || offset >= rangeEndBlock ||
        blocks > rangeEndBlock - offset || entryShapeOk(entry, ordinal, path) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Index File %s changed during the extraction at entry %ld\n",
                    "velk_Extract", velk_index_filename, static_cast<long>(ordinal));
        velk_SetExitCode(VELK_EXIT_IOERR);
        curHaveEntry = false;
        return -1;
    }
    return velk_ExtractBeginMember(entry, ordinal);
}

// Reads the range's next entry and makes it current: the member that starts
// where the previous one ended.  0 or -1.
int nextRangeEntry()
{
    const char *func = "readCallbackCtl";
    if (curListEntry == nullptr || curListLeftToDo <= 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: fatal internal error - archive data beyond the last entry of the range at address %lu\n",
                    func, static_cast<unsigned long>(curArchiveAddr));
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    hif_entry_t *entry = nullptr;
    int eof = 0;
    int limit = static_cast<int>(std::min<int64_t>(curListLeftToDo, INT_MAX));
    if (velk_IndexFileRead(index_Fd, index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
        entry == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error reading index entry %ld from %s\n", func,
                    static_cast<long>(curListIxCur + 1), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    ++curListIxCur;
    ++curFileSpecInx;
    return beginRangeMember(entry, curListIxCur, curArchiveAddr / VELK_BLOCKSIZE, curListEntry->ixEndBlock);
}

} // namespace

// ---------------------------------------------------------------------------
// Exported routines.
// ---------------------------------------------------------------------------

int velk_AddIxListEntry(const hif_entry_t *entry, int64_t ordinal, int64_t memberListPos)
{
    uint64_t offset = velk_Get64(entry->hent_offset);
    uint64_t blocks = velk_Get32(entry->hent_blocks);
    if (ixListTail != nullptr && ordinal <= ixListTail->ixEnd) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error adding index entry.\n", __func__);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "     Attempted to add entry %ld; previous end of list=%ld\n",
                    static_cast<long>(ordinal), static_cast<long>(ixListTail->ixEnd));
        return -1;
    }
    if (ixListTail != nullptr && ordinal == ixListTail->ixEnd + 1 && offset == ixListTail->ixEndBlock) {
        ixListTail->ixEndBlock += blocks;
        ixListTail->ixEnd = ordinal;
        ixListTail->ixCount += 1;
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/debug/extending ixListTail range to entries %ld-%ld, block range=%lu- %lu\n",
                           static_cast<long>(ixListTail->ixStart), static_cast<long>(ixListTail->ixEnd),
                           static_cast<unsigned long>(ixListTail->ixStartBlock),
                           static_cast<unsigned long>(ixListTail->ixEndBlock));
        return 0;
    }
    auto *r = static_cast<ix_ListEntry_t *>(VELK_CALLOC(1, sizeof(ix_ListEntry_t)));
    if (r == nullptr)
        return -1;
    r->next = nullptr;
    r->ixStartBlock = offset;
    r->ixEndBlock = offset + blocks;
    r->ixStart = ordinal;
    r->ixEnd = ordinal;
    r->ixCount = 1;
    r->ixFsOrd = memberListPos;
    if (ixListTail == nullptr)
        ixListHead = r;
    else
        ixListTail->next = r;
    ixListTail = r;
    ++ix_ListCount;
    return 0;
}

void velk_FreeIxList()
{
    ix_ListEntry_t *r = ixListHead;
    while (r != nullptr) {
        ix_ListEntry_t *next = r->next;
        VELK_FREE(r);
        r = next;
    }
    ixListHead = nullptr;
    ixListTail = nullptr;
    ix_ListCount = 0;
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

void velk_ExtractPrepare()
{
    savedUmask = umask(0);
    umaskSaved = true;
    effectiveUid = geteuid();
    total_objects = 0;
    file_objects = 0;
    devNullFileCount = 0;
    total_ix_entries = 0;
    total_file_bytes = 0;
    leadingSlashNoticed = false;
    curHaveEntry = false;
    if (curLocalFileOwned)
        closeLocalFile();
    curLocalFileFd = -1;
    curLocalFileOwned = false;
    freeDeferred();
}

void velk_ExtractRestoreUmask()
{
    if (umaskSaved)
        umask(savedUmask);
    umaskSaved = false;
}

long velk_ExtractFileCount() { return file_objects; }
long velk_ExtractDevNullCount() { return devNullFileCount; }

int velk_ExtractBeginMember(const hif_entry_t *entry, int64_t ordinal)
{
    memcpy(&curIndexEntry, entry, sizeof curIndexEntry);
    curListIxCur = ordinal;
    curIndexType = velk_Get32(entry->hent_type);
    curArchiveAddr = velk_Get64(entry->hent_offset) * VELK_BLOCKSIZE;
    curBlockCount = velk_Get32(entry->hent_blocks);
    curBlocksHandled = 0;
    curTarHeaderExtracted = false;
    curFileIsDevNull = false;
    curFileDiscard = false;
    curFileDoCheckSum = false;
    curLocFileSize = velk_Get64(entry->hent_fsize);
    curLocFileWritten = 0;
    curHaveEntry = true;
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    int stripped = 0;
    int rc = velk_ExtractFormPath(path, curLocalPath, sizeof curLocalPath, &stripped);
    if (rc == VELK_XPATH_OK)
        return 0;
    if (rc == VELK_XPATH_DOTDOT)
        refuseDotDot(path);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Index entry %ld has no usable path: [%s]\n",
                    static_cast<long>(ordinal), path);
    velk_SetExitCode(VELK_EXIT_IOERR);
    curHaveEntry = false;
    return -1;
}

int velk_OpenMemberParent(const char *path, int create, const hif_entry_t *entry, int *fdOut, const char **leafOut)
{
    const char *slash = strrchr(path, '/');
    size_t len = slash != nullptr ? static_cast<size_t>(slash - path) : 0;
    int rc = walkDirs(path, len, create != 0, entry, fdOut);
    if (rc == 0)
        *leafOut = slash != nullptr ? slash + 1 : path;
    return rc;
}

int velk_Mkdir(const hif_entry_t *entry, const char *path)
{
    while (*path == '/')
        ++path;
    if (toStdout() || *path == '\0')
        return 0;
    int fd = -1;
    int rc = walkDirs(path, strlen(path), true, entry, &fd);
    if (rc == 0)
        close(fd);
    return rc;
}

int velk_Symlink(const hif_entry_t *entry, const char *path, const char *target)
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
    int rc = velk_OpenMemberParent(name, 1, entry, &dfd, &leaf);
    if (rc != 0)
        return -1;
    velk_Fd dir(dfd);
    // Whatever held the name before goes (a directory stays and the link
    // then fails).
    unlinkat(dfd, leaf, 0);
    if (symlinkat(target, dfd, leaf) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating symlink %s->%s\n", errno, name, target);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

int velk_InitLocalFile()
{
    uint32_t mode = velk_Get32(curIndexEntry.hent_mode) & kModeBits;
    curLocFileSize = velk_Get64(curIndexEntry.hent_fsize);
    curLocFileWritten = 0;
    curFileDiscard = false;
    curLocalFileFd = -1;
    curLocalFileOwned = false;
    curFileDoCheckSum = false;
    if (optOn(VELK_OPT_CRC) && (velk_Get32(curIndexEntry.hent_flags) & HIF_FLAG_CRC) != 0 && !curFileIsDevNull) {
        curFileDoCheckSum = true;
        curIndexEntryCRC = velk_Get32(curIndexEntry.hent_crc32);
        velk_ChecksumInit(&curLocFileCRC);
    }
    verboseLine("%s: x %s, %lu bytes, %d media blocks\n", velk_msg_prefix[VELK_MSG_VELK], curLocalPath,
                static_cast<unsigned long>(curLocFileSize), static_cast<int>(curBlockCount));
    size_t len = strlen(curLocalPath);
    if (len > 0 && curLocalPath[len - 1] == '/')
        curLocalPath[--len] = '\0';

    if (curFileIsDevNull) {
        // A placeholder's data are zeros: nothing is written anywhere.
        curFileDiscard = true;
        return 0;
    }
    if (toStdout()) {
        fflush(stdout);
        curLocalFileFd = STDOUT_FILENO;
        return 0;
    }
    char *name = curLocalPath;
    while (*name == '/')
        ++name;
    int dfd = -1;
    const char *leaf = nullptr;
    int rc = velk_OpenMemberParent(name, 1, &curIndexEntry, &dfd, &leaf);
    if (rc == -2) {
        curFileDiscard = true;
        curFileDoCheckSum = false;
        return 1;
    }
    if (rc != 0)
        return -1;
    velk_Fd dir(dfd);
    mode_t createMode = static_cast<mode_t>((mode & 0777 & ~savedUmask) | kFileOwnerWrite);
    velk_Fd file(createExclusive(dfd, leaf, createMode, curLocFileSize > 0 ? O_TRUNC | O_NONBLOCK : O_TRUNC));
    if (!file.valid()) {
        int err = errno;
        perror(curLocFileSize > 0 ? "open (create)" : "creat");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Cannot create %s (error=%d)\n", curLocalPath, err);
        return -1;
    }
    if (curLocFileSize == 0)
        applyFileAttrs(file.get());
    // The extract state owns the member file from here on.
    curLocalFileFd = file.release();
    curLocalFileOwned = true;
    if (curLocFileSize == 0)
        closeLocalFile();
    return 0;
}

int velk_WriteLocalFile(const unsigned char *bytes, uint32_t length, int *blocksConsumedOut)
{
    uint64_t need = curLocFileSize - curLocFileWritten;
    uint64_t n = std::min<uint64_t>(length, need);
    *blocksConsumedOut = static_cast<int>((n + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE);
    if (n == 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - no data due for %s\n", __func__,
                    curLocalPath);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    if (curFileDoCheckSum)
        velk_ChecksumBuffer(bytes, static_cast<size_t>(n), &curLocFileCRC);

    if (!curFileDiscard) {
        if (curLocalFileFd < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - %s is not open\n", __func__,
                        curLocalPath);
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        size_t done = 0;
        bool spaceWarned = false;
        int zeroWrites = 0;
        while (done < n) {
            struct pollfd pfd;
            pfd.fd = curLocalFileFd;
            pfd.events = POLLOUT;
            pfd.revents = 0;
            int prc = poll(&pfd, 1, kWritePollMs);
            if (prc < 0 && errno != EINTR) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d on select while writing local file %s\n",
                            errno, curLocalPath);
                return -1;
            }
            if (prc <= 0) {
                if (velk_shutdown_signalled.load() != 0) {
                    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing local file %s\n", EINTR,
                                curLocalPath);
                    return -1;
                }
                continue;
            }
            ssize_t w = velk_local_write_fn(curLocalFileFd, bytes + done,
                                            std::min<size_t>(static_cast<size_t>(n) - done, VELK_LOCAL_WRITE_PIECE));
            if (w > 0) {
                done += static_cast<size_t>(w);
                zeroWrites = 0;
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
                // A forced shutdown ends the wait for space.
                if (velk_shutdown_signalled.load() == 0)
                    velk_nospace_sleep_fn(VELK_NOSPACE_WAIT_SECONDS);
                if (velk_shutdown_signalled.load() == 0)
                    continue;
            }
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing local file %s\n", err, curLocalPath);
            return -1;
        }
    }
    curLocFileWritten += n;
    if (curLocFileWritten < curLocFileSize)
        return 0;

    if (curFileDoCheckSum) {
        uint32_t crc = velk_ChecksumFinalize(&curLocFileCRC);
        if (crc != curIndexEntryCRC) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "CRC error on %s. Index CRC=%8.8x Extracted File CRC=%8.8x\n",
                        curLocalPath, curIndexEntryCRC, crc);
            velk_SetExitCode(VELK_EXIT_MISMATCH);
        }
        curFileDoCheckSum = false;
    }
    if (curLocalFileOwned) {
        applyFileAttrs(curLocalFileFd);
        closeLocalFile();
    }
    curLocalFileFd = -1;
    return 0;
}

int readCallbackCtl(io_buffer_t *theBuf)
{
    const char *func = "readCallbackCtl";
    if (theBuf->dataLength % VELK_BLOCKSIZE != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error. Data length [%d] not a multiple of %d\n",
                    func, static_cast<int>(theBuf->dataLength), VELK_BLOCKSIZE);
        velk_SetExitCode(VELK_EXIT_MISMATCH);
        return -1;
    }
    const unsigned char *data = theBuf->buffer;
    uint32_t pos = 0;
    while (pos < theBuf->dataLength) {
        if (!curHaveEntry && nextRangeEntry() != 0)
            return -1;
        uint32_t left = theBuf->dataLength - pos;
        uint64_t consumed = 0;
        if (!curTarHeaderExtracted) {
            if (handleHeader(data + pos) != 0)
                return -1;
            consumed = 1;
        } else if (curIndexType == VTO_FILE) {
            int blocks = 0;
            if (velk_WriteLocalFile(data + pos, left, &blocks) != 0)
                return -1;
            consumed = static_cast<uint64_t>(blocks);
        } else {
            // Data blocks of a symbolic link from a foreign archive: skipped.
            consumed = std::min<uint64_t>(curBlockCount - curBlocksHandled, left / VELK_BLOCKSIZE);
        }
        if (consumed == 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal internal error - no progress at address %lu\n",
                        func, static_cast<unsigned long>(curArchiveAddr));
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        curBlocksHandled += consumed;
        curArchiveAddr += consumed * VELK_BLOCKSIZE;
        pos += static_cast<uint32_t>(consumed * VELK_BLOCKSIZE);
        if (curBlocksHandled >= curBlockCount && finishMember() != 0)
            return -1;
    }
    return 0;
}

void velk_FinishDirectories()
{
    if (deferredCount == 0) {
        freeDeferred();
        return;
    }
    // Deepest first: a directory made read-only must not block what lies
    // below it, and setting a child's attributes leaves the parent's times
    // alone.
    std::stable_sort(deferredDirs, deferredDirs + deferredCount,
                     [](const DeferredDir &a, const DeferredDir &b) { return a.depth > b.depth; });
    const char *func = "readCallbackCtl";
    for (size_t i = 0; i < deferredCount; ++i) {
        const DeferredDir &d = deferredDirs[i];
        int dfd = -1;
        const char *leaf = nullptr;
        if (velk_OpenMemberParent(d.path, 0, nullptr, &dfd, &leaf) != 0)
            continue;
        velk_Fd dir(dfd);
        struct stat st;
        if (fstatat(dfd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting time(s) for directory %s\n", func,
                        d.path);
            continue;
        }
        if (asRoot() && !optOn(VELK_OPT_OWN_IDS)) {
            if (fchownat(dfd, leaf, static_cast<uid_t>(d.uid), static_cast<gid_t>(d.gid), AT_SYMLINK_NOFOLLOW) != 0)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting uid/gid for directory %s\n", func,
                            d.path);
        }
        if (optOn(VELK_OPT_EXACT_PERMS)) {
            if (fchmodat(dfd, leaf, static_cast<mode_t>(d.mode), 0) != 0)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting mode flags for directory %s\n",
                            func, d.path);
        }
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(d.mtime);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (utimensat(dfd, leaf, times, AT_SYMLINK_NOFOLLOW) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "(%s) error setting time(s) for directory %s\n", func,
                        d.path);
    }
    freeDeferred();
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
int endAction(bool ok, int archiveFd, int indexFd, int indexKind)
{
    velk_FinishDirectories();
    if (!ok)
        velk_SetExitCode(VELK_EXIT_IOERR);
    velk_FinalLine(ok);
    fflush(stdout);
    if (archiveFd >= 0) {
        if (close(archiveFd) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d closing %s Archive file %s\n", "velk_Extract",
                        errno, "local", velk_archive);
        velk_archive_fd = -1;
    }
    if (indexFd >= 0) {
        if (close(indexFd) != 0)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d closing %sindex file %s\n", "velk_Extract",
                        errno, indexKind == VELK_QUOR_FILE ? "QUOR " : "", velk_index_filename);
    }
    index_Fd = -1;
    velk_FreeIxList();
    velk_ExtractRestoreUmask();
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

// Pass 1 for one entry read at ordinal.  Returns 0 to go on, 1 to end pass
// 1 early (quit at the prompt), -1 to fail the action.
int considerEntry(const hif_entry_t *entry, int64_t ordinal, int64_t fsPos, bool byPath)
{
    if (!velk_IndexEntrySane(entry)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Hmmm- %s does not appear to be a file created by velk.\n",
                    velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    uint32_t flags = velk_Get32(entry->hent_flags);
    if ((flags & (HIF_FLAG_PHANTOM | HIF_FLAG_DELETED)) != 0) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/skipping deleted or phantom index entry %ld\n", static_cast<long>(ordinal));
        return 0;
    }
    if (byPath && velk_IndexEntryWasSelected(entry, velk_FileList, velk_FileListEntries) == 0)
        return 0;
    uint32_t type = velk_Get32(entry->hent_type);
    if (type == VTO_UNKNOWN || type > VTO_INDEXEOF) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Cannot extract unrecognized object type: %d Index Entry %ld\n",
                    static_cast<int>(type), static_cast<long>(ordinal));
        velk_SetExitCode(VELK_EXIT_EXTRACT_IO);
        return 0;
    }
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(entry, path, sizeof path);
    if (entryInsideArchive(entry, ordinal, path) != 0 || entryShapeOk(entry, ordinal, path) != 0)
        return -1;

    char local[VELK_PATH_BUFSIZE];
    int stripped = 0;
    int rc = velk_ExtractFormPath(path, local, sizeof local, &stripped);
    if (stripped != 0 && !leadingSlashNoticed && !toStdout()) {
        leadingSlashNoticed = true;
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

// Pass 1: builds the range list.  0 or -1.
int pass1(int64_t selectable, const OrdinalRequest *req, int64_t reqCount)
{
    velk_SetProgramPhase(VTP_EXTRACT_PASS1);
    console_message("reading index file", "");
    velk_StatusMsg(1, "Reading %ld index entries", static_cast<long>(selectable));
    if (velk_debug_level >= 1)
        velk_ErrPrintf("[debug] Pass 1 - building <index-to-read> list. Index entry count=%ld\n",
                       static_cast<long>(selectable));
    if (!optOn(VELK_OPT_BY_ORDINAL)) {
        for (int64_t ordinal = 0; ordinal < selectable; ++ordinal) {
            hif_entry_t *entry = nullptr;
            int eof = 0;
            if (velk_IndexFileRead(index_Fd, index_file_residency, 0, &entry, &eof) != 0) {
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -1;
            }
            if (eof != 0 || entry == nullptr)
                break;
            int rc = considerEntry(entry, ordinal, 0, true);
            if (rc < 0)
                return -1;
            if (rc > 0)
                break;
        }
        return 0;
    }
    // By ordinal: one positioned read per group of consecutive ordinals.
    int64_t i = 0;
    while (i < reqCount) {
        int64_t j = i + 1;
        while (j < reqCount && req[j].ordinal == req[j - 1].ordinal + 1)
            ++j;
        if (velk_IndexFilePosition(index_Fd, index_file_residency, req[i].ordinal) != 0) {
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        for (int64_t k = i; k < j; ++k) {
            hif_entry_t *entry = nullptr;
            int eof = 0;
            int limit = static_cast<int>(std::min<int64_t>(j - k, INT_MAX));
            if (velk_IndexFileRead(index_Fd, index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
                entry == nullptr) {
                velk_SetExitCode(VELK_EXIT_IOERR);
                return -1;
            }
            if (considerEntry(entry, req[k].ordinal, req[k].fsPos, false) < 0)
                return -1;
        }
        i = j;
    }
    return 0;
}

// Reads one range through the archive reader.  Adds its time and length
// to the totals.  0 or -1.
int readRange(int archiveFd, ix_ListEntry_t *range, double *seconds, uint64_t *bytes)
{
    if (velk_IndexFilePosition(index_Fd, index_file_residency, range->ixStart) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error positioning index file to entry %ld.\n",
                    "velk_Extract", static_cast<long>(range->ixStart));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ reading next Index File group. Entries %ld-%ld, count=%ld fsOrd=%ld\n",
                       static_cast<long>(range->ixStart), static_cast<long>(range->ixEnd),
                       static_cast<long>(range->ixCount), static_cast<long>(range->ixFsOrd));
    curListEntry = range;
    curListLeftToDo = range->ixCount;
    curFileSpecInx = range->ixFsOrd;
    hif_entry_t *entry = nullptr;
    int eof = 0;
    int limit = static_cast<int>(std::min<int64_t>(range->ixCount, INT_MAX));
    if (velk_IndexFileRead(index_Fd, index_file_residency, limit, &entry, &eof) != 0 || eof != 0 ||
        entry == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error reading index entry %ld from %s\n",
                    "velk_Extract", static_cast<long>(range->ixStart), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    curListIxCur = range->ixStart;
    if (beginRangeMember(entry, range->ixStart, range->ixStartBlock, range->ixEndBlock) != 0)
        return -1;
    uint64_t start = range->ixStartBlock * VELK_BLOCKSIZE;
    uint64_t length = (range->ixEndBlock - range->ixStartBlock) * VELK_BLOCKSIZE;
    double xferTime = 0.0;
    int rc = velk_CopyFromLocalArchive(archiveFd, start, length, readCallbackCtl, &xferTime);
    *seconds += xferTime;
    *bytes += length;
    if (velk_debug_level >= 4)
        velk_ErrPrintf("/trace/returned from Archive File read - result=%d\n", rc);
    if (rc < 0) {
        if (curLocalFileOwned)
            closeLocalFile();
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract aborted\n");
        return -1;
    }
    // A reader that ends early (an archive cut short after it was measured)
    // leaves members of the range undone.
    if (curListLeftToDo != 0 || curHaveEntry) {
        if (curLocalFileOwned)
            closeLocalFile();
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Archive file %s ended before entry %ld was complete\n", "velk_Extract", velk_archive,
                    static_cast<long>(curListIxCur));
        velk_SetExitCode(VELK_EXIT_IOERR);
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Extract aborted\n");
        curHaveEntry = false;
        return -1;
    }
    return 0;
}

void statisticsLine(FILE *outStream, const RunTimes &t, double seconds, uint64_t bytes)
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
    int n = snprintf(line, sizeof line, "%s: Extract complete for %s, %ld files. total bytes read: %lu in %.3f seconds ",
                     velk_msg_prefix[VELK_MSG_VELK], velk_archive, file_objects, static_cast<unsigned long>(bytes),
                     seconds);
    size_t used = n > 0 ? std::min(static_cast<size_t>(n), sizeof line - 1) : 0;
    if (seconds >= 0.001) {
        n = snprintf(line + used, sizeof line - used, "(%.3f MB/s %s)",
                     static_cast<double>(bytes) / 1e6 / seconds, ix_ListCount > 1 ? "average" : "");
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

int velk_Extract()
{
    VELK_TRACE_ENTRY();
    FILE *outStream = toStdout() ? stderr : stdout;
    RunTimes times;
    gettimeofday(&times.start, nullptr);
    memset(&times.usage, 0, sizeof times.usage);
    getrusage(RUSAGE_SELF, &times.usage);
    velk_ExtractPrepare();
    velk_FreeIxList();
    index_Fd = -1;

    if (velk_filetype == VELK_PIPE) {
        // Nothing was extracted: a refused pipe must not end as a success.
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "velk_Extract: please use regular tar to read piped Archive Files\n");
        velk_SetExitCode(VELK_EXIT_USAGE);
        velk_FinalLine(false);
        velk_ExtractRestoreUmask();
        return -1;
    }
    if (velk_filetype == VELK_QUOR_FILE || velk_filetype == VELK_REMOTE_FILE) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: reading a %s archive file is not available in this build: %s\n",
                    "velk_Extract", velk_filetype == VELK_QUOR_FILE ? "QUOR" : "remote", velk_archive);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        velk_FinalLine(false);
        velk_ExtractRestoreUmask();
        return -1;
    }
    if (velk_GenFilelist() < 0)
        return endAction(false, -1, -1, 0);

    OrdinalRequest *req = nullptr;
    int64_t reqCount = 0;
    if (optOn(VELK_OPT_BY_ORDINAL) && collectOrdinals(&req, &reqCount) != 0)
        return endAction(false, -1, -1, 0);
    struct ReqFree {
        OrdinalRequest *p;
        ~ReqFree()
        {
            if (p != nullptr)
                VELK_FREE(p);
        }
    } reqFree{req};

    // Opening the files.
    velk_SetProgramPhase(VTP_EXTRACT_OPEN_FILES);
    struct stat archiveStat;
    memset(&archiveStat, 0, sizeof archiveStat);
    if (velk_GetArchiveXAttrs(velk_filetype, nullptr, &archiveStat) != 0)
        return endAction(false, -1, -1, 0);
    velk_StatusMsg(1, "Open Index File");
    int kind = velk_filetype;
    int indexFd = velk_OpenIndexFile(velk_index_filename, O_RDONLY, kind);
    if (indexFd < 0)
        return endAction(false, -1, -1, kind);
    index_Fd = indexFd;
    index_file_residency = kind;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("[debug] successfully opened Index file for reading on FD=%d\n", indexFd);

    bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
    if (foreign && velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ index says Archive File was NOT created by VELK\n");

    archiveSizeBytes = static_cast<uint64_t>(archiveStat.st_size);
    uint64_t recorded = velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize);
    if (recorded != archiveSizeBytes) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Archive file %s size = %lu\n", velk_archive,
                    static_cast<unsigned long>(archiveSizeBytes));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "       is inconsistent with size of %lu from Index File %s\n",
                    static_cast<unsigned long>(recorded), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return endAction(false, -1, indexFd, kind);
    }

    // The header's object count, which the open has checked against the
    // entries present.  The last entry of an archive velk wrote is the
    // consistency file's and is never extracted.
    int64_t objects = std::min<int64_t>(velk_Get32(velk_index_hdr.hif_hdr.obj_count), velk_index_entries);
    int64_t selectable = foreign ? objects : std::max<int64_t>(objects - 1, 0);
    for (int64_t i = 0; i < reqCount; ++i) {
        if (req[i].ordinal >= selectable) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "Specified index entry: %lu is > number of index entries in the archive (%lu) [from Index File %s]\n",
                        static_cast<unsigned long>(req[i].ordinal), static_cast<unsigned long>(selectable),
                        velk_index_filename);
            velk_SetExitCode(VELK_EXIT_USAGE);
            return endAction(false, -1, indexFd, kind);
        }
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ Index file contains %d entries, including consistency file\n",
                       static_cast<int>(objects));
    velk_FreeIxList();
    if (velk_IndexReadInit() != 0)
        return endAction(false, -1, indexFd, kind);

    if (pass1(selectable, req, reqCount) != 0)
        return endAction(false, -1, indexFd, kind);

    if (ixListHead == nullptr) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ no index entries were selected for extracting \n");
        return endAction(true, -1, indexFd, kind);
    }

    // Pass 2.
    velk_SetProgramPhase(VTP_EXTRACT_READARCHIVE);
    velk_StatusMsg(1, "Opening archive file");
    console_message("Opening archive file", "");
    struct stat openStat;
    memset(&openStat, 0, sizeof openStat);
    int archiveFd = velk_OpenArchiveFile(O_RDONLY, nullptr, &openStat);
    if (archiveFd < 0)
        return endAction(false, -1, indexFd, kind);
    velk_archive_fd = archiveFd;
    if (static_cast<uint64_t>(openStat.st_size) != archiveSizeBytes) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[FATAL] Archive file %s size = %lu\n", velk_archive,
                    static_cast<unsigned long>(openStat.st_size));
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "       is inconsistent with size of %lu from Index File %s\n",
                    static_cast<unsigned long>(archiveSizeBytes), velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return endAction(false, archiveFd, indexFd, kind);
    }
    console_message("Reading archive file", "");
    if (velk_IndexFileRewind(indexFd, kind) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error rewinding index file. Cannot continue...\n");
        return endAction(false, archiveFd, indexFd, kind);
    }
    double seconds = 0.0;
    uint64_t bytes = 0;
    bool ok = true;
    for (ix_ListEntry_t *r = ixListHead; r != nullptr; r = r->next) {
        if (readRange(archiveFd, r, &seconds, &bytes) != 0) {
            ok = false;
            break;
        }
    }
    curListEntry = nullptr;
    console_message("", "");
    if (!ok)
        return endAction(false, archiveFd, indexFd, kind);
    if (devNullFileCount > 0) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "%d files were extracted to /dev/null. Files were missing at creation time\n"
                    "         due to filesystem errors or user removal during the archive creation\n",
                    static_cast<int>(devNullFileCount));
        velk_SetExitCode(VELK_EXIT_MISMATCH);
    }
    statisticsLine(outStream, times, seconds, bytes);
    return endAction(true, archiveFd, indexFd, kind);
}
