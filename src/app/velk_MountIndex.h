#ifndef VELK_MOUNTINDEX_H
#define VELK_MOUNTINDEX_H

// Reading a mounted archive's index into its tree, once, at mount.  The
// header is checked as every reader checks it and the archive must have
// the size the index recorded, so that a stale index is never served; then
// every entry, checked for its sanity string and its place in archive
// order, is added to the tree.  A local index (and a gateway host's, which
// is received whole into a local copy first) is read in large sequential
// reads; a storage-system index is streamed through the movers straight
// into the tree, with no local copy.  Initial thread: while the movers
// stream, it waits and the reader's own thread adds the entries, one
// buffer at a time.

#include <cstdint>

#include "velk_Context.h"
#include "velk_MountTree.h"

// Builds tree from the index of the current archive (velk_index_filename,
// of kind velk_filetype, read with the run's transfer settings xs and
// index) and sets *archiveBytes to the archive's size.  0, or -1 after the
// message with the exit status set (72, or 78 when memory runs out).
[[nodiscard]] int velk_MountLoadTree(const velk_xfer_settings_t *xs, velk_index_t *index, velk_mount_tree_t *tree,
                                     uint64_t *archiveBytes);

#endif
