// Netrc label: kept for the netrc lookup of the login step.
// Guarded by netrc_label_lock.

#include "quorex_netrc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kyl_mutex.h"

namespace {
kyl_mutex_t netrc_label_lock;
char netrc_label[QUOREX_NETRC_LABEL_MAX + 1] KYL_GUARDED_BY(netrc_label_lock);
int netrc_label_type KYL_GUARDED_BY(netrc_label_lock) = 0;
} // namespace

int quorex_SetNetrcLabel(const char *name, int type)
{
    if (name == nullptr)
        return -EFAULT;
    if (type != QUOREX_NETRC_LABEL_HOST && type != QUOREX_NETRC_LABEL_PLAIN)
        return -EINVAL;
    size_t len = strlen(name);
    if (len > QUOREX_NETRC_LABEL_MAX)
        return -ENAMETOOLONG;
    kyl_lock_guard g(netrc_label_lock);
    memcpy(netrc_label, name, len + 1);
    netrc_label_type = type;
    return 0;
}

int quorex_GetNetrcLabel(char *buf, int size)
{
    if (buf == nullptr || size <= 0)
        return -EFAULT;
    kyl_lock_guard g(netrc_label_lock);
    snprintf(buf, static_cast<size_t>(size), "%s", netrc_label_type ? netrc_label : "");
    return netrc_label_type;
}
