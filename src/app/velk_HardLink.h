#ifndef VELK_HARDLINK_H
#define VELK_HARDLINK_H

// Hard-link members during an extraction.  A hard-link member names an
// earlier member of the archive; it is made as a second name of the file
// that member became, and only when that file was extracted by this run
// below the current directory and is still the same file there.  Nothing
// outside the extraction is ever linked to.  Called from the extract
// callback's thread, one member at a time; no lock.

#include <cstdint>
#include <sys/types.h>
#include <unordered_map>
#include <utility>

// The regular files one extraction made: hash of the local path ->
// (device, inode).  The extraction owns it for its duration.
struct velk_extracted_files_t {
    std::unordered_map<uint64_t, std::pair<uint64_t, uint64_t>> byPath;
};

// What the extraction knows of the member whose header it just handled.
struct velk_hardlink_member_t {
    uint32_t type;        // VELK_OBJECT_TYPE; only files and hard links matter
    const char *path;     // its local path, relative to the current directory
    const char *linkName; // the entry's link name field (100 bytes, NUL or not)
    int fileFd;           // a file just created and still open, else -1
    bool fileMade;        // a regular file was created for the member
    mode_t umask;         // the run's umask, for parents the link needs
};

// A regular file made for the member is remembered in made (by path, device
// and inode) as a possible link target; a hard-link member is made a link to
// its target (nothing with -O; with -v "x <path> link to <target>" is
// printed).  A hard link whose target was not extracted by this run, or is
// no longer the file extracted, is reported and skipped (status 72).
// Returns 1 when a hard link was made, else 0.
int velk_HardLinkMember(velk_extracted_files_t *made, const velk_hardlink_member_t *member);

#endif
