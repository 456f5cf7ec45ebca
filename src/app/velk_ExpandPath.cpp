// "~" expansion for local and storage-system paths.  Initial thread only:
// the remembered home directories are in the caller's cache.

#include "velk_ExpandPath.h"

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "quor_api.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"

namespace {

constexpr size_t VELK_MAX_PRINCIPAL = 129;

// Looks up a home directory; 0 or the error number (ENOENT when unknown).
int lookupHome(const char *name, uid_t uid, char *out, size_t size)
{
    long bufsize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(bufsize > 0 ? static_cast<size_t>(bufsize) : 16384);
    struct passwd pw, *result = nullptr;
    int rc = name ? getpwnam_r(name, &pw, buf.data(), buf.size(), &result)
                  : getpwuid_r(uid, &pw, buf.data(), buf.size(), &result);
    if (rc != 0)
        return rc;
    if (result == nullptr)
        return ENOENT;
    if (strlen(pw.pw_dir) >= size)
        return ENAMETOOLONG;
    strcpy(out, pw.pw_dir);
    return 0;
}

// Joins dir and rest into out; false (with the overflow message) when the
// result does not fit.
bool joinFits(const char *routine, const char *name, const std::string &dir, const char *rest, char *out, size_t size)
{
    std::string joined = dir + rest;
    if (joined.size() >= size) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: buffer overflow error detected trying to expand archive path for '~%s'\n", routine, name);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return false;
    }
    memcpy(out, joined.c_str(), joined.size() + 1);
    return true;
}

bool copyFits(const char *in, char *out, size_t size)
{
    size_t len = strlen(in);
    if (len >= size)
        return false;
    memcpy(out, in, len + 1);
    return true;
}

} // namespace

int velk_ExpandLocalPath(velk_home_cache_t *homes, const char *in, char *out, size_t size)
{
    static const char *routine = "velk_ExpandLocalPath";
    if (in[0] != '~') {
        if (copyFits(in, out, size))
            return 0;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: path too long: %s\n", routine, in);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return -1;
    }
    const char *slash = strchr(in, '/');
    std::string name = slash ? std::string(in + 1, static_cast<size_t>(slash - in - 1)) : std::string(in + 1);
    const char *rest = slash ? slash : "/";
    velk_home_cache_t scratch;
    if (homes == nullptr) {
        scratch.ownHomeKnown = false;
        scratch.lastUser[0] = '\0';
        homes = &scratch;
    }
    if (name.empty()) {
        if (!homes->ownHomeKnown) {
            int rc = lookupHome(nullptr, getuid(), homes->ownHome, sizeof homes->ownHome);
            if (rc != 0) {
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: error %d getting home directory for UID %d\n",
                            routine, rc, static_cast<int>(getuid()));
                return -1;
            }
            homes->ownHomeKnown = true;
        }
        return joinFits(routine, "", homes->ownHome, rest, out, size) ? 0 : -1;
    }
    if (name.size() >= sizeof homes->lastUser || strcmp(name.c_str(), homes->lastUser) != 0) {
        char home[sizeof homes->lastUserHome];
        int rc = name.size() >= sizeof homes->lastUser ? ENOENT : lookupHome(name.c_str(), 0, home, sizeof home);
        if (rc != 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: error %d getting home directory for user '%s'\n",
                        routine, rc, name.c_str());
            velk_SetExitCode(VELK_EXIT_OSERR);
            return -1;
        }
        strcpy(homes->lastUser, name.c_str());
        strcpy(homes->lastUserHome, home);
    }
    return joinFits(routine, name.c_str(), homes->lastUserHome, slash ? slash : "", out, size) ? 0 : -1;
}

int velk_ExpandQUORPath(const char *in, char *out, size_t size)
{
    static const char *routine = "velk_ExpandQUORPath";
    if (in[0] != '~') {
        if (copyFits(in, out, size))
            return 0;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: buffer overflow error detected trying to expand archive path for '%s'\n", routine, in);
        velk_SetExitCode(VELK_EXIT_USAGE);
        return -2;
    }
    const char *slash = strchr(in, '/');
    std::string name = slash ? std::string(in + 1, static_cast<size_t>(slash - in - 1)) : std::string(in + 1);
    const char *rest = slash ? slash : "";
    char dir[4097];
    if (name.empty()) {
        if (quor_Getcwd(dir, sizeof dir) < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: unable to obtain current working directory\n", routine);
            velk_SetExitCode(VELK_EXIT_OSERR);
            return -1;
        }
    } else if (name.size() > VELK_MAX_PRINCIPAL || quor_LookupHomeDir(name.c_str(), dir, sizeof dir) < 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: unable to obtain home directory name for QUOR principal '%s'\n", routine, name.c_str());
        velk_SetExitCode(VELK_EXIT_OSERR);
        return -2;
    }
    return joinFits(routine, name.c_str(), dir, rest, out, size) ? 0 : -2;
}
