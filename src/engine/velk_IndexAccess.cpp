// Opening an index file of any kind: the size of a storage-system or
// gateway-host index comes from the client library, the bytes of a local
// one from the index file unit.  Initial thread only; no locks.

#include "velk_IndexAccess.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"

namespace {

// The size of a storage-system (VELK_QUOR_FILE) or gateway-host index file.
// 0 with *size set, or -1 with a message and exit status 72.
int remoteIndexSize(const char *path, int kind, uint64_t *size)
{
    if (kind == VELK_QUOR_FILE) {
        quor_fileattr_t attr;
        memset(&attr, 0, sizeof attr);
        int rc = quor_FileGetAttributes(path, &attr);
        if (rc < 0) {
            if (rc == -EACCES)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Permission problem getting attributes for: %s\n", path);
            else if (rc == -ENOENT)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "No such file: %s\n", path);
            else
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d getting Index File attributes for %s\n", rc,
                            path);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        *size = attr.Attrs.DataLength;
        return 0;
    }
    lfx_Stat_rply_t st;
    memset(&st, 0, sizeof st);
    int rc = kylgw_LfxStat(path, &st);
    if (rc < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d getting attributes for remote index file %s\n",
                    -rc, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *size = st.hst_size;
    return 0;
}

// Opens storage-system file path, waiting 10 seconds and trying again
// while the gateway says it is busy.  The descriptor, or negative.
int openQuorBusyRetry(const char *path, int openFlags)
{
    for (;;) {
        int fd = quor_Open(path, openFlags, 0666, nullptr, nullptr, nullptr);
        if (fd != -EAGAIN && fd != -6005 && fd != -1411)
            return fd;
        sleep(10);
    }
}

// Copies the storage-system index path (size bytes) into a new temporary
// local index, 4 MiB per sequential read, and opens that as the index.
// Returns the local descriptor, or -1 after a message.
int openQuorIndexCopy(const char *path, int openFlags, uint64_t size)
{
    const char *kind = velk_IndexKindName(VELK_QUOR_FILE);
    int qfd = openQuorBusyRetry(path, openFlags);
    if (qfd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d opening %s index file: %s\n", qfd, kind, path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (velk_CreateTmpIndexFile() != 0) {
        (void)quor_Close(qfd);
        return -1;
    }
    std::vector<unsigned char> buf(VELK_INDEX_BUFSIZE);
    uint64_t copied = 0;
    int rc = 0;
    while (rc == 0 && copied < size) {
        const int want = static_cast<int>(std::min<uint64_t>(buf.size(), size - copied));
        int n = velk_BlockRead(qfd, path, VELK_QUOR_FILE, want, buf.data());
        if (n < want) {
            // A file shorter than its attributes said is as bad as an error.
            if (n >= 0)
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "FATAL: error %d reading %d bytes from index file %s\n",
                            EIO, want, path);
            rc = -1;
        } else if (write(velk_tmpIndexFD, buf.data(), static_cast<size_t>(n)) != n) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d writing temporary index file %s\n", errno,
                        velk_tmpIndexFile);
            rc = -1;
        }
        copied += static_cast<uint64_t>(std::max(n, 0));
    }
    (void)quor_Close(qfd);
    close(velk_tmpIndexFD);
    velk_tmpIndexFD = -1;
    if (rc != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return velk_OpenLocalIndexFile(velk_tmpIndexFile, O_RDONLY, VELK_LOCAL_FILE);
}

} // namespace

int velk_OpenIndexFile(const char *path, int openFlags, int kind)
{
    if (kind != VELK_QUOR_FILE && kind != VELK_REMOTE_FILE)
        return velk_OpenLocalIndexFile(path, openFlags, kind);
    uint64_t size = 0;
    if (remoteIndexSize(path, kind, &size) != 0)
        return -1;
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s: Index File %s is %lu bytes in length\n", __func__, path,
                       static_cast<unsigned long>(size));
        velk_ErrPrintf("/debug/ opening %s index file %s\n", velk_IndexKindName(kind), path);
    }
    if (kind == VELK_QUOR_FILE)
        return openQuorIndexCopy(path, openFlags, size);
    // A gateway-host index needs the local-file transfer, which this build
    // lacks.
    (void)velk_IndexKindIsLocal(kind, __func__, path);
    return -1;
}
