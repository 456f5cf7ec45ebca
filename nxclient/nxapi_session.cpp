// Session-level operations of the client library: the gateway log, site
// information, accounts, password entries, umask and working directories.
//
// The connection layer that carries these requests (greeting, site
// information exchange, authentication) is not part of this build yet, so
// nxapi_init reports that no session can be set up and every operation fails
// with NXAPI_E_NOSESSION, exactly as it does against a gateway that cannot
// be reached.  Nothing here pretends to succeed.

#include "quor_api.h"

#include <cerrno>

namespace {

// Entry step of every operation: makes sure a session exists.
int nxapi_init()
{
    return NXAPI_E_NOSESSION;
}

} // namespace

int quor_Openlog(uint32_t, const char *subsys)
{
    if (subsys == nullptr)
        return -EFAULT;
    return nxapi_init();
}

int quor_Logmsg(uint32_t, uint32_t, const char *msgtext)
{
    if (msgtext == nullptr)
        return -EFAULT;
    return nxapi_init();
}

int quor_Closelog(uint32_t)
{
    return nxapi_init();
}

int quorex_GetSiteInfo(quor_site_info_t *info)
{
    if (info == nullptr)
        return -EFAULT;
    return -ENOENT;  // no current connection
}

int quor_SetAcct(uint32_t)
{
    return nxapi_init();
}

int quor_SetAcctByName(const char *name)
{
    if (name == nullptr)
        return -EFAULT;
    return nxapi_init();
}

int quor_GetAcct(uint32_t *defaultAcct, uint32_t *currentAcct)
{
    if (defaultAcct == nullptr || currentAcct == nullptr)
        return -EFAULT;
    return nxapi_init();
}

int quor_GetPwent(const char *name, quor_passwd_t *pw)
{
    if (name == nullptr || pw == nullptr)
        return -EFAULT;
    return nxapi_init();
}

int quor_Umask(int)
{
    return 0;  // the previous mask is unknown without a session
}

int quor_Getcwd(char *buf, int size)
{
    if (buf == nullptr || size <= 0)
        return -EFAULT;
    return nxapi_init();
}

int kylgw_LfxGetcwd(char *buf, int size)
{
    if (buf == nullptr || size <= 0)
        return -EFAULT;
    return nxapi_init();
}

int quor_LookupHomeDir(const char *principal, char *buf, int size)
{
    if (principal == nullptr || buf == nullptr || size <= 0)
        return -EFAULT;
    return nxapi_init();
}
