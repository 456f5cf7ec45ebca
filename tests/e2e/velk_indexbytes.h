// The bytes of an index file as velk writes one: the header (mark, version,
// flags, entry count, and the consistency record's archive size and member
// count) and the entries, encoded with the index routines.

#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "velk_IndexFormat.h"

inline std::string indexFileBytes(const std::vector<hif_entry_t> &entries, uint64_t tarsize, uint32_t flags = 0)
{
    hif_hdr_t h;
    memset(&h, 0, sizeof h);
    memcpy(h.hif_hdr.hif_sanity, HIF_SANITY, sizeof HIF_SANITY - 1);
    velk_Put32(h.hif_hdr.hif_version, HIF_VERSION);
    velk_Put32(h.hif_hdr.hif_flags, flags);
    velk_Put32(h.hif_hdr.obj_count, static_cast<uint32_t>(entries.size()));
    memcpy(h.hif_cfinfo.hif_inx_sanity, "VELK_INX", 8);
    velk_Put32(h.hif_cfinfo.hif_cf_version, 1);
    velk_Put64(h.hif_cfinfo.hif_tarsize, tarsize);
    velk_Put64(h.hif_cfinfo.hif_velk_filecount, entries.size());
    unsigned char img[HIF_ENTRY_SIZE]; // the larger of the two records
    velk_EncodeIndexHeader(&h, img);
    std::string out(reinterpret_cast<char *>(img), HIF_HDR_SIZE);
    for (const hif_entry_t &e : entries) {
        velk_EncodeIndexEntry(&e, img);
        out.append(reinterpret_cast<char *>(img), HIF_ENTRY_SIZE);
    }
    return out;
}
