#ifndef VELK_ARCHIVEKIND_H
#define VELK_ARCHIVEKIND_H

// The kinds of archive and index file (VELK_FILETYPE) as one table of
// operations each: a local file, the pipe (standard input or output), a
// storage-system file reached through the gateway, and a file on the
// gateway host's own file system.  Each kind lives in its own unit
// (velk_KindLocal.cpp, which also holds the pipe, velk_KindQuor.cpp,
// velk_KindRemote.cpp); velk_ArchiveKindOps is the one place that maps a
// kind number to its table.  The shared units (velk_ArchiveFile,
// velk_FileAccess, velk_IndexAccess, velk_ArchiveCopy, velk_ArchiveRead)
// keep the retry rules, messages and ordering common to all kinds and call
// through the table for what differs.  The tables are constant; every
// operation keeps the thread rules of the shared routine that calls it.

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

#include "quor_api.h"
#include "velk_Context.h"
#include "velk_Xfer.h"

// Result of looking at one ancestor directory while making the directories
// above a file (-P).
enum velk_subdir_probe_t { VELK_PROBE_DIR, VELK_PROBE_MISSING, VELK_PROBE_FAILED };

// A kind's kept positioned reader (reader_open below); each kind defines
// its own.
struct velk_pread_t;

struct velk_archive_kind_t {
    int filetype;                  // the VELK_FILETYPE value
    const char *name;              // "local", "QUOR" or "remote" in messages about the archive
    bool is_pipe;                  // standard input or output: no name, no index, read where it stands
    bool through_gateway;          // opened, read, written and closed through the client library
    bool has_layout;               // a storage-system file: storage layout, class of service,
                                   // family, expiration, the storage system's umask and home
    const char *read_name;         // the kind in block read messages
    const char *write_name;        // the kind in block write messages
    int index_fd_kind;             // the kind of the descriptor velk_OpenIndexFile returns
    const char *seek_name;         // the kind in the index build's seek and close messages
    const char *index_source;      // where the listing says the index is read from
    const char *verify_close_name; // the kind in the create's close-before-verify message
    const char *index_close_text;  // before "index file" when the verify cannot close the index

    // Archive file of a create.  create makes it (for the user xs names,
    // under its temporary name
    // velk_archive_tmpname where it has a name, in archive's family where
    // the kind has families) and sets velk_archive_fd: 0 or -1 after the
    // message.  commit renames tmp over final: 0 or a
    // negative errno-style code (a gateway kind: velk_GatewayRename's
    // result, VELK_RENAME_UNKNOWN included).  remove deletes a file of this kind (a
    // temporary one; the result is only informative).
    int (*create)(const velk_xfer_settings_t *xs, const velk_archive_t *archive);
    int (*commit)(const char *tmp, const char *final);
    int (*remove)(const char *path);
    // Existing archive: open as velk_OpenArchiveFile, its attributes as
    // velk_GetArchiveXAttrs, its size (and layout) as
    // velk_GetArchiveSizeAndLayout, one read as read(2) gives it for
    // velk_ReadArchive, and close (0, or a negative code: -errno for a
    // local file, the gateway's code for a gateway kind).
    int (*open)(int openFlags, quor_xfileattr_t *xattr, struct stat *statBuf);
    int (*attrs)(quor_xfileattr_t *xattr, struct stat *statBuf);
    int (*size_and_layout)(uint64_t *size);
    ssize_t (*archive_read)(int fd, void *buf, size_t count);
    int (*close)(int fd);
    // The archive's size as its file system reports it, for the listing
    // (a pipe reads standard input to its end): 0, or -1 after the message
    // (the caller sets exit status 72).
    int (*actual_size)(uint64_t *size);
    // Skips bytes forward from where the archive fd stands: 0, or the
    // nonzero code the caller's message shows (errno for a local file, the
    // gateway's code or -1 for a gateway kind).
    int (*skip_forward)(int fd, uint64_t bytes);
    // The size of the file path as the kind's file system reports it, with
    // no message: 0, or a negative code (-errno for a local file).
    int (*file_size)(const char *path, uint64_t *size);

    // Any file of the kind: one positioning as velk_PositionFile, one read
    // or write as read(2)/write(2) give it (errno set), and the two steps
    // of velk_MakeAllSubdirs (look at an ancestor, make one directory: 0
    // or -1 after the message).
    int (*position)(int fd, uint64_t offsetIn, int posType, int quorDirection, uint64_t *offsetOut);
    ssize_t (*read)(int fd, void *buf, size_t count);
    ssize_t (*write)(int fd, const void *buf, size_t count);
    velk_subdir_probe_t (*probe_dir)(const char *path);
    int (*make_dir)(const char *path, mode_t mode);

    // The data copy of a create and range reads of an archive, as
    // velk_CopyToArchive and velk_CopyFromArchive describe.
    int (*copy_to)(const velk_xfer_settings_t *xs, const velk_archive_t *archive, velk_index_t *index, double *xferTime,
                   int *threadsUsed, int *recoveries);
    int (*copy_from)(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                     velk_bufCallback_t callback, void *callbackArg, double *xferTime);

    // The index.  index_size (null for a kind whose index is opened where
    // it is) gives the size of a remote index, which open_index then copies
    // into the temporary local index and opens; a local index is opened
    // and checked in place (size unused).  A descriptor, or -1 after the
    // message.  A copy takes the run's transfer settings xs.  index_exists
    // is 1 when the index file exists, else 0.
    // place_index puts a create's finished index in place as
    // velk_CopyIndexToQuor describes, with index's class of service and
    // family where the kind has them (null: the caller places a local
    // index itself).
    int (*index_size)(const char *path, uint64_t *size);
    int (*open_index)(const velk_xfer_settings_t *xs, velk_index_t *index, const char *path, int openFlags, int kind,
                      uint64_t size);
    int (*index_exists)(const char *path);
    int (*place_index)(const velk_xfer_settings_t *xs, velk_index_t *index, int (*beforeRename)());

    // The current directory of the kind's file system into buf (size
    // bytes): 0 or -1.  A pipe has none and succeeds.
    int (*getcwd)(char *buf, int size);

    // Calls fn with the name of every entry of directory dir of the kind's
    // file system, with no message: 0, or a negative code (-errno for a
    // local directory) when it cannot be read.  Null for a kind that cannot
    // list a directory.
    int (*list_dir)(const char *dir, void (*fn)(const char *name, void *arg), void *arg);

    // Reads count bytes of the open archive fd from byte offset into buf,
    // as pread(2) gives them (a mounted archive reads its members this
    // way): the bytes read, fewer only where the archive ends, or -1 with
    // errno set.  Null for the pipe, which cannot be read at an offset.
    ssize_t (*read_at)(const velk_xfer_settings_t *xs, int fd, uint64_t offset, void *buf, size_t count);

    // A positioned reader kept set up across many reads (a mounted
    // archive's), for a kind whose read_at would set one up for each read.
    // reader_open takes over the open archive fd (also on failure): 0 with
    // *reader set, or -1 after the message.  reader_read reads as read_at
    // does; a gateway session lost meanwhile is replaced by a new one with
    // the archive opened again.  reader_close ends the reader and closes
    // the archive descriptor it holds: 0, or the close's negative code.  One
    // thread uses a reader at a time.  Null where read_at alone serves.
    int (*reader_open)(const velk_xfer_settings_t *xs, int fd, velk_pread_t **reader);
    ssize_t (*reader_read)(velk_pread_t *reader, uint64_t offset, void *buf, size_t count);
    int (*reader_close)(velk_pread_t *reader);
};

// The table of kind filetype.  A value that names no kind (0 before the
// kind is decided) gets the local table, as a local file is the default.
const velk_archive_kind_t *velk_ArchiveKindOps(int filetype);

// The table of the current archive (velk_filetype).
const velk_archive_kind_t *velk_CurrentArchiveKind();

// The tables themselves, one per kind unit.
extern const velk_archive_kind_t velk_kind_local;
extern const velk_archive_kind_t velk_kind_pipe;
extern const velk_archive_kind_t velk_kind_quor;
extern const velk_archive_kind_t velk_kind_remote;

// Helpers the kind units share (velk_ArchiveKind.cpp).  velk_SeekTypeName
// names a posType in messages ("SEEK_SET", ...); velk_PrintSysError prints
// "<what>: <description of err>" on standard error as perror does.  While
// directories are made, velk_SubdirExisting judges an ancestor that exists
// (a directory ends the upward walk, the debug line naming it dirText;
// anything else fails with a message naming the kind, where) and
// velk_SubdirCreateFailed reports a directory that could not be made (a
// permission refusal, or code as the kind prints it) and returns -1.
const char *velk_SeekTypeName(int posType);
void velk_PrintSysError(const char *what, int err);
velk_subdir_probe_t velk_SubdirExisting(const char *path, bool isDir, const char *dirText, const char *where);
int velk_SubdirCreateFailed(const char *path, bool permission, int code, const char *where);

// Operations the two gateway kinds share (velk_ArchiveKind.cpp): a read or
// write through the client library as read(2)/write(2) give it (-1 with
// errno set from a negative code).
ssize_t velk_KindGatewayRead(int fd, void *buf, size_t count);
ssize_t velk_KindGatewayWrite(int fd, const void *buf, size_t count);
// A positioned read (read_at) through a kind's range reader copyFrom: the
// count bytes at offset are collected into buf.  count, or -1 with errno
// EIO when the range could not be read whole (the reader's message told
// why).
// Where a positioned read puts its bytes: velk_KindCollectReadAt, a range
// reader's callback, copies each buffer to dst until want bytes are there.
struct velk_read_at_target_t {
    unsigned char *dst;
    size_t want;
    size_t got;
};
int velk_KindCollectReadAt(io_buffer_t *theBuf, void *arg);
using velk_copy_from_t = int (*)(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr,
                                 uint64_t bytesToRead, velk_bufCallback_t callback, void *callbackArg,
                                 double *xferTime);
ssize_t velk_KindCopyReadAt(velk_copy_from_t copyFrom, const velk_xfer_settings_t *xs, int fd, uint64_t offset,
                            void *buf, size_t count);

// Operations other tables share with the local one (velk_KindLocal.cpp):
// the close of a local descriptor (standard output is flushed instead; 0
// or -errno) and whether a file exists in the local file system
// (1 or 0).
int velk_KindLocalClose(int fd);
int velk_KindLocalIndexExists(const char *path);

#endif
