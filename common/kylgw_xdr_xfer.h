#ifndef KYLGW_XDR_XFER_H
#define KYLGW_XDR_XFER_H

// Transfer messages of the file-system category: the I/O descriptor (IOD)
// that names a source and a sink for the data movers, the I/O reply (IOR)
// that tells how many bytes moved, the list read and write bodies that carry
// them, and the gateway data stream requests (ReadX, WriteX).  Shared by the
// client library and kylgwd.  Decoding allocates the descriptor and reply
// lists (malloc); KYL_XDR_FREE on the same record releases them.  No locks.
//
// Results: every codec (xdr_*) returns true when the record was encoded,
// decoded or freed whole and false otherwise; the other calls say theirs.

#include <cstdint>
#include <cstdlib>

#include "kyl_xdr.h"
#include "kylgw_msg.h"
#include "quor_sockaddr.h"

// Function codes in the file-system category.
constexpr uint16_t FN_FS_READX = 4610;     // quor_ReadX
constexpr uint16_t FN_FS_READLIST = 4615;  // quor_ReadList and quor_Read
constexpr uint16_t FN_FS_WRITELIST = 5889; // quor_WriteList and quor_Write
constexpr uint16_t FN_FS_WRITEX = 5890;    // quor_WriteX

// Most descriptors (or replies) one list of an IOD or IOR may hold.  A
// decoder refuses a larger count before allocating anything; freeing walks
// at most this many entries, so a cyclic list cannot loop forever.
constexpr int32_t KYLGW_MAX_IOD_DESC = 256;

// IOD functions.
constexpr int32_t IOD_FUNC_READ = 1;  // data flows from the storage file
constexpr int32_t IOD_FUNC_WRITE = 2; // data flows to the storage file

// IOD flags.
constexpr uint32_t IOD_FLAG_LIST_WRITE = 0x1000u; // set in the archive's list writes

// Descriptor flags on the descriptor that names the client's network address.
constexpr uint32_t IOD_DESC_MOVER_PROTOCOL = 0x08u; // movers use control connections
constexpr uint32_t IOD_DESC_CLIENT_NET = 0x20u;     // the client's own listening socket

// IOR flags.
constexpr uint32_t IOR_GAP_DETECTED = 0x20u; // the transfer met a hole in the file

// Address types.
constexpr int32_t IOD_ADDR_NET = 1;         // netaddress_t
constexpr int32_t IOD_ADDR_STRIPE = 9;      // not supported by this codec
constexpr int32_t IOD_ADDR_MEMORY = 10;     // cannot be encoded
constexpr int32_t IOD_ADDR_CLIENTFILE = 11; // clientfileaddress_t
constexpr int32_t IOD_ADDR_SHM = 12;        // shmaddress_t
constexpr int32_t IOD_ADDR_LOCALFILE = 13;  // lftaddress_t
constexpr int32_t IOD_ADDR_SAN3P = 14;      // san3paddress_t

// FileOffset of a client file address meaning "the file's current position".
constexpr uint64_t IOD_CURRENT_POSITION = ~uint64_t{0};

// Size of the security token of a SAN address.
constexpr size_t IOD_SAN3P_TOKEN_SIZE = 32;

struct netaddress_t {
    uint64_t SockTransferID;
    quor_sockaddr_t SockAddr;
    uint64_t SockOffset;
};

struct clientfileaddress_t {
    int32_t FileDes; // the server's descriptor on the wire
    uint64_t FileOffset;
};

struct shmaddress_t {
    uint32_t Flags;
    uint32_t ShmID;
    uint32_t ShmOffset;
};

struct lftaddress_t {
    uint64_t Offset;
    uint32_t Flags;
    uint32_t Uid;
    uint32_t Gid;
    uint32_t RealmId;
    char PathName[KYLGW_MAX_PATH + 1]; // counted string, NUL included on the wire
};

struct san3paddress_t {
    uint64_t SAN3PTransferID;
    unsigned char SecurityToken[IOD_SAN3P_TOKEN_SIZE];
};

// An address: Type selects the member of Addr that follows it on the wire.
// Types without a member (other than 9 and 10) carry nothing after Type.
struct iod_address_t {
    int32_t Type;
    union {
        netaddress_t NetAddr;
        clientfileaddress_t ClientFileAddr;
        shmaddress_t ShmAddr;
        lftaddress_t LocalFileAddr;
        san3paddress_t San3pAddr;
    } Addr;
};

// One source or sink descriptor; Next and ServerDefined stay in memory.
struct iod_srcsinkdesc_t {
    uint32_t Flags;
    uint64_t Offset;
    uint64_t Length;
    iod_address_t SrcSinkAddr;
    iod_srcsinkdesc_t *Next;
    void *ServerDefined;
};

// The optional request-specific part of an IOD.  Neither side of this
// program sends one; its wire form depends on an in-memory information type
// that the wire does not carry, so the codec refuses a present one.
struct iod_reqspec_t;

struct quor_IOD_t {
    kyl_uuid_t RequestID;
    int32_t Function; // IOD_FUNC_READ or IOD_FUNC_WRITE
    uint32_t Flags;
    iod_reqspec_t *ReqSpecInfo; // must be null
    int32_t SrcDescLength;
    int32_t SinkDescLength;
    iod_srcsinkdesc_t *SrcDescList; // SrcDescLength entries linked by Next
    iod_srcsinkdesc_t *SinkDescList;
};

// Result for one descriptor; Next stays in memory.
struct iod_srcsinkreply_t {
    uint32_t Flags;
    int32_t Status;
    uint64_t BytesMoved;
    iod_srcsinkreply_t *Next;
};

// Reply types of a request-specific reply.
constexpr int32_t IOD_REQREPLY_VALUE = 1; // one int32
constexpr int32_t IOD_REQREPLY_LIST = 2;  // ReqListLength descriptors
constexpr int32_t IOD_REQREPLY_GAP = 5;   // a gap record

struct iod_gap_t {
    uint64_t Offset;
    uint64_t Length;
};

struct iod_reqspecreply_t {
    uint32_t Flags;
    int32_t Status;
    int32_t CountProcessed;
    int32_t ReqListLength;
    int32_t ReqReplyType;
    int32_t Value;              // IOD_REQREPLY_VALUE
    iod_srcsinkdesc_t *ReqList; // IOD_REQREPLY_LIST: ReqListLength entries
    iod_gap_t Gap;              // IOD_REQREPLY_GAP
};

struct quor_IOR_t {
    kyl_uuid_t RequestID;
    uint32_t Flags; // IOR_GAP_DETECTED
    int32_t Status;
    iod_reqspecreply_t *ReqSpecReply; // null when absent; allocated by decoding
    int32_t SrcReplyLength;
    int32_t SinkReplyLength;
    iod_srcsinkreply_t *SrcReplyList; // SrcReplyLength entries linked by Next
    iod_srcsinkreply_t *SinkReplyList;
};

// List read and write requests: the Flags word goes first on the wire.
struct api_quor_ReadList_req_t {
    quor_IOD_t IOD;
    uint32_t Flags;
};
struct api_quor_WriteList_req_t {
    quor_IOD_t IOD;
    uint32_t Flags;
};
// List read and write replies are an IOR.
typedef quor_IOR_t api_quor_ReadList_rply_t;
typedef quor_IOR_t api_quor_WriteList_rply_t;

// Gateway data stream requests (no reply body).
struct api_quor_ReadX_req_t {
    uint32_t XIOFlags;
    int32_t Fildes; // server descriptor
    uint64_t Nbyte; // bytes to move
};
struct api_quor_WriteX_req_t {
    uint32_t XIOFlags;
    int32_t Fildes;
    uint64_t Nbyte;
};

// A list of count records of type E linked through the member Link, each coded by
// F and encoded one after the other without a count word (the count travels
// elsewhere in the record).  The count must be 0..cap.  Decoding allocates
// every element (calloc) and on failure frees those it made and leaves *head
// null; KYL_XDR_FREE frees at most cap elements along Next and nulls *head.
// Element routines must not own memory of their own.
template <typename E, bool (*F)(kyl_xdr_t *, E *), E *E::*Link>
bool kyl_xdr_linked_list(kyl_xdr_t *x, int32_t count, E **head, int32_t cap)
{
    switch (x->op) {
    case KYL_XDR_FREE: {
        E *e = *head;
        for (int32_t i = 0; e != nullptr && i < cap; i++) {
            E *next = e->*Link;
            free(e);
            e = next;
        }
        *head = nullptr;
        return true;
    }
    case KYL_XDR_ENCODE: {
        if (count < 0 || count > cap)
            return false;
        E *e = *head;
        for (int32_t i = 0; i < count; i++, e = e->*Link)
            if (e == nullptr || !F(x, e))
                return false;
        return true;
    }
    case KYL_XDR_DECODE: {
        *head = nullptr;
        if (count < 0 || count > cap)
            return false;
        E **tail = head;
        for (int32_t i = 0; i < count; i++) {
            auto *e = static_cast<E *>(calloc(1, sizeof(E)));
            if (e != nullptr) {
                *tail = e;
                tail = &(e->*Link);
            }
            if (e == nullptr || !F(x, e)) {
                kyl_xdr_t fx;
                kyl_xdr_create_free(&fx);
                kyl_xdr_linked_list<E, F, Link>(&fx, count, head, cap);
                return false;
            }
        }
        return true;
    }
    }
    return false;
}

// Codecs.  Each returns true on success.  Encoding fails for an address of
// type 9 or 10, a present request-specific part, a count that is negative
// or above KYLGW_MAX_IOD_DESC, or a list shorter than its count.  Decoding
// fails for the same, and on a failure frees whatever it had allocated so
// that a later KYL_XDR_FREE of the record is still safe.
bool xdr_iod_address_t(kyl_xdr_t *x, iod_address_t *a);
// One descriptor, without following its Next link.
bool xdr_iod_srcsinkdesc_t(kyl_xdr_t *x, iod_srcsinkdesc_t *d);
bool xdr_quor_IOD_t(kyl_xdr_t *x, quor_IOD_t *iod);
// One descriptor reply, without following its Next link.
bool xdr_iod_srcsinkreply_t(kyl_xdr_t *x, iod_srcsinkreply_t *r);
bool xdr_iod_reqspecreply_t(kyl_xdr_t *x, iod_reqspecreply_t *r);
bool xdr_quor_IOR_t(kyl_xdr_t *x, quor_IOR_t *ior);
bool xdr_api_quor_ReadList_req_t(kyl_xdr_t *x, api_quor_ReadList_req_t *r);
bool xdr_api_quor_WriteList_req_t(kyl_xdr_t *x, api_quor_WriteList_req_t *r);
bool xdr_api_quor_ReadX_req_t(kyl_xdr_t *x, api_quor_ReadX_req_t *r);
bool xdr_api_quor_WriteX_req_t(kyl_xdr_t *x, api_quor_WriteX_req_t *r);

#endif
