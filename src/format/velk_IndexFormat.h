#ifndef VELK_INDEXFORMAT_H
#define VELK_INDEXFORMAT_H

// Byte layout of the index file: the 288-byte header (hif_hdr_t: the
// 32-byte hidx_hdr_t followed by the 256-byte consistency record) and the
// 512-byte entry (hif_entry_t), with the member object types and the entry
// flag bits.  The records are the file images themselves: every integer is
// a big-endian byte array read and written through the accessors below, so
// a record may sit at any address (a pointer into a read buffer is valid)
// and nothing depends on host byte order or alignment.  No state, no locks.

#include <cstddef>
#include <cstdint>

#include "u_signed64.h"

// One 512-byte block of an archive; index entries have the same size.
constexpr int VELK_BLOCKSIZE = 512;

// Object types of index entries and member-table records.
enum VELK_OBJECT_TYPE : uint32_t {
    VTO_UNKNOWN = 0,
    VTO_FILE = 1,
    VTO_DIRECTORY = 2,
    VTO_HARDLINK = 3,
    VTO_SYMLINK = 4,
    VTO_INDEXEOF = 5,
    VTO_BAD_TYPE = 6,
};

// Display name of an object type ("UNKNOWN", "FILE", "DIRECTORY", "HARD LINK",
// "SYMLINK"); "UNKNOWN" for any other value.
const char *velk_ObjectTypeName(uint32_t type);

// Big-endian integer fields.  Alignment 1, so records have no padding.
struct velk_be32_t {
    unsigned char b[4];
};
struct velk_be64_t {
    unsigned char b[8];
};
inline uint32_t velk_Get32(const velk_be32_t &f)
{
    return u_be32_get(f.b);
}
inline void velk_Put32(velk_be32_t &f, uint32_t v)
{
    u_be32_put(f.b, v);
}
inline uint64_t velk_Get64(const velk_be64_t &f)
{
    return u_signed64_get(f.b);
}
inline void velk_Put64(velk_be64_t &f, uint64_t v)
{
    u_signed64_put(f.b, v);
}

// ---------------------------------------------------------------------------
// Index header.
// ---------------------------------------------------------------------------

constexpr size_t HIF_HDR_SIZE = 288;
constexpr size_t HIDX_HDR_SIZE = 32;
constexpr size_t HIF_CONSISTENCY_SIZE = 256;

// Field table of the first 32 bytes (offsets from the start of the file).
constexpr size_t HIF_sanity_offset = 0, HIF_sanity_size = 12;
constexpr size_t HIF_version_offset = 12;
constexpr size_t HIF_flags_offset = 16;
constexpr size_t HIF_obj_count_offset = 20;
constexpr size_t HIF_annotation_offset_offset = 24;
constexpr size_t HIF_annotation_size_offset = 28;
constexpr size_t HIF_cfinfo_offset = 32;

// "VelkIndex" and three NULs.
constexpr char HIF_SANITY[] = "VelkIndex";
constexpr uint32_t HIF_VERSION = 2001;
// Index flag set by build index when the archive was not written by velk
// (no valid consistency file, or one whose member count disagrees).
constexpr uint32_t HIF_IDX_FOREIGN_ARCHIVE = 0x80000000u;

struct hidx_hdr_t {
    char hif_sanity[12];
    velk_be32_t hif_version;
    velk_be32_t hif_flags;
    velk_be32_t obj_count;         // entries, the consistency file's included
    velk_be32_t annotation_offset; // 0
    velk_be32_t annotation_size;   // bytes of annotation area after the header
};

// The consistency record (offsets from its own start).  It sits at byte 32
// of the index header and is the body of the archive's last member.
constexpr size_t HCF_inx_sanity_offset = 0, HCF_inx_sanity_size = 8;
constexpr size_t HCF_cf_version_offset = 8;
constexpr size_t HCF_cf_rewrite_time_offset = 12;
constexpr size_t HCF_create_time_offset = 16;
constexpr size_t HCF_update_time_offset = 20;
constexpr size_t HCF_chost_offset = 24, HCF_host_size = 50;
constexpr size_t HCF_mhost_offset = 74;
constexpr size_t HCF_tarsize_offset = 124;
constexpr size_t HCF_filecount_offset = 132;
constexpr size_t HCF_soft_deletes_offset = 140;
constexpr size_t HCF_hard_deletes_offset = 144;
constexpr size_t HCF_reserved2_offset = 148, HCF_reserved2_size = 108;

struct hif_consistency_t {
    char hif_inx_sanity[8]; // "VELK_INX", no NUL
    velk_be32_t hif_cf_version;
    velk_be32_t hif_cf_rewrite_time;
    velk_be32_t hif_create_time;
    velk_be32_t hif_update_time;
    char hif_chost[50];
    char hif_mhost[50];
    velk_be64_t hif_tarsize;
    velk_be64_t hif_velk_filecount;
    velk_be32_t hif_soft_deletes;
    velk_be32_t hif_hard_deletes;
    unsigned char reserved2[108];
};

struct hif_hdr_t {
    hidx_hdr_t hif_hdr;
    hif_consistency_t hif_cfinfo;
};

// ---------------------------------------------------------------------------
// Index entry.
// ---------------------------------------------------------------------------

constexpr size_t HIF_ENTRY_SIZE = 512;

// Field table (offsets from the start of the entry).
constexpr size_t HENT_sanity_offset = 0, HENT_sanity_size = 8;
constexpr size_t HENT_flags_offset = 8;
constexpr size_t HENT_blocks_offset = 12;
constexpr size_t HENT_type_offset = 16;
constexpr size_t HENT_parent_offset = 20;
constexpr size_t HENT_version_offset = 24;
constexpr size_t HENT_offset_offset = 28;
constexpr size_t HENT_fsize_offset = 36;
constexpr size_t HENT_annotation_offset = 44;
constexpr size_t HENT_annotation_bytes_offset = 48;
constexpr size_t HENT_crc32_offset = 52;
constexpr size_t HENT_name_offset = 56, HENT_name_size = 100;
constexpr size_t HENT_prefix_offset = 156, HENT_prefix_size = 156;
constexpr size_t HENT_linkname_offset = 312, HENT_linkname_size = 100;
constexpr size_t HENT_mode_offset = 412;
constexpr size_t HENT_ctime_offset = 416;
constexpr size_t HENT_mtime_offset = 420;
constexpr size_t HENT_uid_offset = 424;
constexpr size_t HENT_gid_offset = 428;
constexpr size_t HENT_uname_offset = 432, HENT_uname_size = 32;
constexpr size_t HENT_gname_offset = 464, HENT_gname_size = 32;
constexpr size_t HENT_reserved_offset = 496, HENT_reserved_size = 16;

// Longest prefix part a path split stores (the field has one byte more).
constexpr size_t HENT_PREFIX_MAX = 155;

// "VELK_IDX", no NUL.
constexpr char HENT_SANITY[] = "VELK_IDX";

// Entry flags.  Readers test the phantom bit as the sign of the flags word.
constexpr uint32_t HIF_FLAG_PHANTOM = 0x80000000u; // data unusable: transfer failed
constexpr uint32_t HIF_FLAG_DELETED = 0x40000000u; // soft-deleted
constexpr uint32_t HIF_FLAG_CRC = 0x10000000u;     // hent_crc32 is valid

struct hif_entry_t {
    char hent_sanity[8];
    velk_be32_t hent_flags;
    velk_be32_t hent_blocks;  // archive blocks, header block included
    velk_be32_t hent_type;    // VELK_OBJECT_TYPE
    velk_be32_t hent_parent;  // 0
    velk_be32_t hent_version; // 1 from a member-table record, 0 from a tar header
    velk_be64_t hent_offset;  // block number of the member's header block
    velk_be64_t hent_fsize;   // member size in bytes
    velk_be32_t hent_annotation;
    velk_be32_t hent_annotation_bytes;
    velk_be32_t hent_crc32;
    char hent_name[100]; // need not be NUL-terminated when made from a tar header
    char hent_prefix[156];
    char hent_linkname[100];
    velk_be32_t hent_mode;
    velk_be32_t hent_ctime;
    velk_be32_t hent_mtime;
    velk_be32_t hent_uid;
    velk_be32_t hent_gid;
    char hent_uname[32];
    char hent_gname[32];
    unsigned char hent_reserved[16];
};

static_assert(sizeof(hidx_hdr_t) == HIDX_HDR_SIZE, "index header prefix must be 32 bytes");
static_assert(sizeof(hif_consistency_t) == HIF_CONSISTENCY_SIZE, "consistency record must be 256 bytes");
static_assert(sizeof(hif_hdr_t) == HIF_HDR_SIZE, "index header must be 288 bytes");
static_assert(sizeof(hif_entry_t) == HIF_ENTRY_SIZE, "index entry must be 512 bytes");

// Encodes the header record into exactly 288 bytes at out.
void velk_EncodeIndexHeader(const hif_hdr_t *hdr, unsigned char *out);
// Decodes the header from len bytes at in.  Returns 0, or -1 when len is
// below 288 (hdr untouched).
[[nodiscard]] int velk_DecodeIndexHeader(const unsigned char *in, size_t len, hif_hdr_t *hdr);
// True when the header's sanity field is "VelkIndex" followed by a NUL.
bool velk_IndexHeaderSane(const hif_hdr_t *hdr);

// Encodes the entry into exactly 512 bytes at out.
void velk_EncodeIndexEntry(const hif_entry_t *entry, unsigned char *out);
// Decodes an entry from len bytes at in.  Returns 0, or -1 when len is below
// 512 (entry untouched).
[[nodiscard]] int velk_DecodeIndexEntry(const unsigned char *in, size_t len, hif_entry_t *entry);
// True when the entry begins with "VELK_IDX".
bool velk_IndexEntrySane(const hif_entry_t *entry);

// Blocks a member of size bytes occupies: its header block and the data
// rounded up to whole blocks.
inline uint64_t velk_MemberBlocks(uint64_t size)
{
    return 1 + size / VELK_BLOCKSIZE + (size % VELK_BLOCKSIZE != 0 ? 1 : 0);
}

// The member path: prefix "/" name when the prefix is non-empty, else the
// name.  At most 155 prefix and 100 name bytes are used (either field may
// lack its NUL).  Writes at most size-1 bytes and a NUL into out; returns
// the length of the whole path (which may exceed size-1 if out is short).
// VELK_PATH_BUFSIZE bytes always hold the whole path.
constexpr size_t VELK_PATH_BUFSIZE = HENT_PREFIX_MAX + 1 + HENT_name_size + 1;
size_t velk_FormIxEntryPathname(const hif_entry_t *entry, char *out, size_t size);

#endif
