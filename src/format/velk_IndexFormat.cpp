// Index file records: the header and entry images and the small helpers
// every reader of an index uses.  The records are the file images (each
// integer a big-endian byte array), so encoding and decoding copy bytes;
// the static assertions tie every member to its offset in the field table.
// Pure functions; any thread.

#include "velk_IndexFormat.h"

#include <cstring>

#define VELK_FIELD_AT(type, field, off) static_assert(offsetof(type, field) == (off), #field " is misplaced")

VELK_FIELD_AT(hif_hdr_t, hif_hdr.hif_sanity, HIF_sanity_offset);
VELK_FIELD_AT(hif_hdr_t, hif_hdr.hif_version, HIF_version_offset);
VELK_FIELD_AT(hif_hdr_t, hif_hdr.hif_flags, HIF_flags_offset);
VELK_FIELD_AT(hif_hdr_t, hif_hdr.obj_count, HIF_obj_count_offset);
VELK_FIELD_AT(hif_hdr_t, hif_hdr.annotation_offset, HIF_annotation_offset_offset);
VELK_FIELD_AT(hif_hdr_t, hif_hdr.annotation_size, HIF_annotation_size_offset);
VELK_FIELD_AT(hif_hdr_t, hif_cfinfo, HIF_cfinfo_offset);

VELK_FIELD_AT(hif_consistency_t, hif_inx_sanity, HCF_inx_sanity_offset);
VELK_FIELD_AT(hif_consistency_t, hif_cf_version, HCF_cf_version_offset);
VELK_FIELD_AT(hif_consistency_t, hif_cf_rewrite_time, HCF_cf_rewrite_time_offset);
VELK_FIELD_AT(hif_consistency_t, hif_create_time, HCF_create_time_offset);
VELK_FIELD_AT(hif_consistency_t, hif_update_time, HCF_update_time_offset);
VELK_FIELD_AT(hif_consistency_t, hif_chost, HCF_chost_offset);
VELK_FIELD_AT(hif_consistency_t, hif_mhost, HCF_mhost_offset);
VELK_FIELD_AT(hif_consistency_t, hif_tarsize, HCF_tarsize_offset);
VELK_FIELD_AT(hif_consistency_t, hif_velk_filecount, HCF_filecount_offset);
VELK_FIELD_AT(hif_consistency_t, hif_soft_deletes, HCF_soft_deletes_offset);
VELK_FIELD_AT(hif_consistency_t, hif_hard_deletes, HCF_hard_deletes_offset);
VELK_FIELD_AT(hif_consistency_t, reserved2, HCF_reserved2_offset);

VELK_FIELD_AT(hif_entry_t, hent_sanity, HENT_sanity_offset);
VELK_FIELD_AT(hif_entry_t, hent_flags, HENT_flags_offset);
VELK_FIELD_AT(hif_entry_t, hent_blocks, HENT_blocks_offset);
VELK_FIELD_AT(hif_entry_t, hent_type, HENT_type_offset);
VELK_FIELD_AT(hif_entry_t, hent_parent, HENT_parent_offset);
VELK_FIELD_AT(hif_entry_t, hent_version, HENT_version_offset);
VELK_FIELD_AT(hif_entry_t, hent_offset, HENT_offset_offset);
VELK_FIELD_AT(hif_entry_t, hent_fsize, HENT_fsize_offset);
VELK_FIELD_AT(hif_entry_t, hent_annotation, HENT_annotation_offset);
VELK_FIELD_AT(hif_entry_t, hent_annotation_bytes, HENT_annotation_bytes_offset);
VELK_FIELD_AT(hif_entry_t, hent_crc32, HENT_crc32_offset);
VELK_FIELD_AT(hif_entry_t, hent_name, HENT_name_offset);
VELK_FIELD_AT(hif_entry_t, hent_prefix, HENT_prefix_offset);
VELK_FIELD_AT(hif_entry_t, hent_linkname, HENT_linkname_offset);
VELK_FIELD_AT(hif_entry_t, hent_mode, HENT_mode_offset);
VELK_FIELD_AT(hif_entry_t, hent_ctime, HENT_ctime_offset);
VELK_FIELD_AT(hif_entry_t, hent_mtime, HENT_mtime_offset);
VELK_FIELD_AT(hif_entry_t, hent_uid, HENT_uid_offset);
VELK_FIELD_AT(hif_entry_t, hent_gid, HENT_gid_offset);
VELK_FIELD_AT(hif_entry_t, hent_uname, HENT_uname_offset);
VELK_FIELD_AT(hif_entry_t, hent_gname, HENT_gname_offset);
VELK_FIELD_AT(hif_entry_t, hent_reserved, HENT_reserved_offset);

static_assert(sizeof HIF_SANITY == 10, "sanity text plus its NUL");
static_assert(sizeof HENT_SANITY - 1 == HENT_sanity_size, "entry sanity fills its field");

const char *velk_ObjectTypeName(uint32_t type)
{
    switch (type) {
    case VTO_FILE: return "FILE";
    case VTO_DIRECTORY: return "DIRECTORY";
    case VTO_HARDLINK: return "HARD LINK";
    case VTO_SYMLINK: return "SYMLINK";
    default: return "UNKNOWN";
    }
}

void velk_EncodeIndexHeader(const hif_hdr_t *hdr, unsigned char *out)
{
    memcpy(out, hdr, HIF_HDR_SIZE);
}

int velk_DecodeIndexHeader(const unsigned char *in, size_t len, hif_hdr_t *hdr)
{
    if (in == nullptr || len < HIF_HDR_SIZE)
        return -1;
    memcpy(hdr, in, HIF_HDR_SIZE);
    return 0;
}

bool velk_IndexHeaderSane(const hif_hdr_t *hdr)
{
    // The text and its terminating NUL; bytes after the NUL are not looked at.
    return memcmp(hdr->hif_hdr.hif_sanity, HIF_SANITY, sizeof HIF_SANITY) == 0;
}

void velk_EncodeIndexEntry(const hif_entry_t *entry, unsigned char *out)
{
    memcpy(out, entry, HIF_ENTRY_SIZE);
}

int velk_DecodeIndexEntry(const unsigned char *in, size_t len, hif_entry_t *entry)
{
    if (in == nullptr || len < HIF_ENTRY_SIZE)
        return -1;
    memcpy(entry, in, HIF_ENTRY_SIZE);
    return 0;
}

bool velk_IndexEntrySane(const hif_entry_t *entry)
{
    return memcmp(entry->hent_sanity, HENT_SANITY, HENT_sanity_size) == 0;
}

size_t velk_FormIxEntryPathname(const hif_entry_t *entry, char *out, size_t size)
{
    // Either text field may fill its bytes without a NUL (an entry made from
    // a foreign tar header), so both lengths are bounded.
    size_t plen = strnlen(entry->hent_prefix, HENT_PREFIX_MAX);
    size_t nlen = strnlen(entry->hent_name, HENT_name_size);
    char whole[VELK_PATH_BUFSIZE];
    size_t len = 0;
    if (plen > 0) {
        memcpy(whole, entry->hent_prefix, plen);
        len = plen;
        whole[len++] = '/';
    }
    memcpy(whole + len, entry->hent_name, nlen);
    len += nlen;
    whole[len] = '\0';
    if (out != nullptr && size > 0) {
        size_t n = len < size - 1 ? len : size - 1;
        memcpy(out, whole, n);
        out[n] = '\0';
    }
    return len;
}
