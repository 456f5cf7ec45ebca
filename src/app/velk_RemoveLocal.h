#ifndef VELK_REMOVELOCAL_H
#define VELK_REMOVELOCAL_H

// The removal of archived local files after a create (-H rmlocal).

#include "velk_Context.h"

// After a create with -H rmlocal: reads the index from the base ordinal and
// unlinks the local file of every regular-file and symbolic-link member that
// was archived whole, when the object, reached without following symbolic
// links below the directory its operand was given in, still has the device,
// inode, size and times recorded when it was archived (run gives the verify
// option).  Phantom, deleted and
// "/dev/null" entries and failed members are never touched; directories are
// never removed.  With the verify option paranoid a file is also kept when
// it was modified after it was listed, or its size or status change time
// differ from the entry.  Every file kept for a change is named once,
// counted ("kept by rmlocal") and sets exit status 72; unlink failures are
// only logged.  Returns 0 (also when an index read ends the walk early), or
// -1 with a message when the index cannot be positioned.  Initial thread,
// after every reader thread has ended.
[[nodiscard]] int velk_RemoveMemberFiles(velk_run_t *run, int indexFd, int indexKind);

#endif
