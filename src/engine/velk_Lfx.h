#ifndef VELK_LFX_H
#define VELK_LFX_H

// Moving a file on the gateway host's own file system to or from this
// client through the gateway's local-file transfer: a request names the
// remote file, the gateway connects to a listening socket of this client
// (or reuses a connection kept from an earlier transfer) and the bytes
// flow raw over that data connection; the gateway reports the outcome in
// a second reply.  Small file-mode transfers travel inside the request or
// its reply.  The local side is a descriptor (RMTIO_FILE) or the transfer
// engine's buffers (RMTIO_CALLBACK).  Called by one thread at a time; each
// transfer runs a control thread, a producer and a consumer on the
// control's bufQueueLock and controlLock (order as in velk_Xfer.h), and the
// process-wide pool of data connections is guarded by socketPoolLock,
// taken alone.

#include <cstdint>
#include <sys/types.h>

#include "velk_Xfer.h"

// One data connection of a transfer.
struct nw_sock_struct_t {
    int connected; // socketFD is a connection (else a listening socket)
    uint32_t poolID;
    int socketFD; // -1 when closed
    quor_sockaddr_t socketSockAddr;
};

// One-second waits for the gateway's data connection before a transfer
// gives up with -ETIMEDOUT; VELK_LFX_ACCEPT_TIMEOUT (seconds, 1 to 60) in
// the environment shortens it.
constexpr int VELK_LFX_ACCEPT_WAITS = 60;

// The interchange form of a local mode and back: the file-type bits stay
// only for FIFO, character and block devices, directories, regular files,
// symbolic links and sockets; the permission, set-id and sticky bits are
// copied.
uint32_t velk_LocalModeToInterchangeMode(mode_t mode);
mode_t velk_InterchangeModeToLocalMode(uint32_t mode);

// Sends xferLength bytes to the gateway-host file remotePath at
// sinkOffset.  File mode (RMTIO_FILE): from localFileFd at srcOffset;
// localPath (may be null) is examined for its size and mode.  Callback
// mode (RMTIO_CALLBACK): from the buffers dataCallback hands over in
// archive order (RemoteDataCallback), which go back to ctl's empty queue.
// ctl is the caller's transfer control, or null for one of
// this call's own, which gets a copy of xs, the run's transfer settings
// (with ctl, ctl's settings are used and xs may be null).  Returns the transfer's status: 0 when the gateway and
// this side both moved exactly xferLength bytes, else a negative code
// (-ETIMEDOUT when the gateway never connected) after a message, with the
// exit status set, or -1 for a set-up failure.
[[nodiscard]] int velk_LfxSendFile(int ioType, velk_xfer_ctl_t *ctl, const velk_xfer_settings_t *xs, int localFileFd,
                                   const char *localPath, const char *remotePath, uint64_t srcOffset,
                                   uint64_t sinkOffset, uint64_t xferLength, velk_bufSource_t dataCallback);

// Receives xferLength bytes of the gateway-host file remotePath (or of the
// client descriptor remoteFd, when not negative) from srcOffset.  File
// mode: written to localFileFd at sinkOffset.  Callback mode: handed to
// dataCallback (with callbackArg) in order, one buffer at a time; every
// buffer but the last holds the buffer size (a multiple of 512 bytes) and
// the callback's non-zero result stops the transfer.  ctl, xs and the
// result as for velk_LfxSendFile.
[[nodiscard]] int velk_LfxReceiveFile(int ioType, velk_xfer_ctl_t *ctl, const velk_xfer_settings_t *xs, int localFileFd,
                                      const char *localPath, int remoteFd, const char *remotePath, uint64_t srcOffset,
                                      uint64_t sinkOffset, uint64_t xferLength, velk_bufCallback_t dataCallback,
                                      void *callbackArg);

// Data connections kept for the next transfer.  Takes socketPoolLock.
int velk_LfxPooledConnections();

// Closes the kept data connections and asks the gateway to close its
// side.  Takes socketPoolLock.
void velk_LfxCloseSocketPool();

#endif
