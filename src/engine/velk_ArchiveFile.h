#ifndef VELK_ARCHIVEFILE_H
#define VELK_ARCHIVEFILE_H

// The archive file itself: creating it for every archive kind (with the
// class-of-service hints of a storage-system archive), opening an existing
// one, and fetching its attributes and storage layout.  Called by the
// initial thread before any transfer thread starts; every failure logs its
// message and sets exit status 72 when none is set.

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

#include "quor_api.h"
#include "velk_Context.h"
#include "velk_TarHeader.h"

// Seconds between two opens of a busy archive or index.
constexpr unsigned VELK_BUSY_RETRY_SECONDS = 10;

// The open flag that asks the storage system not to stage the file first.
constexpr int VELK_OPEN_NOSTAGE = 0x800;

// A create writes its archive under a temporary name in the archive's own
// directory, ".<name>.velk-<pid>.tmp" (<name> cut so that the whole last
// component stays within 255 bytes), and velk_CommitArchiveFile renames it
// over the archive only once the archive is complete.  So a create that
// fails, runs out of space or is stopped leaves the archive that was there
// byte for byte as it was.  velk_archive_tmpname is that temporary name
// while such a write is pending, else null (a pipe, or a local archive
// name that exists as something other than a regular file or directory,
// such as a device, which is written in place).  Initial thread only.
extern char *velk_archive_tmpname;

// Writes the temporary name of the archive path archive into out (size
// bytes).  Returns 0, or -1 when it does not fit.
[[nodiscard]] int velk_ArchiveTmpName(const char *archive, char *out, size_t size);

// Creates the archive of a create for velk_filetype and sets
// velk_archive_fd: standard output for a pipe; with -P the missing parent
// directories of velk_archive first; then, under its temporary name, a
// local file (mode 0666 less the umask), a storage-system file with
// class-of-service hints (explicit, automatic by size, or 11), the class
// actually used recorded in velk_archive_cosID, archive's family set, and the
// storage layout derived, or a gateway-host file.  A local archive name
// that is a symbolic link to a file is replaced through the link; a
// directory, or a file this user may not write, is refused as the old
// direct creation refused it.  Nothing that exists is changed.  Returns 0
// or -1 (message, status 72).
[[nodiscard]] int velk_CreateArchiveFile(const velk_xfer_settings_t *xs, const velk_archive_t *archive);

// Puts the complete archive in place: a local one is flushed to the disk
// (fsync), renamed over the archive name and its directory flushed; a
// storage-system or gateway-host one is renamed by the gateway.  Call it
// after the archive descriptor was closed.  Does nothing when no temporary
// name is pending.  Returns 0, or -1 (message, status 72; the temporary
// file is left for velk_DiscardArchiveFile), or VELK_RENAME_UNKNOWN
// (velk_GatewayRename.h) when the gateway connection was lost with the
// rename and it cannot be told whether it was done: the message names both
// files, status 72, and the temporary name is forgotten, not removed.
[[nodiscard]] int velk_CommitArchiveFile();

// Removes the pending temporary archive, if any (a failed or stopped
// create), by kind; the archive name itself is never touched.
void velk_DiscardArchiveFile();

// Opens the existing archive with openFlags and returns its descriptor, or
// a negative code after the message.  For a storage-system archive xattr
// receives the extended attributes (the caller releases them with
// quor_FreeXAttributes); for a local or gateway-host archive statBuf
// receives its status.  A busy storage system is waited for in 10-second
// steps until it answers otherwise or a shutdown is signalled.
[[nodiscard]] int velk_OpenArchiveFile(int openFlags, quor_xfileattr_t *xattr, struct stat *statBuf);

// Opens the existing archive read-only for positioned reads; a
// storage-system archive's layout (stripe width) is read as well.  The
// descriptor, or -1 after the message.
[[nodiscard]] int velk_OpenArchiveForReading();

// The archive's extended attributes (storage system) or status (local and
// gateway host) for an archive of kind; a pipe has none and succeeds.
// Return 0 or -1.
[[nodiscard]] int velk_GetArchiveXAttrs(int kind, quor_xfileattr_t *xattr, struct stat *statBuf);

// Derives the storage layout globals from the extended attributes' levels
// (see velk_GetArchiveStripeInfo in velk_TarHeader.h).  Returns 0 or -1.
[[nodiscard]] int velk_GetArchiveStripeInfo(int useDataLevel, const quor_xfileattr_t *xattr);

// The current archive's size into *size and, for a storage-system archive,
// its storage layout (velk_GetArchiveStripeInfo; -H nostage reads the
// data level).  0, or -1 after the message.
[[nodiscard]] int velk_GetArchiveSizeAndLayout(uint64_t *size);

// Helpers the kind units (velk_ArchiveKind.h) share while creating and
// opening an archive.  velk_SetPendingArchive makes target (velk_archive,
// or the file a symbolic link of that name points to) the name the new
// archive will be renamed to and records its temporary name: 0, or -1
// after the message.  velk_ForgetPendingArchive drops both names.
// velk_ArchiveStatFailure reports that the status of the archive could not
// be read (err an errno value, where "local" or "remote") and sets status
// 72.  velk_CheckRegularArchive refuses (-1, message naming label, status
// 72) an archive that is not a regular file, else 0.
[[nodiscard]] int velk_SetPendingArchive(const char *target);
void velk_ForgetPendingArchive();
void velk_ArchiveStatFailure(int err, const char *where);
[[nodiscard]] int velk_CheckRegularArchive(const struct stat *statBuf, const char *label);

// Sequential reads of the archive, for readers that parse it header by
// header.  Initial thread only.

// Reads length bytes of the current archive (kind velk_filetype) from fd.
// Returns the count read (fewer only at end of file), or -1 after logging
// "Error ..." with exit status 72.  EINTR retries; EAGAIN waits with poll
// until the descriptor is readable; EIO retries until the sixth failure in a
// row; every turn first checks velk_shutdown_signalled and fails when it is
// raised.  A storage-system archive is read through the gateway's movers
// (quor_Read); a gateway-host archive cannot be read by this build and
// fails.
[[nodiscard]] int64_t velk_ReadArchive(int fd, size_t length, void *buffer);

// Reads and drops the next length bytes of the current archive from fd,
// as a piped archive is passed over where it cannot be positioned; with
// VELK_SKIP_TO_END it reads to the end.  *dropped gets the bytes read,
// fewer than length only at the end of the archive.  Returns 0, or -1
// after velk_ReadArchive's message (read error, shutdown).
constexpr uint64_t VELK_SKIP_TO_END = UINT64_MAX;
[[nodiscard]] int velk_SkipArchiveBytes(int fd, uint64_t length, uint64_t *dropped);

// Reads one whole 512-byte block with velk_ReadArchive.  0, or -1 with
// exit status 72 when the read fails, yields nothing, or ends after 1 to 511
// bytes.
[[nodiscard]] int velk_ReadArchiveBlock(int fd, unsigned char *block);

// Reads one 512-byte block with velk_ReadArchive and passes it to
// velk_GetTarHeader; returns what that returns.  A read that fails, yields
// nothing, or ends after 1 to 511 bytes returns -1 with exit status 72.
[[nodiscard]] int velk_ReadHdrBlock(int fd, posix_header_t *header);

#endif
