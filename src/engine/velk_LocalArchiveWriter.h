#ifndef VELK_LOCALARCHIVEWRITER_H
#define VELK_LOCALARCHIVEWRITER_H

// The local archive writer of a create: one thread (the initial one) reads
// the temporary index in order and writes every member's header, data and
// padding to velk_archive_fd, records each member's outcome and CRC, and
// ends the archive with one zero block.  No locks of its own; the member
// status calls take velk_TableLock.

#include <cstdint>

#include "velk_Context.h"
#include "velk_IndexFormat.h"

// Results of writing one member besides 0 (member written whole) and -1 (member
// written with the right length but its data are not good: the file changed
// size, could not be read, or its status could not be read).
constexpr int VELK_LCOPY_MEMBER_FAILED = -1;
// The member file was missing: a "/dev/null" header and zero data were
// written in its place.
constexpr int VELK_LCOPY_MISSING = -2;
// Nothing more can be written: the archive could not be written (later
// members would no longer sit at their indexed offsets), or the entry is
// not one the writer knows.
constexpr int VELK_LCOPY_ARCHIVE_FAILED = -3;

// Writes the whole archive from the temporary index (index->tmpFd,
// velk_index_entries entries) to velk_archive_fd, then closes the archive
// and sets velk_archive_fd to -1.  Records every file, hard-link and
// symbolic-link member as transferred or not (and, with -H crc, its CRC);
// a member that failed does not stop the copy.  *xferTime gets the elapsed
// seconds, *threadsUsed 1 and *recoveries 0; the buffer holds
// xs->iobufsize bytes.  Returns 0; -1 with a message and exit status
// (70 for a buffer size below 1024, 72 for an index read error or an
// archive write error) when the archive is not complete.
[[nodiscard]] int velk_CopyToLocalArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive,
                                          velk_index_t *index, double *xferTime, int *threadsUsed, int *recoveries);

#endif
