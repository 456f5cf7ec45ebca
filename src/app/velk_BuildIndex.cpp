// The build-index action: the archive is read from its start one header
// block at a time, member data are skipped by seeking, and every accepted
// header becomes an index entry in a temporary index.  An archive written by
// velk hands its consistency record on to the new index; any other ustar
// archive gives an index marked foreign.  The old index is replaced only
// once the new one is complete (a local one by an atomic rename), so a
// failure leaves it as it was.  Initial thread only.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "quor_api.h"
#include "velk_Actions.h"
#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_Consistency.h"
#include "velk_FileAccess.h"
#include "velk_FileList.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"
#include "velk_Outcome.h"
#include "velk_ParseCmdLine.h"
#include "velk_Memory.h"
#include "velk_StatusFifo.h"
#include "velk_TarExtHeader.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
// Unreadable header blocks in a row that are skipped one block at a time;
// the next one ends the action.
constexpr int kMaxBadHeaders = 3;

struct BuildState {
    velk_outcome_t outcome;        // --json: a record per member indexed
    velk_index_t *index = nullptr; // the run's index: the temporary index is built in it
    int archiveFd = -1;
    long maxFiles = 0;         // -M
    uint64_t archiveSize = 0;  // bytes
    uint64_t wholeBlocks = 0;  // whole 512-byte blocks the archive holds
    int64_t ordinal = -1;      // ordinal of the last accepted header
    uint64_t position = 0;     // block of the next header
    uint64_t lastPosition = 0; // block of the last member written to the index
    bool haveMember = false;
    bool lastExtended = false; // the last member began with extension records
    int badHeaders = 0;
    long files = 0;
    int64_t entries = 0;
    unsigned char *buf = nullptr; // entries not yet written
    int inBuf = 0;
    velk_tar_ext_reader_t ext{}; // extension records before the next header
    uint64_t memberStart = 0;    // block of the next member's first header block
};

double seconds(const struct timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// value in decimal with ',' between groups of three digits.
std::string withThousands(uint64_t value)
{
    std::string digits = std::to_string(value);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

// The archive's size in bytes: the storage system's attributes, else the
// status the open returned.  0 or -1 (message, status 72).
int archiveSize(const struct stat &st, uint64_t *size)
{
    if (!velk_CurrentArchiveKind()->has_layout) {
        *size = static_cast<uint64_t>(st.st_size);
        return 0;
    }
    quor_fileattr_t attr;
    memset(&attr, 0, sizeof attr);
    int rc = quor_FileGetAttributes(velk_archive, &attr);
    if (rc < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "[FATAL] error %d getting attributes for QUOR archive file %s\n", rc,
                    velk_archive);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *size = attr.Attrs.DataLength;
    return 0;
}

// Writes the buffered entries to the temporary index.  0 or -1 (status 72).
int flushEntries(BuildState *bs)
{
    if (bs->inBuf == 0)
        return 0;
    int bytes = bs->inBuf * static_cast<int>(HIF_ENTRY_SIZE);
    if (velk_BlockWrite(bs->index->tmpFd, bs->index->tmpName, VELK_LOCAL_FILE, bytes, bs->buf) != bytes) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error writing %d index entries to temporary index file %s\n", bs->inBuf,
                    bs->index->tmpName);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    bs->inBuf = 0;
    return 0;
}

// Skips bytes of member data after the header just read.  0 or -1.
int skipData(BuildState *bs, uint64_t bytes, uint32_t blocks)
{
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    int code = ops->skip_forward(bs->archiveFd, bytes);
    if (code == 0)
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d seeking forward %lu bytes (%d blocks) on %s archive file %s\n", code,
                static_cast<unsigned long>(bytes), static_cast<int>(blocks - 1), ops->seek_name, velk_archive);
    return -1;
}

// Handles one accepted header at bs->position, whose member starts
// bs->ext.blocks extension blocks before it: the entry points at the first of
// them and counts them.  Returns 0 to read the next header, 1 when the
// archive ends here, -1 to fail the action.
int acceptHeader(BuildState *bs, const posix_header_t *header)
{
    uint64_t start = bs->memberStart;
    bs->badHeaders = 0;
    if (++bs->ordinal > bs->maxFiles) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Gak - too many member files found on archive file %s. Current limit is %ld\n",
                    velk_archive, bs->maxFiles);
        velk_LogMsg(VELK_MSG_ERROR, MSG, "Either increase via the -M option or contact the consulting office for help");
        velk_SetExitCode(VELK_EXIT_FILELIST);
        return -1;
    }
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/ Found tar-format header. \n        Prefix=[%.155s]\n         Name=[%.100s]\n",
                       header->thb_prefix, header->thb_name);

    hif_entry_t entry;
    uint32_t blocks = 0;
    uint64_t size = 0;
    if (velk_IndexFromTarHdr(start, header, &entry, &blocks, &size) != 0) {
        // velk_GetTarHeader accepts only the types that give an entry.
        velk_LogFmt(VELK_MSG_ERROR, MSG, "No index entry can be made for the header at block %lu of %s\n",
                    static_cast<unsigned long>(bs->position), velk_archive);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    blocks += bs->ext.blocks; // VELK_TAREXT_MAX_BLOCKS keeps this inside 32 bits
    velk_Put32(entry.hent_blocks, blocks);
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&entry, path, sizeof path);
    // Only members whose every block is present are indexed.
    if (blocks > bs->wholeBlocks || start > bs->wholeBlocks - blocks) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Archive file %s seems to be truncated. Terminating index after %ld entries\n",
                    velk_archive, static_cast<long>(bs->entries));
        velk_LogFmt(VELK_MSG_ERROR, MSG, "File appears truncated at: %s 512-byte Blocks: %u Filesize: %lu\n", path,
                    blocks, static_cast<unsigned long>(size));
        velk_NoteFailure("archive truncated");
        velk_SetExitCode(VELK_EXIT_IOERR);
        return 1;
    }
    if (velk_Opt(VELK_OPT_VERBOSE))
        printf("%s: i %s\n", velk_msg_prefix[VELK_MSG_VELK], velk_ShownName(path).c_str());
    (void)velk_OutcomeRecord(&bs->outcome, path, "indexed", nullptr);
    velk_EncodeIndexEntry(&entry, bs->buf + static_cast<size_t>(bs->inBuf) * HIF_ENTRY_SIZE);
    if (++bs->inBuf == VELK_INDEX_BUFENTRIES && flushEntries(bs) != 0)
        return -1;
    uint32_t type = velk_Get32(entry.hent_type);
    if (type == VTO_FILE || type == VTO_HARDLINK || type == VTO_SYMLINK) {
        if (velk_SetMemberFileXferSuccess(bs->ordinal, 1) != 0)
            return -1;
        ++bs->files;
    }
    bs->lastPosition = start;
    bs->lastExtended = bs->ext.blocks > 0;
    bs->haveMember = true;
    ++bs->entries;
    bs->position = start + blocks;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/ fileBlocks (including header) = %d\n        offset to next header: %lu\n",
                       static_cast<int>(blocks), static_cast<unsigned long>(bs->position));
    if (bs->position >= bs->wholeBlocks) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ EOF on archive reached via block count...\n");
        return 1;
    }
    uint64_t dataBlocks = bs->position - bs->memberStart - bs->ext.blocks - 1;
    if (dataBlocks > 0 && skipData(bs, dataBlocks * VELK_BLOCKSIZE, blocks) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// The member's path for a message: the extension's true name when one was
// read, else the header's own.
void memberPath(const BuildState *bs, const unsigned char *block, char *out, size_t size)
{
    const velk_tar_ext_t &m = bs->ext.member;
    if ((m.have & VELK_TAREXT_PATH) != 0 && m.pathLen < size) {
        memcpy(out, m.path, m.pathLen + 1);
        return;
    }
    const auto *h = reinterpret_cast<const posix_header_t *>(block);
    if (h->thb_prefix[0] != '\0')
        snprintf(out, size, "%.155s/%.100s", h->thb_prefix, h->thb_name);
    else
        snprintf(out, size, "%.100s", h->thb_name);
}

// A member whose extension records are broken, or whose true name or
// attributes an index entry cannot hold, fails the action before any index
// is put in place: an index that names it wrongly is worse than none.
int refuseMember(BuildState *bs, const unsigned char *block)
{
    char path[VELK_TAREXT_TEXT_MAX + 1];
    memberPath(bs, block, path, sizeof path);
    velk_LogFmt(VELK_MSG_ERROR, MSG, "Member %s (archive block %lu) cannot be indexed: %s\n", path,
                static_cast<unsigned long>(bs->memberStart), bs->ext.why != nullptr ? bs->ext.why : "");
    velk_LogFmt(VELK_MSG_ERROR, MSG, "No index written for %s\n", velk_archive);
    velk_NoteFailure("member velk cannot index");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return -1;
}

// A FIFO, device or other member of a kind velk does not archive: named,
// passed over (device and FIFO headers carry no data) and left out of the
// index, and the run fails.  0 to go on, 1 when the archive ends, -1.
int skipOtherKind(BuildState *bs, const posix_header_t *header)
{
    bs->badHeaders = 0;
    char path[VELK_TAREXT_TEXT_MAX + 1];
    memberPath(bs, reinterpret_cast<const unsigned char *>(header), path, sizeof path);
    char t = header->thb_typeflag;
    velk_LogFmt(VELK_MSG_ERROR, MSG,
                "Member %s (archive block %lu) is a %s, a kind velk does not archive; not indexed\n", path,
                static_cast<unsigned long>(bs->memberStart), velk_TarTypeName(t));
    velk_NoteFailure("member of a kind velk does not archive");
    velk_SetExitCode(VELK_EXIT_IOERR);
    uint64_t dataBlocks = 0;
    if (t != '3' && t != '4' && t != '6')
        dataBlocks = velk_MemberBlocks(velk_GetMemberFilesize(header)) - 1;
    bs->position += 1 + dataBlocks;
    if (bs->position >= bs->wholeBlocks)
        return 1;
    if (dataBlocks > 0 && skipData(bs, dataBlocks * VELK_BLOCKSIZE, static_cast<uint32_t>(dataBlocks + 1)) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// One block that is not a header (bad checksum, unreadable): consumed, so
// the next header is looked for in the block after it.  0, or -1 at the
// third in a row.
int badHeader(BuildState *bs)
{
    ++bs->position;
    velk_NoteFailure("bad header block");
    if (++bs->badHeaders >= kMaxBadHeaders) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Hmmmm - %s does not appear to be a POSIX-compliant tar file\n",
                    velk_CurrentArchiveKind()->is_pipe ? "STDIN" : velk_archive);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

bool typeIndexed(char t)
{
    return t == USTAR_TYPE_OLDFILE || t == USTAR_TYPE_FILE || t == USTAR_TYPE_HARDLINK || t == USTAR_TYPE_SYMLINK ||
           t == USTAR_TYPE_DIRECTORY;
}

// Reads one block and takes it as the next header or extension block.
// Returns 0 to read on, 1 when the archive ends, -1 to fail the action.
int readOneBlock(BuildState *bs)
{
    unsigned char raw[VELK_BLOCKSIZE];
    unsigned char block[VELK_BLOCKSIZE];
    if (bs->ext.memberDone || bs->ext.blocks == 0)
        bs->memberStart = bs->position;
    if (velk_ReadArchiveBlock(bs->archiveFd, raw) != 0) {
        velk_TarExtMemberReset(&bs->ext);
        return badHeader(bs);
    }
    int rc = velk_TarExtFeed(&bs->ext, raw, block);
    if (rc == VELK_TAREXT_MORE) {
        ++bs->position;
        return 0;
    }
    if (rc == VELK_TAR_EOF) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ EOF on archive reached...\n");
        return 1;
    }
    posix_header_t header;
    if (rc == VELK_TAREXT_BADSUM) {
        (void)velk_GetTarHeader(raw, &header); // names the checksum mismatch
        return badHeader(bs);
    }
    if (rc != 0)
        return refuseMember(bs, raw);
    memcpy(&header, block, sizeof header);
    if (!typeIndexed(header.thb_typeflag))
        return skipOtherKind(bs, &header);
    return acceptHeader(bs, &header);
}

// Reads the archive's headers into the temporary index.  0 when the whole
// archive (or everything before a cut) was read, -1 on a failure.
int readHeaders(BuildState *bs)
{
    while (!velk_shutdown_signalled.load()) {
        if (bs->position >= bs->wholeBlocks) {
            // The archive holds no end block, or ends inside a header block
            // or its extension records.
            bool inRecords = bs->ext.blocks > 0 && !bs->ext.memberDone;
            if (inRecords || bs->archiveSize > bs->position * VELK_BLOCKSIZE) {
                velk_LogFmt(VELK_MSG_ERROR, MSG,
                            "Archive file %s seems to be truncated. Terminating index after %ld entries\n",
                            velk_archive, static_cast<long>(bs->entries));
                velk_NoteFailure("archive truncated");
                velk_SetExitCode(VELK_EXIT_IOERR);
            }
            return 0;
        }
        velk_StatusMsg(0, "Index entry %ld: read header block", static_cast<long>(bs->ordinal + 1));
        int rc = readOneBlock(bs);
        if (rc != 0)
            return rc > 0 ? 0 : -1;
    }
    return -1;
}

// Lays out and writes the header of the temporary index: the archive's own
// consistency record when it holds one that agrees with the members found,
// else the foreign mark; the archive's real size either way.  0 or -1.
int writeHeader(BuildState *bs)
{
    bs->index->flags = 0;
    hif_consistency_t record;
    memset(&record, 0, sizeof record);
    // velk's consistency member is a plain header; a member with extension
    // records is another program's.
    bool read = bs->haveMember && !bs->lastExtended &&
                velk_ReadArchiveCF(bs->archiveFd, velk_filetype, bs->lastPosition * VELK_BLOCKSIZE, &record) == 0;
    if (!read) {
        bs->index->flags |= HIF_IDX_FOREIGN_ARCHIVE;
        if (velk_debug_level >= 1)
            velk_ErrPrintf("debug/ velk_ReadArchiveCF says this isn't an VELK-format archive\n");
    } else if (velk_Get64(record.hif_velk_filecount) != static_cast<uint64_t>(bs->entries)) {
        bs->index->flags |= HIF_IDX_FOREIGN_ARCHIVE;
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/wrong object count in consistency file.\nI counted %d, but it says there should be "
                           "%lu\n",
                           static_cast<int>(bs->entries),
                           static_cast<unsigned long>(velk_Get64(record.hif_velk_filecount)));
    }
    velk_index_hdr.hif_cfinfo = record;
    velk_Put64(velk_index_hdr.hif_cfinfo.hif_tarsize, bs->archiveSize);
    bs->index->annotationOffset = 0;
    bs->index->annotationSize = 0;
    velk_index_entries = bs->entries;
    velk_BuildIndexHeader(bs->index);
    return velk_WriteIndexHeader(bs->index->tmpFd, VELK_LOCAL_FILE, bs->index->tmpName, &velk_index_hdr);
}

// Puts the complete temporary index of a local archive in place: flushed to
// the disk, given the mode a new file gets, and renamed over the index in
// one step, so that the old index stays whole until then.  0, or -1 (the
// old index untouched, status 72).
int placeLocalIndex(velk_index_t *index)
{
    mode_t mask = umask(0);
    umask(mask);
    int err = 0;
    if (fchmod(index->tmpFd, 0666 & ~mask) != 0 || fsync(index->tmpFd) != 0)
        err = errno;
    close(index->tmpFd);
    index->tmpFd = -1;
    if (err == 0 && rename(index->tmpName, velk_index_filename) != 0)
        err = errno;
    if (err != 0) {
        errno = err;
        perror("rename");
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d on rename attempt of local index file from %s to %s\n", err,
                    index->tmpName, velk_index_filename);
        velk_Explain(VELK_MSG_ERROR, err, velk_index_filename);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    index->unlinkTmp = 0;
    velk_SyncIndexDirectory(velk_index_filename);
    return 0;
}

// Puts the new index at its home by the archive's kind.  0 or -1.
int placeIndex(velk_run_t *run, BuildState *bs)
{
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    if (ops->place_index == nullptr)
        return placeLocalIndex(&run->index);
    velk_StatusMsg(1, "Copying %ld index entries to %s", static_cast<long>(bs->entries), ops->name);
    return ops->place_index(&run->xfer, &run->index, nullptr);
}

void summaryLine(const BuildState &bs, const struct timeval &wall0, const struct rusage &usage0)
{
    struct timeval wall1;
    gettimeofday(&wall1, nullptr);
    struct rusage usage1;
    memset(&usage1, 0, sizeof usage1);
    getrusage(RUSAGE_SELF, &usage1);
    char line[VELK_MSG_BUFSIZE];
    snprintf(line, sizeof line,
             "%s: Build Index complete for %s, %ld files %ld total objects, size=%s bytes wallclock/user/sys: %.3f "
             "%.3f %.3f seconds",
             velk_msg_prefix[VELK_MSG_VELK], velk_archive, bs.files, static_cast<long>(bs.entries),
             withThousands(bs.archiveSize).c_str(), seconds(wall1) - seconds(wall0),
             seconds(usage1.ru_utime) - seconds(usage0.ru_utime), seconds(usage1.ru_stime) - seconds(usage0.ru_stime));
    velk_LogMsg(VELK_MSG_LOGONLY, MSG, line);
    if (velk_debug_level >= 1 || velk_Opt(VELK_OPT_STATS) || velk_Opt(VELK_OPT_VERBOSE))
        printf("%s\n", line);
}

// Opens the archive, asks before an existing index is replaced and makes
// the temporary index.  0 to go on, -1 on a failure.
int openFiles(BuildState *bs)
{
    velk_StatusMsg(0, "Opening Files");
    struct stat st;
    memset(&st, 0, sizeof st);
    quor_xfileattr_t xattr;
    memset(&xattr, 0, sizeof xattr);
    bs->archiveFd = velk_OpenArchiveFile(O_RDONLY, &xattr, &st);
    if (bs->archiveFd < 0) {
        bs->archiveFd = -1;
        return -1;
    }
    if (velk_CurrentArchiveKind()->has_layout)
        quor_FreeXAttributes(&xattr);
    velk_archive_fd = bs->archiveFd;
    if (archiveSize(st, &bs->archiveSize) != 0)
        return -1;
    bs->wholeBlocks = bs->archiveSize / VELK_BLOCKSIZE;

    // Only a person at a terminal is asked; a run without one replaces the
    // index, which it never removes before the new one is complete.
    if (isatty(STDERR_FILENO) && velk_IndexFileDoesExist(velk_index_filename, velk_filetype) &&
        velk_GetYesNo("[build index]", "Overwrite existing index file", velk_index_filename) != VELK_ANSWER_YES)
        return -1;

    if (velk_CreateTmpIndexFile(bs->index) != 0)
        return -1;
    memset(&velk_index_hdr, 0, sizeof velk_index_hdr);
    if (velk_WriteIndexHeader(bs->index->tmpFd, VELK_LOCAL_FILE, bs->index->tmpName, &velk_index_hdr) != 0)
        return -1;
    bs->buf = static_cast<unsigned char *>(VELK_MALLOC(VELK_INDEX_BUFSIZE));
    return bs->buf != nullptr ? 0 : -1;
}

bool runBuild(velk_run_t *run, BuildState *bs, const struct timeval &wall0, const struct rusage &usage0)
{
    velk_SetProgramPhase(VTP_BLDIDX_OPENFILES);
    if (velk_InitMemberFileLists(run->maxFiles, 0) != 0)
        return false;
    if (run->inputListName != nullptr || run->optind < run->argc)
        velk_LogFmt(VELK_MSG_INFO, MSG, "%s: Warning: extraneous file arguments ignored for <build index> command\n",
                    "velk_BuildIndex");
    if (velk_CurrentArchiveKind()->is_pipe) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "Build-Index operation not supported for piped Archive file\n");
        velk_SetExitCode(VELK_EXIT_USAGE);
        return false;
    }
    if (openFiles(bs) != 0)
        return false;

    console_message("Reading archive file", "");
    velk_SetProgramPhase(VTP_BLDIDX_READARCHIVE);
    if (readHeaders(bs) != 0 || velk_shutdown_signalled.load())
        return false;
    if (flushEntries(bs) != 0 || writeHeader(bs) != 0)
        return false;
    velk_FinalizeMemberLists();
    if (placeIndex(run, bs) != 0)
        return false;
    summaryLine(*bs, wall0, usage0);
    return true;
}

} // namespace

int velk_BuildIndex(velk_run_t *run)
{
    VELK_TRACE_ENTRY();
    struct timeval wall0;
    gettimeofday(&wall0, nullptr);
    struct rusage usage0;
    memset(&usage0, 0, sizeof usage0);
    getrusage(RUSAGE_SELF, &usage0);
    // No member data is read, so no CRC is known: the new index must not
    // claim one (the storage-system copy stores CRCs under -H crc).
    velk_option_flags.fetch_and(~VELK_OPT_CRC);

    BuildState bs;
    bs.index = &run->index;
    bs.maxFiles = run->maxFiles;
    bs.outcome.records = run->records;
    bs.outcome.action = "buildindex";
    run->index.tmpFd = -1;
    run->index.unlinkTmp = 1;
    bool ok = runBuild(run, &bs, wall0, usage0);
    velk_TarExtFree(&bs.ext);

    velk_SetProgramPhase(VTP_SHUTDOWN);
    bool shutdown = velk_shutdown_signalled.load() != 0;
    velk_FinalLine(ok, !ok && shutdown);
    fflush(stdout);
    if (bs.archiveFd >= 0) {
        const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
        int rc = ops->close(bs.archiveFd);
        // A local failure is shown as its errno, a gateway one as its code.
        if (rc < 0)
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error %d closing %s Archive file %s\n", "velk_BuildIndex",
                        !ops->through_gateway ? -rc
                        : rc == -1            ? errno
                                              : rc,
                        ops->seek_name, velk_archive);
        velk_archive_fd = -1;
    }
    VELK_FREE(bs.buf);
    velk_index_t *index = &run->index;
    if (index->tmpFd >= 0) {
        close(index->tmpFd);
        index->tmpFd = -1;
        bool keep = velk_debug_level >= 2 && !shutdown;
        if (!keep && index->unlinkTmp && index->tmpName != nullptr)
            unlink(index->tmpName);
        if (keep)
            index->unlinkTmp = 0;
    }
    return ok ? 0 : -1;
}
