// JSON strings made from byte names: the exact escapes, and a record's shape.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "velk_IndexFormat.h"
#include "velk_Json.h"
#include "velk_List.h"

namespace {

struct Case {
    const char *what;
    std::string in;
    const char *want;
};

TEST(Json, StringEscapes)
{
    const Case cases[] = {
        {"plain", "dir/a.txt", "\"dir/a.txt\""},
        {"empty", "", "\"\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"short escapes", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {"other controls and DEL", std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\""},
        {"NUL byte", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"valid 2-byte UTF-8", "caf\xc3\xa9", "\"caf\xc3\xa9\""},
        {"valid 3-byte UTF-8", "\xe2\x82\xac", "\"\xe2\x82\xac\""},
        {"valid 4-byte UTF-8", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
        {"Latin-1 byte", "caf\xe9", "\"caf\\udce9\""},
        {"lone continuation", "\x80x", "\"\\udc80x\""},
        {"cut sequence at end", "a\xe2\x82", "\"a\\udce2\\udc82\""},
        {"overlong slash", "\xc0\xaf", "\"\\udcc0\\udcaf\""},
        {"overlong 3-byte", "\xe0\x80\xaf", "\"\\udce0\\udc80\\udcaf\""},
        {"overlong 4-byte", "\xf0\x8f\xbf\xbf", "\"\\udcf0\\udc8f\\udcbf\\udcbf\""},
        {"encoded surrogate", "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
        {"bad lead byte", "\xff", "\"\\udcff\""},
    };
    for (const Case &c : cases) {
        std::string out;
        velk_JsonString(&out, c.in.data(), c.in.size());
        EXPECT_EQ(out, c.want) << c.what;
    }
}

TEST(Json, RecordFields)
{
    std::string rec;
    velk_JsonBegin(&rec);
    velk_JsonAddCStr(&rec, "name", "a\nb");
    velk_JsonAddInt(&rec, "size", -5);
    velk_JsonAddBool(&rec, "deleted", true);
    velk_JsonAddBool(&rec, "ok", false);
    velk_JsonEnd(&rec);
    EXPECT_EQ(rec, "{\"name\":\"a\\nb\",\"size\":-5,\"deleted\":true,\"ok\":false}\n");
    // A record is started afresh, never appended to the previous one.
    velk_JsonBegin(&rec);
    velk_JsonEnd(&rec);
    EXPECT_EQ(rec, "{}\n");
}

// The listing record of an entry: every field from its place in the entry,
// the offset in bytes, crc only when stored, link only for links.
TEST(Json, ListRecordOfAnEntry)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    velk_Put32(e.hent_type, VTO_SYMLINK);
    velk_Put32(e.hent_flags, HIF_FLAG_DELETED);
    velk_Put64(e.hent_offset, 3);
    velk_Put64(e.hent_fsize, 7);
    velk_Put32(e.hent_mode, 0120777);
    velk_Put32(e.hent_mtime, 1709647620);
    velk_Put32(e.hent_uid, 1000);
    velk_Put32(e.hent_gid, 100);
    velk_Put32(e.hent_crc32, 0xCBF43926);
    memcpy(e.hent_prefix, "top", 3);
    memcpy(e.hent_name, "l\xe9n", 3);
    memcpy(e.hent_linkname, "t", 1);
    memcpy(e.hent_uname, "user1", 5);
    memcpy(e.hent_gname, "users", 5);
    std::string rec = "stale";
    velk_FormatListRecord(&e, &rec);
    EXPECT_EQ(rec, "{\"name\":\"top/l\\udce9n\",\"type\":\"symlink\",\"mode\":511,\"uid\":1000,\"gid\":100,"
                   "\"user\":\"user1\",\"group\":\"users\",\"size\":7,\"mtime\":1709647620,\"offset\":1536,"
                   "\"deleted\":true,\"link\":\"t\"}\n");
    velk_Put32(e.hent_type, VTO_FILE);
    velk_Put32(e.hent_flags, HIF_FLAG_CRC);
    velk_FormatListRecord(&e, &rec);
    EXPECT_NE(rec.find("\"type\":\"file\","), std::string::npos) << rec;
    EXPECT_NE(rec.find("\"deleted\":false,\"crc\":3421780262}\n"), std::string::npos) << rec;
}

} // namespace
