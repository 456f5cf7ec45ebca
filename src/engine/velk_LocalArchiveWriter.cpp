// The local archive writer: reads the temporary index of a create in order
// and writes each member (header block, data, padding) to the local archive,
// then one zero block.  Every member advances the archive by exactly its
// indexed blocks, whatever happens to its file, so the offsets in the index
// stay true; only a failed archive write (or an entry the writer does not
// know) stops the copy.  Member data go from file to archive inside the
// kernel where the system allows it (copy_file_range, else splice through a
// pipe: either way the bytes are copied once, not read into this process
// and written out again), else through this unit's buffer.  Small members
// of a regular-file archive are gathered in that buffer instead (header,
// data read from the file, padding) and written out many at a time, so each
// costs one read and no write of its own; helper
// threads look the next members up meanwhile (velk_MemberPrefetch).  With
// -V on a terminal the progress line follows the bytes written.  The
// copy itself runs on the initial thread only; the member status calls take
// velk_TableLock.

#include "velk_LocalArchiveWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include "kyl_fd.h"
#include "velk_ArchiveFile.h"
#include "velk_Env.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberFile.h"
#include "velk_MemberPrefetch.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"

namespace {

// Padding source: a block of zero bytes.
const unsigned char kZeroBlock[VELK_BLOCKSIZE] = {};
// The writer needs room for a header block and a little data.
constexpr int kMinBufSize = 1024;
// A regular-file archive has its write-back started every kWritebackStep
// bytes, so the disk writes while the members are still being read instead
// of receiving the whole archive at close or sync.
constexpr uint64_t kWritebackStep = uint64_t{32} << 20;
// Bytes asked of one in-kernel copy call, so write-back and a shutdown are
// looked at between calls.
constexpr uint64_t kInKernelPiece = uint64_t{8} << 20;
// Bytes read back at a time for a CRC.
constexpr size_t kCrcPiece = size_t{256} << 10;
// Capacity asked for the splice pipe: the bytes one pass moves.
constexpr int kSplicePipeSize = 1 << 20;
// A member whose blocks (header, data, padding) take at most this many
// bytes is gathered in the buffer with its neighbours: for small files the
// write calls cost more than the bytes copied once more.
constexpr uint64_t kGatherMax = uint64_t{64} << 10;
// The gathered members are written once they fill this much of the buffer:
// little enough to stay in the processor's cache between the reads that
// fill it and the write that empties it (a whole 8 MiB buffer took a tenth
// more processor time on many small files).
constexpr uint64_t kGatherArea = uint64_t{256} << 10;
// copyLocalFile's results beside VELK_LCOPY_*: the member was gathered (its
// outcome is recorded when the buffer is written), or writing the members
// gathered before it failed, so it was not reached.
constexpr int kLcopyGathered = 1;
constexpr int kLcopyNotReached = 2;

const unsigned char *zeroBlock()
{
    return kZeroBlock;
}

// Which in-kernel copy works, found out once per run: copy_file_range is
// tried once for each file system the members come from (it refuses a copy
// between two file systems), splice through a pipe is the way for the ones
// it refused, and nothing in the kernel once splice was refused too.
struct InKernelWays {
    std::vector<dev_t> noCopyRange; // member file systems copy_file_range refused
    bool noSplice = false;
    int pipe[2] = {-1, -1}; // the splice pipe, made on first use
    size_t pipeSize = 0;
};

// A member gathered in the buffer and not yet written to the archive.
struct GatheredMember {
    long ordinal;
    uint32_t type;
    size_t headerAt; // its header block's place in the buffer
    size_t dataEnd;  // where its data end and its padding starts
    size_t end;      // where its blocks end
    int result;      // 0 or VELK_LCOPY_*, recorded once it is written
    bool crcOn;
    uint32_t crc;
};

// The state of one velk_CopyToLocalArchive call, on its thread's stack.
struct LocalWriter {
    // Ordinal of the entry being written, -1 before the first.
    long entry = -1;
    // The data buffer, wantSize bytes; header blocks are built in it too.
    // Owned, freed when the copy ends.  wantSize is the run's buffer size.
    unsigned char *buf = nullptr;
    size_t bufSize = 0;
    int wantSize = 0;
    // Archive bytes written by this copy, and how far write-back to the disk
    // has been started.
    uint64_t bytesWritten = 0;
    uint64_t writebackStartedTo = 0;
    bool isRegular = false;
    // The archive descriptor can also be read (CRCs are then taken from it).
    bool isReadable = false;
    struct timespec progressShownAt = {};
    uint64_t archiveSize = 0; // the size the archive will have, for the progress line
    velk_member_dir_t dirs;   // the directory of the last member opened
    InKernelWays ways;
    // Small members are gathered (regular-file archive only, so a failed
    // write can be placed by the archive's position): buf[0, gathered)
    // holds their blocks, in the order of gatheredMembers.
    bool gatherOn = false;
    size_t gathered = 0;
    std::vector<GatheredMember> gatheredMembers;
};

// Shows the bytes written against the archive's size on the progress line
// (-V on a terminal): when forced, or when the line is old enough.
void showProgress(LocalWriter *w, bool force)
{
    velk_DisplayXferProgressEvery(w->bytesWritten, w->archiveSize, &w->progressShownAt, force);
}

const char *archiveName()
{
    return velk_archive != nullptr ? velk_archive : "";
}

double secondsSince(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Allocates the data buffer at w->wantSize bytes (again when that
// changed).  False with a message and status 70 for a size below 1024, or
// false (status 78 from the allocator) when memory runs out.
bool ensureBuffer(LocalWriter *w)
{
    if (w->wantSize < kMinBufSize) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] velk internal error - bad buffer size (%d)\n",
                    "velk_CopyToLocalArchive", w->wantSize);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return false;
    }
    size_t want = static_cast<size_t>(w->wantSize);
    if (w->buf != nullptr && w->bufSize == want)
        return true;
    VELK_FREE(w->buf);
    w->bufSize = 0;
    w->buf = static_cast<unsigned char *>(VELK_MALLOC(want));
    if (w->buf == nullptr)
        return false;
    w->bufSize = want;
    return true;
}

// Counts bytes written to the archive and starts their write-back in steps.
// Only a hint to the kernel: a failure changes nothing.
void archiveWritten(LocalWriter *w, int archiveFd, size_t n)
{
    w->bytesWritten += n;
    showProgress(w, false);
    if (!w->isRegular || w->bytesWritten - w->writebackStartedTo < kWritebackStep)
        return;
    (void)sync_file_range(archiveFd, static_cast<off64_t>(w->writebackStartedTo),
                          static_cast<off64_t>(w->bytesWritten - w->writebackStartedTo), SYNC_FILE_RANGE_WRITE);
    w->writebackStartedTo = w->bytesWritten;
}

// Asks the kernel to read the member's next chunk while this one is copied,
// unless the chunk's last byte is in memory already: then the chunk was
// cached or read ahead, and asking again would only walk the cache page by
// page (a tenth of a warm copy's time).
void prefetchChunk(int memberFd, uint64_t offset, uint64_t length)
{
    if (length == 0)
        return;
    char last;
    struct iovec probe = {&last, 1};
    if (preadv2(memberFd, &probe, 1, static_cast<off_t>(offset + length - 1), RWF_NOWAIT) == 1)
        return;
    (void)posix_fadvise(memberFd, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
}

// Whether an in-kernel copy failed with errno because this way cannot copy
// between these two files at all (rather than because of an I/O error):
// a different file system, a file system without the call, a file kind or
// open mode it does not take.
bool wayRefused(int err)
{
    return err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS || err == EBADF;
}

void closeSplicePipe(InKernelWays *k)
{
    for (int &end : k->pipe) {
        if (end >= 0)
            close(end);
        end = -1;
    }
}

// Makes the splice pipe as large as the system grants up to
// kSplicePipeSize.  False (splice then refused for the run) when no pipe
// can be made.
bool openSplicePipe(InKernelWays *k)
{
    if (pipe2(k->pipe, O_CLOEXEC) != 0) {
        k->noSplice = true;
        return false;
    }
    (void)fcntl(k->pipe[1], F_SETPIPE_SZ, kSplicePipeSize);
    int size = fcntl(k->pipe[1], F_GETPIPE_SZ);
    k->pipeSize = size > 0 ? static_cast<size_t>(size) : size_t{65536};
    return true;
}

// Moves one pipe load (at most length bytes) of the member from offset on
// into the archive at its current position: the member's cached pages go
// into the pipe by reference and are copied once into the archive.
// Returns the bytes the archive received, 0 at the member's end, or -1.
// Bytes left in the pipe by a failed archive write go with the pipe.
ssize_t spliceOnce(InKernelWays *k, int memberFd, uint64_t offset, int archiveFd, size_t length)
{
    if (k->pipe[0] < 0 && !openSplicePipe(k))
        return -1;
    loff_t from = static_cast<loff_t>(offset);
    ssize_t got;
    while ((got = splice(memberFd, &from, k->pipe[1], nullptr, std::min(length, k->pipeSize), SPLICE_F_MOVE)) < 0 &&
           errno == EINTR && !velk_shutdown_signalled.load()) {
    }
    if (got < 0 && wayRefused(errno))
        k->noSplice = true;
    if (got <= 0)
        return got;
    size_t put = 0;
    while (put < static_cast<size_t>(got)) {
        ssize_t n = splice(k->pipe[0], nullptr, archiveFd, nullptr, static_cast<size_t>(got) - put, SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR && !velk_shutdown_signalled.load())
            continue;
        if (n <= 0) {
            int err = errno;
            if (n < 0 && put == 0 && wayRefused(err))
                k->noSplice = true;
            closeSplicePipe(k);
            errno = err;
            return put > 0 ? static_cast<ssize_t>(put) : -1;
        }
        put += static_cast<size_t>(n);
    }
    return got;
}

// Copies up to length bytes of the member (on file system dev) from offset
// on straight into the archive at its current position, inside the kernel
// (no pass through this process's buffer).  Used only for a regular-file
// archive (readable too when CRCs are taken) and with the real read and
// write calls.  Returns the bytes copied, 0 at the member's end, or -1 when
// this way cannot go on (unsupported, or an error on either file): the
// caller then goes on with reads and writes from the same place, which
// report and handle errors of each side as usual.
ssize_t copyInKernel(InKernelWays *k, int memberFd, dev_t dev, uint64_t offset, int archiveFd, size_t length)
{
    bool tryRange = std::find(k->noCopyRange.begin(), k->noCopyRange.end(), dev) == k->noCopyRange.end();
    while (tryRange) {
        loff_t in = static_cast<loff_t>(offset);
        ssize_t n = velk_Env().copyRange(memberFd, &in, archiveFd, nullptr, length, 0);
        if (n < 0 && errno == EINTR && !velk_shutdown_signalled.load())
            continue;
        if (n >= 0 || !wayRefused(errno))
            return n;
        // Not between these file systems: splice from now on.
        k->noCopyRange.push_back(dev);
        tryRange = false;
    }
    // Pipe loads until length: the caller looks at write-back, the next
    // read-ahead and a shutdown once per call.
    size_t moved = 0;
    while (moved < length && !k->noSplice) {
        ssize_t n = spliceOnce(k, memberFd, offset + moved, archiveFd, length - moved);
        if (n <= 0)
            return moved > 0 ? static_cast<ssize_t>(moved) : n;
        moved += static_cast<size_t>(n);
    }
    return moved > 0 ? static_cast<ssize_t>(moved) : -1;
}

bool inKernelCopyAllowed(const LocalWriter *w, bool crcOn)
{
    return w->isRegular && (!crcOn || w->isReadable) && velk_EnvUsesSystemIo();
}

// Adds to *crc the length archive bytes at position, read back from the
// archive in pieces small enough to stay in the processor's cache (the
// bytes were just written and are still in memory).  So the CRC is that of
// the member's bytes as they now stand in the archive.  False on a failed
// or short read.  The bytes pass through w's buffer.
bool crcFromArchive(int archiveFd, uint64_t position, size_t length, uint32_t *crc, LocalWriter *w)
{
    size_t piece = std::min(w->bufSize, kCrcPiece);
    while (length > 0) {
        size_t want = std::min(piece, length);
        ssize_t n = pread(archiveFd, w->buf, want, static_cast<off_t>(position));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        velk_ChecksumBuffer(w->buf, static_cast<size_t>(n), crc);
        position += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

// One member's data copy in progress.
struct MemberCopy {
    int fd;    // the member file, or -1 when it is missing
    dev_t dev; // the file system it is on
    const char *path;
    uint64_t size;      // the indexed size: exactly this many bytes go out
    uint64_t available; // bytes the file can still give, up to size
    uint64_t done;      // data bytes written so far
    bool crcOn;         // the data go into crc
    uint32_t crc;
    bool memberBad; // the data are not the file's: the member fails
};

// Opens a member file with data, checked against its record, and fills
// *opened.  Returns the descriptor, or -1 after the warning that says why it
// is missing (or that it changed).
int openMember(velk_member_dir_t *dirs, const velk_FileSpec_t *record, const char *path, struct stat *opened)
{
    int fd = velk_OpenMemberFileIn(dirs, record, path, opened);
    if (fd >= 0 || fd == VELK_MEMBER_CHANGED)
        return fd >= 0 ? fd : -1;
    int err = -fd;
    if (err == ENOENT)
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "Local file %s was missing or inaccessible and could not be copied to the archive\n", path);
    else if (err == EACCES)
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Access denied when trying to open local file %s\n", path);
    else
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Error %d opening local file %s\n", err, path);
    // Its place in the archive holds a placeholder: the run did not archive it.
    velk_NoteFailure("missing or inaccessible");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

// Builds the member's header block at out (a missing member keeps its
// place under the placeholder name "/dev/null"; its data will be zeros) and
// shows the member on the progress line and the -v listing.
void buildMemberHeader(unsigned char *out, long indexOrdinal, const hif_entry_t *indexEntry, const char *path,
                       bool missing)
{
    hif_entry_t headerEntry = *indexEntry;
    if (missing) {
        memset(headerEntry.hent_prefix, 0, sizeof headerEntry.hent_prefix);
        memset(headerEntry.hent_name, 0, sizeof headerEntry.hent_name);
        memcpy(headerEntry.hent_name, "/dev/null", sizeof "/dev/null" - 1);
        (void)velk_SetMissingMemberFile(indexOrdinal);
    }
    velk_BuildPosixHeader(&headerEntry, out);
    if (velk_ProgressShown())
        velk_ProgressMember(velk_ShownName(path).c_str());
    if (velk_Opt(VELK_OPT_VERBOSE)) {
        // An archive written to standard output must not receive the listing.
        FILE *listing = velk_stdout_is_data ? stderr : stdout;
        bool dir = velk_Get32(indexEntry->hent_type) == VTO_DIRECTORY;
        fprintf(listing, "%s: %s  %s%s\n", "VELK", missing ? "[missing]" : "a", velk_ShownName(path).c_str(),
                dir ? "/" : "");
        fflush(listing);
    }
}

void reportHeaderWriteError()
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing tar header to Archive file %s\n", errno,
                archiveName());
}

void reportFillWriteError()
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing fill bytes to Archive file %s\n", errno,
                archiveName());
}

// Writes the member's header block (see buildMemberHeader).  Returns 0, or
// VELK_LCOPY_ARCHIVE_FAILED.
int writeMemberHeader(LocalWriter *w, int archiveFd, long indexOrdinal, const hif_entry_t *indexEntry, const char *path,
                      bool missing)
{
    buildMemberHeader(w->buf, indexOrdinal, indexEntry, path, missing);
    if (velk_BlockWrite(archiveFd, archiveName(), VELK_LOCAL_FILE, VELK_BLOCKSIZE, w->buf) != VELK_BLOCKSIZE) {
        reportHeaderWriteError();
        return VELK_LCOPY_ARCHIVE_FAILED;
    }
    archiveWritten(w, archiveFd, VELK_BLOCKSIZE);
    return 0;
}

// Sets m->available from the file's size when it was opened (*opened), up
// to the indexed size; a size that changed fails the member (its data are
// cut or zero-filled to the indexed size).  A file longer than one buffer
// is marked for sequential reading.
void measureMember(MemberCopy *m, const struct stat *opened, size_t bufSize)
{
    uint64_t current = static_cast<uint64_t>(opened->st_size);
    if (current != m->size) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: (line %d) file size changed for %s\n", "copyLocalFile",
                    __LINE__, m->path);
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Index size:        %lu\n",
                    static_cast<unsigned long>(m->size));
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Current file size: %lu\n",
                    static_cast<unsigned long>(current));
        m->memberBad = true;
    }
    m->available = std::min(current, m->size);
    if (m->available > bufSize)
        (void)posix_fadvise(m->fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

// Moves what the file holds into the archive inside the kernel, as far as
// that way goes; the buffered copy then goes on from m->done.
void copyMemberInKernel(LocalWriter *w, int archiveFd, MemberCopy *m)
{
    // A forced shutdown is looked at between pieces; the buffered copy
    // then meets it on its first write and ends the copy.
    while (m->done < m->available && !velk_shutdown_signalled.load()) {
        uint64_t position = w->bytesWritten;
        uint64_t piece = std::min<uint64_t>(m->available - m->done, kInKernelPiece);
        // The disk reads the next piece while this one is copied.
        prefetchChunk(m->fd, m->done + piece, std::min<uint64_t>(kInKernelPiece, m->available - m->done - piece));
        ssize_t n = copyInKernel(&w->ways, m->fd, m->dev, m->done, archiveFd, static_cast<size_t>(piece));
        if (n <= 0)
            break;
        m->done += static_cast<uint64_t>(n);
        archiveWritten(w, archiveFd, static_cast<size_t>(n));
        if (m->crcOn && !crcFromArchive(archiveFd, position, static_cast<size_t>(n), &m->crc, w)) {
            // The bytes are in the archive but their CRC cannot be taken:
            // the member cannot be vouched for.
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d reading back Archive file %s for the CRC of %s\n",
                        errno, archiveName(), m->path);
            m->memberBad = true;
            m->crcOn = false;
        }
    }
    // The reads go on from where the copy stopped; a file that cannot be
    // positioned gives nothing more (zeros, member failed).
    if (m->done > 0 && m->done < m->available &&
        lseek(m->fd, static_cast<off_t>(m->done), SEEK_SET) != static_cast<off_t>(m->done)) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Unrecoverable error reading local file %s near offset %lu\n",
                    m->path, static_cast<unsigned long>(m->done));
        m->available = m->done;
        m->memberBad = true;
    }
}

// Copies the rest of the member's data through the buffer: the file's bytes
// while it gives them, zeros for the rest of the indexed size.  Returns 0,
// or VELK_LCOPY_ARCHIVE_FAILED when the archive cannot be written.
int copyMemberBuffered(LocalWriter *w, int archiveFd, MemberCopy *m)
{
    while (m->done < m->size) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(w->bufSize, m->size - m->done));
        if (m->done < m->available) {
            chunk = static_cast<size_t>(std::min<uint64_t>(chunk, m->available - m->done));
            prefetchChunk(m->fd, m->done + chunk, std::min<uint64_t>(w->bufSize, m->available - m->done - chunk));
            int got = velk_BlockRead(m->fd, m->path, VELK_LOCAL_FILE, static_cast<int>(chunk), w->buf);
            if (got < 0) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                            "Unrecoverable error reading local file %s near offset %lu\n", m->path,
                            static_cast<unsigned long>(m->done));
                got = 0;
            }
            if (static_cast<size_t>(got) < chunk) {
                // The file gave less than it holds (it shrank after the size
                // was read, or a read failed): the rest of the member is
                // zeros and the member is failed.
                memset(w->buf + got, 0, chunk - static_cast<size_t>(got));
                m->available = m->done + static_cast<uint64_t>(got);
                m->memberBad = true;
            }
        } else {
            memset(w->buf, 0, chunk);
        }
        if (m->crcOn)
            velk_ChecksumBuffer(w->buf, chunk, &m->crc);
        if (velk_BlockWrite(archiveFd, archiveName(), VELK_LOCAL_FILE, static_cast<int>(chunk), w->buf) !=
            static_cast<int>(chunk))
            return VELK_LCOPY_ARCHIVE_FAILED;
        archiveWritten(w, archiveFd, chunk);
        m->done += chunk;
    }
    return 0;
}

// Records a member's outcome once its blocks are in the archive (or the
// write of them failed).
void recordOutcome(long ordinal, uint32_t type, int result, bool crcOn, uint32_t *crc)
{
    if (crcOn && result != VELK_LCOPY_ARCHIVE_FAILED)
        (void)velk_SetMemberFileXferCRC(ordinal, velk_ChecksumFinalize(crc));
    if (type == VTO_FILE || type == VTO_HARDLINK || type == VTO_SYMLINK)
        (void)velk_SetMemberFileXferSuccess(ordinal, result == 0 ? 1 : 0);
}

// Writes the gathered members to the archive in one piece and records each
// one's outcome.  When the write fails, the members wholly written keep
// their outcome, the member the write stopped in fails with the message its
// own header or padding write would have given, and the members after it
// are not reached (nothing recorded).  Returns 0 or -1.
int flushGathered(LocalWriter *w, int archiveFd)
{
    if (w->gathered == 0)
        return 0;
    int want = static_cast<int>(w->gathered);
    bool ok = velk_BlockWrite(archiveFd, archiveName(), VELK_LOCAL_FILE, want, w->buf) == want;
    int err = errno;
    size_t written = w->gathered;
    if (!ok) {
        // How far the write went, from where the archive now stands.
        off_t at = lseek(archiveFd, 0, SEEK_CUR);
        uint64_t past = at > 0 ? static_cast<uint64_t>(at) : 0;
        written = past > w->bytesWritten ? static_cast<size_t>(std::min<uint64_t>(past - w->bytesWritten, want)) : 0;
    }
    if (written > 0)
        archiveWritten(w, archiveFd, written);
    for (GatheredMember &g : w->gatheredMembers) {
        if (g.end <= written) {
            recordOutcome(g.ordinal, g.type, g.result, g.crcOn, &g.crc);
            continue;
        }
        errno = err;
        if (written < g.headerAt + VELK_BLOCKSIZE)
            reportHeaderWriteError();
        else if (written >= g.dataEnd)
            reportFillWriteError();
        recordOutcome(g.ordinal, g.type, VELK_LCOPY_ARCHIVE_FAILED, false, &g.crc);
        break;
    }
    w->gathered = 0;
    w->gatheredMembers.clear();
    return ok ? 0 : -1;
}

// Reads the member's bytes the file holds (m->available) to data: a file
// that gives fewer (it shrank after its size was read, or a read failed)
// fails the member, and the rest of its data are zeros.
void readGathered(MemberCopy *m, unsigned char *data)
{
    if (m->available == 0)
        return;
    int got = velk_BlockRead(m->fd, m->path, VELK_LOCAL_FILE, static_cast<int>(m->available), data);
    if (got < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Unrecoverable error reading local file %s near offset %lu\n",
                    m->path, 0UL);
        got = 0;
    }
    if (static_cast<uint64_t>(got) < m->available) {
        m->available = static_cast<uint64_t>(got);
        m->memberBad = true;
    }
}

// Gathers the member's blocks into the buffer after those gathered before
// it: its header, exactly the indexed size of data (cut when the file grew,
// zero-filled when it shrank, could not be read or was missing) and zero
// padding.  Its outcome is recorded when the buffer is written.  Returns
// kLcopyGathered.
int gatherLocalFile(LocalWriter *w, long indexOrdinal, const hif_entry_t *indexEntry, const char *path,
                    const velk_FileSpec_t *record, int fd, const struct stat *opened)
{
    uint32_t type = velk_Get32(indexEntry->hent_type);
    bool hasData = type == VTO_FILE || type == VTO_HARDLINK;
    bool missing = hasData && fd < 0;
    GatheredMember g = {};
    g.ordinal = indexOrdinal;
    g.type = type;
    g.headerAt = w->gathered;
    buildMemberHeader(w->buf + g.headerAt, indexOrdinal, indexEntry, path, missing);
    MemberCopy m = {};
    m.fd = fd;
    m.path = path;
    m.size = hasData ? velk_Get64(indexEntry->hent_fsize) : 0;
    m.crcOn = hasData && velk_Opt(VELK_OPT_CRC);
    velk_ChecksumInit(&m.crc);
    m.memberBad = missing;
    unsigned char *data = w->buf + g.headerAt + VELK_BLOCKSIZE;
    if (hasData && !missing) {
        measureMember(&m, opened, w->bufSize);
        readGathered(&m, data);
    }
    size_t padded = static_cast<size_t>((m.size + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE * VELK_BLOCKSIZE);
    memset(data + m.available, 0, padded - static_cast<size_t>(m.available));
    if (m.crcOn)
        velk_ChecksumBuffer(data, static_cast<size_t>(m.size), &m.crc);
    if (hasData && !missing && velk_MemberFileCopied(indexOrdinal, record, path, fd, opened, m.size, !m.memberBad) != 0)
        m.memberBad = true;
    if (type == VTO_SYMLINK)
        velk_MemberLinkCopied(indexOrdinal, record);
    g.dataEnd = g.headerAt + VELK_BLOCKSIZE + static_cast<size_t>(m.size);
    g.end = g.headerAt + VELK_BLOCKSIZE + padded;
    g.result = missing ? VELK_LCOPY_MISSING : (m.memberBad ? VELK_LCOPY_MEMBER_FAILED : 0);
    g.crcOn = m.crcOn;
    g.crc = m.crc;
    w->gatheredMembers.push_back(g);
    w->gathered = g.end;
    return kLcopyGathered;
}

// Writes the member indexOrdinal described by indexEntry at the archive's
// current position: its header block, exactly the indexed size of data (cut
// when the file grew, zero-filled when it shrank, could not be read or was
// missing) and the padding to a whole block, so the archive always advances
// by the entry's blocks unless the archive write itself fails.  A missing
// file is recorded as missing here; the caller records the outcome.  A
// small member is gathered instead (gatherLocalFile); the members gathered
// before are written first when it does not fit after them, and before a
// member that is not gathered.  Returns 0, one of VELK_LCOPY_*,
// kLcopyGathered or kLcopyNotReached.
int copyLocalFile(LocalWriter *w, int archiveFd, long indexOrdinal, const hif_entry_t *indexEntry)
{
    uint32_t type = velk_Get32(indexEntry->hent_type);
    if (type == VTO_UNKNOWN || type > VTO_INDEXEOF) {
        // The entry's blocks cannot be written, so every later member would
        // sit at the wrong offset: the copy cannot go on.
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] Unrecognized object type: %d Index Entry %ld\n",
                    "velk_CopyFileToLocal", static_cast<int>(type), indexOrdinal);
        return VELK_LCOPY_ARCHIVE_FAILED;
    }
    if (!ensureBuffer(w))
        return VELK_LCOPY_ARCHIVE_FAILED;

    bool hasData = type == VTO_FILE || type == VTO_HARDLINK;
    uint64_t size = hasData ? velk_Get64(indexEntry->hent_fsize) : 0;
    uint64_t blocks = VELK_BLOCKSIZE + (size + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE * VELK_BLOCKSIZE;
    uint64_t area = std::min<uint64_t>(kGatherArea, w->bufSize);
    bool gather = w->gatherOn && blocks <= std::min(kGatherMax, area);
    if ((!gather || blocks > area - w->gathered) && flushGathered(w, archiveFd) != 0)
        return kLcopyNotReached;
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(indexEntry, path, sizeof path);
    const velk_FileSpec_t *record = velk_FindMemberRecord(indexOrdinal, path);
    struct stat opened;
    kyl_fd member(hasData ? openMember(&w->dirs, record, path, &opened) : -1); // closed when the member is done
    bool missing = hasData && !member.valid();
    if (gather)
        return gatherLocalFile(w, indexOrdinal, indexEntry, path, record, member.get(), &opened);
    if (writeMemberHeader(w, archiveFd, indexOrdinal, indexEntry, path, missing) != 0)
        return VELK_LCOPY_ARCHIVE_FAILED;
    if (!hasData) {
        if (type == VTO_SYMLINK)
            velk_MemberLinkCopied(indexOrdinal, record);
        return 0;
    }

    MemberCopy m = {};
    m.fd = member.get();
    m.dev = missing ? 0 : opened.st_dev;
    m.path = path;
    m.size = size;
    m.crcOn = velk_Opt(VELK_OPT_CRC);
    velk_ChecksumInit(&m.crc);
    m.memberBad = missing;
    if (!missing)
        measureMember(&m, &opened, w->bufSize);
    // The bytes the file holds go across inside the kernel where it can;
    // the buffered copy then does whatever is left (all of it if this way
    // is not available).
    if (!m.memberBad && inKernelCopyAllowed(w, m.crcOn))
        copyMemberInKernel(w, archiveFd, &m);
    if (copyMemberBuffered(w, archiveFd, &m) != 0)
        return VELK_LCOPY_ARCHIVE_FAILED;
    if (!missing && velk_MemberFileCopied(indexOrdinal, record, path, m.fd, &opened, m.size, !m.memberBad) != 0)
        m.memberBad = true;

    uint64_t padding = m.size % VELK_BLOCKSIZE != 0 ? VELK_BLOCKSIZE - m.size % VELK_BLOCKSIZE : 0;
    if (padding > 0 && velk_BlockWrite(archiveFd, archiveName(), VELK_LOCAL_FILE, static_cast<int>(padding),
                                       zeroBlock()) != static_cast<int>(padding)) {
        reportFillWriteError();
        return VELK_LCOPY_ARCHIVE_FAILED;
    }
    archiveWritten(w, archiveFd, static_cast<size_t>(padding));
    if (m.crcOn)
        (void)velk_SetMemberFileXferCRC(indexOrdinal, velk_ChecksumFinalize(&m.crc));
    if (missing)
        return VELK_LCOPY_MISSING;
    return m.memberBad ? VELK_LCOPY_MEMBER_FAILED : 0;
}

} // namespace

int velk_CopyToLocalArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive, velk_index_t *index,
                            double *xferTime, int *threadsUsed, int *recoveries)
{
    VELK_TRACE_ENTRY();
    *xferTime = 0;
    *threadsUsed = 0;
    *recoveries = 0;
    LocalWriter writer;
    LocalWriter *w = &writer;
    velk_MemberDirInit(&w->dirs);
    w->archiveSize = archive->size;
    w->wantSize = xs->iobufsize;
    clock_gettime(CLOCK_MONOTONIC, &w->progressShownAt);
    struct stat archiveStat;
    w->isRegular = velk_archive_fd >= 0 && fstat(velk_archive_fd, &archiveStat) == 0 && S_ISREG(archiveStat.st_mode) &&
                   lseek(velk_archive_fd, 0, SEEK_CUR) == 0;
    int archiveFlags = w->isRegular ? fcntl(velk_archive_fd, F_GETFL) : -1;
    w->isReadable = archiveFlags >= 0 && (archiveFlags & O_ACCMODE) == O_RDWR;
    w->gatherOn = w->isRegular;
    int rc = 0;
    if (!ensureBuffer(w)) {
        rc = -1;
    } else if (velk_IndexReadInit(index) != 0 || velk_IndexFileRewind(index, index->tmpFd, VELK_LOCAL_FILE) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        rc = -1;
    }
    // Helpers look the next members up while this thread copies; a hint
    // only, so failing to start them changes nothing else.
    velk_prefetch_t *lookAhead = nullptr;
    if (rc == 0 && index->tmpName != nullptr)
        lookAhead = velk_MemberPrefetchStart(index->tmpName, static_cast<int64_t>(HIF_HDR_SIZE + index->annotationSize),
                                             velk_index_entries, VELK_PREFETCH_THREADS);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);

    while (rc == 0 && w->entry + 1 < velk_index_entries) {
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(index, index->tmpFd, VELK_LOCAL_FILE, 0, &entry, &eof) != 0) {
            velk_SetExitCode(VELK_EXIT_IOERR);
            rc = -1;
            break;
        }
        if (eof) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] Error - premature EOF found on index file\n",
                        __func__);
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "    Expected %d index entries, but only read %ld\n",
                        static_cast<int>(velk_index_entries), w->entry + 1);
            velk_SetExitCode(VELK_EXIT_IOERR);
            break;
        }
        if (velk_shutdown_signalled.load()) {
            rc = -1;
            break;
        }
        w->entry++;
        velk_MemberPrefetchAdvance(lookAhead, w->entry);
        int result = copyLocalFile(w, velk_archive_fd, w->entry, entry);
        if (result != kLcopyGathered && result != kLcopyNotReached)
            recordOutcome(w->entry, velk_Get32(entry->hent_type), result, false, nullptr);
        if (result == VELK_LCOPY_ARCHIVE_FAILED || result == kLcopyNotReached) {
            velk_SetExitCode(VELK_EXIT_IOERR);
            rc = -1;
        }
    }

    velk_MemberPrefetchStop(lookAhead);
    // The members gathered last go out as they would have one by one,
    // unless the run is being stopped (the archive is not finished then).
    if (!velk_shutdown_signalled.load() && flushGathered(w, velk_archive_fd) != 0 && rc == 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        rc = -1;
    }
    if (rc == 0 && velk_BlockWrite(velk_archive_fd, archiveName(), VELK_LOCAL_FILE, VELK_BLOCKSIZE, zeroBlock()) !=
                       VELK_BLOCKSIZE) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing EOF block on Archive file %s\n", errno,
                    archiveName());
        velk_SetExitCode(VELK_EXIT_IOERR);
        rc = -1;
    }
    if (rc == 0) {
        w->bytesWritten += VELK_BLOCKSIZE;
        showProgress(w, true);
        *xferTime = secondsSince(start);
        *threadsUsed = 1;
    }
    if (velk_archive_fd >= 0 && close(velk_archive_fd) != 0)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "***%s: Error %d closing %s Archive file %s\n", __func__, errno,
                    "local", archiveName());
    velk_archive_fd = -1;
    velk_MemberDirClose(&w->dirs);
    closeSplicePipe(&w->ways);
    VELK_FREE(w->buf);
    return rc;
}
