#ifndef VELK_MOUNT_H
#define VELK_MOUNT_H

// The mount action (--mount MOUNTPOINT): the archive's members shown as a
// read-only file system built from its index and read in place, served in
// the foreground until the file system is unmounted or a shutdown is
// signalled.  Runs on the initial thread.

#include "velk_Context.h"

// Reads the index once, mounts the tree on run->mountPoint and serves it;
// then unmounts and prints the final line.  0, or -1 when the mount could
// not be made or reads failed while it was served (the status says why).
int velk_Mount(velk_run_t *run);

#endif
