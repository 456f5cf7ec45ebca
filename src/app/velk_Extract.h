#ifndef VELK_EXTRACT_H
#define VELK_EXTRACT_H

// The extract action (-x; velk_Extract itself is declared with the other
// actions in velk_Actions.h).  Pass 1 selects index entries and groups them
// into ranges of members that lie back to back in the archive; pass 2 has
// the archive reader deliver each range to the member stream, whose extract
// hooks check every member header against its entry and hand the member to
// the file-system writer (velk_ExtractWriter.h), which recreates
// directories, files and symbolic links below the current directory.  The
// initial thread runs the passes; during a range transfer the reader's
// delivery thread runs the hooks.  The two never run at once, so the
// extraction state needs no lock.

#include <cstdint>

#include "velk_Context.h"
#include "velk_ExtractWriter.h"
#include "velk_Globals.h"
#include "velk_HardLink.h"
#include "velk_IndexFormat.h"
#include "velk_MemberNames.h"
#include "velk_MemberStream.h"
#include "velk_Outcome.h"
#include "velk_Ranges.h"
#include "velk_TarHeader.h"
#include "velk_Xfer.h"

// The state of one extraction: the index being read, the range and the
// stream's cursor in it, the member's header, the file-system writer, and
// the run's counters.  velk_Extract owns it and hands it to the member
// stream as the hooks' context; the initial thread and the reader's
// delivery thread use it in turn, never at once, so it takes no lock.
struct velk_extract_state_t {
    const velk_run_t *run = nullptr; // the run extracting
    velk_index_t *index = nullptr;   // the run's index: its reader
    velk_member_names_t names;       // which member names selected an entry
    velk_extracted_files_t made;     // regular files made, the targets of hard links
    velk_range_list_t ranges;        // the selected entries, range by range
    int index_Fd = -1;
    int index_file_residency = VELK_LOCAL_FILE;
    uint64_t archiveSizeBytes = 0; // the archive's actual size
    uint64_t pipePos = 0;          // bytes of a piped archive read so far

    ix_ListEntry_t *curListEntry = nullptr; // the range being read
    int64_t curFileSpecInx = 0;
    velk_member_cursor_t cur;      // the member being handled
    posix_header_t curTarHeader{}; // its header block, decoded
    velk_extract_writer_t writer;  // its local object

    long total_objects = 0;
    long file_objects = 0;     // files and symbolic links extracted
    long devNullFileCount = 0; // members whose data was a "/dev/null" placeholder
    long total_ix_entries = 0;
    uint64_t total_file_bytes = 0;

    bool leadingSlashNoticed = false;

    velk_outcome_t outcome;       // the run's success and exceptions lists
    long memberMark = 0;          // failures counted when the member began
    int64_t recordedThrough = -1; // highest ordinal whose record is written
};

// Resets the counters and prepares the writer (velk_ExtractWriterPrepare:
// the process umask is 0 from here until velk_ExtractRestoreUmask).
// velk_Extract calls it first.
void velk_ExtractPrepare(velk_extract_state_t *xs);

// Makes entry (copied) the current member at archive ordinal, for the
// stream and the writer, with the local path formed from the entry's path;
// nothing handled yet.  Returns 0, or -1 after a message (status 72) when
// the path is refused.
[[nodiscard]] int velk_ExtractBeginMember(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal);

#endif
