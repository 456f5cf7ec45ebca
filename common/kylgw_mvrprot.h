#ifndef KYLGW_MVRPROT_H
#define KYLGW_MVRPROT_H

// The fixed byte layouts that data movers and the client exchange outside
// the gateway's message connection: the initiator message, the address
// message, the completion message (control connection) and the data block
// header (data connection), all big-endian, each ending in a 64-bit
// wrap-around checksum of its fields.  Also the big-endian field access the
// layouts are built with and the 64-bit transfer id of a request id.  Pure
// functions on memory: any thread, no locks.

#include <cstddef>
#include <cstdint>

#include "kyl_xdr.h"
#include "kylgw_xdr_xfer.h"

// Delimiters that open every control message and every data block header.
constexpr uint64_t MVRPROT_DELIMITER = 0x89abcdef01234567ull;
constexpr uint64_t PDATA_DELIMITER = 0x0123456789abcdefull;

// Initiator message Flags bits.
constexpr uint32_t MVRPROT_ADDR_FOLLOWS = 0x2;   // an address message follows
constexpr uint32_t MVRPROT_COMP_REPLY = 0x4;     // a completion message is expected
constexpr uint32_t MVRPROT_HOLD_RESOURCES = 0x8; // keep the mover's resources for a next piece

// Initiator message Type of a TCP network transfer, the only one in use.
constexpr uint32_t MVRPROT_TYPE_TCP = 1;

// Address family codes of the address message.
constexpr uint32_t MVRPROT_FAMILY_IPV4 = 1;
constexpr uint32_t MVRPROT_FAMILY_IPV6 = 3;

// Sizes of the four layouts on the wire.
constexpr size_t MVRPROT_INITMSG_SIZE = 84;
constexpr size_t MVRPROT_IPADDR_SIZE = 68;
constexpr size_t MVRPROT_COMPMSG_SIZE = 40;
constexpr size_t PDATA_HDR_SIZE = 48;

// Largest data block Length accepted from a peer.
constexpr uint64_t PDATA_MAX_BLOCK = 0x80000000ull;

// SecurityTicket is opaque: its 8 wire bytes held as their big-endian value.
// The client and the gateway fill it with a per-transfer secret: the first
// 8 bytes of a keyed hash (HMAC-SHA256 under the session key of the login)
// of the transfer's secret input, so that only the two parties of the
// session can produce it.  The same hash, whole, proves a local-file data
// connection and a gateway data stream connection.

// What a transfer secret is for, the first field of its input.
constexpr uint32_t TRANSFER_SECRET_MOVER = 0x4d565254u;  // mover messages of transfer id
constexpr uint32_t TRANSFER_SECRET_LFX = 0x4c465844u;    // a local-file data connection
constexpr uint32_t TRANSFER_SECRET_STREAM = 0x5354524du; // a gateway data stream connection
// Bytes of a transfer secret's input and of the keyed hash.
constexpr size_t TRANSFER_SECRET_INPUT_SIZE = 12;
constexpr size_t TRANSFER_SECRET_SIZE = 32;

struct initiator_msg_t {
    uint64_t Delimiter;
    uint32_t Flags;
    uint32_t Type;
    uint64_t Offset;
    uint64_t Length;
    uint64_t BlockSize;
    uint64_t StripeWidth;
    uint64_t TotalLength;
    uint32_t DevBlkSz;
    uint32_t DevBlkOff;
    uint32_t DevCRCAlgo;
    uint64_t SecurityTicket;
    uint64_t CheckSum;
};

// Where a mover's data connection goes: IpAddr.SockTransferID,
// IpAddr.SockAddr (IPv4 or IPv6) and IpAddr.SockOffset travel on the wire.
struct initiator_ipaddr_t {
    uint64_t Delimiter;
    uint32_t Flags;
    netaddress_t IpAddr;
    uint64_t SecurityTicket;
    uint64_t CheckSum;
};

struct completion_msg_t {
    uint64_t Delimiter;
    uint32_t Flags;
    int32_t Status;
    uint64_t BytesMoved;
    uint64_t SecurityTicket;
    uint64_t CheckSum;
};

struct pdata_hdr_t {
    uint64_t PdataDelimiter;
    uint64_t XferID;
    uint64_t Offset;
    uint64_t Length;
    uint64_t SecurityTicket;
    uint64_t CheckSum;
};

// Big-endian field access at byte offset off of buf; the caller guarantees
// the field lies inside the buffer.
void quor_encode_16(unsigned char *buf, size_t off, uint16_t v);
void quor_encode_32(unsigned char *buf, size_t off, uint32_t v);
void quor_encode_64(unsigned char *buf, size_t off, uint64_t v);
uint16_t quor_decode_16(const unsigned char *buf, size_t off);
uint32_t quor_decode_32(const unsigned char *buf, size_t off);
uint64_t quor_decode_64(const unsigned char *buf, size_t off);
void quor_encode_chars(unsigned char *buf, size_t off, const void *src, size_t n);
void quor_decode_chars(const unsigned char *buf, size_t off, void *dst, size_t n);

// Packing writes the layout of *m to out with the layout's own delimiter
// and a checksum computed from the packed fields (the Delimiter and
// CheckSum members of *m are not read).  Unpacking fills *m from in and
// returns 0, or -EINVAL when the delimiter is not the layout's or the
// checksum does not match the fields; *m is filled either way.
void mvrprot_pack_initmsg(const initiator_msg_t *m, unsigned char out[MVRPROT_INITMSG_SIZE]);
[[nodiscard]] int mvrprot_unpack_initmsg(const unsigned char in[MVRPROT_INITMSG_SIZE], initiator_msg_t *m);
void mvrprot_pack_compmsg(const completion_msg_t *m, unsigned char out[MVRPROT_COMPMSG_SIZE]);
[[nodiscard]] int mvrprot_unpack_compmsg(const unsigned char in[MVRPROT_COMPMSG_SIZE], completion_msg_t *m);
void pdata_pack_hdr(const pdata_hdr_t *h, unsigned char out[PDATA_HDR_SIZE]);
[[nodiscard]] int pdata_unpack_hdr(const unsigned char in[PDATA_HDR_SIZE], pdata_hdr_t *h);

// The address message also returns -EINVAL from packing when the address is
// neither IPv4 nor IPv6 (out is then unspecified), and from unpacking for a
// family code other than 1 or 3 or a port above 65535; IpAddr.SockAddr is
// left zeroed whenever unpacking fails.
[[nodiscard]] int mvrprot_pack_ipaddr(const initiator_ipaddr_t *m, unsigned char out[MVRPROT_IPADDR_SIZE]);
[[nodiscard]] int mvrprot_unpack_ipaddr(const unsigned char in[MVRPROT_IPADDR_SIZE], initiator_ipaddr_t *m);

// The input the transfer secret of purpose and id is hashed from: purpose
// (32 bits) then id (64 bits), big-endian.
void transfer_secret_input(uint32_t purpose, uint64_t id, unsigned char out[TRANSFER_SECRET_INPUT_SIZE]);
// The SecurityTicket of a transfer secret: its first 8 bytes.
uint64_t transfer_secret_ticket(const unsigned char secret[TRANSFER_SECRET_SIZE]);
// The id a local-file data connection's secret is made for: the pool id of
// the client's socket entry and the port of its listening socket.
uint64_t transfer_lfx_id(uint32_t poolId, uint16_t port);
// The id a gateway data stream connection's secret is made for: the
// gateway's descriptor of the file and the port of its data listener.
uint64_t transfer_stream_id(int32_t fildes, uint16_t port);

// The transfer id movers put in every data block header of request id *id:
// low 32 bits quor_RequestIDtoU32, high 32 bits built the same way from the
// other fields (node bytes count as signed, all sums wrap at 32 bits).
uint64_t quor_RequestIDtoU64(const kyl_uuid_t *id);
uint32_t quor_RequestIDtoU32(const kyl_uuid_t *id);

#endif
