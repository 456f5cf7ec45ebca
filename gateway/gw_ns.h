#ifndef GW_NS_H
#define GW_NS_H

// The served tree: storage-namespace paths turned into descriptors inside
// the root, and nothing outside it.  A path is first normalised lexically
// against the session's cwd ("." and empty components dropped, ".." taken
// off); a ".." above "/" is refused.  The kernel then resolves it beneath
// the root descriptor (openat2 with RESOLVE_BENEATH), which refuses a ".."
// or a symbolic link (absolute, or relative and climbing) that would leave
// the tree; where openat2 is missing, a component walk with lstat does the
// same.  Every refusal is -EACCES (-13).  No locks; any thread.

#include <cstddef>
#include <string>

// Longest namespace path handled (the wire paths hold 1024 bytes).
constexpr size_t GW_NS_PATH_MAX = 4096;
// Symbolic links followed in one resolution before -ELOOP.
constexpr int GW_NS_MAX_LINKS = 40;

// Joins path to cwd (when path is relative) and normalises the result to
// an absolute namespace path ("/" or "/a/b", no trailing "/").  Returns 0,
// -EACCES when ".." climbs above "/", -ENAMETOOLONG, or -ENOENT for an
// empty path.
[[nodiscard]] int gw_NsNormalize(const char *cwd, const char *path, std::string *out);

// Opens the normalised namespace path nsPath beneath rootFd with
// flags/mode (as openat).  follow=false leaves a final symbolic link
// unresolved (the link itself is opened with O_PATH|O_NOFOLLOW).  Every
// open but an O_PATH one adds O_NONBLOCK and O_NOCTTY, so that a FIFO or a
// device in the tree never blocks: the caller checks the type with fstat
// and clears O_NONBLOCK to do blocking I/O on a regular file.  Returns a
// descriptor the caller owns, or -errno: -EACCES for a way out of the
// tree, -ENOENT, -ENOTDIR, -ELOOP, -ENXIO (a FIFO opened for writing
// that no one reads), ...
[[nodiscard]] int gw_NsOpen(int rootFd, const std::string &nsPath, int flags, unsigned mode, bool follow);

// Opens the directory that holds the last component of nsPath (O_PATH,
// resolved as gw_NsOpen) and sets *leaf to that component.  Returns the
// descriptor, or -errno; "/" itself has no parent (-EBUSY).
[[nodiscard]] int gw_NsOpenParent(int rootFd, const std::string &nsPath, std::string *leaf);

// The walk gw_NsOpen falls back on when the kernel lacks openat2; exposed
// so that tests exercise it on any kernel.  Same contract as gw_NsOpen.
[[nodiscard]] int gw_NsOpenWalk(int rootFd, const std::string &nsPath, int flags, unsigned mode, bool follow);

#endif
