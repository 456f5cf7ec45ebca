#ifndef VELK_VERIFY_H
#define VELK_VERIFY_H

// Verification of an archive against its index (the action -K, declared
// with the other actions as velk_Verify) and of a freshly written archive
// against the temporary index of its create.  Both select entries into
// ranges (velk_Ranges.h) and have the archive reader deliver each range to
// the member stream (velk_MemberStream.h), whose verify hooks check every
// member header and, as the run's verify flags ask, the header fields, the
// data's CRC-32 and the local file's bytes.  The initial thread runs the
// passes; during a range read the reader's delivery thread runs the hooks
// on the range's own state, never both at once.

#include <cstdint>

#include "velk_Context.h"
#include "velk_Outcome.h"

// Counters of one verification, summed over its ranges.
struct verifyStats_t {
    int64_t totalFileObjects;
    int64_t totalDirObjects;
    int64_t totalHardLinkObjects;
    int64_t totalSymlinkObjects;
    int64_t indexErrors;  // index reads that failed inside a range
    int64_t tarHdrErrors; // member headers that failed validation
    int64_t dirErrors;    // local directories missing (compare mode)
    int64_t fileErrors;   // local file open, stat, size, read or end-of-file problems
    int64_t symlinkErrors;
    int64_t crcErrors;
    int64_t compareErrors;
    int64_t crcStored;  // selected member files whose index entry holds a CRC
    int64_t crcMissing; // selected member files without one (no CRC check made)
    // --json: where the outcome of each member verified is recorded (null:
    // nowhere).
    const velk_outcome_t *outcome;
};

// Verifies the archive just written by a create (closed for writing; a
// pending temporary archive name is read) against the temporary index
// run->index.tmpFd, as run's verify flags ask.  With -H crc the expected CRCs
// come from the member status table.  Returns 0 when no error was counted,
// -1 otherwise.
int velk_PostXferVerify(velk_run_t *run);

#endif
