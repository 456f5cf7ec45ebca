// Hard-link members during an extraction.  Every regular file the run
// creates is remembered by a hash of its local path with its device and
// inode; a hard-link member is made only when its target's path was
// remembered and the object now at that path, reached without following a
// symbolic link, is that very file.  So a link never reaches a file that
// this run did not make, nor anything outside the current directory.  The
// callback's thread only; no lock.

#include "velk_HardLink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

#include "kyl_fd.h"
#include "velk_Globals.h"
#include "velk_IndexFormat.h"
#include "velk_LogMsg.h"
#include "velk_Utils.h"

namespace {

uint64_t pathHash(const std::string &path)
{
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (char c : path) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

// Opens the directory holding the last component of path, walking from the
// current directory without following a symbolic link and refusing "..";
// with create the missing directories are made.  *leafOut gets the last
// component.  0, or -1 with errno set.
int openParent(const std::string &path, bool create, mode_t umaskBits, kyl_fd *dirOut, std::string *leafOut)
{
    kyl_fd dir(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    size_t start = 0;
    while (dir.valid()) {
        while (start < path.size() && path[start] == '/')
            ++start;
        size_t end = path.find('/', start);
        std::string comp = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (comp == "..") {
            errno = EPERM;
            return -1;
        }
        if (end == std::string::npos) {
            if (comp.empty() || comp == ".") {
                errno = EINVAL;
                return -1;
            }
            *dirOut = std::move(dir);
            *leafOut = comp;
            return 0;
        }
        start = end + 1;
        if (comp.empty() || comp == ".")
            continue;
        if (create)
            (void)mkdirat(dir.get(), comp.c_str(), (0777 & ~umaskBits) | 0300);
        dir.reset(openat(dir.get(), comp.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return -1;
}

void rememberFile(velk_extracted_files_t *made, const velk_hardlink_member_t *m)
{
    struct stat st;
    if (m->fileFd >= 0) {
        if (fstat(m->fileFd, &st) != 0)
            return;
    } else {
        kyl_fd dir;
        std::string leaf;
        if (openParent(m->path, false, m->umask, &dir, &leaf) != 0 ||
            fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            return;
    }
    made->byPath[pathHash(m->path)] = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

int skipLink(const char *path, const std::string &target, const char *why, int err)
{
    if (why == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d creating hard link %s to %s\n", err, path,
                    target.c_str());
        velk_Explain(VELK_MSG_ERROR, err, path);
    } else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Hard link %s to %s not made: %s\n", path, target.c_str(), why);
    velk_NoteFailure("hard link not made");
    velk_SetExitCode(VELK_EXIT_IOERR);
    return 0;
}

int makeLink(const velk_extracted_files_t *made, const velk_hardlink_member_t *m)
{
    std::string raw(m->linkName, strnlen(m->linkName, HENT_linkname_size));
    if (velk_Opt(VELK_OPT_TO_STDOUT))
        return 0;
    if (velk_Opt(VELK_OPT_VERBOSE)) {
        printf("%s: x %s link to %s\n", velk_msg_prefix[VELK_MSG_VELK], velk_ShownName(m->path).c_str(),
               velk_ShownName(raw.c_str()).c_str());
        fflush(stdout);
    }
    // Archive paths lose their leading '/' on extraction; so do targets.
    std::string target = raw.substr(std::min(raw.find_first_not_of('/'), raw.size()));
    auto found = made->byPath.find(pathHash(target));
    if (found == made->byPath.end())
        return skipLink(m->path, raw, "the target was not extracted by this run", 0);
    kyl_fd targetDir;
    std::string targetLeaf;
    struct stat st;
    if (openParent(target, false, m->umask, &targetDir, &targetLeaf) != 0 ||
        fstatat(targetDir.get(), targetLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_dev) != found->second.first ||
        static_cast<uint64_t>(st.st_ino) != found->second.second)
        return skipLink(m->path, raw, "the target is no longer the file this run extracted", 0);
    kyl_fd linkDir;
    std::string linkLeaf;
    if (openParent(m->path, true, m->umask, &linkDir, &linkLeaf) != 0)
        return skipLink(m->path, raw, nullptr, errno);
    // Whatever held the name before goes (a directory stays and the link
    // then fails); linkat follows a symbolic link at neither end.
    unlinkat(linkDir.get(), linkLeaf.c_str(), 0);
    if (linkat(targetDir.get(), targetLeaf.c_str(), linkDir.get(), linkLeaf.c_str(), 0) != 0)
        return skipLink(m->path, raw, nullptr, errno);
    return 1;
}

} // namespace

int velk_HardLinkMember(velk_extracted_files_t *made, const velk_hardlink_member_t *member)
{
    if (member->type == VTO_FILE && member->fileMade && !velk_Opt(VELK_OPT_TO_STDOUT))
        rememberFile(made, member);
    return member->type == VTO_HARDLINK ? makeLink(made, member) : 0;
}
