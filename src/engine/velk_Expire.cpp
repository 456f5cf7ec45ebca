// Expiration of created storage-system files (see velk_Expire.h).  Reads
// the expiration rules, fixed at start-up; no lock.

#include "velk_Expire.h"

#include <cinttypes>
#include <cstring>
#include <ctime>

#include "quor_api.h"
#include "quorex_expire.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"

int velk_ExpireSetExpiration(int enabled, const char *path)
{
    const char *fn = "velk_ExpireSetExpiration";
    if (!enabled) {
        if (velk_debug_level >= 2)
            velk_ErrPrintf("/debug/%s: Setting expiration times: disabled in velk_config_opts-not set for %s\n", fn,
                           path);
        return 0;
    }
    quor_fileattr_t attr;
    memset(&attr, 0, sizeof attr);
    int rc = quor_FileGetAttributes(path, &attr);
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                    "*** %s: error %d on quor_FileGetAttributes call for '%s' - cannot set expiration\n", fn, rc, path);
        velk_SetExitCode(VELK_EXIT_OSERR);
        return rc;
    }
    uint64_t when = 0;
    if (quorex_ExpireLookupTime(&attr.Attrs, &when) != 0) {
        if (velk_debug_level >= 2)
            velk_ErrPrintf("/debug/%s: No expiration time defined for %s - not set\n", fn, path);
        return 0;
    }
    if (when <= attr.Attrs.TimeCreated) {
        // A file must not expire the moment it is made.
        if (velk_debug_level >= 2)
            velk_ErrPrintf("/debug/%s: expiration time of %s is not after its creation - not set\n", fn, path);
        return 0;
    }
    if (velk_debug_level >= 2) {
        time_t t = static_cast<time_t>(when);
        char text[32] = "";
        if (ctime_r(&t, text) == nullptr)
            text[0] = '\0';
        velk_ErrPrintf("/debug/%s: setting expiration time to %" PRIu64 "(%24.24s) for %s\n", fn, when, text, path);
    }
    rc = kylgw_UdaSetExpiration(path, when);
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "*** %s: error %d on kylgw_UdaSetExpiration call for '%s' - cannot set expiration\n", fn, rc, path);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return rc;
    }
    return 0;
}
