#ifndef VELK_EXTRACT_H
#define VELK_EXTRACT_H

// The extract action (-x; velk_Extract itself is declared with the other
// actions in velk_Actions.h).  Pass 1 selects index entries and groups them
// into ranges of members that lie back to back in the archive; pass 2 has
// the archive reader deliver each range to readCallbackCtl, which checks
// every member header against its entry and recreates directories, files
// and symbolic links below the current directory.  The initial thread runs
// the passes; during a range transfer the reader's delivery thread runs the
// callback and the local-file routines below.  The two never run at once,
// so the extraction state needs no lock.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "velk_Globals.h"
#include "velk_Ranges.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"
#include "velk_Xfer.h"

// Local paths: the longest path a member can carry and its NUL.
constexpr size_t VELK_LOCAL_PATH_SIZE = 4097;

// The state of one extraction: the index being read, the range and member
// being handled, the member's local file, the run's counters and the
// directories whose attributes wait for the end.  velk_Extract owns it and
// hands it to the archive reader as the data callback's argument; the
// initial thread and the reader's delivery thread use it in turn, never at
// once, so it takes no lock.
struct velk_extract_state_t {
    // A directory member whose owner, mode and times are applied at the end.
    struct DeferredDir {
        char *path;
        int depth;
        uint32_t mode;
        uint32_t uid;
        uint32_t gid;
        uint32_t mtime;
    };

    int index_Fd = -1;
    int index_file_residency = VELK_LOCAL_FILE;
    uint64_t archiveSizeBytes = 0; // the archive's actual size

    ix_ListEntry_t *curListEntry = nullptr;
    int64_t curListIxCur = 0;    // ordinal of the current entry
    int64_t curListLeftToDo = 0; // entries of the range not yet finished
    int64_t curFileSpecInx = 0;

    bool curHaveEntry = false;   // a member is being handled
    hif_entry_t curIndexEntry{}; // copy of its entry
    uint32_t curIndexType = 0;
    uint64_t curArchiveAddr = 0; // archive byte address being consumed
    uint64_t curBlockCount = 0;
    uint64_t curBlocksHandled = 0;
    bool curTarHeaderExtracted = false;
    posix_header_t curTarHeader{};

    char curLocalPath[VELK_LOCAL_PATH_SIZE] = {};
    int curLocalFileFd = -1;        // -1 when closed
    bool curLocalFileOwned = false; // curLocalFileFd is a file of ours (not standard output)
    int curParentFd = -1;           // the directory holding our open member file, -1 when none
    size_t curLeafAt = 0;           // where the file's own name starts in curLocalPath
    uint64_t curLocFileSize = 0;
    uint64_t curLocFileWritten = 0;
    bool curFileIsDevNull = false;
    bool curFileDiscard = false; // the member's data are read and dropped

    bool curFileDoCheckSum = false;
    uint32_t curIndexEntryCRC = 0;
    uint32_t curLocFileCRC = 0;

    long total_objects = 0;
    long file_objects = 0;     // files and symbolic links extracted
    long devNullFileCount = 0; // members whose data was a "/dev/null" placeholder
    long total_ix_entries = 0;
    uint64_t total_file_bytes = 0;

    mode_t savedUmask = 022;
    uid_t effectiveUid = 0;
    bool umaskSaved = false;
    bool leadingSlashNoticed = false;

    DeferredDir *deferredDirs = nullptr;
    size_t deferredCount = 0;
    size_t deferredSize = 0;
};

// Results of velk_ExtractFormPath.
constexpr int VELK_XPATH_OK = 0;
constexpr int VELK_XPATH_ROOT_ONLY = 1; // the path was only '/' characters
constexpr int VELK_XPATH_DOTDOT = -1;   // a ".." component
constexpr int VELK_XPATH_TOO_LONG = -2; // does not fit out

// Forms the local path of a member from its archive path: all leading '/'
// are removed (*strippedOut set to 1 when there were any), and a path with a
// ".." component is refused so that nothing lands outside the current
// directory.  Writes the result (NUL-terminated) into out of size bytes.
// Returns one of VELK_XPATH_*.  No state, no messages.
[[nodiscard]] int velk_ExtractFormPath(const char *archivePath, char *out, size_t size, int *strippedOut);

// Records the process umask in the extraction state and sets the process
// umask to 0 for the run (modes are computed from the saved value), notes
// the effective user id, and resets the counters and the deferred directory
// list.  velk_Extract calls it first; tests call it before driving the
// local-file routines.
void velk_ExtractPrepare(velk_extract_state_t *xs);
// Puts the saved umask back (end of the action).
void velk_ExtractRestoreUmask(velk_extract_state_t *xs);

// Makes entry (copied) the current member at archive ordinal with the local
// path formed from the entry's path; nothing handled yet.  Returns 0, or -1
// after a message (status 72) when the path is refused.
[[nodiscard]] int velk_ExtractBeginMember(velk_extract_state_t *xs, const hif_entry_t *entry, int64_t ordinal);

// Opens the directory that holds the last component of path (relative to
// the current directory), walking every parent component without following
// symbolic links, creating the missing ones when create is set (mode 0777
// less the saved umask, plus owner write and search; owned by the
// extracting user).  On success *fdOut is the directory's descriptor
// (O_PATH; the caller closes it) and *leafOut points at the last component
// inside path.  Returns 0; -2 after an ERROR (status 72) when a parent
// component is a symbolic link or not a directory; -1 after a message on
// any other failure.
[[nodiscard]] int velk_OpenMemberParent(velk_extract_state_t *xs, const char *path, int create, int *fdOut,
                                        const char **leafOut);

// The data callback of the archive readers: consumes theBuf's dataLength
// bytes (a multiple of 512) of the current range; state is the
// velk_extract_state_t.  Returns 0 to go on, -1 to stop the transfer (after
// a message and the exit status).
int readCallbackCtl(io_buffer_t *theBuf, void *state);

// Creates the current member's local file (or takes standard output with
// -O, or a discarding sink for a "/dev/null" placeholder).  A member of size
// 0 is created, given its attributes and closed at once.  Returns 0; 1 when
// the member is refused (a parent is a symbolic link or not a directory:
// its data are then skipped, status 72); -1 when the file cannot be created
// (the extraction stops).
[[nodiscard]] int velk_InitLocalFile(velk_extract_state_t *xs);

// Writes the first min(length, bytes still due) bytes to the current local
// file; *blocksConsumedOut gets them in 512-byte blocks, rounded up.  When
// the member is complete: checks the CRC the entry stores (with or without
// -H crc), sets owner (as root without -o), mode and times and closes the
// file.  A full file system is waited for in 30-second steps until space
// comes back, the wait's limit passes or a shutdown is signalled.  Returns
// 0, or -1 after a message (none for a shutdown: the caller removes the
// incomplete file and names it).
[[nodiscard]] int velk_WriteLocalFile(velk_extract_state_t *xs, const unsigned char *bytes, uint32_t length,
                                      int *blocksConsumedOut);

// Creates the directory path with all missing components (see
// velk_OpenMemberParent); an existing directory is left as it is.  With -O
// or an empty path nothing happens.  Returns 0, -2 when refused (a component
// is a symbolic link or not a directory; status 72), -1 on other failures;
// both after a message.
[[nodiscard]] int velk_Mkdir(velk_extract_state_t *xs, const char *path);

// Creates the symbolic link path -> target (nothing with -O), replacing a
// non-directory of that name.  Returns 0, or -1 after a message with
// status 72.
[[nodiscard]] int velk_Symlink(velk_extract_state_t *xs, const char *path, const char *target);

// Remembers the directory member entry, made at path, for
// velk_FinishDirectories.  0, or -1 (status 78 from the allocator).
[[nodiscard]] int velk_DeferDirectory(velk_extract_state_t *xs, const char *path, const hif_entry_t *entry);

// Applies the deferred attributes of the directory members extracted so far
// (owner as root without -o, then mode with -p, then times), deepest first,
// and forgets them.  Each directory is reached without following symbolic
// links and changed through its own descriptor, so a directory swapped for
// a link meanwhile never passes a change on to the link's target.
void velk_FinishDirectories(velk_extract_state_t *xs);

// Test hook, null in the program: called by velk_FinishDirectories with a
// directory's path once the directory is open and before it is changed.
extern void (*velk_extract_dir_opened_hook)(const char *path);

#endif
