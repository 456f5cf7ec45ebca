// Conversions between an attribute record's type and permission fields and
// a POSIX mode (see kylgw_attrs.h).  Pure functions, callable from any
// thread.

#include "kylgw_attrs.h"

#include <sys/stat.h>

namespace {

// One class's read, write and execute mode bits, in that order.
struct PermClass {
    uint32_t quor_Attrs_t::*field;
    mode_t read, write, exec;
};

const PermClass kClasses[] = {
    {&quor_Attrs_t::UserPerms, S_IRUSR, S_IWUSR, S_IXUSR},
    {&quor_Attrs_t::GroupPerms, S_IRGRP, S_IWGRP, S_IXGRP},
    {&quor_Attrs_t::OtherPerms, S_IROTH, S_IWOTH, S_IXOTH},
};

} // namespace

mode_t kylgw_AttrsToMode(const quor_Attrs_t *attrs)
{
    if (attrs == nullptr)
        return 0;
    mode_t mode = 0;
    switch (attrs->Type) {
    case QUOR_OBJTYPE_FILE:
    case QUOR_OBJTYPE_HARDLINKED_FILE: mode |= S_IFREG; break;
    case QUOR_OBJTYPE_SYMLINK: mode |= S_IFLNK; break;
    case QUOR_OBJTYPE_DIRECTORY: mode |= S_IFDIR; break;
    default: break;
    }
    if (attrs->ModePerms & QUOR_MODEPERM_SETUID)
        mode |= S_ISUID;
    if (attrs->ModePerms & QUOR_MODEPERM_SETGID)
        mode |= S_ISGID;
    if (attrs->ModePerms & QUOR_MODEPERM_STICKY)
        mode |= S_ISVTX;
    for (const PermClass &c : kClasses) {
        uint32_t perms = attrs->*c.field;
        if (perms & QUOR_PERM_READ)
            mode |= c.read;
        if (perms & QUOR_PERM_WRITE)
            mode |= c.write;
        if (perms & QUOR_PERM_EXEC)
            mode |= c.exec;
    }
    return mode;
}

void kylgw_ModeToAttrs(mode_t mode, quor_Attrs_t *attrs)
{
    attrs->Type = S_ISDIR(mode) ? QUOR_OBJTYPE_DIRECTORY : S_ISLNK(mode) ? QUOR_OBJTYPE_SYMLINK : QUOR_OBJTYPE_FILE;
    for (const PermClass &c : kClasses)
        attrs->*c.field = ((mode & c.read) ? QUOR_PERM_READ : 0) | ((mode & c.write) ? QUOR_PERM_WRITE : 0) |
                          ((mode & c.exec) ? QUOR_PERM_EXEC : 0);
    attrs->ModePerms = ((mode & S_ISUID) ? QUOR_MODEPERM_SETUID : 0) | ((mode & S_ISGID) ? QUOR_MODEPERM_SETGID : 0) |
                       ((mode & S_ISVTX) ? QUOR_MODEPERM_STICKY : 0);
}
