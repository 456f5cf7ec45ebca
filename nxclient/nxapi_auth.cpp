// Authentication of a gateway connection.  This build has no login method
// yet: nxapi_authenticate sends nothing and reports a failed authentication,
// so every open ends on the refusal path of the connection layer.  Called
// by the thread that opens a connection; method_lock guards the method.

#include "nxapi_private.h"

#include <cerrno>

namespace {

kyl_mutex_t method_lock;  // the method the next login tries
int auth_method KYL_GUARDED_BY(method_lock) = NXAPI_AUTH_COMBO;
bool method_set KYL_GUARDED_BY(method_lock) = false;

} // namespace

int nxapi_authenticate(quor_connection_t *, nxapi_tcontext_t *, int *retryLater, int *stop)
{
    if (retryLater != nullptr)
        *retryLater = 0;
    if (stop != nullptr)
        *stop = 0;
    // No method is available in this build: nothing is sent and the result
    // is the one a login gets when no method succeeded.
    return KYLGW_E_AUTHFAILED;
}

int quor_SetAuthType(int code)
{
    switch (code) {
    case 0x10:
    case 0x40:
    case 0x200:
    case NXAPI_AUTH_RECONNECT: {
        kyl_lock_guard g(method_lock);
        auth_method = code;
        method_set = true;
        return 0;
    }
    default:
        return -EINVAL;
    }
}
