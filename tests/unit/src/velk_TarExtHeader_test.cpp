// Extension records before a member header: pax records parsed with every
// length checked (malformed and out-of-range values), long-name and pax
// headers fed block by block and laid into the member's header as an index
// entry holds it, and what cannot be held refused.

#include "velk_TarExtHeader.h"
#include "velk_unit_fixture.h"

namespace {

using Block = std::vector<unsigned char>;

// One well-formed pax record "<len> key=value\n".
std::string rec(const std::string &key, const std::string &value)
{
    size_t body = key.size() + value.size() + 3; // blank, '=', newline
    size_t len = body + std::to_string(body).size();
    len = body + std::to_string(len).size();
    return std::to_string(len) + " " + key + "=" + value + "\n";
}

// A ustar header block of type t for name, size bytes of data, checksum set;
// binaryLead, when not 0, is the first byte of a base-256 size of zeros.
Block header(char t, const std::string &name, uint64_t size = 0, unsigned char binaryLead = 0)
{
    Block b(512, 0);
    memcpy(b.data(), name.data(), std::min<size_t>(name.size(), 100));
    char *c = reinterpret_cast<char *>(b.data());
    Uint32_tToOctal(0644, c + USTAR_mode_offset, 8, 1, "");
    Uint64_tToOctal(size, c + USTAR_size_offset, 12, 0, "");
    Uint32_tToOctal(1000, c + USTAR_mtime_offset, 12, 1, "");
    b[USTAR_typeflag_offset] = static_cast<unsigned char>(t);
    if (binaryLead != 0) {
        memset(c + USTAR_size_offset, 0, 12);
        b[USTAR_size_offset] = binaryLead;
    }
    memcpy(c + USTAR_magic_offset, "ustar\0" "00", 8);
    snprintf(c + USTAR_checksum_offset, 8, "%6o", static_cast<unsigned>(velk_TarHeaderChecksum(b.data(), false)));
    b[USTAR_checksum_offset + 7] = ' ';
    return b;
}

// An extension record of type t holding data: its header and data blocks.
std::vector<Block> record(char t, const std::string &data)
{
    std::vector<Block> out{header(t, "././@LongLink", data.size())};
    for (size_t off = 0; off < data.size(); off += 512) {
        Block b(512, 0);
        memcpy(b.data(), data.data() + off, std::min<size_t>(512, data.size() - off));
        out.push_back(b);
    }
    return out;
}

std::string field(const Block &b, size_t off, size_t width)
{
    const char *p = reinterpret_cast<const char *>(b.data()) + off;
    return std::string(p, strnlen(p, width));
}

struct Fed {
    int rc;
    Block out;
    uint32_t blocks;
};

// Feeds blocks to r; the result of the last one and the header laid out.
Fed feed(velk_tar_ext_reader_t *r, const std::vector<Block> &blocks)
{
    Fed f{0, Block(512, 0), 0};
    for (size_t i = 0; i < blocks.size(); i++) {
        f.rc = velk_TarExtFeed(r, blocks[i].data(), f.out.data());
        if (i + 1 < blocks.size() && f.rc != VELK_TAREXT_MORE)
            ADD_FAILURE() << "block " << i << " gave " << f.rc;
    }
    f.blocks = r->blocks;
    return f;
}

} // namespace

TEST(TarExtHeader, PaxRecordsAreCheckedAgainstTheirLengths)
{
    const std::string nul("7 a=\0\n\n", 6);
    struct Case {
        const char *name;
        std::string data;
        int rc;
    } cases[] = {
        {"length past the end", "99 path=abc\n", VELK_TAREXT_MALFORMED},
        {"length too short", "3 a=b\n", VELK_TAREXT_MALFORMED},
        {"huge length", "99999999999999999999999 path=a\n", VELK_TAREXT_MALFORMED},
        {"no length", "path=abc\n", VELK_TAREXT_MALFORMED},
        {"no '='", "11 pathabc\n", VELK_TAREXT_MALFORMED},
        {"empty key", "7 =abc\n", VELK_TAREXT_MALFORMED},
        {"no newline", "12 path=abcX", VELK_TAREXT_MALFORMED},
        {"negative size", rec("size", "-5"), VELK_TAREXT_MALFORMED},
        {"size not a number", rec("size", "12x"), VELK_TAREXT_MALFORMED},
        {"NUL in a name", rec("path", std::string("a\0b", 3)), VELK_TAREXT_MALFORMED},
        {"NUL ending a name", rec("path", std::string("ab\0", 3)), VELK_TAREXT_MALFORMED},
        {"second record broken", rec("uid", "7") + "5 x=y", VELK_TAREXT_MALFORMED},
        {"unknown keys passed over", rec("atime", "1.5") + rec("SCHILY.xattr.a", "v"), 0},
    };
    for (const Case &c : cases) {
        velk_tar_ext_t ext{};
        const char *why = nullptr;
        EXPECT_EQ(velk_TarExtParsePax(reinterpret_cast<const unsigned char *>(c.data.data()), c.data.size(), &ext,
                                      &why),
                  c.rc)
            << c.name;
        EXPECT_EQ(why != nullptr, c.rc != 0) << c.name;
    }

    velk_tar_ext_t ext{};
    const char *why = nullptr;
    std::string ok = rec("path", "a/b") + rec("mtime", "1796793580.986899027") + rec("uid", "99") +
                     rec("size", "99999999999999999999") + rec("gname", std::string(33, 'g')) + rec("linkpath", "") +
                     rec("GNU.sparse.major", "1");
    ASSERT_EQ(velk_TarExtParsePax(reinterpret_cast<const unsigned char *>(ok.data()), ok.size(), &ext, &why), 0);
    EXPECT_EQ(std::string(ext.path), "a/b");
    EXPECT_EQ(ext.mtime, 1796793580u);
    EXPECT_EQ(ext.uid, 99u);
    EXPECT_EQ(ext.tooBig, VELK_TAREXT_SIZE | VELK_TAREXT_GNAME);
    EXPECT_EQ(ext.cleared, VELK_TAREXT_LINK);
    EXPECT_EQ(ext.have & (VELK_TAREXT_LINK | VELK_TAREXT_SPARSE), VELK_TAREXT_SPARSE);
}

TEST(TarExtHeader, LongNamesAndPaxValuesAreLaidIntoTheHeader)
{
    const std::string n250 = std::string(70, 'd') + "/" + std::string(82, 'e') + "/" + std::string(96, 'g');
    velk_tar_ext_reader_t r{};

    // A plain header passes unchanged.
    Block plain = header('0', "a", 5);
    Fed f = feed(&r, {plain});
    EXPECT_EQ(f.rc, 0);
    EXPECT_EQ(f.out, plain);
    EXPECT_EQ(f.blocks, 0u);

    // A long-name record: the name split at its last fitting '/'.
    std::vector<Block> seq = record('L', n250 + std::string(1, '\0'));
    seq.push_back(header('0', n250.substr(0, 100), 9));
    f = feed(&r, seq);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.blocks, 2u);
    EXPECT_EQ(field(f.out, USTAR_prefix_offset, 155), n250.substr(0, 153));
    EXPECT_EQ(field(f.out, USTAR_name_offset, 100), n250.substr(154));
    posix_header_t h;
    EXPECT_EQ(velk_GetTarHeader(f.out.data(), &h), 0);
    EXPECT_EQ(velk_GetMemberFilesize(&h), 9u);

    // A pax header over two blocks, with a global owner for every member
    // after it.
    std::vector<Block> g = record('g', rec("uname", "globe"));
    seq = record('x', rec("path", "p/" + std::string(99, 'x')) + rec("comment", std::string(500, 'c')) +
                          rec("size", "70000") + rec("uid", "3000000"));
    seq.insert(seq.begin(), g.begin(), g.end());
    seq.push_back(header('0', "short", 0));
    f = feed(&r, seq);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.blocks, 5u);
    EXPECT_EQ(field(f.out, USTAR_name_offset, 100), std::string(99, 'x'));
    EXPECT_EQ(field(f.out, USTAR_prefix_offset, 155), "p");
    EXPECT_EQ(field(f.out, USTAR_uname_offset, 32), "globe");
    EXPECT_EQ(field(f.out, USTAR_uid_offset, 8), "13343300"); // eight digits, no room for the NUL
    EXPECT_EQ(velk_GetTarHeader(f.out.data(), &h), 0);
    EXPECT_EQ(velk_GetMemberFilesize(&h), 70000u);
    f = feed(&r, {header('5', "dir/")});
    EXPECT_EQ(field(f.out, USTAR_uname_offset, 32), "globe");
    EXPECT_EQ(field(f.out, USTAR_name_offset, 100), "dir/");
    velk_TarExtFree(&r);
}

TEST(TarExtHeader, WhatAnIndexEntryCannotHoldIsRefused)
{
    Block member = header('0', "m");
    struct Case {
        const char *name;
        std::vector<Block> blocks;
        bool member; // the refusal comes at the member's own header
        int rc;
    } cases[] = {
        {"name part of 101", record('L', "d/" + std::string(101, 'n')), true, VELK_TAREXT_UNREPRESENTABLE},
        {"directory part of 156", record('x', rec("path", std::string(156, 'd') + "/n")), true,
         VELK_TAREXT_UNREPRESENTABLE},
        {"link target of 101", record('K', std::string(101, 'l')), true, VELK_TAREXT_UNREPRESENTABLE},
        {"size of 2^36", record('x', rec("size", "68719476736")), true, VELK_TAREXT_UNREPRESENTABLE},
        {"time before 1970", record('x', rec("mtime", "-1.5")), true, VELK_TAREXT_UNREPRESENTABLE},
        {"owner id of 2^24", record('x', rec("gid", "16777216")), true, VELK_TAREXT_UNREPRESENTABLE},
        {"sparse", record('x', rec("GNU.sparse.size", "5")), true, VELK_TAREXT_UNREPRESENTABLE},
        {"only like a sparse key", record('x', rec("GNU.sparsely", "5")), true, 0},
        {"negative binary size", {header('0', "neg", 0, 0xC0)}, false, VELK_TAREXT_UNREPRESENTABLE},
        {"global name", record('g', rec("path", "all")), false, VELK_TAREXT_UNREPRESENTABLE},
        {"record of 1 MiB and one byte", {header('x', "big", VELK_TAREXT_MAX_RECORD + 1)}, false,
         VELK_TAREXT_MALFORMED},
        {"broken record", record('x', "9 path\n"), false, VELK_TAREXT_MALFORMED},
        {"bad checksum", {Block(1, 'x')}, false, VELK_TAREXT_BADSUM},
        {"end of archive", {Block(512, 0)}, false, VELK_TAR_EOF},
        {"limits themselves",
         record('x', rec("path", std::string(155, 'd') + "/" + std::string(100, 'n')) +
                         rec("linkpath", std::string(100, 'l')) + rec("size", "68719476735")),
         true, 0},
    };
    for (Case &c : cases) {
        c.blocks[0].resize(512);
        if (c.member)
            c.blocks.push_back(member);
        velk_tar_ext_reader_t r{};
        Fed f = feed(&r, c.blocks);
        EXPECT_EQ(f.rc, c.rc) << c.name;
        EXPECT_EQ(r.why != nullptr, c.rc == VELK_TAREXT_MALFORMED || c.rc == VELK_TAREXT_UNREPRESENTABLE) << c.name;
        // After any end the next block starts a new member.
        EXPECT_EQ(velk_TarExtFeed(&r, member.data(), f.out.data()), 0) << c.name;
        velk_TarExtFree(&r);
    }
}
