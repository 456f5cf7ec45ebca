#ifndef KYLGW_ATTRS_H
#define KYLGW_ATTRS_H

// The object types and permission bits of an attribute record
// (quor_Attrs_t) and the one pair of conversions between a record and a
// POSIX mode.  Shared by the client library, the archiver and kylgwd, so
// that each code is written down once.  Pure functions: no locks, no
// results to check.

#include <cstdint>
#include <sys/types.h>

#include "kylgw_xdr_fs.h"

// Object types (quor_Attrs_t.Type).
constexpr uint32_t QUOR_OBJTYPE_FILE = 129;            // a plain file
constexpr uint32_t QUOR_OBJTYPE_SYMLINK = 130;         // a symbolic link
constexpr uint32_t QUOR_OBJTYPE_HARDLINKED_FILE = 131; // a file with more than one name
constexpr uint32_t QUOR_OBJTYPE_DIRECTORY = 132;       // a directory

// Bits of UserPerms, GroupPerms and OtherPerms.
constexpr uint32_t QUOR_PERM_READ = 0x20;
constexpr uint32_t QUOR_PERM_WRITE = 0x40;
constexpr uint32_t QUOR_PERM_EXEC = 0x80;
// Bits of ModePerms.
constexpr uint32_t QUOR_MODEPERM_SETUID = 0x20;
constexpr uint32_t QUOR_MODEPERM_SETGID = 0x40;
constexpr uint32_t QUOR_MODEPERM_STICKY = 0x80;

// The POSIX mode of an attribute record: the file type from Type (FILE and
// HARDLINKED_FILE a regular file, SYMLINK a symbolic link, DIRECTORY a
// directory, any other type none), the permission bits from UserPerms,
// GroupPerms and OtherPerms, set-user-ID, set-group-ID and sticky from
// ModePerms.  0 for a null record.
mode_t kylgw_AttrsToMode(const quor_Attrs_t *attrs);

// Sets Type (DIRECTORY for a directory, SYMLINK for a symbolic link, FILE
// for anything else) and UserPerms, GroupPerms, OtherPerms and ModePerms of
// *attrs from mode; the other fields are left as they are.
void kylgw_ModeToAttrs(mode_t mode, quor_Attrs_t *attrs);

#endif
