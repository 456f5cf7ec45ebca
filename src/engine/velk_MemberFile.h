#ifndef VELK_MEMBERFILE_H
#define VELK_MEMBERFILE_H

// Member files of an archive write, opened and vouched for.  A member file is
// reached without following symbolic links below the directory its operand
// was given in, must be the very file its member table record was made from,
// and must not change while its data go out; a file archived whole is
// recorded for -H rmlocal, which walks to it the same way.  Any thread; the
// member status calls take velk_TableLock.

#include <cstdint>
#include <sys/stat.h>

#include "velk_FileSpec.h"
#include "velk_IndexFormat.h"

// The path no longer names the file that was listed (velk_OpenMemberFile).
constexpr int VELK_MEMBER_CHANGED = -4096;
// A symbolic link stood where a directory was walked (velk_OpenMemberParent).
constexpr int VELK_MEMBER_LINK = -4097;

// Opens the directory that holds path's last component, resolving the first
// dirLen characters of path as given (symbolic links followed) and every
// later component with O_NOFOLLOW: each must be a real directory.  *leaf
// points at the last component inside path.  Returns the directory
// descriptor (O_PATH; the caller closes it), VELK_MEMBER_LINK when a
// component is a symbolic link, or -errno (-ENOENT: a component is gone).
[[nodiscard]] int velk_OpenMemberParent(const char *path, uint32_t dirLen, const char **leaf);

// Opens the regular-file member at path for reading (non-blocking) and
// fills *opened with its status.  record is the member's record
// (velk_FindMemberRecord) or null.  Without -h the walk follows no link
// below the record's operand directory (without a record, below path's own
// directory) and the file itself must not be a link; with -h links are
// followed as when the table was made.  With a record the file must be the
// listed one: a regular file with the recorded device and inode.  Returns
// the descriptor (the caller closes it), -errno when it cannot be opened
// (the caller reports it missing), or VELK_MEMBER_CHANGED when the path now
// names something else, after the warning "<path>: changed during
// archiving", the failure counted and exit status 72.
[[nodiscard]] int velk_OpenMemberFile(const velk_FileSpec_t *record, const char *path, struct stat *opened);

// The directory the last member was opened in, kept open by the thread that
// copies members: members of one directory follow each other in an
// archive, so the walk to their directory is made once for all of them.
// The descriptor stays on the directory the walk reached (a real directory,
// no link followed), whatever later happens to the names above it; every
// file opened in it is still checked against its record.  Owned by one
// thread; zero-initialise with velk_MemberDirInit, release with
// velk_MemberDirClose.
struct velk_member_dir_t {
    int fd;          // the directory (O_PATH), or -1
    uint32_t walked; // characters of dir resolved as given (links followed)
    size_t len;      // characters in dir
    char dir[VELK_PATH_BUFSIZE];
};

void velk_MemberDirInit(velk_member_dir_t *d);
void velk_MemberDirClose(velk_member_dir_t *d);

// velk_OpenMemberFile, with the walk to the file's directory taken from d
// when the previous member lay in the same directory (and recorded in d
// for the next one).  d null: as velk_OpenMemberFile.
[[nodiscard]] int velk_OpenMemberFileIn(velk_member_dir_t *d, const velk_FileSpec_t *record, const char *path,
                                        struct stat *opened);

// After the data of a member opened with velk_OpenMemberFile went out, fd
// still open.  The member failed when its size at opening differed from
// indexedSize (the caller's size message named it) or when its size,
// modification or change time now differ from *opened (warning "<path>:
// changed during archiving"): the failure is counted, exit status 72 set,
// and -1 returned.  Otherwise 0; with dataGood (the archive holds exactly
// the file's bytes) the file's identity is recorded for -H rmlocal.
int velk_MemberFileCopied(int64_t ordinal, const velk_FileSpec_t *record, const char *path, int fd,
                          const struct stat *opened, uint64_t indexedSize, bool dataGood);

// A symbolic-link member whose header went out: records the identity of the
// link as listed for -H rmlocal (nothing without a record).
void velk_MemberLinkCopied(int64_t ordinal, const velk_FileSpec_t *record);

// Whether the first length bytes of the open regular file fd are all in
// the page cache, so that reading them will not wait for a disk.  A system
// that cannot tell says no.
bool velk_MemberDataResident(int fd, uint64_t length);

#endif
