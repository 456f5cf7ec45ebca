// Opening an index file of any kind (a storage-system or gateway-host index
// is copied into the temporary local index by its kind unit, a local one
// is opened where it is), asking whether one exists, and the end of
// placing a create's finished index under a temporary name that is renamed
// over the old index only when complete.  Initial thread only; no locks.

#include "velk_IndexAccess.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <string>

#include <sys/stat.h>

#include "velk_ArchiveKind.h"
#include "velk_GatewayRename.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"

int velk_OpenIndexFile(const velk_xfer_settings_t *xs, velk_index_t *index, const char *path, int openFlags, int kind)
{
    const velk_archive_kind_t *ops = velk_ArchiveKindOps(kind);
    if (ops->index_size == nullptr)
        return ops->open_index(xs, index, path, openFlags, kind, 0);
    uint64_t size = 0;
    if (ops->index_size(path, &size) != 0)
        return -1;
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s: Index File %s is %lu bytes in length\n", __func__, path,
                       static_cast<unsigned long>(size));
        velk_ErrPrintf("/debug/ opening %s index file %s\n", velk_IndexKindName(kind), path);
    }
    return ops->open_index(xs, index, path, openFlags, kind, size);
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
    int before = 0;
    if (rc == 0 && beforeRename != nullptr)
        before = beforeRename();
    // The archive took its name through beforeRename: from here on the
    // old index belongs to nothing that stands.
    const bool archivePlaced = rc == 0 && beforeRename != nullptr && before == 0;
    int moved = -1;
    if (rc == 0 && before == 0) {
        moved = velk_GatewayRename(tmp, final);
        if (moved < 0 && moved != VELK_RENAME_UNKNOWN)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d putting Index File %s in place of %s\n", moved,
                        tmp, final);
    }
    console_message("", "");
    if (moved == 0)
        return 0;
    velk_SetExitCode(VELK_EXIT_IOERR);
    char option[PATH_MAX + 2];
    velk_IndexOptionName(tmp, option, sizeof option);
    if (before == VELK_RENAME_UNKNOWN) {
        // The new archive stands under one of two names (said already);
        // only this file is its index.
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Index file of the new Archive file was kept as %s (read the new archive with -I %s)\n", tmp,
                    option);
        return -1;
    }
    if (moved == VELK_RENAME_UNKNOWN) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Index file %s is the new one if %s no longer exists, otherwise %s is (read the archive with -I "
                    "%s)\n",
                    final, tmp, tmp, option);
        return -1;
    }
    if (archivePlaced) {
        // The new index is the only one the archive has: kept and named.
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Index file of archive %s was kept as %s (read the archive with -I %s)\n", velk_archive, tmp,
                    option);
        return -1;
    }
    (void)removeTmp(tmp);
    // After a failed step before the rename nothing was put in place, so
    // the old archive and index still belong together.
    if (before == 0)
        index_CopyFailure();
    return -1;
}

void velk_IndexOptionName(const char *path, char *out, size_t size)
{
    // A name without a "/" would be taken as a suffix or a name in the
    // archive's directory.
    snprintf(out, size, "%s%s", strchr(path, '/') != nullptr ? "" : "./", path);
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
