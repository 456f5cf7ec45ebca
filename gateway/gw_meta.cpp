// Metadata sidecars under --meta (see gw_meta.h).  Paths given here are
// normalised namespace paths (no "." or ".." components), so the sidecar
// path is a plain concatenation below metaRoot.  No locks.

#include "gw_meta.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The mirror directory that holds the sidecars of the objects inside nsPath.
std::string gw_MetaDirOf(const std::string &metaRoot, const std::string &nsPath)
{
    return nsPath == "/" ? metaRoot : metaRoot + nsPath;
}

// Creates every directory of dir below metaRoot.  Returns 0 or -errno.
int gw_MetaMkdirs(const std::string &metaRoot, const std::string &dir)
{
    for (size_t i = metaRoot.size() + 1; i <= dir.size(); i++) {
        if (i != dir.size() && dir[i] != '/')
            continue;
        std::string prefix = dir.substr(0, i);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return -errno;
    }
    return 0;
}

int gw_MetaRmTreeEntry(const char *p, const struct stat *, int type, struct FTW *)
{
    if (type == FTW_DP)
        return rmdir(p) == 0 || errno == ENOENT ? 0 : -1;
    return unlink(p) == 0 || errno == ENOENT ? 0 : -1;
}

// Removes dir and everything in it; a missing dir is not an error.
int gw_MetaRmTree(const std::string &dir)
{
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : -errno;
    if (nftw(dir.c_str(), gw_MetaRmTreeEntry, 16, FTW_DEPTH | FTW_PHYS) != 0)
        return -EIO;
    return 0;
}

bool gw_MetaNumber(const char *v, uint64_t max, uint64_t *out)
{
    if (*v < '0' || *v > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long n = strtoull(v, &end, 10);
    if (errno != 0 || *end != '\0' || n > max)
        return false;
    *out = n;
    return true;
}

} // namespace

std::string gw_MetaPath(const std::string &metaRoot, const std::string &nsPath)
{
    return metaRoot + (nsPath == "/" ? std::string("/") : nsPath) + GW_META_SUFFIX;
}

int gw_MetaParse(const std::string &text, gw_meta_t *out)
{
    gw_meta_t m;
    size_t i = 0;
    while (i < text.size()) {
        size_t nl = text.find('\n', i);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(i, nl - i);
        i = nl + 1;
        if (line.empty())
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return -EINVAL;
        std::string key = line.substr(0, eq);
        const char *val = line.c_str() + eq + 1;
        uint64_t n = 0;
        const bool wide = key == "Expiration" || key == "ObjId";
        if (!gw_MetaNumber(val, wide ? UINT64_MAX : UINT32_MAX, &n))
            return -EINVAL;
        const uint32_t n32 = static_cast<uint32_t>(n);
        if (key == "COSId")
            m.COSId = n32;
        else if (key == "FamilyId")
            m.FamilyId = n32;
        else if (key == "SubSystemId")
            m.SubSystemId = n32;
        else if (key == "Account")
            m.Account = n32;
        else if (key == "UID")
            m.UID = n32;
        else if (key == "GID")
            m.GID = n32;
        else if (key == "TimeCreated")
            m.TimeCreated = n32;
        else if (key == "Expiration")
            m.Expiration = n;
        else if (key == "ObjId")
            m.ObjId = n;
        else
            return -EINVAL;
    }
    *out = m;
    return 0;
}

std::string gw_MetaFormat(const gw_meta_t &m)
{
    char buf[512];
    snprintf(buf, sizeof buf,
             "COSId=%" PRIu32 "\nFamilyId=%" PRIu32 "\nSubSystemId=%" PRIu32 "\nAccount=%" PRIu32 "\nUID=%" PRIu32
             "\nGID=%" PRIu32 "\nTimeCreated=%" PRIu32 "\nExpiration=%" PRIu64 "\nObjId=%" PRIu64 "\n",
             m.COSId, m.FamilyId, m.SubSystemId, m.Account, m.UID, m.GID, m.TimeCreated, m.Expiration, m.ObjId);
    return buf;
}

int gw_MetaRead(const std::string &metaRoot, const std::string &nsPath, gw_meta_t *out)
{
    std::string p = gw_MetaPath(metaRoot, nsPath);
    int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    char buf[GW_META_MAX_BYTES];
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd, buf + have, sizeof buf - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            return -e;
        }
        if (n == 0)
            break;
        have += static_cast<size_t>(n);
        if (have == sizeof buf) {
            close(fd);
            return -EINVAL;
        }
    }
    close(fd);
    return gw_MetaParse(std::string(buf, have), out);
}

int gw_MetaWrite(const std::string &metaRoot, const std::string &nsPath, const gw_meta_t &m)
{
    std::string p = gw_MetaPath(metaRoot, nsPath);
    std::string dir = p.substr(0, p.rfind('/'));
    if (dir.size() > metaRoot.size()) {
        int rc = gw_MetaMkdirs(metaRoot, dir);
        if (rc != 0)
            return rc;
    }
    std::string tmp = p + ".tmp" + std::to_string(static_cast<long>(gettid()));
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -errno;
    std::string text = gw_MetaFormat(m);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            unlink(tmp.c_str());
            return -e;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 || rename(tmp.c_str(), p.c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return -e;
    }
    return 0;
}

int gw_MetaRename(const std::string &metaRoot, const std::string &oldPath, const std::string &newPath)
{
    if (oldPath == newPath)
        return 0;
    std::string from = gw_MetaPath(metaRoot, oldPath), to = gw_MetaPath(metaRoot, newPath);
    std::string toDir = to.substr(0, to.rfind('/'));
    if (toDir.size() > metaRoot.size()) {
        int rc = gw_MetaMkdirs(metaRoot, toDir);
        if (rc != 0)
            return rc;
    }
    // Whatever newPath described is gone from the tree now.
    int rc = gw_MetaRemove(metaRoot, newPath);
    if (rc != 0)
        return rc;
    if (rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT)
        return -errno;
    std::string fromDir = gw_MetaDirOf(metaRoot, oldPath), newDir = gw_MetaDirOf(metaRoot, newPath);
    if (rename(fromDir.c_str(), newDir.c_str()) != 0 && errno != ENOENT)
        return -errno;
    return 0;
}

int gw_MetaRemove(const std::string &metaRoot, const std::string &nsPath)
{
    std::string p = gw_MetaPath(metaRoot, nsPath);
    if (unlink(p.c_str()) != 0 && errno != ENOENT)
        return -errno;
    if (nsPath == "/")
        return 0;
    return gw_MetaRmTree(gw_MetaDirOf(metaRoot, nsPath));
}
