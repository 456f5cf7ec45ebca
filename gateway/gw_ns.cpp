// Path resolution inside the served tree (see gw_ns.h).  The kernel does
// the confinement when it can (openat2 with RESOLVE_BENEATH, which reports
// an escape as EXDEV); otherwise the walk below resolves one component at a
// time with O_NOFOLLOW, reads every symbolic link itself and keeps the
// depth below the root, so no step ever leaves it.  Opens never block (see
// gw_NsOpenFlags).  No locks.

#include "gw_ns.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include <kyl_fd.h>

namespace {

// Splits a path into its non-empty components.
std::vector<std::string> gw_NsSplit(const std::string &p)
{
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos)
            j = p.size();
        if (j > i)
            parts.push_back(p.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

// The relative form of a normalised namespace path ("." for the root).
std::string gw_NsRelative(const std::string &nsPath)
{
    size_t i = 0;
    while (i < nsPath.size() && nsPath[i] == '/')
        i++;
    return i == nsPath.size() ? std::string(".") : nsPath.substr(i);
}

// Every open that is not O_PATH gets O_NONBLOCK and O_NOCTTY: a FIFO or a
// device node in the tree must neither block the serving thread in open()
// nor become the daemon's terminal.  Callers check the type with fstat.
int gw_NsOpenFlags(int flags)
{
    return (flags & O_PATH) != 0 ? flags : flags | O_NONBLOCK | O_NOCTTY;
}

} // namespace

int gw_NsNormalize(const char *cwd, const char *path, std::string *out)
{
    if (path == nullptr || path[0] == '\0')
        return -ENOENT;
    std::string joined;
    if (path[0] == '/')
        joined = path;
    else
        joined = std::string(cwd != nullptr ? cwd : "/") + "/" + path;
    if (joined.size() > GW_NS_PATH_MAX)
        return -ENAMETOOLONG;
    std::vector<std::string> kept;
    for (const std::string &c : gw_NsSplit(joined)) {
        if (c == ".")
            continue;
        if (c == "..") {
            if (kept.empty())
                return -EACCES;
            kept.pop_back();
            continue;
        }
        kept.push_back(c);
    }
    std::string r;
    for (const std::string &c : kept)
        r += "/" + c;
    *out = r.empty() ? std::string("/") : r;
    return 0;
}

int gw_NsOpenWalk(int rootFd, const std::string &nsPath, int flags, unsigned mode, bool follow)
{
    flags = gw_NsOpenFlags(flags);
    // Pending components, last one at the back; a symbolic link's target
    // is pushed in place of the link.
    std::vector<std::string> todo = gw_NsSplit(nsPath);
    std::vector<std::string> pending(todo.rbegin(), todo.rend());
    // Descriptors of the directories walked, the root first: ".." pops one,
    // and popping the root is a way out.
    std::vector<int> stack;
    kyl_fd rootCopy(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!rootCopy.valid())
        return -errno;
    stack.push_back(rootCopy.release());
    auto closeAll = [&stack] {
        for (int f : stack)
            close(f);
        stack.clear();
    };
    int links = 0;
    while (!pending.empty()) {
        std::string name = pending.back();
        pending.pop_back();
        if (name == ".")
            continue;
        if (name == "..") {
            if (stack.size() == 1) {
                closeAll();
                return -EACCES;
            }
            close(stack.back());
            stack.pop_back();
            continue;
        }
        const bool last = pending.empty();
        struct stat st {};
        if (fstatat(stack.back(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int e = errno;
            if (e == ENOENT && last && (flags & O_CREAT) != 0) {
                pending.push_back(name); // created below
                break;
            }
            closeAll();
            return -e;
        }
        if (S_ISLNK(st.st_mode) && (!last || follow)) {
            if (++links > GW_NS_MAX_LINKS) {
                closeAll();
                return -ELOOP;
            }
            char target[PATH_MAX];
            ssize_t n = readlinkat(stack.back(), name.c_str(), target, sizeof target - 1);
            if (n < 0) {
                int e = errno;
                closeAll();
                return -e;
            }
            target[n] = '\0';
            if (target[0] == '/') {
                closeAll();
                return -EACCES;
            }
            std::vector<std::string> tparts = gw_NsSplit(target);
            for (auto it = tparts.rbegin(); it != tparts.rend(); ++it)
                pending.push_back(*it);
            continue;
        }
        if (last) {
            pending.push_back(name);
            break;
        }
        if (!S_ISDIR(st.st_mode)) {
            closeAll();
            return -ENOTDIR;
        }
        int d = openat(stack.back(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (d < 0) {
            int e = errno;
            closeAll();
            return -e;
        }
        stack.push_back(d);
    }
    int fd;
    if (pending.empty() && todo.empty()) {
        fd = openat(stack.back(), ".", flags | O_CLOEXEC, mode);
    } else if (pending.empty()) {
        // The walk ended on a directory reached through ".." or a link.
        fd = openat(stack.back(), ".", flags | O_CLOEXEC, mode);
    } else {
        int f = flags | O_CLOEXEC | O_NOFOLLOW;
        if (!follow && (flags & O_CREAT) == 0)
            f = O_PATH | O_NOFOLLOW | O_CLOEXEC;
        fd = openat(stack.back(), pending.back().c_str(), f, mode);
        if (fd < 0 && errno == ELOOP && follow)
            errno = EACCES; // a link that appeared between the checks
    }
    int e = errno;
    closeAll();
    return fd >= 0 ? fd : -e;
}

int gw_NsOpen(int rootFd, const std::string &nsPath, int flags, unsigned mode, bool follow)
{
    std::string rel = gw_NsRelative(nsPath);
    struct open_how how {};
    how.flags = static_cast<uint64_t>(gw_NsOpenFlags(flags) | O_CLOEXEC);
    if (!follow && (flags & O_CREAT) == 0)
        how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    else if (!follow)
        how.flags |= O_NOFOLLOW;
    if ((flags & O_CREAT) != 0)
        how.mode = mode & 07777;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, rootFd, rel.c_str(), &how, sizeof how);
    if (fd >= 0)
        return static_cast<int>(fd);
    int e = errno;
    if (e == ENOSYS)
        return gw_NsOpenWalk(rootFd, nsPath, flags, mode, follow);
    if (e == EXDEV)
        return -EACCES;
    return -e;
}

int gw_NsOpenParent(int rootFd, const std::string &nsPath, std::string *leaf)
{
    size_t slash = nsPath.rfind('/');
    if (nsPath == "/" || slash == std::string::npos)
        return -EBUSY;
    *leaf = nsPath.substr(slash + 1);
    std::string parent = slash == 0 ? std::string("/") : nsPath.substr(0, slash);
    return gw_NsOpen(rootFd, parent, O_PATH | O_DIRECTORY, 0, true);
}
