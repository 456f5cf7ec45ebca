#ifndef VELK_REMOVELOCAL_H
#define VELK_REMOVELOCAL_H

// The removal of archived local files after a create (-H rmlocal).

// After a create with -H rmlocal: reads the index from the base ordinal and
// unlinks the local file of every regular-file and symbolic-link member whose
// transfer succeeded.  Phantom, deleted and "/dev/null" entries are never
// touched; neither is anything that is now a directory.  With the verify
// option paranoid a file is also kept when its kind changed, or (regular
// files) its modification time is later than recorded, or its size or status
// change time differ from the entry.  Unlink failures are only logged.
// Returns 0 (also when an index read ends the walk early), or -1 with a
// message when the index cannot be positioned.  Initial thread, after every
// reader thread has ended.
[[nodiscard]] int velk_RemoveMemberFiles(int indexFd, int indexKind);

#endif
