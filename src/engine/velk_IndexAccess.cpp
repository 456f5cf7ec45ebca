// Opening an index file of any kind: the size of a storage-system or
// gateway-host index comes from the client library, the bytes of a local
// one from the index file unit.  Initial thread only; no locks.

#include "velk_IndexAccess.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

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

} // namespace

int velk_OpenIndexFile(const char *path, int openFlags, int kind)
{
    if (kind != VELK_QUOR_FILE && kind != VELK_REMOTE_FILE)
        return velk_OpenLocalIndexFile(path, openFlags, kind);
    // The index is found and its size learnt through the gateway; the bytes
    // themselves need the data transfers, which this build lacks.
    uint64_t size = 0;
    if (remoteIndexSize(path, kind, &size) != 0)
        return -1;
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s: Index File %s is %lu bytes in length\n", __func__, path,
                       static_cast<unsigned long>(size));
        velk_ErrPrintf("/debug/ opening %s index file %s\n", velk_IndexKindName(kind), path);
    }
    (void)velk_IndexKindIsLocal(kind, __func__, path);
    return -1;
}
