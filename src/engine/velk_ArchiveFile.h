#ifndef VELK_ARCHIVEFILE_H
#define VELK_ARCHIVEFILE_H

// The archive file itself: creating it for every archive kind (with the
// class-of-service hints of a storage-system archive), opening an existing
// one, and fetching its attributes and storage layout.  Called by the
// initial thread before any transfer thread starts; every failure logs its
// message and sets exit status 72 when none is set.

#include <cstdint>
#include <sys/stat.h>

#include "quor_api.h"

// Size the archive will have once written (computed by create before the
// archive file is made; the size hints of a storage-system archive).
extern uint64_t velk_archive_filesize;

// Seconds between two opens of a busy archive or index.
constexpr unsigned VELK_BUSY_RETRY_SECONDS = 10;
// Sleep used between busy retries; only tests replace it.
extern void (*velk_busy_sleep_fn)(unsigned seconds);

// The open flag that asks the storage system not to stage the file first.
constexpr int VELK_OPEN_NOSTAGE = 0x800;

// Creates the archive named by velk_archive for velk_filetype and sets
// velk_archive_fd: standard output for a pipe; with -P the missing parent
// directories first; a local file (mode 0666 less the umask); a
// storage-system file with class-of-service hints (explicit, automatic by
// size, or 11), the class actually used recorded in velk_archive_cosID,
// the family set, and the storage layout derived; or a gateway-host file.
// An existing file of that name is replaced.  Returns 0 or -1.
[[nodiscard]] int velk_CreateArchiveFile();

// Opens the existing archive with openFlags and returns its descriptor, or
// a negative code after the message.  For a storage-system archive xattr
// receives the extended attributes (the caller releases them with
// quor_FreeXAttributes); for a local or gateway-host archive statBuf
// receives its status.  A busy storage system is waited for in 10-second
// steps until it answers otherwise or a shutdown is signalled.
[[nodiscard]] int velk_OpenArchiveFile(int openFlags, quor_xfileattr_t *xattr, struct stat *statBuf);

// The archive's extended attributes (storage system) or status (local and
// gateway host) for an archive of kind; a pipe has none and succeeds.
// Return 0 or -1.
[[nodiscard]] int velk_GetArchiveXAttrs(int kind, quor_xfileattr_t *xattr, struct stat *statBuf);

// Derives the storage layout globals from the extended attributes' levels
// (see velk_GetArchiveStripeInfo in velk_TarHeader.h).  Returns 0 or -1.
[[nodiscard]] int velk_GetArchiveStripeInfo(int useDataLevel, const quor_xfileattr_t *xattr);

#endif
