// The mount action: checks the mount point, builds the tree from the index
// (read once, by velk_MountIndex), opens the archive,
// and hands both to the file-system side (velk_MountFs) until the mount is
// gone.  Initial thread.

#include "velk_Mount.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_MountIndex.h"
#include "velk_MountFs.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;

int fail(int status)
{
    velk_SetExitCode(status);
    velk_FinalLine(false);
    return -1;
}

// The operands a mount accepts: "allow_other" after -o.  true when the
// command line is usable.
bool mountOperands(velk_run_t *run)
{
    for (int i = run->optind; i < run->argc; ++i) {
        if (strcmp(run->argv[i], "allow_other") == 0 && velk_Opt(VELK_OPT_OWN_IDS)) {
            run->mountAllowOther = 1;
            continue;
        }
        velk_LogFmt(VELK_MSG_ERROR, MSG, "velk_Mount: unexpected operand %s (only -o allow_other may follow)\n",
                    run->argv[i]);
        return false;
    }
    return true;
}

// Builds ctx's tree from the archive's index (velk_MountIndex).  0, or -1
// after the message.
int loadTree(const velk_xfer_settings_t *xs, velk_index_t *index, velk_mount_ctx_t *ctx)
{
    return velk_MountLoadTree(xs, index, &ctx->tree, &ctx->archiveBytes);
}

// Warns about the members the tree does not show.
void reportHidden(const velk_mount_tree_t *tree)
{
    if (tree->refused > 0)
        velk_LogFmt(VELK_MSG_WARNING, MSG,
                    "%ld members not shown: absolute names, names holding \"..\" or names below a file\n",
                    tree->refused);
    if (tree->linksLost > 0)
        velk_LogFmt(VELK_MSG_WARNING, MSG, "%ld hard links not shown: the file they name is not in the archive\n",
                    tree->linksLost);
}

} // namespace

int velk_Mount(velk_run_t *run)
{
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    if (ops->read_at == nullptr) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "velk_Mount: a piped Archive File cannot be mounted\n");
        return fail(VELK_EXIT_USAGE);
    }
    if (!mountOperands(run))
        return fail(VELK_EXIT_USAGE);
    struct stat st;
    if (stat(run->mountPoint, &st) != 0 || !S_ISDIR(st.st_mode)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Mount point %s is not a directory\n", run->mountPoint);
        return fail(VELK_EXIT_USAGE);
    }
    console_message("Reading Index File to mount...", velk_index_filename);
    // Owned here: the tree of a large archive is freed before the run ends.
    std::unique_ptr<velk_mount_ctx_t> owned(new (std::nothrow) velk_mount_ctx_t);
    if (!owned) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "velk_Mount: out of memory\n");
        return fail(VELK_EXIT_NOMEM);
    }
    velk_mount_ctx_t &ctx = *owned;
    if (loadTree(&run->xfer, &run->index, &ctx) != 0)
        return fail(VELK_EXIT_IOERR);
    reportHidden(&ctx.tree);
    int fd = velk_OpenArchiveForReading();
    if (fd < 0)
        return fail(VELK_EXIT_IOERR);
    uint64_t cacheBytes = run->mountCacheBytes != 0 ? run->mountCacheBytes : VELK_MOUNT_CACHE_DEFAULT;
    int rc = velk_MountCacheInit(&ctx.cache, ops, &run->xfer, fd, ctx.archiveBytes, !ops->through_gateway, cacheBytes);
    if (rc == -1) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "velk_Mount: out of memory for the block cache\n");
        velk_SetExitCode(VELK_EXIT_NOMEM);
    } else if (rc != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
    } else {
        rc = velk_MountServe(&ctx, run->mountPoint, velk_archive, run->mountAllowOther != 0, velk_debug_level >= 3);
    }
    long fetches = 0;
    int closeRc = velk_MountCacheEnd(&ctx.cache, &fetches);
    if (closeRc != 0)
        velk_LogFmt(VELK_MSG_ERROR, MSG, "velk_Mount: Error %d closing %s Archive file %s\n", closeRc, ops->name,
                    velk_archive);
    bool ok = rc == 0 && ctx.crcMismatches == 0 && ctx.readFailures == 0;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/mount of %s ended: %ld positioned reads\n", velk_archive, fetches);
    velk_FinalLine(ok);
    return ok ? 0 : -1;
}
