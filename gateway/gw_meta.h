#ifndef GW_META_H
#define GW_META_H

// Metadata sidecars: one small text file of "Key=Value" lines per object of
// the served tree, kept under the --meta directory in a tree that mirrors
// the served one.  The sidecar of "/a/b" is META/a/b#meta; the sidecars of
// the objects inside directory "/a/b" live in META/a/b/.  Sidecars are
// written whole to a temporary name and renamed into place, so a reader
// sees an old or a new record, never half of one.  The caller serialises
// operations on the same path (kylgwd does them on the session's threads in
// request order for the operations that change the tree).  No locks.

#include <cstdint>
#include <string>

// Suffix of a sidecar file name.
constexpr const char *GW_META_SUFFIX = "#meta";
// Longest sidecar read.
constexpr size_t GW_META_MAX_BYTES = 4096;

struct gw_meta_t {
    uint32_t COSId = 0;
    uint32_t FamilyId = 0;
    uint32_t SubSystemId = 0;
    uint32_t Account = 0;
    uint32_t UID = 0;
    uint32_t GID = 0;
    uint32_t TimeCreated = 0; // seconds; stable, unlike ctime
    uint64_t Expiration = 0;  // seconds since the epoch, 0 = none
    uint64_t ObjId = 0;       // inode of the object
};

// The sidecar path of the normalised namespace path nsPath under metaRoot.
std::string gw_MetaPath(const std::string &metaRoot, const std::string &nsPath);

// Reads the sidecar of nsPath.  Returns 0 with *out filled, -ENOENT when
// there is none, -EINVAL when it cannot be parsed, or another -errno.
[[nodiscard]] int gw_MetaRead(const std::string &metaRoot, const std::string &nsPath, gw_meta_t *out);

// Writes the sidecar of nsPath, creating the mirror directories it needs.
// Returns 0 or -errno.
[[nodiscard]] int gw_MetaWrite(const std::string &metaRoot, const std::string &nsPath, const gw_meta_t &m);

// Moves the sidecar of oldPath (and, for a directory, the sidecars of
// everything inside it) to newPath, replacing what newPath had.  A missing
// sidecar is not an error.  Returns 0 or -errno.
[[nodiscard]] int gw_MetaRename(const std::string &metaRoot, const std::string &oldPath, const std::string &newPath);

// Removes the sidecar of nsPath and the (empty or not) mirror directory of
// its contents.  A missing sidecar is not an error.  Returns 0 or -errno.
[[nodiscard]] int gw_MetaRemove(const std::string &metaRoot, const std::string &nsPath);

// Parses sidecar text.  Returns 0, or -EINVAL naming nothing (unknown keys
// and bad numbers are errors).
[[nodiscard]] int gw_MetaParse(const std::string &text, gw_meta_t *out);
// The sidecar text of m.
std::string gw_MetaFormat(const gw_meta_t &m);

#endif
