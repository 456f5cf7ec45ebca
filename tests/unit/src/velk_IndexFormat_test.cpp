// Index records against bytes typed from the field tables: the header's
// first 32 bytes and consistency record, an entry with every numeric field
// distinct (64-bit fields at unaligned offsets), and decoding limits.

#include "velk_unit_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes typed(size_t size, const std::vector<std::pair<size_t, std::string>> &fields)
{
    Bytes b(size, 0);
    for (const auto &[offset, text] : fields)
        memcpy(b.data() + offset, text.data(), text.size());
    return b;
}

TEST(IndexFormat, HeaderBytesAndDecode)
{
    hif_hdr_t h;
    memset(&h, 0, sizeof h);
    memcpy(h.hif_hdr.hif_sanity, "VelkIndex", 9);
    velk_Put32(h.hif_hdr.hif_version, 2001);
    velk_Put32(h.hif_hdr.hif_flags, 0x80000000u);
    velk_Put32(h.hif_hdr.obj_count, 0x01020304);
    velk_Put32(h.hif_hdr.annotation_size, 0x100);
    memcpy(h.hif_cfinfo.hif_inx_sanity, "VELK_INX", 8);
    velk_Put64(h.hif_cfinfo.hif_tarsize, 2560);
    velk_Put64(h.hif_cfinfo.hif_velk_filecount, 2);
    Bytes out(288, 0xEE);
    velk_EncodeIndexHeader(&h, out.data());
    // The consistency record at byte 32: archive size at 32+124 and member
    // count at 32+132, big-endian 64-bit.
    Bytes want = typed(288, {{0, "VelkIndex"}, {12, std::string("\0\0\x07\xD1\x80\0\0\0\x01\x02\x03\x04", 12)},
                             {28, std::string("\0\0\x01\0", 4)}, {32, "VELK_INX"},
                             {156, std::string("\0\0\0\0\0\0\x0A\0", 8)}, {164, std::string("\0\0\0\0\0\0\0\x02", 8)}});
    EXPECT_EQ(out, want);
    hif_hdr_t back;
    ASSERT_EQ(velk_DecodeIndexHeader(out.data(), 288, &back), 0);
    EXPECT_TRUE(velk_IndexHeaderSane(&back));
    EXPECT_EQ(velk_Get32(back.hif_hdr.obj_count), 0x01020304u);
    EXPECT_EQ(velk_Get64(back.hif_cfinfo.hif_tarsize), 2560u);
    EXPECT_EQ(velk_DecodeIndexHeader(out.data(), 287, &back), -1);
    out[9] = 'X';  // "VelkIndexX" is not the mark: the NUL after the text is part of it
    ASSERT_EQ(velk_DecodeIndexHeader(out.data(), 288, &back), 0);
    EXPECT_FALSE(velk_IndexHeaderSane(&back));
}

TEST(IndexFormat, EntryBytes)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, "VELK_IDX", 8);
    velk_Put32(e.hent_flags, 0xD0000000u);
    velk_Put32(e.hent_blocks, 0x00000003);
    velk_Put32(e.hent_type, 4);
    velk_Put32(e.hent_version, 1);
    velk_Put64(e.hent_offset, 0x0102030405060708ull);
    velk_Put64(e.hent_fsize, 0x1112131415161718ull);
    velk_Put32(e.hent_crc32, 0xCAFEBABE);
    strcpy(e.hent_name, "n");
    strcpy(e.hent_prefix, "p");
    strcpy(e.hent_linkname, "l");
    velk_Put32(e.hent_mode, 0644);
    velk_Put32(e.hent_ctime, 0x21222324);
    velk_Put32(e.hent_mtime, 0x31323334);
    velk_Put32(e.hent_uid, 0x41424344);
    velk_Put32(e.hent_gid, 0x51525354);
    strcpy(e.hent_uname, "u");
    strcpy(e.hent_gname, "g");
    Bytes want = typed(512, {{0, "VELK_IDX"}, {8, std::string("\xD0\0\0\0\0\0\0\x03\0\0\0\x04", 12)},
                             {24, std::string("\0\0\0\x01\x01\x02\x03\x04\x05\x06\x07\x08", 12)},
                             {36, "\x11\x12\x13\x14\x15\x16\x17\x18"}, {52, "\xCA\xFE\xBA\xBE"}, {56, "n"},
                             {156, "p"}, {312, "l"}, {412, std::string("\0\0\x01\xA4", 4)},
                             {416, "\x21\x22\x23\x24\x31\x32\x33\x34\x41\x42\x43\x44\x51\x52\x53\x54"}, {432, "u"},
                             {464, "g"}});
    Bytes out(512, 0xEE);
    velk_EncodeIndexEntry(&e, out.data());
    EXPECT_EQ(out, want);
    hif_entry_t back;
    ASSERT_EQ(velk_DecodeIndexEntry(want.data(), 512, &back), 0);
    EXPECT_TRUE(velk_IndexEntrySane(&back));
    EXPECT_EQ(velk_Get64(back.hent_offset), 0x0102030405060708ull);
    EXPECT_EQ(velk_Get32(back.hent_gid), 0x51525354u);
    EXPECT_LT(static_cast<int32_t>(velk_Get32(back.hent_flags)), 0);  // the phantom bit is the sign
    EXPECT_EQ(velk_DecodeIndexEntry(want.data(), 511, &back), -1);
    want[7] = 'Y';
    ASSERT_EQ(velk_DecodeIndexEntry(want.data(), 512, &back), 0);
    EXPECT_FALSE(velk_IndexEntrySane(&back));
}

} // namespace
