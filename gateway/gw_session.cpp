// Serves one client connection on its session thread (see gw_session.h).
// This build speaks no gateway messages yet: the session ends at once and
// the listener logs why.  Takes no locks.

#include "gw_session.h"

const char *gw_SessionServe(int, uint64_t, const char *)
{
    return "protocol not served by this build";
}
