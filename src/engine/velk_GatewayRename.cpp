// Renames through the gateway that survive a lost reply (see
// velk_GatewayRename.h).  Initial thread only; no locks of its own.

#include "velk_GatewayRename.h"

#include <cerrno>
#include <cstdint>

#include "kylgw_errors.h"
#include "quor_api.h"
#include "velk_ArchiveKind.h"
#include "velk_LogMsg.h"

bool velk_ConnectionLost(int rc)
{
    // A connection that ends in the middle of a reply is broken as a bad
    // message.  Taking a reply for lost when it was not only costs a look
    // at both names.
    return rc == NXAPI_E_NOSESSION || rc == KYLGW_E_BADMSG || rc == -ECONNRESET || rc == -ECONNABORTED ||
           rc == -EPIPE || rc == -ENOTCONN;
}

int velk_RenameOutcome(int lost, int fromSeen, int toSeen)
{
    // The rename replaces its target in one step: a source that still
    // stands was not renamed, a source gone with the target there was.
    if (fromSeen == 0)
        return lost;
    if (fromSeen == -ENOENT && toSeen == 0)
        return 0;
    return VELK_RENAME_UNKNOWN;
}

int velk_GatewayRename(const char *from, const char *to)
{
    int rc = quor_Rename(from, to);
    for (int attempt = 1; velk_ConnectionLost(rc); ++attempt) {
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                    "Connection to the gateway lost renaming %s to %s - looking at both names in a new session\n", from,
                    to);
        // The first call after the loss opens the new session.
        const velk_archive_kind_t *ops = velk_CurrentArchiveKind();
        uint64_t size = 0;
        int fromSeen = ops->file_size(from, &size);
        int toSeen = ops->file_size(to, &size);
        int outcome = velk_RenameOutcome(rc, fromSeen, toSeen);
        if (outcome == 0) {
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s was renamed to %s before the connection was lost\n",
                        from, to);
            return 0;
        }
        if (outcome == VELK_RENAME_UNKNOWN) {
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                        "Cannot tell whether %s was renamed to %s (errors %d and %d looking at them)\n", from, to,
                        fromSeen, toSeen);
            return outcome;
        }
        if (attempt > 1)
            return rc;
        velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s was not renamed to %s - renaming it again\n", from, to);
        rc = quor_Rename(from, to);
    }
    return rc;
}
