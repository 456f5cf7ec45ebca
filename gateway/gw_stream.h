#ifndef GW_STREAM_H
#define GW_STREAM_H

// The gateway data stream: OpenX opens a file as Open does and answers
// with the port of a listening socket of its own; a worker accepts
// connections there until one opens with the client's proof, the
// TRANSFER_SECRET_STREAM secret of the descriptor and port (within
// GW_STREAM_ACCEPT_TIMEOUT, else the file is closed again), closes the
// others unanswered, and sends the proven one the control byte
// GW_STREAM_CONTROL_BYTE.  ReadX sends the next Nbyte bytes of the file (at
// its position, which it advances) as raw bytes on that connection and,
// when the file holds fewer, half-closes the connection after them, then
// replies; WriteX reads exactly Nbyte bytes from it into the file (-EIO
// when the stream ends first).  All three run on worker threads.

#include "gw_reply.h"

constexpr int GW_STREAM_ACCEPT_TIMEOUT = 30; // seconds
constexpr int GW_STREAM_IO_TIMEOUT = 60;     // seconds, per read or write
constexpr unsigned char GW_STREAM_CONTROL_BYTE = 0x01;

// True for the requests gw_ServeStream answers.
bool gw_StreamServes(uint16_t category, uint16_t function);

// Serves OpenX, ReadX or WriteX of the authenticated session c and sends
// its reply.  Returns what gw_SendReply returned.
int gw_ServeStream(gw_conn_t *c, const gw_request_t *req);

#endif
