#ifndef KYLGW_CATALOGUE_H
#define KYLGW_CATALOGUE_H

// The message catalogue: for every (category, function) the program
// exchanges, the body codecs of the request and of the reply, with the size
// of the record each decodes into.  The message layer has no length word, so
// a peer must know a body's type from its (category, function): kylgwd
// decodes requests through this table, the fuzzers reach every decoder
// through it.  A null codec means the message has no body in that direction.
//
// Results: the look-up returns the row, or null for a (category, function)
// the program does not exchange.

#include <cstddef>
#include <cstdint>

#include "kyl_xdr.h"

struct kylgw_msgtype_t {
    uint16_t category;
    uint16_t function;
    const char *name;      // the client call, e.g. "quor_Open"
    kyl_xdrproc_t request; // request body codec, null when none
    size_t requestSize;    // size of its record
    kyl_xdrproc_t reply;   // reply body codec, null when none
    size_t replySize;
};

// Rows of one group of messages, provided by the unit that holds their codecs.
struct kylgw_msgtable_t {
    const kylgw_msgtype_t *rows;
    size_t count;
};

// The row for (category, function), or null when the catalogue has none.
const kylgw_msgtype_t *kylgw_LookupMsgType(uint16_t category, uint16_t function);

// Calls fn for every row of the catalogue.
void kylgw_ForEachMsgType(void (*fn)(const kylgw_msgtype_t *row, void *arg), void *arg);

// Row tables of the connection and gateway-log messages (kylgw_msg.cpp).
extern const kylgw_msgtable_t kylgw_connection_msgtable;
// Transfer (kylgw_xdr_xfer.cpp) and local-file transfer (kylgw_xdr_lfx.cpp) messages.
extern const kylgw_msgtable_t kylgw_xfer_msgtable, kylgw_lfx_msgtable;
// Row tables of the authentication messages (kylgw_xdr_auth.cpp).
extern const kylgw_msgtable_t kylgw_auth_msgtable;
// Row tables of the file-system, user lookup, class-of-service and
// expiration messages (kylgw_xdr_fs.cpp).
extern const kylgw_msgtable_t kylgw_fs_msgtable;

#endif
