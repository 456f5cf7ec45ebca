#ifndef VELK_INDEXACCESS_H
#define VELK_INDEXACCESS_H

// Opening the index file of an archive of any kind (VELK_FILETYPE): a
// storage-system or gateway-host index is found, and its size learnt,
// through the client library by its kind unit (velk_ArchiveKind.h); a
// local one is opened and validated by the index file unit.  The
// placement of a create's index is defined by the kind units.  Called by the initial thread; no locks of its own (the
// client library serialises its connections).  Results follow the
// archiver's family: a descriptor, or -1 after logging.

#include <cstddef>

#include "velk_Context.h"

// Opens the index file at path with openFlags.  A local index (any kind but
// VELK_QUOR_FILE and VELK_REMOTE_FILE) is opened and checked as
// velk_OpenLocalIndexFile does, loading velk_index_hdr and
// velk_index_entries.  A storage-system index is copied whole, by
// sequential reads, into index's temporary local index (removed at exit), which
// is then opened as above: the caller reads it as a local index.  A
// gateway-host index is received whole the same way, through the gateway's
// local-file transfer, with the run's transfer settings xs.  Returns the
// descriptor (the caller closes it), or -1 with a message and exit status
// 72.
[[nodiscard]] int velk_OpenIndexFile(const velk_xfer_settings_t *xs, velk_index_t *index, const char *path,
                                     int openFlags, int kind);

// 1 when the index file path of kind exists (its storage-system attributes
// can be read, or a local stat succeeds), else 0.
[[nodiscard]] int velk_IndexFileDoesExist(const char *path, int kind);

// Places the finished temporary index of a create in the storage system:
// every entry goes through velk_AdjustIndexEntry into a new file beside
// the index (class-of-service hints sized by the temporary index, index's
// class of service and family applied, the class it got recorded there),
// which is renamed over velk_index_filename once complete.  A piped archive has no index (0).
// beforeRename, when given, runs once the new file is complete and just
// before the rename (a create puts its archive in place there, so that the
// archive and its index change names together); its failure fails the
// copy.  Returns 0, or -1 with a message, the copy-failure hint and exit
// status 72; the old index is then untouched and the new file removed.
[[nodiscard]] int velk_CopyIndexToQuor(const velk_xfer_settings_t *xs, velk_index_t *index,
                                       int (*beforeRename)() = nullptr);

// Places the finished temporary index of a create (or build index) on the
// gateway host: its entries are adjusted in place first
// (velk_CopyAndAdjustLocalIndex), then it is sent under the temporary name
// beside velk_index_filename and renamed over it once complete, after
// beforeRename (as for velk_CopyIndexToQuor).  A piped archive has no index
// (0).  On success the temporary index is rewound.  Returns 0, or -1 with
// a message, the copy-failure hint and exit status 72; the old index is
// then untouched and the new file removed.
[[nodiscard]] int velk_CopyIndexToRemote(const velk_xfer_settings_t *xs, velk_index_t *index,
                                         int (*beforeRename)() = nullptr);
// The sending half of velk_CopyIndexToRemote: the temporary index as it
// stands (index->tmpFd, open), for an index whose entries were changed
// by a soft delete or undelete rather than made by a create.
[[nodiscard]] int velk_SendIndexToRemote(const velk_xfer_settings_t *xs, velk_index_t *index,
                                         int (*beforeRename)() = nullptr);

// The end of placing a new index written under tmp (rc: its result so
// far), for the kind units' index placement: a requested stop fails it,
// then beforeRename runs and the file is renamed over final by the
// gateway (velk_GatewayRename: a lost reply is settled in a new session).
// Every failure sets status 72.  tmp is kept and named, with the -I value
// that reads the archive with it, when the archive took its name through
// beforeRename but the index did not, and whenever a lost reply leaves
// unknown which name holds what.  Otherwise a failure removes tmp with
// removeTmp and, unless the step before the rename failed (nothing was put
// in place, so the old archive and index still belong together), gives the
// copy-failure hint.  0 or -1.
[[nodiscard]] int velk_PlaceIndexFile(int rc, const char *tmp, const char *final, int (*beforeRename)(),
                                      int (*removeTmp)(const char *));

// The -I value that names the index file path as it stands into out (size
// bytes): path itself when it holds a "/", else "./" and path.
void velk_IndexOptionName(const char *path, char *out, size_t size);

// Flushes the directory that holds the local index path, so that a rename
// in it lasts (a failure is only warned about).
void velk_SyncIndexDirectory(const char *path);

#endif
