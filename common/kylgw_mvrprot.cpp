// Packing and unpacking of the mover control messages and the data block
// header.  Checksums are always computed from the packed bytes, so sender
// and receiver sum exactly the same field values.  Pure functions on
// memory: any thread, no locks.

#include "kylgw_mvrprot.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>

namespace {

// Initiator message field offsets.
constexpr size_t INIT_Delimiter = 0;
constexpr size_t INIT_Flags = 8;
constexpr size_t INIT_Type = 12;
constexpr size_t INIT_Offset = 16;
constexpr size_t INIT_Length = 24;
constexpr size_t INIT_BlockSize = 32;
constexpr size_t INIT_StripeWidth = 40;
constexpr size_t INIT_TotalLength = 48;
constexpr size_t INIT_DevBlkSz = 56;
constexpr size_t INIT_DevBlkOff = 60;
constexpr size_t INIT_DevCRCAlgo = 64;
constexpr size_t INIT_SecurityTicket = 68;
constexpr size_t INIT_CheckSum = 76;

// Address message field offsets.
constexpr size_t ADDR_Delimiter = 0;
constexpr size_t ADDR_Flags = 8;
constexpr size_t ADDR_SockTransferID = 12;
constexpr size_t ADDR_Family = 20;
constexpr size_t ADDR_Address = 24; // 16 bytes, IPv4 in the first 4
constexpr size_t ADDR_AddressSize = 16;
constexpr size_t ADDR_Port = 40;
constexpr size_t ADDR_SockOffset = 44;
constexpr size_t ADDR_SecurityTicket = 52;
constexpr size_t ADDR_CheckSum = 60;

// Completion message field offsets.
constexpr size_t COMP_Delimiter = 0;
constexpr size_t COMP_Flags = 8;
constexpr size_t COMP_Status = 12;
constexpr size_t COMP_BytesMoved = 16;
constexpr size_t COMP_SecurityTicket = 24;
constexpr size_t COMP_CheckSum = 32;

// Data block header field offsets.
constexpr size_t PDATA_Delimiter = 0;
constexpr size_t PDATA_XferID = 8;
constexpr size_t PDATA_Offset = 16;
constexpr size_t PDATA_Length = 24;
constexpr size_t PDATA_SecurityTicket = 32;
constexpr size_t PDATA_CheckSum = 40;

// Checksums: 64-bit sums that wrap; the ticket term is its 8 bytes as a
// big-endian number.  Status is signed and enters sign-extended.
uint64_t initSum(const unsigned char *b)
{
    return quor_decode_64(b, INIT_Delimiter) + quor_decode_32(b, INIT_Flags) + quor_decode_32(b, INIT_Type) +
           quor_decode_64(b, INIT_Offset) + quor_decode_64(b, INIT_Length) + quor_decode_64(b, INIT_BlockSize) +
           quor_decode_64(b, INIT_StripeWidth) + quor_decode_64(b, INIT_TotalLength) +
           quor_decode_32(b, INIT_DevBlkSz) + quor_decode_32(b, INIT_DevBlkOff) + quor_decode_32(b, INIT_DevCRCAlgo) +
           quor_decode_64(b, INIT_SecurityTicket);
}

// The address value is the IPv4 address as a 32-bit number, or the sum of
// the two 64-bit halves of an IPv6 address.
uint64_t addrSum(const unsigned char *b)
{
    uint32_t family = quor_decode_32(b, ADDR_Family);
    uint64_t addr = family == MVRPROT_FAMILY_IPV4
                        ? quor_decode_32(b, ADDR_Address)
                        : quor_decode_64(b, ADDR_Address) + quor_decode_64(b, ADDR_Address + 8);
    return quor_decode_64(b, ADDR_Delimiter) + quor_decode_32(b, ADDR_Flags) + quor_decode_64(b, ADDR_SockTransferID) +
           addr + quor_decode_32(b, ADDR_Port) + family + quor_decode_64(b, ADDR_SockOffset) +
           quor_decode_64(b, ADDR_SecurityTicket);
}

uint64_t compSum(const unsigned char *b)
{
    auto status = static_cast<int32_t>(quor_decode_32(b, COMP_Status));
    return quor_decode_64(b, COMP_Delimiter) + quor_decode_32(b, COMP_Flags) + static_cast<uint64_t>(status) +
           quor_decode_64(b, COMP_BytesMoved) + quor_decode_64(b, COMP_SecurityTicket);
}

uint64_t pdataSum(const unsigned char *b)
{
    return quor_decode_64(b, PDATA_Delimiter) + quor_decode_64(b, PDATA_XferID) + quor_decode_64(b, PDATA_Offset) +
           quor_decode_64(b, PDATA_Length) + quor_decode_64(b, PDATA_SecurityTicket);
}

// 0 when the layout at b opens with delimiter and carries the checksum sum.
int checkLayout(const unsigned char *b, uint64_t delimiter, size_t sumOff, uint64_t sum)
{
    return quor_decode_64(b, 0) == delimiter && quor_decode_64(b, sumOff) == sum ? 0 : -EINVAL;
}

} // namespace

void quor_encode_16(unsigned char *buf, size_t off, uint16_t v)
{
    buf[off] = static_cast<unsigned char>(v >> 8);
    buf[off + 1] = static_cast<unsigned char>(v);
}

void quor_encode_32(unsigned char *buf, size_t off, uint32_t v)
{
    quor_encode_16(buf, off, static_cast<uint16_t>(v >> 16));
    quor_encode_16(buf, off + 2, static_cast<uint16_t>(v));
}

void quor_encode_64(unsigned char *buf, size_t off, uint64_t v)
{
    quor_encode_32(buf, off, static_cast<uint32_t>(v >> 32));
    quor_encode_32(buf, off + 4, static_cast<uint32_t>(v));
}

uint16_t quor_decode_16(const unsigned char *buf, size_t off)
{
    return static_cast<uint16_t>((buf[off] << 8) | buf[off + 1]);
}

uint32_t quor_decode_32(const unsigned char *buf, size_t off)
{
    return (static_cast<uint32_t>(quor_decode_16(buf, off)) << 16) | quor_decode_16(buf, off + 2);
}

uint64_t quor_decode_64(const unsigned char *buf, size_t off)
{
    return (static_cast<uint64_t>(quor_decode_32(buf, off)) << 32) | quor_decode_32(buf, off + 4);
}

void quor_encode_chars(unsigned char *buf, size_t off, const void *src, size_t n)
{
    memcpy(buf + off, src, n);
}

void quor_decode_chars(const unsigned char *buf, size_t off, void *dst, size_t n)
{
    memcpy(dst, buf + off, n);
}

void mvrprot_pack_initmsg(const initiator_msg_t *m, unsigned char out[MVRPROT_INITMSG_SIZE])
{
    quor_encode_64(out, INIT_Delimiter, MVRPROT_DELIMITER);
    quor_encode_32(out, INIT_Flags, m->Flags);
    quor_encode_32(out, INIT_Type, m->Type);
    quor_encode_64(out, INIT_Offset, m->Offset);
    quor_encode_64(out, INIT_Length, m->Length);
    quor_encode_64(out, INIT_BlockSize, m->BlockSize);
    quor_encode_64(out, INIT_StripeWidth, m->StripeWidth);
    quor_encode_64(out, INIT_TotalLength, m->TotalLength);
    quor_encode_32(out, INIT_DevBlkSz, m->DevBlkSz);
    quor_encode_32(out, INIT_DevBlkOff, m->DevBlkOff);
    quor_encode_32(out, INIT_DevCRCAlgo, m->DevCRCAlgo);
    quor_encode_64(out, INIT_SecurityTicket, m->SecurityTicket);
    quor_encode_64(out, INIT_CheckSum, initSum(out));
}

int mvrprot_unpack_initmsg(const unsigned char in[MVRPROT_INITMSG_SIZE], initiator_msg_t *m)
{
    m->Delimiter = quor_decode_64(in, INIT_Delimiter);
    m->Flags = quor_decode_32(in, INIT_Flags);
    m->Type = quor_decode_32(in, INIT_Type);
    m->Offset = quor_decode_64(in, INIT_Offset);
    m->Length = quor_decode_64(in, INIT_Length);
    m->BlockSize = quor_decode_64(in, INIT_BlockSize);
    m->StripeWidth = quor_decode_64(in, INIT_StripeWidth);
    m->TotalLength = quor_decode_64(in, INIT_TotalLength);
    m->DevBlkSz = quor_decode_32(in, INIT_DevBlkSz);
    m->DevBlkOff = quor_decode_32(in, INIT_DevBlkOff);
    m->DevCRCAlgo = quor_decode_32(in, INIT_DevCRCAlgo);
    m->SecurityTicket = quor_decode_64(in, INIT_SecurityTicket);
    m->CheckSum = quor_decode_64(in, INIT_CheckSum);
    return checkLayout(in, MVRPROT_DELIMITER, INIT_CheckSum, initSum(in));
}

int mvrprot_pack_ipaddr(const initiator_ipaddr_t *m, unsigned char out[MVRPROT_IPADDR_SIZE])
{
    const sockaddr_storage &ss = m->IpAddr.SockAddr.hs_addr;
    memset(out, 0, MVRPROT_IPADDR_SIZE);
    uint16_t port;
    if (ss.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&ss);
        quor_encode_32(out, ADDR_Family, MVRPROT_FAMILY_IPV4);
        quor_encode_chars(out, ADDR_Address, &in->sin_addr, sizeof(in->sin_addr));
        port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&ss);
        quor_encode_32(out, ADDR_Family, MVRPROT_FAMILY_IPV6);
        quor_encode_chars(out, ADDR_Address, &in6->sin6_addr, ADDR_AddressSize);
        port = ntohs(in6->sin6_port);
    } else {
        return -EINVAL;
    }
    quor_encode_64(out, ADDR_Delimiter, MVRPROT_DELIMITER);
    quor_encode_32(out, ADDR_Flags, m->Flags);
    quor_encode_64(out, ADDR_SockTransferID, m->IpAddr.SockTransferID);
    quor_encode_32(out, ADDR_Port, port);
    quor_encode_64(out, ADDR_SockOffset, m->IpAddr.SockOffset);
    quor_encode_64(out, ADDR_SecurityTicket, m->SecurityTicket);
    quor_encode_64(out, ADDR_CheckSum, addrSum(out));
    return 0;
}

int mvrprot_unpack_ipaddr(const unsigned char in[MVRPROT_IPADDR_SIZE], initiator_ipaddr_t *m)
{
    m->Delimiter = quor_decode_64(in, ADDR_Delimiter);
    m->Flags = quor_decode_32(in, ADDR_Flags);
    m->IpAddr.SockTransferID = quor_decode_64(in, ADDR_SockTransferID);
    m->IpAddr.SockOffset = quor_decode_64(in, ADDR_SockOffset);
    m->SecurityTicket = quor_decode_64(in, ADDR_SecurityTicket);
    m->CheckSum = quor_decode_64(in, ADDR_CheckSum);
    quor_sockaddr_t &sa = m->IpAddr.SockAddr;
    memset(&sa, 0, sizeof sa);
    uint32_t family = quor_decode_32(in, ADDR_Family);
    uint32_t port = quor_decode_32(in, ADDR_Port);
    if ((family != MVRPROT_FAMILY_IPV4 && family != MVRPROT_FAMILY_IPV6) || port > 0xffff)
        return -EINVAL;
    int rc = checkLayout(in, MVRPROT_DELIMITER, ADDR_CheckSum, addrSum(in));
    if (rc < 0)
        return rc;
    if (family == MVRPROT_FAMILY_IPV4) {
        auto *a = reinterpret_cast<sockaddr_in *>(&sa.hs_addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(port));
        quor_decode_chars(in, ADDR_Address, &a->sin_addr, sizeof(a->sin_addr));
        sa.hs_addrlen = sizeof(sockaddr_in);
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&sa.hs_addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        quor_decode_chars(in, ADDR_Address, &a->sin6_addr, ADDR_AddressSize);
        sa.hs_addrlen = sizeof(sockaddr_in6);
    }
    return 0;
}

void mvrprot_pack_compmsg(const completion_msg_t *m, unsigned char out[MVRPROT_COMPMSG_SIZE])
{
    quor_encode_64(out, COMP_Delimiter, MVRPROT_DELIMITER);
    quor_encode_32(out, COMP_Flags, m->Flags);
    quor_encode_32(out, COMP_Status, static_cast<uint32_t>(m->Status));
    quor_encode_64(out, COMP_BytesMoved, m->BytesMoved);
    quor_encode_64(out, COMP_SecurityTicket, m->SecurityTicket);
    quor_encode_64(out, COMP_CheckSum, compSum(out));
}

int mvrprot_unpack_compmsg(const unsigned char in[MVRPROT_COMPMSG_SIZE], completion_msg_t *m)
{
    m->Delimiter = quor_decode_64(in, COMP_Delimiter);
    m->Flags = quor_decode_32(in, COMP_Flags);
    m->Status = static_cast<int32_t>(quor_decode_32(in, COMP_Status));
    m->BytesMoved = quor_decode_64(in, COMP_BytesMoved);
    m->SecurityTicket = quor_decode_64(in, COMP_SecurityTicket);
    m->CheckSum = quor_decode_64(in, COMP_CheckSum);
    return checkLayout(in, MVRPROT_DELIMITER, COMP_CheckSum, compSum(in));
}

void pdata_pack_hdr(const pdata_hdr_t *h, unsigned char out[PDATA_HDR_SIZE])
{
    quor_encode_64(out, PDATA_Delimiter, PDATA_DELIMITER);
    quor_encode_64(out, PDATA_XferID, h->XferID);
    quor_encode_64(out, PDATA_Offset, h->Offset);
    quor_encode_64(out, PDATA_Length, h->Length);
    quor_encode_64(out, PDATA_SecurityTicket, h->SecurityTicket);
    quor_encode_64(out, PDATA_CheckSum, pdataSum(out));
}

int pdata_unpack_hdr(const unsigned char in[PDATA_HDR_SIZE], pdata_hdr_t *h)
{
    h->PdataDelimiter = quor_decode_64(in, PDATA_Delimiter);
    h->XferID = quor_decode_64(in, PDATA_XferID);
    h->Offset = quor_decode_64(in, PDATA_Offset);
    h->Length = quor_decode_64(in, PDATA_Length);
    h->SecurityTicket = quor_decode_64(in, PDATA_SecurityTicket);
    h->CheckSum = quor_decode_64(in, PDATA_CheckSum);
    return checkLayout(in, PDATA_DELIMITER, PDATA_CheckSum, pdataSum(in));
}

// Node bytes are signed 8-bit values; every sum wraps at 32 bits.
static uint32_t signedNode(const kyl_uuid_t *id, int i)
{
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(id->node[i])));
}

uint32_t quor_RequestIDtoU32(const kyl_uuid_t *id)
{
    uint32_t node = signedNode(id, 0) + signedNode(id, 2) * 256u + signedNode(id, 4) * 65536u;
    return (id->clock_seq_hi_and_reserved ^ id->time_low) + node;
}

void transfer_secret_input(uint32_t purpose, uint64_t id, unsigned char out[TRANSFER_SECRET_INPUT_SIZE])
{
    quor_encode_32(out, 0, purpose);
    quor_encode_64(out, 4, id);
}

uint64_t transfer_secret_ticket(const unsigned char secret[TRANSFER_SECRET_SIZE])
{
    return quor_decode_64(secret, 0);
}

uint64_t transfer_lfx_id(uint32_t poolId, uint16_t port)
{
    return (uint64_t{poolId} << 16) | port;
}

uint64_t transfer_stream_id(int32_t fildes, uint16_t port)
{
    return (uint64_t{static_cast<uint32_t>(fildes)} << 16) | port;
}

uint64_t quor_RequestIDtoU64(const kyl_uuid_t *id)
{
    uint32_t node = signedNode(id, 1) + signedNode(id, 3) * 256u + signedNode(id, 5) * 65536u;
    uint32_t mixed = id->time_mid + (static_cast<uint32_t>(id->time_hi_and_version) << 8);
    uint32_t high = (id->clock_seq_low ^ mixed) + node;
    return (static_cast<uint64_t>(high) << 32) | quor_RequestIDtoU32(id);
}
