// Local archives without a gateway session, and local paths anchored
// before the operands change directory.

#include "velk_NoGateway.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "velk_ArchiveKind.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"

namespace {

// Replaces *slot with a copy of path; false when memory ran out.
bool replacePath(char **slot, const std::string &path)
{
    char *copy = VELK_STRDUP(path.c_str());
    if (copy == nullptr) {
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return false;
    }
    VELK_FREE(*slot);
    *slot = copy;
    return true;
}

} // namespace

int velk_NoGatewayRefused(const velk_run_t *run)
{
    if (run->noGateway == 0 || velk_Opt(VELK_OPT_LOCAL_ARCHIVE))
        return 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "%s works only with a local archive (-E): archive %s is reached through the gateway\n",
                run->noGateway == 2 ? "VELK_NO_GATEWAY=1" : "--no-gateway", velk_archive);
    return -1;
}

void velk_NoGatewayIdentity(velk_run_t *run)
{
    run->xfer.uid = static_cast<int>(getuid());
    run->xfer.gid = static_cast<int>(getgid());
    run->xfer.acctId = 0;
}

void velk_NoGatewayHint()
{
    fprintf(stderr,
            "%s: a local archive (-E) needs no gateway: add --no-gateway (or set VELK_NO_GATEWAY=1) to run "
            "without one\n",
            "INFO");
}

bool velk_OperandsChangeDirectory(const velk_run_t *run)
{
    for (int i = run->optind; i < run->argc; i++) {
        if (strncmp(run->argv[i], "-C", 2) == 0)
            return true;
    }
    return false;
}

int velk_AnchorLocalPaths(const velk_run_t *run)
{
    // A named local archive and the local index of a local or piped one.
    const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
    bool localArchive = !ops->through_gateway && !ops->is_pipe;
    if (localArchive && velk_archive[0] != '/' && run->archive.absPath != nullptr &&
        !replacePath(&velk_archive, run->archive.absPath))
        return -1;
    bool localIndex = !ops->through_gateway;
    if (!localIndex || velk_index_filename == nullptr || velk_index_filename[0] == '/')
        return 0;
    char cwd[VELK_MAX_ARCHIVE_PATH + 1];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: unable to obtain current working directory\n", "main");
        velk_SetExitCode(VELK_EXIT_OSERR);
        return -1;
    }
    return replacePath(&velk_index_filename, std::string(cwd) + "/" + velk_index_filename) ? 0 : -1;
}
