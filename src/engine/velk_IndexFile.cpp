// The local index file: opening and validating it, reading and writing its
// header, the buffered sequential reader, positioned and random reads, the
// temporary index of a create and its adjustment pass.  Called by the
// initial thread (and, during create, the local file manager thread while
// the initial thread waits); the index's reader (velk_index_t's cursor) is
// used by one thread at a time.  No locks.

#include "velk_IndexFile.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_NameCache.h"
#include "velk_Utils.h"

namespace {

// Consecutive EIO results (or zero-byte writes) a transfer survives.
constexpr int kMaxConsecutiveEio = 5;
// Attempts at a free name for the temporary index.
constexpr int kTmpNameTries = 100;

const char *orEmpty(const char *s)
{
    return s != nullptr ? s : "";
}

// Moves up to n bytes through a local descriptor: step(done) reads or
// writes the bytes from offset done on and returns what read(2) or
// write(2) does.  EINTR retries, EAGAIN waits for the descriptor to be ready
// for events, EIO retries until the sixth in a row; a raised shutdown flag
// ends the loop.  A step that moves nothing is the end of the file when
// reading (events POLLIN); when writing it is retried, and the sixth in a
// row fails with EIO.  Returns the count, or -1 with errno set.
template <typename Step>
int64_t moveLocal(int fd, size_t n, short events, Step step)
{
    size_t done = 0;
    int eio = 0;
    int zero = 0;
    while (done < n) {
        if (velk_shutdown_signalled.load()) {
            errno = ECANCELED;
            return -1;
        }
        ssize_t r = step(done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            eio = 0;
            zero = 0;
            continue;
        }
        if (r == 0) {
            if (events == POLLIN)
                break;
            if (++zero > kMaxConsecutiveEio) {
                errno = EIO;
                return -1;
            }
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            int wait = velk_WaitReady(fd, events);
            if (wait == 0)
                continue;
            errno = -wait;
            return -1;
        }
        if (errno == EIO && ++eio <= kMaxConsecutiveEio)
            continue;
        return -1;
    }
    return static_cast<int64_t>(done);
}

// Reads up to n bytes from a local descriptor: stops early only at end of
// file (moveLocal's retry rules).  Returns the count, or -1 with errno set.
int64_t readLocal(int fd, void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    return moveLocal(fd, n, POLLIN, [&](size_t done) { return ::read(fd, p + done, n - done); });
}

// Writes n bytes to a local descriptor (moveLocal's retry rules).  Returns
// n, or -1 with errno set.
int64_t writeLocal(int fd, const void *buf, size_t n)
{
    auto *p = static_cast<const unsigned char *>(buf);
    return moveLocal(fd, n, POLLOUT, [&](size_t done) { return ::write(fd, p + done, n - done); });
}

// Byte offset of entry ordinal: entries follow the header and the
// annotation area.
off_t entryOffset(const velk_index_t *index, int64_t ordinal)
{
    return static_cast<off_t>(HIF_HDR_SIZE + index->annotationSize + HIF_ENTRY_SIZE * static_cast<uint64_t>(ordinal));
}

void resetReader(velk_index_cursor_t *cur)
{
    cur->next = cur->buffer;
    cur->buffered = 0;
    cur->filePos = 0;
    cur->hitEof = false;
}

// Creates the missing directories above the file path (mode 0777).  Returns
// 0, or -1 with errno set.
int makeParentDirs(const char *path)
{
    std::string p(path);
    for (size_t i = 1; i < p.size(); i++) {
        if (p[i] != '/')
            continue;
        std::string dir = p.substr(0, i);
        if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
            return -1;
    }
    return 0;
}

// Directory of the final index path for the temporary index of a local
// archive: the current directory when the path has no '/' or only a leading
// one.  Returns false with a message when the current directory is unknown.
bool tmpIndexDirectory(std::string *dir)
{
    const char *final = orEmpty(velk_index_filename);
    const char *slash = strrchr(final, '/');
    if (slash != nullptr && slash != final) {
        dir->assign(final, static_cast<size_t>(slash - final));
        return true;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error getting current directory");
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return false;
    }
    dir->assign(cwd);
    return true;
}

} // namespace

bool velk_IndexKindIsLocal(int kind, const char *func, const char *name)
{
    if (kind == VELK_LOCAL_FILE)
        return true;
    // Storage-system and gateway-host indexes are read and written through
    // a local copy (velk_IndexAccess.h); reaching here is a caller's error.
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] internal error - %s index file %s is not a local copy\n", func,
                velk_IndexKindName(kind), orEmpty(name));
    velk_SetExitCode(VELK_EXIT_SOFTWARE);
    return false;
}

int velk_ReadIndexHeader(int fd, int kind, const char *name, hif_hdr_t *header)
{
    if (!velk_IndexKindIsLocal(kind, __func__, name))
        return -1;
    if (lseek(fd, 0, SEEK_SET) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Fatal error %d rewinding %s index file: %s\n", __func__,
                    errno, velk_IndexKindName(kind), orEmpty(name));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    unsigned char image[HIF_HDR_SIZE];
    int64_t n = readLocal(fd, image, sizeof image);
    if (n != static_cast<int64_t>(sizeof image)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d reading %s index file header: %s\n", __func__,
                    n < 0 ? errno : EIO, velk_IndexKindName(kind), orEmpty(name));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_DecodeIndexHeader(image, sizeof image, header);
}

int velk_WriteIndexHeader(int fd, int kind, const char *name, const hif_hdr_t *header)
{
    static const char *const self = "writeIndexHeader";
    if (!velk_IndexKindIsLocal(kind, self, name))
        return -1;
    if (lseek(fd, 0, SEEK_SET) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal error rewinding %s index file %s\n", self,
                    velk_IndexKindName(kind), orEmpty(name));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    unsigned char image[HIF_HDR_SIZE];
    velk_EncodeIndexHeader(header, image);
    if (writeLocal(fd, image, sizeof image) < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d writing %s index file header: %s\n", self, errno,
                    velk_IndexKindName(kind), orEmpty(name));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (lseek(fd, static_cast<off_t>(HIF_HDR_SIZE), SEEK_SET) != static_cast<off_t>(HIF_HDR_SIZE)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal error repositioning %s index file %s\n", self,
                    velk_IndexKindName(kind), orEmpty(name));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Opening.
// ---------------------------------------------------------------------------

int velk_IndexHeaderAccept(velk_index_t *index, const hif_hdr_t *hdr, uint64_t size, const char *path)
{
    bool looksRight = false;
    if (hdr != nullptr && size >= HIF_HDR_SIZE) {
        // The header must say what it is, its annotation area must lie inside
        // the file, and it may not claim more entries than the file holds.
        uint64_t annot = velk_Get32(hdr->hif_hdr.annotation_size);
        if (velk_IndexHeaderSane(hdr) && annot <= size - HIF_HDR_SIZE) {
            uint64_t present = (size - HIF_HDR_SIZE - annot) / HIF_ENTRY_SIZE;
            looksRight = velk_Get32(hdr->hif_hdr.obj_count) <= present;
        }
    }
    if (!looksRight) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Oops - %s doesn't look like an VELK index file\n", path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_debug_level >= 2) {
        velk_ErrPrintf("/debug/ Index file header contents:\n");
        velk_ErrPrintf("     Version........... %d\n", static_cast<int>(velk_Get32(hdr->hif_hdr.hif_version)));
        velk_ErrPrintf("     Flags............. 0x%8.8x\n", velk_Get32(hdr->hif_hdr.hif_flags));
        velk_ErrPrintf("     Object count...... %d\n", static_cast<int>(velk_Get32(hdr->hif_hdr.obj_count)));
        velk_ErrPrintf("     Annotation offset.. %d\n", static_cast<int>(velk_Get32(hdr->hif_hdr.annotation_offset)));
        velk_ErrPrintf("     Annotation Area Size.. %d\n", static_cast<int>(velk_Get32(hdr->hif_hdr.annotation_size)));
    }
    velk_index_hdr = *hdr;
    index->annotationOffset = velk_Get32(hdr->hif_hdr.annotation_offset);
    index->annotationSize = velk_Get32(hdr->hif_hdr.annotation_size);
    index->fileSize = size;
    velk_index_entries = static_cast<int64_t>((size - index->annotationSize - HIF_HDR_SIZE) / HIF_ENTRY_SIZE);
    return 0;
}

int velk_OpenLocalIndexFile(velk_index_t *index, const char *path, int openFlags, int kind)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d getting attributes for local index file %s\n",
                    err, path);
        velk_Explain(VELK_MSG_ERROR, err, path, err == ENOENT ? VELK_ADVICE_INDEX_MISSING : nullptr);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s: Index File %s is %lu bytes in length\n", "velk_OpenIndexFile", path,
                       static_cast<unsigned long>(size));
        velk_ErrPrintf("/debug/ opening %s index file %s\n", velk_IndexKindName(kind), path);
    }
    int fd = open(path, openFlags, 0666);
    if (fd >= 0) {
        // Readers go through the index from start to end: a wider
        // read-ahead keeps the disk busy while entries are processed.
        (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    if (fd < 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening %s index file: %s\n", err,
                    velk_IndexKindName(kind), path);
        velk_Explain(VELK_MSG_ERROR, err, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }

    hif_hdr_t hdr;
    bool whole = size >= HIF_HDR_SIZE;
    if (whole && velk_ReadIndexHeader(fd, kind, path, &hdr) != 0) {
        close(fd);
        return -1;
    }
    if (velk_IndexHeaderAccept(index, whole ? &hdr : nullptr, size, path) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---------------------------------------------------------------------------
// Reading.
// ---------------------------------------------------------------------------

int velk_IndexReadInit(velk_index_t *index)
{
    velk_index_cursor_t *cur = &index->cursor;
    if (cur->buffer == nullptr) {
        cur->buffer = static_cast<unsigned char *>(VELK_MALLOC(VELK_INDEX_BUFSIZE));
        if (cur->buffer == nullptr) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "FATAL: (%s)unable to allocate buffer for Index File reads\n", __func__);
            velk_SetExitCode(VELK_EXIT_NOMEM);
            return -1;
        }
    }
    resetReader(cur);
    return 0;
}

void velk_IndexReadRelease(velk_index_t *index)
{
    VELK_FREE(index->cursor.buffer);
    index->cursor.buffer = nullptr;
    resetReader(&index->cursor);
}

int velk_IndexFileRead(velk_index_t *index, int fd, int kind, int maxEntries, hif_entry_t **entryOut, int *eofOut)
{
    velk_index_cursor_t *cur = &index->cursor;
    *entryOut = nullptr;
    *eofOut = 0;
    if (cur->buffer == nullptr && velk_IndexReadInit(index) != 0)
        return -1;
    if (cur->filePos >= velk_index_entries) {
        *eofOut = 1;
        return 0;
    }
    if (cur->buffered == 0) {
        if (cur->hitEof) {
            *eofOut = 1;
            return 0;
        }
        if (!velk_IndexKindIsLocal(kind, __func__, velk_index_filename))
            return -1;
        int64_t left = velk_index_entries - cur->filePos;
        int n = VELK_INDEX_BUFENTRIES;
        if (left < n)
            n = static_cast<int>(left);
        if (maxEntries > 0 && maxEntries < n)
            n = maxEntries;
        size_t want = static_cast<size_t>(n) * HIF_ENTRY_SIZE;
        int64_t got = readLocal(fd, cur->buffer, want);
        if (got < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d reading %d bytes from index file %s\n",
                        errno, static_cast<int>(want), orEmpty(velk_index_filename));
            return -1;
        }
        // A file shorter than its entry count ends here: only whole entries
        // that were read are handed out, a partial one is dropped.
        int whole = static_cast<int>(got / static_cast<int64_t>(HIF_ENTRY_SIZE));
        if (whole < n)
            cur->hitEof = true;
        if (whole == 0) {
            *eofOut = 1;
            return 0;
        }
        cur->buffered = whole;
        cur->next = cur->buffer;
    }
    *entryOut = reinterpret_cast<hif_entry_t *>(cur->next);
    cur->next += HIF_ENTRY_SIZE;
    cur->buffered--;
    cur->filePos++;
    return 0;
}

int velk_IndexFilePosition(velk_index_t *index, int fd, int kind, int64_t ordinal)
{
    resetReader(&index->cursor);
    if (!velk_IndexKindIsLocal(kind, __func__, velk_index_filename))
        return -1;
    if (ordinal < 0 || lseek(fd, entryOffset(index, ordinal), SEEK_SET) != entryOffset(index, ordinal)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error positioning Index File to record %d\n", __func__,
                    static_cast<int>(ordinal));
        return -1;
    }
    index->cursor.filePos = ordinal;
    return 0;
}

int velk_IndexFileRewind(velk_index_t *index, int fd, int kind)
{
    if (velk_IndexFilePosition(index, fd, kind, 0) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d rewinding Index File\n", errno);
        return -1;
    }
    return 0;
}

int velk_IndexReadRandomEntry(velk_index_t *index, int fd, int kind, int64_t ordinal, hif_entry_t *entry)
{
    // An ordinal past the end would otherwise wait for bytes that never
    // come, or read a partial entry.
    if (ordinal < 0 || ordinal >= velk_index_entries) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] index entry %ld is beyond the end of index file %s\n",
                    __func__, static_cast<long>(ordinal), orEmpty(velk_index_filename));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_IndexFilePosition(index, fd, kind, ordinal) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    unsigned char image[HIF_ENTRY_SIZE];
    int64_t n = readLocal(fd, image, sizeof image);
    if (n != static_cast<int64_t>(sizeof image)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d reading %d bytes from index file %s\n",
                    n < 0 ? errno : EIO, static_cast<int>(sizeof image), orEmpty(velk_index_filename));
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    hif_entry_t e;
    if (velk_DecodeIndexEntry(image, sizeof image, &e) != 0 || !velk_IndexEntrySane(&e)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] Bad Index Header detected (sanity string mismatch)\n",
                    __func__);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *entry = e;
    return 0;
}

void velk_GetIndexBufSize(int *bytesOut, int *entriesOut)
{
    *bytesOut = VELK_INDEX_BUFSIZE;
    *entriesOut = VELK_INDEX_BUFENTRIES;
}

// ---------------------------------------------------------------------------
// The temporary index.
// ---------------------------------------------------------------------------

int velk_CreateTmpIndexFile(velk_index_t *index)
{
    std::string path;
    // A local index (that of a local or a piped archive) is made in the
    // directory it will be renamed into, so that the rename replaces the
    // old index in one step.
    bool fromTemplate = velk_filetype == VELK_LOCAL_FILE || velk_filetype == VELK_PIPE;
    if (fromTemplate) {
        std::string dir;
        if (!tmpIndexDirectory(&dir))
            return -1;
        path = dir + "/velk_XXXXXX";
    } else {
        const char *tmpdir = getenv("TMPDIR");
        char name[64];
        snprintf(name, sizeof name, "/VELK_INX_%d_%ld", static_cast<int>(getpid()), static_cast<long>(time(nullptr)));
        path = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + name;
    }
    if (path.size() >= PATH_MAX) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating temporary index file name\n", ENAMETOOLONG);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_Opt(VELK_OPT_MAKE_PARENTS) && makeParentDirs(path.c_str()) != 0) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "Failed to create intermediate directories for temporary index file %s\n", path.c_str());
        velk_SetExitCode(VELK_EXIT_IOERR);
    }

    int fd = -1;
    if (fromTemplate) {
        // mkstemp picks a free name and creates it exclusively, mode 0600.
        std::string tmpl = path;
        fd = mkstemp(tmpl.data());
        path = tmpl;
    } else {
        // Exclusive creation never follows or reuses someone else's file; a
        // taken name gets a numeric suffix.
        std::string base = path;
        for (int attempt = 0; attempt < kTmpNameTries; attempt++) {
            if (attempt > 0)
                path = base + "_" + std::to_string(attempt);
            fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0 || errno != EEXIST)
                break;
        }
    }
    if (fd < 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating temporary index file %s\n", err,
                    path.c_str());
        velk_Explain(VELK_MSG_ERROR, err, path.c_str(), VELK_ADVICE_INDEX_DIR);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    char *copy = VELK_STRDUP(path.c_str());
    if (copy == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating temporary index file name\n", ENOMEM);
        velk_SetExitCode(VELK_EXIT_IOERR);
        close(fd);
        unlink(path.c_str());
        return -1;
    }
    VELK_FREE(index->tmpName);
    index->tmpName = copy;
    index->tmpFd = fd;
    index->unlinkTmp = 1;
    return 0;
}

void index_CopyFailure()
{
    velk_LogMsg(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "    A \"rebuild_index\" run will be needed to (re)create the\n");
    velk_LogMsg(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "    Index File for this velk file. See the man page for details\n");
}

int velk_CopyAndAdjustLocalIndex(velk_index_t *index)
{
    console_message("Pass 2: adjusting local Index File entries ", "");
    const char *tmp = orEmpty(index->tmpName);
    const char *slash = strrchr(tmp, '/');
    std::string dir;
    if (slash != nullptr) {
        dir.assign(tmp, static_cast<size_t>(slash - tmp));
    } else {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error getting current directory");
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        dir = cwd;
    }
    std::string newPath = dir + "/velk_p2_XXXXXX";
    int out = mkstemp(newPath.data());
    if (out < 0) {
        const int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d creating temporary index file %s\n", __func__, err,
                    newPath.c_str());
        velk_Explain(VELK_MSG_ERROR, err, newPath.c_str(), VELK_ADVICE_INDEX_DIR);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    auto *buf = static_cast<unsigned char *>(VELK_MALLOC(VELK_INDEX_BUFSIZE));
    if (buf == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: FATAL: unable to allocate buffer for Index File copy\n",
                    __func__);
        index_CopyFailure();
        close(out);
        unlink(newPath.c_str());
        return -1;
    }

    int in = index->tmpFd;
    int rc = 0;
    hif_hdr_t hdr;
    if (velk_ReadIndexHeader(in, VELK_LOCAL_FILE, tmp, &hdr) != 0 ||
        velk_WriteIndexHeader(out, VELK_LOCAL_FILE, newPath.c_str(), &hdr) != 0 ||
        velk_IndexFilePosition(index, in, VELK_LOCAL_FILE, 0) != 0 || velk_IndexReadInit(index) != 0)
        rc = -1;
    int held = 0;
    for (int64_t ordinal = 0; rc == 0; ordinal++) {
        hif_entry_t *e = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(index, in, VELK_LOCAL_FILE, 0, &e, &eof) != 0) {
            rc = -1;
            break;
        }
        if (!eof) {
            auto *slot = reinterpret_cast<hif_entry_t *>(buf + static_cast<size_t>(held) * HIF_ENTRY_SIZE);
            if (velk_AdjustIndexEntry(ordinal, e, slot) != 0) {
                rc = -1;
                break;
            }
            held++;
        }
        if (held > 0 && (held == VELK_INDEX_BUFENTRIES || eof)) {
            if (writeLocal(out, buf, static_cast<size_t>(held) * HIF_ENTRY_SIZE) < 0) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d writing temporary index file %s\n",
                            __func__, errno, newPath.c_str());
                velk_SetExitCode(VELK_EXIT_IOERR);
                rc = -1;
                break;
            }
            held = 0;
        }
        if (eof)
            break;
    }
    VELK_FREE(buf);
    if (rc != 0) {
        index_CopyFailure();
        close(out);
        unlink(newPath.c_str());
        return -1;
    }

    // The adjusted copy replaces the first one in one rename: whatever
    // happens, a complete temporary index stays at the name.
    if (rename(newPath.c_str(), tmp) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d renaming temp index file %s to %s\n", __func__,
                    errno, newPath.c_str(), tmp);
        velk_SetExitCode(VELK_EXIT_IOERR);
        close(out);
        unlink(newPath.c_str());
        return -1;
    }
    close(in);
    index->tmpFd = out;
    console_message("", "");
    return 0;
}
