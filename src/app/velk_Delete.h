#ifndef VELK_DELETE_H
#define VELK_DELETE_H

// Soft delete (-D) and undelete (-U): selected members of an archive are
// marked deleted, or the mark is cleared, in the index alone; the archive
// is never rewritten.  Initial thread only.

#include <cstdint>

#include "velk_Context.h"
#include "velk_IndexFormat.h"

// The actions: 0 on success, -1 on failure; each prints the final line.
int velk_Delete(velk_run_t *run);
int velk_Undelete(velk_run_t *run);
int velk_CommonDeleteUndelete(velk_run_t *run, int isDelete);

// Writes the 512-byte entry back at its own place (byte 288 + 512 x
// ordinal) of the local index open read-write on fd.  Returns 0, or -1
// after the message (exit status 72).
int velk_IndexRewriteEntry(int fd, const hif_entry_t *entry, int64_t ordinal);

#endif
