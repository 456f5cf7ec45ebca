// The consistency file: the record in the index header and in the archive's
// last member, its temporary file and index entry during a create, reading
// the archive's copy and comparing it with the index's.  Initial thread
// only; no locks.  The temporary file's path is kept in the archive's
// cfName, through which the end of the run removes it.

#include "velk_Consistency.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_ArchiveFile.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_TarHeader.h"

namespace {

// Attempts at a free name for the temporary file.
constexpr int kCfNameTries = 100;
// Longest directory part a member name may have (the entry's prefix).
constexpr size_t kCfDirMax = HENT_PREFIX_MAX - 1;
// Blocks after the consistency member's header: its data block and the
// archive's closing zero block.
constexpr uint64_t kCfTailBlocks = 3;

void putText(char *field, size_t width, const char *text)
{
    memset(field, 0, width);
    memcpy(field, text, strnlen(text, width - 1));
}

bool fullRewriteAction()
{
    return velk_function == VOP_BUILD_INDEX || velk_function == VOP_CREATE || velk_function == VOP_COPY ||
           velk_function == VOP_REPACK;
}

const char *archiveName()
{
    return velk_archive != nullptr ? velk_archive : "";
}

} // namespace

void velk_FillConsistencyRecord(hif_consistency_t *record, time_t now, const char *host, uint64_t tarsize,
                                uint64_t count, bool fullRewrite)
{
    memcpy(record->hif_inx_sanity, HCF_SANITY, HCF_inx_sanity_size);
    uint32_t seconds = static_cast<uint32_t>(now);
    velk_Put32(record->hif_update_time, seconds);
    putText(record->hif_mhost, sizeof record->hif_mhost, host);
    if (fullRewrite) {
        velk_Put32(record->hif_cf_version, VELK_CF_VERSION);
        velk_Put32(record->hif_cf_rewrite_time, seconds);
        velk_Put32(record->hif_create_time, seconds);
        memcpy(record->hif_chost, record->hif_mhost, sizeof record->hif_chost);
    }
    velk_Put64(record->hif_tarsize, tarsize);
    velk_Put64(record->hif_velk_filecount, count);
}

int velk_BuildConsistencyHeader()
{
    VELK_TRACE_ENTRY();
    char host[HCF_host_size + 1] = {};
    if (gethostname(host, HCF_host_size) != 0)
        host[0] = '\0';
    host[HCF_host_size - 1] = '\0';
    velk_FillConsistencyRecord(&velk_index_hdr.hif_cfinfo, time(nullptr), host, velk_archive_blocks * VELK_BLOCKSIZE,
                               static_cast<uint64_t>(velk_index_entries), fullRewriteAction());
    return 2;
}

void velk_GetCfSizes(uint64_t *sizeOut, uint32_t *blocksOut)
{
    *sizeOut = VELK_CF_SIZE;
    *blocksOut = VELK_CF_BLOCKS;
}

int velk_WriteConsistencyFile(velk_archive_t *archive)
{
    VELK_TRACE_ENTRY();
    const char *tmpdir = getenv("TMPDIR");
    if (tmpdir == nullptr || *tmpdir == '\0')
        tmpdir = "/tmp";
    char base[64];
    snprintf(base, sizeof base, "/VELK_CF_CHK_%d_%ld", static_cast<int>(getpid()), static_cast<long>(time(nullptr)));
    // The path names the archive member too: its directory must fit an
    // entry's prefix, the whole path (with a numeric suffix) the buffer.
    size_t dirLen = strlen(tmpdir);
    if (dirLen > kCfDirMax || dirLen + strlen(base) + sizeof "_99" > VELK_CF_FILENAME_SIZE) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error %d creating consistency file %s\n", ENAMETOOLONG,
                    tmpdir);
        velk_SetExitCode(VELK_EXIT_CONSISTENCY);
        return -1;
    }

    // Exclusive creation never writes through someone else's file or link
    // in a shared directory; a taken name gets a numeric suffix.
    char path[VELK_CF_FILENAME_SIZE];
    int fd = -1;
    for (int attempt = 0; attempt < kCfNameTries; attempt++) {
        if (attempt == 0)
            snprintf(path, sizeof path, "%s%s", tmpdir, base);
        else
            snprintf(path, sizeof path, "%s%s_%d", tmpdir, base, attempt);
        fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            break;
    }
    if (fd < 0) {
        int err = errno;
        perror("open consistency file");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error %d creating consistency file %s\n", err, path);
        velk_SetExitCode(VELK_EXIT_CONSISTENCY);
        return -1;
    }
    char *name = VELK_STRDUP(path);
    if (name == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error %d creating consistency file %s\n", ENOMEM, path);
        velk_SetExitCode(VELK_EXIT_CONSISTENCY);
        close(fd);
        unlink(path);
        return -1;
    }
    VELK_FREE(archive->cfName);
    archive->cfName = name;

    const auto *bytes = reinterpret_cast<const unsigned char *>(&velk_index_hdr.hif_cfinfo);
    size_t done = 0;
    int rc = 0;
    while (done < HIF_CONSISTENCY_SIZE) {
        ssize_t n = write(fd, bytes + done, HIF_CONSISTENCY_SIZE - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        int err = n < 0 ? errno : EIO;
        errno = err;
        perror("write");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal error %d writing consistency file %s\n", err, path);
        velk_SetExitCode(VELK_EXIT_CONSISTENCY);
        rc = -1;
        break;
    }
    close(fd);
    if (rc == 0 && velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ wrote consistency header file %s, %d bytes\n", path,
                       static_cast<int>(HIF_CONSISTENCY_SIZE));
    return rc;
}

int velk_WriteConsFileIndexEntry(const velk_archive_t *archive, int indexFd, const char *indexName)
{
    VELK_TRACE_ENTRY();
    struct stat st;
    const char *cfName = archive->cfName != nullptr ? archive->cfName : "";
    if (archive->cfName == nullptr || lstat(cfName, &st) != 0) {
        int err = archive->cfName != nullptr ? errno : ENOENT;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal Error %d stat-ing Consistency File %s -cannot continue\n",
                    err, cfName);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    velk_FileSpec_t member;
    memset(&member, 0, sizeof member);
    member.haveStatInfo = 1;
    member.filename = archive->cfName;
    member.objectType = VTO_FILE;
    member.indexOrd = static_cast<uint64_t>(-1);
    member.size = static_cast<uint64_t>(st.st_size);
    member.mode = st.st_mode & 07777;
    member.ctime = static_cast<uint64_t>(st.st_ctime);
    member.mtime = static_cast<uint64_t>(st.st_mtime);
    member.uid = st.st_uid;
    member.gid = st.st_gid;
    member.nlink = st.st_nlink;
    hif_entry_t entry;
    if (velk_IndexFromFileSpec(-1, &member, &entry) != 0)
        return -1;
    if (velk_BlockWrite(indexFd, indexName != nullptr ? indexName : "", VELK_LOCAL_FILE, static_cast<int>(sizeof entry),
                        &entry) != static_cast<int>(sizeof entry)) {
        int err = errno;
        perror("Write Index Entry");
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal Error %d writing Consistency File index entry %s\n", err,
                    cfName);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    velk_archive_blocks += velk_Get32(entry.hent_blocks);
    velk_index_entries += 1;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/wrote Index File entry for Consistency File %s\n", cfName);
    return 0;
}

int velk_ReadArchiveCF(int fd, int kind, uint64_t byteOffset, hif_consistency_t *record)
{
    VELK_TRACE_ENTRY();
    uint64_t where = 0;
    if (velk_PositionFile(fd, kind, byteOffset, SEEK_SET, QUOR_SET_OFFSET_FORWARD, &where) != 0)
        return -1;
    posix_header_t header;
    if (velk_ReadHdrBlock(fd, &header) != 0)
        return -1;
    uint64_t size = velk_GetMemberFilesize(&header);
    if (size != VELK_CF_SIZE) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ bad consistency file size: %lu expected %d\n", static_cast<unsigned long>(size),
                           static_cast<int>(VELK_CF_SIZE));
        return -1;
    }
    unsigned char body[HIF_CONSISTENCY_SIZE];
    int64_t got = velk_ReadArchive(fd, sizeof body, body);
    if (got != static_cast<int64_t>(sizeof body)) {
        // A body cut short by the end of the archive is as unusable as none.
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error reading Consistency File in archive %s\n", archiveName());
        return -1;
    }
    if (memcmp(body, HCF_SANITY, HCF_inx_sanity_size) != 0) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/ bad consistency header: \"%.8s\" expected \"%s\"\n",
                           reinterpret_cast<const char *>(body), HCF_SANITY);
        return -1;
    }
    memcpy(record, body, sizeof body);
    return 0;
}

int velk_CheckConsistency(const hif_consistency_t *ix, const hif_consistency_t *ar)
{
    // The mark has no NUL of its own: it is compared within its 8 bytes.
    bool debug = velk_debug_level >= 1;
    const char *fn = __func__;
    if (strncmp(ix->hif_inx_sanity, ar->hif_inx_sanity, HCF_inx_sanity_size) != 0) {
        if (debug)
            velk_ErrPrintf("%s: consistency check failed (sanity string=[%.8s](index),[%.8s](archive)])\n", fn,
                           ix->hif_inx_sanity, ar->hif_inx_sanity);
        return 0;
    }
    if (velk_Get32(ix->hif_cf_version) != velk_Get32(ar->hif_cf_version)) {
        if (debug)
            velk_ErrPrintf("%s: consistency check failed (version=[0x%8.8x](index),[0x%8.8x](archive)])\n", fn,
                           velk_Get32(ix->hif_cf_version), velk_Get32(ar->hif_cf_version));
        return 0;
    }
    if (velk_Get32(ix->hif_cf_rewrite_time) != velk_Get32(ar->hif_cf_rewrite_time)) {
        if (debug)
            velk_ErrPrintf("%s: consistency check failed (CF RewriteTime=[0x%8.8x](index),[0x%8.8x](archive)])\n", fn,
                           velk_Get32(ix->hif_cf_rewrite_time), velk_Get32(ar->hif_cf_rewrite_time));
        return 0;
    }
    if (velk_Get64(ix->hif_tarsize) != velk_Get64(ar->hif_tarsize)) {
        if (debug)
            velk_ErrPrintf("%s: consistency check failed ArchiveSize=[%lu] (from index) [%lu](from archive)\n", fn,
                           static_cast<unsigned long>(velk_Get64(ix->hif_tarsize)),
                           static_cast<unsigned long>(velk_Get64(ar->hif_tarsize)));
        return 0;
    }
    if (velk_Get64(ix->hif_velk_filecount) != velk_Get64(ar->hif_velk_filecount)) {
        if (debug)
            velk_ErrPrintf("%s: consistency check failed Archive Object Count=[%lu] (from index) %lu](from archive)\n",
                           fn, static_cast<unsigned long>(velk_Get64(ix->hif_velk_filecount)),
                           static_cast<unsigned long>(velk_Get64(ar->hif_velk_filecount)));
        return 0;
    }
    return 1;
}

int velk_VerifyConsistencyFile(velk_index_t *index, int archiveFd, int archiveKind, int indexFd, int indexKind)
{
    VELK_TRACE_ENTRY();
    const char *indexName = velk_index_filename != nullptr ? velk_index_filename : "";
    int64_t ordinal = velk_index_entries - 1;
    hif_entry_t entry;
    if (ordinal < 0 || velk_IndexReadRandomEntry(index, indexFd, indexKind, ordinal, &entry) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Fatal error reading Consistency File index entry - cannot continue\n");
        return -1;
    }
    // The entry comes from a file: compare without letting offset + 3 wrap.
    uint64_t offset = velk_Get64(entry.hent_offset);
    uint64_t expected = velk_archive_blocks >= kCfTailBlocks ? velk_archive_blocks - kCfTailBlocks : 0;
    if (velk_archive_blocks < kCfTailBlocks || offset != expected) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Incorrect Consistency File offset (%lu) in Index entry %d. Should be %lu\n",
                    static_cast<unsigned long>(offset), static_cast<int>(ordinal),
                    static_cast<unsigned long>(expected));
        return -1;
    }
    uint64_t byteOffset = offset * VELK_BLOCKSIZE;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/fetching Consistency File header from Archive at offset=%lu\n",
                       static_cast<unsigned long>(byteOffset));
    hif_consistency_t fromArchive;
    if (velk_ReadArchiveCF(archiveFd, archiveKind, byteOffset, &fromArchive) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Error fetching Consistency File entry from Archive at offset=%lu\n",
                    static_cast<unsigned long>(byteOffset));
        return -1;
    }
    if (velk_CheckConsistency(&velk_index_hdr.hif_cfinfo, &fromArchive) != 1) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal: Index file %s is inconsistent with Archive File %s\n",
                    indexName, archiveName());
        return -1;
    }
    if (velk_IndexFileRewind(index, indexFd, indexKind) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Fatal: error repositioning Index file %s\n", indexName);
        return -1;
    }
    return 0;
}
