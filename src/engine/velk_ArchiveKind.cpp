// The one place that maps an archive kind number to its table of
// operations, and the read, write and close the two gateway kinds share.

#include "velk_ArchiveKind.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velk_Globals.h"
#include "velk_LogMsg.h"

const velk_archive_kind_t *velk_ArchiveKindOps(int filetype)
{
    switch (filetype) {
    case VELK_PIPE: return &velk_kind_pipe;
    case VELK_QUOR_FILE: return &velk_kind_quor;
    case VELK_REMOTE_FILE: return &velk_kind_remote;
    default: return &velk_kind_local;
    }
}

const velk_archive_kind_t *velk_CurrentArchiveKind()
{
    return velk_ArchiveKindOps(velk_filetype);
}

namespace {

// A gateway call's result as read/write give it: -1 with errno set from
// a negative code.
ssize_t gatewayResult(ssize_t rc)
{
    if (rc >= 0)
        return rc;
    errno = static_cast<int>(-rc);
    return -1;
}

} // namespace

// Storage-system files move through the movers, gateway-host files (opened
// with quor_OpenX) through the gateway's data stream; the client library
// chooses by how the file was opened.
ssize_t velk_KindGatewayRead(int fd, void *buf, size_t count)
{
    return gatewayResult(quor_Read(fd, buf, static_cast<uint64_t>(count)));
}

ssize_t velk_KindGatewayWrite(int fd, const void *buf, size_t count)
{
    return gatewayResult(quor_Write(fd, buf, static_cast<uint64_t>(count)));
}

int velk_KindCollectReadAt(io_buffer_t *theBuf, void *arg)
{
    auto *t = static_cast<velk_read_at_target_t *>(arg);
    size_t n = static_cast<size_t>(theBuf->dataLength);
    if (n > t->want - t->got)
        n = t->want - t->got;
    memcpy(t->dst + t->got, theBuf->buffer, n);
    t->got += n;
    return 0;
}

ssize_t velk_KindCopyReadAt(velk_copy_from_t copyFrom, const velk_xfer_settings_t *xs, int fd, uint64_t offset,
                            void *buf, size_t count)
{
    velk_read_at_target_t t{static_cast<unsigned char *>(buf), count, 0};
    if (copyFrom(xs, fd, offset, count, velk_KindCollectReadAt, &t, nullptr) != 0 || t.got != count) {
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(count);
}

const char *velk_SeekTypeName(int posType)
{
    switch (posType) {
    case SEEK_SET: return "SEEK_SET";
    case SEEK_CUR: return "SEEK_CUR";
    case SEEK_END: return "SEEK_END";
    default: return "???";
    }
}

void velk_PrintSysError(const char *what, int err)
{
    char text[256];
    const char *desc = strerror_r(err, text, sizeof text);
    velk_ErrPrintf("%s: %s\n", what, desc);
}

// An ancestor that exists: a directory ends the upward walk (the debug
// line names it dirText); anything else fails it with a message naming the
// archive's kind, where ("local", "QUOR" or "remote").
velk_subdir_probe_t velk_SubdirExisting(const char *path, bool isDir, const char *dirText, const char *where)
{
    if (isDir) {
        if (velk_debug_level >= 2)
            velk_ErrPrintf("/debug/ found existing %s: %s\n", dirText, path);
        return VELK_PROBE_DIR;
    }
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "%s: Error creating subdirs for %s archive path. Not a directory: %s", "velk_MakeAllSubdirs", where,
                path);
    return VELK_PROBE_FAILED;
}

// Reports an intermediate directory that could not be made: a permission
// refusal, or the error code as the caller prints it (errno or a negative
// client code).  where names the kind ("local", "QUOR" or "remote").
int velk_SubdirCreateFailed(const char *path, bool permission, int code, const char *where)
{
    if (permission)
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Permission error creating intermediate %s subdirectory: %s",
                    "velk_MakeAllSubdirs", where, path);
    else
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Error %d creating intermediate %s subdirectory: %s",
                    "velk_MakeAllSubdirs", code, where, path);
    return -1;
}
