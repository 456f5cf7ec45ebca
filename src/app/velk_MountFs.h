#ifndef VELK_MOUNTFS_H
#define VELK_MOUNTFS_H

// The read-only file system of a mounted archive: the file-system requests
// answered from the tree (velk_MountTree) and the member bytes read through
// the block cache (velk_MountCache), on the one thread that serves the
// mount until it is unmounted or a shutdown is signalled.  Every request
// that would change something fails with EROFS.

#include <cstdint>
#include <vector>

#include "velk_MountCache.h"
#include "velk_MountTree.h"

// What the serving thread works with.  tree and cache are set up by the
// caller; the counts are the mount's failures, for the final line.
struct velk_mount_ctx_t {
    velk_mount_tree_t tree;
    velk_mount_cache_t cache;
    uint64_t archiveBytes = 0;          // the archive's size, for statfs
    long crcMismatches = 0;             // whole reads whose CRC-32 was not the stored one
    long readFailures = 0;              // reads the archive could not serve
    std::vector<unsigned char> readBuf; // the bytes of the read being answered
};

// Mounts ctx's tree read-only on mountPoint (others may use it when
// allowOther; debug adds libfuse's request trace), serves it until it is
// unmounted or velk_shutdown_signalled is raised, then unmounts it.
// fsName names the mount in the mount table.  0 when the mount was served
// and is gone, -1 after the message when it could not be made (status 71).
[[nodiscard]] int velk_MountServe(velk_mount_ctx_t *ctx, const char *mountPoint, const char *fsName, bool allowOther,
                                  bool debug);

#endif
