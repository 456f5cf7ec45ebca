#ifndef VELK_BUILDINDEX_H
#define VELK_BUILDINDEX_H

// The build-index action (-X; velk_BuildIndex itself is declared with the
// other actions in velk_Actions.h): reads an archive header by header from
// its start, seeking over member data, makes one index entry per member and
// puts the new index in place of the old one only once it is complete.
// Initial thread only; no locks of its own.

// 1 when an index file exists at path: for a storage-system index
// (kind VELK_QUOR_FILE) when the gateway returns its attributes, for every
// other kind when a local stat finds it.  Else 0.
int velk_IndexFileDoesExist(const char *path, int kind);

#endif
