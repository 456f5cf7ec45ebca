// QUOR.conf: the search along the directory list, the one parse per process
// under Cfg_Mutex, and host-name lookup by shell pattern.  Any thread calls
// these; Cfg_Mutex guards the cached tree and the name settings, and
// domain_Mutex the system's domain name read once.

#include "quorcfgx_conf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kyl_mutex.h"
#include "quorcfgx_match.h"
#include "quorex_msg.h"

namespace {

constexpr const char *kDefaultFileName = "QUOR.conf";
constexpr const char *kDefaultDirPaths = "/usr/local/etc:/var/quor/etc";
constexpr size_t kHostMax = 256;

kyl_mutex_t Cfg_Mutex;
char *quor_ConfFileName KYL_GUARDED_BY(Cfg_Mutex) = nullptr;
char *quor_ConfDirPaths KYL_GUARDED_BY(Cfg_Mutex) = nullptr;
quor_cfg_stanza_t *quor_CfgEntries KYL_GUARDED_BY(Cfg_Mutex) = nullptr;
bool quor_CfgParsed KYL_GUARDED_BY(Cfg_Mutex) = false;
char quor_CfgPath[QUORCFGX_PATH_MAX + 1] KYL_GUARDED_BY(Cfg_Mutex) = "";

kyl_mutex_t domain_Mutex;
bool domainRead KYL_GUARDED_BY(domain_Mutex) = false;
char domainName[kHostMax + 1] KYL_GUARDED_BY(domain_Mutex) = "";

int setCopy(char **slot, const char *value) KYL_REQUIRES(Cfg_Mutex)
{
    if (value == nullptr)
        return -EFAULT;
    char *copy = strdup(value);
    if (copy == nullptr)
        return -ENOMEM;
    free(*slot);
    *slot = copy;
    return 0;
}

void reportLongLine(void *ctx, unsigned line)
{
    const auto *what = static_cast<const std::pair<const char *, const char *> *>(ctx);
    quorex_Print("*** %s: Warning - line %u of %s is longer than %zu characters (ignored)\n", what->first, line,
                 what->second, QUORCFGX_SITE_LINE_MAX);
}

// Finds the file along dirs; true with path filled when found.
bool findFile(const char *dirs, const char *name, std::string *path)
{
    std::string list = dirs;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(':', at);
        if (end == std::string::npos)
            end = list.size();
        std::string dir = list.substr(at, end - at);
        at = end + 1;
        size_t b = dir.find_first_not_of(" \t");
        size_t e = dir.find_last_not_of(" \t");
        dir = b == std::string::npos ? "" : dir.substr(b, e - b + 1);
        if (dir.empty() || dir.size() + 1 + strlen(name) > QUORCFGX_PATH_MAX)
            continue;
        std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0) {
            *path = candidate;
            return true;
        }
    }
    return false;
}

// Cuts the system's domain name off host (in place) when host ends with it.
void stripDomainName(char *host)
{
    char domain[kHostMax + 1];
    {
        kyl_lock_guard g(domain_Mutex);
        if (!domainRead) {
            domainRead = true;
            if (getdomainname(domainName, sizeof domainName - 1) != 0) {
                quorex_PrintErrno("getdomainname", errno);
                domainName[0] = '\0';
            }
        }
        snprintf(domain, sizeof domain, "%s", domainName);
    }
    size_t hl = strlen(host), dl = strlen(domain);
    if (dl == 0 || strcmp(domain, "(none)") == 0 || hl <= dl + 1)
        return;
    if (strcmp(host + hl - dl, domain) == 0 && host[hl - dl - 1] == '.')
        host[hl - dl - 1] = '\0';
}

// True when some word of key matches host.
bool keyMatches(const char *key, const char *host)
{
    std::string word;
    for (const char *p = key;; p++) {
        if (*p == '\\' && p[1] != '\0') {
            word += *++p;
            continue;
        }
        if (*p == '\0' || *p == ' ' || *p == '\t') {
            if (!word.empty()) {
                int errors = 0;
                if (quorcfgx_PatternMatch(host, word.c_str(), &errors) == 1)
                    return true;
                if (errors != 0)
                    quorex_Print("Warning: pattern error on string [%s] in QUOR.conf file for KeyString=[%s]\n", host,
                                 key);
            }
            word.clear();
            if (*p == '\0')
                return false;
            continue;
        }
        word += *p;
    }
}

} // namespace

int quorcfgx_ConfSetFileName(const char *name)
{
    kyl_lock_guard g(Cfg_Mutex);
    return setCopy(&quor_ConfFileName, name);
}

int quorcfgx_ConfSetDirPaths(const char *paths)
{
    kyl_lock_guard g(Cfg_Mutex);
    return setCopy(&quor_ConfDirPaths, paths);
}

int quorcfgx_ParseSiteFile(const char *path, const char *routine, quor_cfg_stanza_t **list, int *error, unsigned *line)
{
    std::pair<const char *, const char *> what{routine, path};
    return quorcfgx_CfgParseSkipLong(path, QUORCFGX_SITE_LINE_MAX, reportLongLine, &what, list, error, line);
}

quor_cfg_stanza_t *quorcfgx_ConfParse(char *pathOut)
{
    const char *fn = "quorcfgx_ConfParse";
    // Callers report errno of their own failures around this lookup.
    const int savedErrno = errno;
    kyl_lock_guard g(Cfg_Mutex);
    if (!quor_CfgParsed) {
        quor_CfgParsed = true;
        const char *dirs = quor_ConfDirPaths;
        if (dirs == nullptr)
            dirs = getenv("QUOR_CFG_FILE_PATH");
        if (dirs == nullptr)
            dirs = kDefaultDirPaths;
        std::string path;
        if (findFile(dirs, quor_ConfFileName != nullptr ? quor_ConfFileName : kDefaultFileName, &path)) {
            snprintf(quor_CfgPath, sizeof quor_CfgPath, "%s", path.c_str());
            int error = 0;
            unsigned line = 0;
            quor_cfg_stanza_t *list = nullptr;
            if (quorcfgx_ParseSiteFile(quor_CfgPath, fn, &list, &error, &line) != 0)
                quorex_Print("*** %s: Warning - Error parsing config file %s at line %d\n", fn, quor_CfgPath,
                             static_cast<int>(line));
            else if (list == nullptr)
                quorex_Print("*** %s: Warning - empty config file: %s\n", fn, quor_CfgPath);
            quor_CfgEntries = list;
        }
    }
    if (pathOut != nullptr)
        snprintf(pathOut, QUORCFGX_PATH_MAX + 1, "%s", quor_CfgPath);
    errno = savedErrno;
    return quor_CfgEntries;
}

void quorcfgx_ConfForget()
{
    kyl_lock_guard g(Cfg_Mutex);
    quorcfgx_CfgFree(quor_CfgEntries);
    quor_CfgEntries = nullptr;
    quor_CfgParsed = false;
    quor_CfgPath[0] = '\0';
}

quor_cfg_stanza_t *quorcfgx_LookupHostName(quor_cfg_stanza_t *list, const char *host, int stripDomain)
{
    if (host == nullptr)
        return nullptr;
    char name[kHostMax + 1];
    snprintf(name, sizeof name, "%s", host);
    if (stripDomain)
        stripDomainName(name);
    for (quor_cfg_stanza_t *s = list; s != nullptr; s = s->next)
        if (s->KeyString != nullptr && keyMatches(s->KeyString, name))
            return s;
    return nullptr;
}
