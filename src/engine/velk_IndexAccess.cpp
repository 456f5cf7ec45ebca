// Opening an index file of any kind (a storage-system or gateway-host index
// is copied into the temporary local index by its kind unit, a local one
// is opened where it is), asking whether one exists, and the end of
// placing a create's finished index under a temporary name that is renamed
// over the old index only when complete.  Initial thread only; no locks.

#include "velk_IndexAccess.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <string>

#include <sys/stat.h>

#include "velk_ArchiveKind.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"

int velk_OpenIndexFile(const char *path, int openFlags, int kind)
{
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(kind);
    if (ops->index_size == nullptr)
        return ops->open_index(path, openFlags, kind, 0);
    uint64_t size = 0;
    if (ops->index_size(path, &size) != 0)
        return -1;
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s: Index File %s is %lu bytes in length\n", __func__, path,
                       static_cast<unsigned long>(size));
        velk_ErrPrintf("/debug/ opening %s index file %s\n", velk_IndexKindName(kind), path);
    }
    return ops->open_index(path, openFlags, kind, size);
}

int velk_IndexFileDoesExist(const char *path, int kind)
{
    if (path == nullptr)
        return 0;
    return velk_ArchiveKindOps(kind)->index_exists(path);
}

int velk_PlaceIndexFile(int rc, const char *tmp, const char *final, int (*beforeRename)(),
                        int (*removeTmp)(const char *))
{
    if (rc == 0 && velk_shutdown_signalled.load() != 0)
        rc = -1;
    bool beforeFailed = false;
    if (rc == 0 && beforeRename != nullptr && beforeRename() != 0) {
        rc = -1;
        beforeFailed = true;
    }
    int moved;
    if (rc == 0 && (moved = quor_Rename(tmp, final)) < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d putting Index File %s in place of %s\n", moved, tmp,
                    final);
        rc = -1;
    }
    console_message("", "");
    if (rc != 0) {
        (void)removeTmp(tmp);
        velk_SetExitCode(VELK_EXIT_IOERR);
        if (!beforeFailed)
            index_CopyFailure();
        return -1;
    }
    return 0;
}

void velk_SyncIndexDirectory(const char *path)
{
    const char *slash = strrchr(path, '/');
    std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Error %d flushing the directory of Index file %s\n", errno,
                    path);
    if (fd >= 0)
        close(fd);
}
