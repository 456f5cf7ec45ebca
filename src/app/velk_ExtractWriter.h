#ifndef VELK_EXTRACTWRITER_H
#define VELK_EXTRACTWRITER_H

// The extract action's file-system writer: creates the directories, files
// and links of the members below the current directory, sets their owners,
// modes and times, refuses a member whose path leads through a symbolic
// link or a non-directory, and removes a member file left half written by a
// stop.  Its state, velk_extract_writer_t, is part of the extraction state;
// the initial thread and the archive reader's delivery thread use it in
// turn, never at once, so it takes no lock.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "velk_IndexFormat.h"

// Local paths: the longest path a member can carry and its NUL.
constexpr size_t VELK_LOCAL_PATH_SIZE = 4097;

// The member being written (its entry, local path and file) and the
// directories whose attributes wait for the end.
struct velk_extract_writer_t {
    // A directory member whose owner, mode and times are applied at the end.
    struct DeferredDir {
        char *path;
        int depth;
        uint32_t mode;
        uint32_t uid;
        uint32_t gid;
        uint32_t mtime;
    };

    hif_entry_t curIndexEntry{}; // copy of the member's entry

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

    mode_t savedUmask = 022;
    uid_t effectiveUid = 0;
    bool umaskSaved = false;

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

// Reports the refusal of a member path with a ".." component (status 72).
void velk_ExtractRefuseDotDot(const char *path);

// Records the process umask in the writer and sets the process umask to 0
// for the run (modes are computed from the saved value), notes the
// effective user id, closes a member file still open and forgets the
// deferred directories.  The extraction's preparation calls it; tests call
// it before driving the local-file routines.
void velk_ExtractWriterPrepare(velk_extract_writer_t *w);
// Puts the saved umask back (end of the action).
void velk_ExtractRestoreUmask(velk_extract_writer_t *w);

// Makes entry (copied) the member being written, with the local path formed
// from the entry's path; nothing written yet.  ordinal names the entry in
// messages.  Returns 0, or -1 after a message (status 72) when the path is
// refused.
[[nodiscard]] int velk_ExtractWriterBegin(velk_extract_writer_t *w, const hif_entry_t *entry, int64_t ordinal);

// Opens the directory that holds the last component of path (relative to
// the current directory), walking every parent component without following
// symbolic links, creating the missing ones when create is set (mode 0777
// less the saved umask, plus owner write and search; owned by the
// extracting user).  On success *fdOut is the directory's descriptor
// (O_PATH; the caller closes it) and *leafOut points at the last component
// inside path.  Returns 0; -2 after an ERROR (status 72) when a parent
// component is a symbolic link or not a directory; -1 after a message on
// any other failure.
[[nodiscard]] int velk_OpenMemberParent(velk_extract_writer_t *w, const char *path, int create, int *fdOut,
                                        const char **leafOut);

// Creates the current member's local file (or takes standard output with
// -O, or a discarding sink for a "/dev/null" placeholder).  A member of size
// 0 is created, given its attributes and closed at once.  Returns 0; 1 when
// the member is refused (a parent is a symbolic link or not a directory:
// its data are then skipped, status 72); -1 when the file cannot be created
// (the extraction stops).
[[nodiscard]] int velk_InitLocalFile(velk_extract_writer_t *w);

// Writes the first min(length, bytes still due) bytes to the current local
// file; *blocksConsumedOut gets them in 512-byte blocks, rounded up.  When
// the member is complete: checks the CRC the entry stores (with or without
// -H crc), sets owner (as root without -o), mode and times and closes the
// file.  A full file system is waited for in 30-second steps until space
// comes back, the wait's limit passes or a shutdown is signalled.  Returns
// 0, or -1 after a message (none for a shutdown: the caller removes the
// incomplete file and names it).
[[nodiscard]] int velk_WriteLocalFile(velk_extract_writer_t *w, const unsigned char *bytes, uint32_t length,
                                      int *blocksConsumedOut);

// Closes the current member file, if one of ours is open, and the directory
// it was made in.
void velk_ExtractCloseFile(velk_extract_writer_t *w);

// Removes the current member file when one of ours is still open (its data
// incomplete), through the directory it was made in, and names it.
void velk_ExtractRemoveIncomplete(velk_extract_writer_t *w);

// The current member as a directory: created with its missing parents (a
// -v line first; nothing with -O), its attributes deferred to the end.
void velk_ExtractDirectory(velk_extract_writer_t *w);

// Creates the directory path with all missing components (see
// velk_OpenMemberParent); an existing directory is left as it is.  With -O
// or an empty path nothing happens.  Returns 0, -2 when refused (a component
// is a symbolic link or not a directory; status 72), -1 on other failures;
// both after a message.
[[nodiscard]] int velk_Mkdir(velk_extract_writer_t *w, const char *path);

// Creates the symbolic link path -> target (nothing with -O), replacing a
// non-directory of that name; with -p (and not -m) the link gets the
// entry's modification time.  Returns 0, or -1 after a message with
// status 72.
[[nodiscard]] int velk_Symlink(velk_extract_writer_t *w, const char *path, const char *target);

// Remembers the directory member entry, made at path, for
// velk_FinishDirectories.  0, or -1 (status 78 from the allocator).
[[nodiscard]] int velk_DeferDirectory(velk_extract_writer_t *w, const char *path, const hif_entry_t *entry);

// Applies the deferred attributes of the directory members extracted so far
// (owner as root without -o, then mode with -p, then times), deepest first,
// and forgets them.  Each directory is reached without following symbolic
// links and changed through its own descriptor, so a directory swapped for
// a link meanwhile never passes a change on to the link's target.
void velk_FinishDirectories(velk_extract_writer_t *w);

#endif
