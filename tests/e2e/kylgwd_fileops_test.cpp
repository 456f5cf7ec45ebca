// kylgwd's file operations end to end with the raw client after a keytab
// login: open and create with class-of-service hints (the class used comes
// back in the hints), status records, seeks, preallocation, directories
// and their listing, rename and unlink with the sidecar metadata kept in
// step, attributes with storage levels, the family attribute, accounts,
// password entries, home lookups, class selection, the expiration
// attribute, the ways out of the served tree, and (as root) the kernel
// enforcing another user's 0600 file.  Reply bodies are read field by
// field from the wire tables, independent of the shared codecs.

#include <gtest/gtest.h>

#include "gw_rawclient.h"
#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using velktest::GwHeader;
using velktest::GwRawClient;
using velktest::gwPutU32;
using velktest::gwRequest;
using velktest::gwXdrString;

namespace {

constexpr uint32_t kBody = velktest::kGwBodyFlag;
constexpr uint32_t kFs = 1280, kUser = 1536, kCos = 2048, kUda = 5888, kLfx = 5632;
constexpr uint32_t kOpen = 3840, kClose = 776, kLseek = 3075, kSetOffset = 4869, kStat = 4873, kLstat = 3076,
                   kFstat = 1547, kGetListAttrs = 1801, kGetAttrs = 1538, kGetXAttrs = 1539, kSetAttrs = 1540,
                   kMkdir = 3329, kUnlink = 5378, kRename = 4616, kOpendir = 3842, kReadAttrs = 4609,
                   kClosedir = 777, kUmask = 5376, kGetcwd = 1799, kGetAcct = 1792, kSetAcct = 4866,
                   kAcctNameToCode = 258, kPrealloc = 1546, kUniqueId = 1809, kNamesToIds = 779;
constexpr uint32_t kGetpwent = 256, kHomeDir = 262, kSelectCos = 256, kSetExpiration = 834;
constexpr uint32_t kLfxGetcwd = 515, kLfxStat = 518, kLfxMkdir = 521, kLfxUnlink = 527;
// Wire open flags.
constexpr uint32_t O_R = 1, O_W = 2, O_RW = 4, O_CR = 16, O_EX = 32;
// Object types of a mode in its interchange form.
constexpr uint32_t kTypeBits = 0x3f000, kRegType = 0x20000, kDirType = 0x10000, kLinkType = 0x1000;
const std::string kKeytab("\x05\x02\x00\x01principal\x00\xfe\xff", 16);

std::string w32(std::initializer_list<uint32_t> ws)
{
    std::string out;
    for (uint32_t w : ws)
        gwPutU32(&out, w);
    return out;
}

std::string w64(uint64_t v)
{
    return w32({static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)});
}

// A counted string: length with the NUL, the bytes and the NUL, padding.
std::string counted(const std::string &s)
{
    std::string b = s + std::string(1, '\0');
    return w32({static_cast<uint32_t>(b.size())}) + b + std::string((4 - b.size() % 4) % 4, '\0');
}

// Class-of-service hints with only COSId, MinFileSize and MaxFileSize set,
// and the priorities of COSId and MaxFileSize.
std::string hints(uint32_t cosId, uint64_t maxSize, uint32_t cosPri, uint32_t maxPri)
{
    std::string h = w32({cosId}) + counted("") + w32({0}) + w64(0) + w64(0) + w64(maxSize) +
                    w32({0, 0, 0, 0, 0, 0, 0}) + w64(0) + w32({0});
    h += w32({cosPri, 0, 0, 0, maxPri, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    return h;
}

// Reads reply fields straight from the connection.
struct Rd {
    GwRawClient &c;
    bool ok = true;
    uint32_t u32()
    {
        std::vector<uint32_t> w;
        ok = ok && c.readWords(1, &w);
        return ok ? w[0] : 0;
    }
    uint64_t u64()
    {
        uint64_t hi = u32();
        return hi << 32 | u32();
    }
    void skip(size_t words)
    {
        for (size_t i = 0; i < words; i++)
            u32();
    }
    std::string bytes(size_t n)
    {
        std::string b;
        ok = ok && c.read((n + 3) / 4 * 4, &b);
        return ok ? b.substr(0, n) : std::string();
    }
    std::string str() { return bytes(u32()); }
    std::string countedStr()
    {
        std::string s = bytes(u32());
        return s.empty() ? s : s.substr(0, s.size() - 1);
    }
};

struct Hints {
    uint32_t cos = 0, width = 0, family = 0;
    std::string name;
    uint64_t stripeLength = 0, optimum = 0;
};

Hints readHints(Rd &r)
{
    Hints h;
    h.cos = r.u32();
    h.name = r.countedStr();
    r.u32();
    h.optimum = r.u64();
    r.skip(4); // min, max
    r.skip(6);
    h.width = r.u32();
    h.stripeLength = r.u64();
    h.family = r.u32();
    return h;
}

struct Attrs {
    uint32_t account = 0, cos = 0, family = 0, gid = 0, subsys = 0, created = 0, type = 0, uid = 0, userPerms = 0,
             otherPerms = 0;
    uint64_t length = 0;
};

constexpr size_t kHandleWords = 11;
// A storage level without volumes: count, bytes (2), optimum, width, stripe length (2), flags.
constexpr size_t kLevelWords = 8;

Attrs readAttrs(Rd &r)
{
    Attrs a;
    a.account = r.u32();
    r.skip(5 + 1 + 1);   // BitfileObj: 19-byte id (5 words), hash, valid hash
    r.skip(64);          // Comment
    r.u32();             // CompositePerms
    a.cos = r.u32();
    a.length = r.u64();
    r.skip(2);           // EntryCount, ExtendedACLs
    a.family = r.u32();
    r.skip(kHandleWords + 4 + 2); // FilesetHandle, FilesetId, FilesetRootObjectId, state, type
    a.gid = r.u32();
    r.skip(4);           // GroupPerms, LinkCount, ModePerms, OpenCount
    r.u32();             // OptionFlags
    a.otherPerms = r.u32();
    r.skip(2 + 2);       // ReadCount, RealmId, RegisterBitMap
    a.subsys = r.u32();
    a.created = r.u32();
    r.skip(3);
    r.skip(2 + 1 + kHandleWords + 6 + 2 + 5 + 1); // TrashInfo up to its strings
    r.countedStr();
    r.countedStr();
    a.type = r.u32();
    a.uid = r.u32();
    a.userPerms = r.u32();
    r.u32();
    return a;
}

class KylgwdFileops : public ::testing::Test {
protected:
    velktest::ScratchDir dir;
    velktest::KylgwdProcess gw{dir.path()};
    GwRawClient c;
    uint32_t nextId = 100;
    GwHeader h;

    void start(const std::string &faults = "", uint32_t aliceUid = getuid(), uint32_t aliceGid = getgid(),
               uint32_t bobUid = getuid())
    {
        velktest::writeFile(dir / "alice.kt", kKeytab);
        velktest::writeFile(dir / "bob.kt", kKeytab);
        velktest::writeFile(
            dir / "kylgwd.conf",
            "Users = {\n  alice = {\n    uid = " + std::to_string(aliceUid) + "\n    gid = " +
                std::to_string(aliceGid) + "\n    home = /home/alice\n    keytab = " + (dir / "alice.kt") +
                "\n    default_account = 1\n    accounts = 1:alpha 2:beta\n  }\n  bob = {\n    uid = " +
                std::to_string(bobUid) + "\n    gid = " + std::to_string(bobUid) +
                "\n    home = /home/bob\n    keytab = " + (dir / "bob.kt") + "\n    accounts = 7:gamma\n  }\n}\n");
        velktest::writeFile(dir / "faults", "cipher=GARBLE\n" + faults);
        ASSERT_EQ(mkdir((dir / "root").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "root/home").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "root/home/alice").c_str(), 0755), 0);
        ASSERT_EQ(chown((dir / "root/home/alice").c_str(), aliceUid, aliceGid), 0);
        ASSERT_EQ(mkdir((dir / "root/home/bob").c_str(), 0755), 0);
        ASSERT_EQ(chown((dir / "root/home/bob").c_str(), bobUid, bobUid), 0);
        ASSERT_TRUE(gw.start({"--config", dir / "kylgwd.conf", "--faults", dir / "faults"}));
        login("alice");
    }

    void login(const std::string &user)
    {
        c.close();
        ASSERT_TRUE(c.connect(gw.port()));
        std::vector<uint32_t> w;
        ASSERT_TRUE(c.readGreeting(&h, &w));
        std::string why;
        ASSERT_TRUE(velktest::gwKeytabLogin(&c, 1, user, kKeytab, &why)) << why;
    }

    // Sends a request and reads the reply header; the body (if any) is
    // left for the caller.  Returns the errorcode.
    int32_t call(uint32_t cat, uint32_t fn, const std::string &body = "")
    {
        uint32_t id = nextId++;
        EXPECT_TRUE(c.send(gwRequest(id, cat, fn, body)));
        h = GwHeader{};
        EXPECT_TRUE(c.readHeader(&h));
        EXPECT_EQ(h.requestId, id);
        EXPECT_EQ(h.category, cat);
        EXPECT_EQ(h.function, fn);
        EXPECT_EQ((h.flags & kBody) != 0, h.errorcode >= 0 && hasBody(cat, fn)) << cat << "/" << fn;
        return h.errorcode;
    }
    static bool hasBody(uint32_t cat, uint32_t fn)
    {
        if (cat == kFs)
            return !(fn == kClose || fn == kMkdir || fn == kUnlink || fn == kRename || fn == kOpendir ||
                     fn == kClosedir || fn == kSetAcct || fn == kPrealloc);
        if (cat == kUda)
            return false;
        if (cat == kLfx)
            return fn == kLfxGetcwd || fn == kLfxStat;
        return true;
    }

    int32_t open(const std::string &path, uint32_t oflag, uint32_t mode, const std::string &hintBytes, Hints *out)
    {
        int32_t rc = call(kFs, kOpen, gwXdrString(path) + w32({oflag, mode}) + hintBytes);
        if (rc >= 0) {
            Rd r{c};
            *out = readHints(r);
            EXPECT_TRUE(r.ok);
        }
        return rc;
    }
    int32_t create(const std::string &path, Hints *out, uint32_t mode = 0644)
    {
        return open(path, O_RW | O_CR, mode, hints(0, 0, 0, 0), out);
    }
    // Stat-like reply: returns st_size and st_mode via the out-parameters.
    int32_t stat(uint32_t fn, const std::string &body, uint64_t *size, uint32_t *mode, uint32_t *uid = nullptr)
    {
        int32_t rc = call(kFs, fn, body);
        if (rc >= 0) {
            Rd r{c};
            r.skip(5);
            uint32_t u = r.u32();
            r.skip(13);
            *size = r.u64();
            *mode = r.u32();
            if (uid != nullptr)
                *uid = u;
            EXPECT_TRUE(r.ok);
        }
        return rc;
    }
    std::string meta(const std::string &nsPath) const { return velktest::readFile(dir / ("meta" + nsPath + "#meta")); }
    bool exists(const std::string &p) const
    {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0;
    }
};

TEST_F(KylgwdFileops, OpenCreateWithHintsStatSeekAndClose)
{
    start();
    Hints hi;
    // A requested class that exists is used.
    int32_t fd = open("wide", O_RW | O_CR | O_EX, 0640, hints(4, 0, 30, 0), &hi);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hi.cos, 4u);
    EXPECT_EQ(hi.name, "four-wide");
    EXPECT_EQ(hi.width, 4u);
    EXPECT_EQ(hi.stripeLength, 4u * 1048576u);
    EXPECT_TRUE(exists(dir / "root/home/alice/wide"));
    EXPECT_NE(meta("/home/alice/wide").find("COSId=4\n"), std::string::npos);
    EXPECT_NE(meta("/home/alice/wide").find("Account=1\n"), std::string::npos);
    // O_EXCL on an existing file.
    EXPECT_EQ(open("wide", O_RW | O_CR | O_EX, 0640, hints(4, 0, 30, 0), &hi), -17);
    // An unknown class falls back to the default, reported in the hints.
    int32_t fd2 = open("/home/alice/unknown", O_W | O_CR, 0600, hints(99, 0, 30, 0), &hi);
    ASSERT_GE(fd2, 0);
    EXPECT_NE(fd2, fd);
    EXPECT_EQ(hi.cos, 11u);
    EXPECT_EQ(hi.width, 2u);
    // No class asked: by the size hint.
    int32_t fd3 = open("sized", O_W | O_CR, 0600, hints(0, 100ull << 20, 0, 20), &hi);
    ASSERT_GE(fd3, 0);
    EXPECT_EQ(hi.cos, 2u);
    // Reopening reports the class the file was created in.
    int32_t fd4 = open("wide", O_R, 0, hints(8, 0, 30, 0), &hi);
    ASSERT_GE(fd4, 0);
    EXPECT_EQ(hi.cos, 4u);
    EXPECT_EQ(open("missing/file", O_W | O_CR, 0600, hints(0, 0, 0, 0), &hi), -2);
    EXPECT_EQ(open("/home", O_R, 0, hints(0, 0, 0, 0), &hi), -21);

    // Preallocate, then status by path and by descriptor.
    EXPECT_EQ(call(kFs, kPrealloc, w32({static_cast<uint32_t>(fd)}) + w64(5000)), 0);
    uint64_t size = 0;
    uint32_t mode = 0;
    ASSERT_EQ(stat(kStat, gwXdrString("wide"), &size, &mode), 0);
    EXPECT_EQ(size, 5000u);
    EXPECT_EQ(mode & 0777, 0640u & ~022u);
    EXPECT_EQ(mode & kTypeBits, kRegType);
    ASSERT_EQ(stat(kFstat, w32({static_cast<uint32_t>(fd)}), &size, &mode), 0);
    EXPECT_EQ(size, 5000u);
    EXPECT_EQ(stat(kStat, gwXdrString("nope"), &size, &mode), -2);

    // Seeks: Lseek from the end, SetFileOffset backwards from there.
    ASSERT_EQ(call(kFs, kLseek, w32({static_cast<uint32_t>(fd)}) + w64(static_cast<uint64_t>(-100)) + w32({2})), 0);
    Rd r{c};
    EXPECT_EQ(r.u64(), 4900u);
    EXPECT_EQ(call(kFs, kLseek, w32({static_cast<uint32_t>(fd)}) + w64(static_cast<uint64_t>(-1)) + w32({0})), -22);
    ASSERT_EQ(call(kFs, kSetOffset, w32({static_cast<uint32_t>(fd)}) + w64(1000) + w32({2, 1})), 0);
    EXPECT_EQ(r.u64(), 4000u);
    ASSERT_EQ(call(kFs, kSetOffset, w32({static_cast<uint32_t>(fd)}) + w64(24) + w32({1, 0})), 0);
    EXPECT_EQ(r.u64(), 4024u);
    EXPECT_EQ(call(kFs, kSetOffset, w32({static_cast<uint32_t>(fd)}) + w64(5) + w32({0, 1})), -22);
    EXPECT_TRUE(r.ok);

    for (int32_t d : {fd, fd2, fd3, fd4})
        EXPECT_EQ(call(kFs, kClose, w32({static_cast<uint32_t>(d)})), 0);
    EXPECT_EQ(call(kFs, kClose, w32({static_cast<uint32_t>(fd)})), -9);
    EXPECT_EQ(call(kFs, kFstat, w32({static_cast<uint32_t>(fd)})), -9);
}

TEST_F(KylgwdFileops, DirectoriesRenameUnlinkKeepTheSidecarsInStep)
{
    start();
    ASSERT_EQ(call(kFs, kGetcwd), 0);
    Rd r{c};
    EXPECT_EQ(r.str(), "/home/alice");
    ASSERT_EQ(call(kFs, kUmask, w32({077})), 0);
    EXPECT_EQ(r.u32(), 022u);
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("d") + w32({0777})), 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "root/home/alice/d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_NE(meta("/home/alice/d").find("TimeCreated="), std::string::npos);
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("d") + w32({0777})), -17);
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("no/such") + w32({0777})), -2);
    Hints hi;
    for (const char *name : {"d/b", "d/a", "d/c"}) {
        int32_t fd = create(name, &hi);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(call(kFs, kClose, w32({static_cast<uint32_t>(fd)})), 0);
    }
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("d/a/x") + w32({0777})), -20);

    // The listing: two entries, then the rest from the returned offset.
    int32_t dd = call(kFs, kOpendir, gwXdrString("d"));
    ASSERT_GE(dd, 0);
    std::vector<std::string> names;
    uint64_t offset = 0;
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(call(kFs, kReadAttrs, w32({static_cast<uint32_t>(dd)}) + w64(offset) + w32({2, 1})), 0);
        uint32_t n = r.u32();
        uint32_t end = r.u32();
        offset = r.u64();
        for (uint32_t i = 0; i < n; i++) {
            names.push_back(r.countedStr());
            r.skip(kHandleWords);
            uint64_t after = r.u64();
            EXPECT_EQ(after, names.size());
            Attrs a = readAttrs(r);
            EXPECT_EQ(a.type, 129u);
            EXPECT_EQ(a.cos, 11u);
        }
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(end, round == 1 ? 1u : 0u);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(call(kFs, kClosedir, w32({static_cast<uint32_t>(dd)})), 0);
    EXPECT_EQ(call(kFs, kClosedir, w32({static_cast<uint32_t>(dd)})), -9);

    // Rename a file and then the directory: the sidecars follow.
    EXPECT_EQ(call(kFs, kRename, gwXdrString("d/a") + gwXdrString("d/a.old")), 0);
    EXPECT_FALSE(exists(dir / "meta/home/alice/d/a#meta"));
    EXPECT_NE(meta("/home/alice/d/a.old").find("COSId=11\n"), std::string::npos);
    EXPECT_EQ(call(kFs, kRename, gwXdrString("d") + gwXdrString("/home/alice/e")), 0);
    EXPECT_TRUE(exists(dir / "root/home/alice/e/a.old"));
    EXPECT_TRUE(exists(dir / "meta/home/alice/e/a.old#meta"));
    EXPECT_TRUE(exists(dir / "meta/home/alice/e#meta"));
    EXPECT_FALSE(exists(dir / "meta/home/alice/d"));
    EXPECT_EQ(call(kFs, kUnlink, gwXdrString("e/a.old")), 0);
    EXPECT_FALSE(exists(dir / "root/home/alice/e/a.old"));
    EXPECT_FALSE(exists(dir / "meta/home/alice/e/a.old#meta"));
    EXPECT_EQ(call(kFs, kUnlink, gwXdrString("e/a.old")), -2);

    // The local-file forms.
    ASSERT_EQ(call(kLfx, kLfxGetcwd), 0);
    EXPECT_EQ(r.str(), "/home/alice");
    EXPECT_EQ(call(kLfx, kLfxMkdir, counted("lfxdir") + w32({0755})), 0);
    EXPECT_EQ(call(kLfx, kLfxMkdir, counted("lfxdir") + w32({0755})), -17);
    ASSERT_EQ(call(kLfx, kLfxStat, counted("e/b")), 0);
    uint32_t m = r.u32();
    EXPECT_TRUE(S_ISREG(m)) << m;
    r.skip(6);
    EXPECT_EQ(r.u64(), 0u);
    EXPECT_EQ(call(kLfx, kLfxUnlink, counted("e/b")), 0);
    EXPECT_FALSE(exists(dir / "root/home/alice/e/b"));
    EXPECT_TRUE(r.ok);
}

TEST_F(KylgwdFileops, AttributesLevelsFamilyAndExpiration)
{
    start();
    Hints hi;
    int32_t fd = open("t", O_RW | O_CR, 0644, hints(8, 0, 30, 0), &hi);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(call(kFs, kGetXAttrs, gwXdrString("t") + w32({8, 0})), 0);
    Rd r{c};
    r.skip(kHandleWords);
    Attrs a = readAttrs(r);
    EXPECT_EQ(a.cos, 8u);
    EXPECT_EQ(a.type, 129u);
    EXPECT_EQ(a.userPerms, 32u | 64u);
    EXPECT_EQ(a.otherPerms, 32u);
    EXPECT_EQ(a.account, 1u);
    // Level 0 of an empty file: disk, no data.
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_EQ(r.u64(), 0u);
    EXPECT_EQ(r.u32(), 8u * 786432u);
    EXPECT_EQ(r.u32(), 8u);
    EXPECT_EQ(r.u64(), 8u * 786432u);
    EXPECT_EQ(r.u32(), 0x1u);
    r.skip(4 * kLevelWords); // levels 1-4
    ASSERT_TRUE(r.ok);

    EXPECT_EQ(call(kFs, kPrealloc, w32({static_cast<uint32_t>(fd)}) + w64(10)), 0);
    ASSERT_EQ(call(kFs, kGetXAttrs, gwXdrString("t") + w32({8, 0})), 0);
    r.skip(kHandleWords);
    a = readAttrs(r);
    EXPECT_EQ(a.length, 10u);
    r.skip(1);
    EXPECT_EQ(r.u64(), 10u);
    r.skip(1 + 1 + 2);
    EXPECT_EQ(r.u32(), 0x1u | 0x4u);
    r.skip(4 * kLevelWords); // levels 1-4

    // The family attribute is set through the selection mask's bit 8.
    std::string attrIn = std::string(kHandleWords * 4, '\0');
    std::string attrs = w32({0}) + std::string(28, '\0') + std::string(256, '\0') + w32({0, 0}) + w64(0) +
                        w32({0, 0, 42}) + std::string(kHandleWords * 4, '\0') + w64(0) + w64(0) +
                        std::string(11 * 4, '\0') + w64(0) + w32({0, 0, 0, 0, 0}) + w64(0) + w32({0}) +
                        std::string(kHandleWords * 4, '\0') + std::string(6 * 4, '\0') + w64(0) +
                        std::string(20, '\0') + w32({0}) + counted("") + counted("") + w32({0, 0, 0, 0});
    ASSERT_EQ(call(kFs, kSetAttrs, gwXdrString("t") + w64(1u << 8) + attrIn + attrs), 0);
    r.skip(kHandleWords);
    a = readAttrs(r);
    EXPECT_EQ(a.family, 42u);
    EXPECT_NE(meta("/home/alice/t").find("FamilyId=42\n"), std::string::npos);
    ASSERT_EQ(call(kFs, kGetListAttrs, gwXdrString("t")), 0);
    a = readAttrs(r);
    EXPECT_EQ(a.family, 42u);
    EXPECT_EQ(a.cos, 8u);
    ASSERT_EQ(call(kFs, kGetAttrs, gwXdrString("/home/alice")), 0);
    r.skip(kHandleWords);
    a = readAttrs(r);
    EXPECT_EQ(a.type, 132u);
    EXPECT_TRUE(r.ok);

    // The expiration attribute lands in the sidecar.
    EXPECT_EQ(call(kUda, kSetExpiration, counted("/home/alice/t") + w64(4102444800ull)), 0);
    EXPECT_NE(meta("/home/alice/t").find("Expiration=4102444800\n"), std::string::npos);
    EXPECT_EQ(call(kUda, kSetExpiration, counted("/home/alice/none") + w64(1)), -2);
    EXPECT_EQ(call(kFs, kClose, w32({static_cast<uint32_t>(fd)})), 0);
}

TEST_F(KylgwdFileops, AccountsUsersClassesAndRequestIds)
{
    start();
    Rd r{c};
    ASSERT_EQ(call(kFs, kGetAcct), 0);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(call(kFs, kSetAcct, w32({7})), -13); // bob's account
    EXPECT_EQ(call(kFs, kSetAcct, w32({2})), 0);
    ASSERT_EQ(call(kFs, kGetAcct), 0);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.u32(), 2u);
    std::string acct(129, '\0');
    acct.replace(0, 5, "gamma");
    ASSERT_EQ(call(kFs, kAcctNameToCode, acct + std::string(3, '\0') + w32({0})), 0);
    EXPECT_EQ(r.u32(), 7u);
    acct.replace(0, 5, "delta");
    EXPECT_EQ(call(kFs, kAcctNameToCode, acct + std::string(3, '\0') + w32({0})), -2);

    ASSERT_EQ(call(kUser, kGetpwent, gwXdrString("")), 0);
    EXPECT_EQ(r.str(), "alice");
    EXPECT_EQ(r.str(), "x");
    EXPECT_EQ(r.u32(), getuid());
    EXPECT_EQ(r.u32(), getgid());
    r.str();
    EXPECT_EQ(r.str(), "/home/alice");
    r.str();
    ASSERT_EQ(call(kUser, kGetpwent, gwXdrString("bob")), 0);
    EXPECT_EQ(r.str(), "bob");
    r.str();
    r.skip(2);
    r.str();
    EXPECT_EQ(r.str(), "/home/bob");
    r.str();
    EXPECT_EQ(call(kUser, kGetpwent, gwXdrString("carol")), -2);
    ASSERT_EQ(call(kUser, kHomeDir, gwXdrString("bob")), 0);
    EXPECT_EQ(r.str(), "/home/bob");
    EXPECT_EQ(call(kUser, kHomeDir, gwXdrString("carol")), -2);

    // SelectCOS picks by size and asks for the class with priority 30.
    ASSERT_EQ(call(kCos, kSelectCos, gwXdrString("") + w64(2ull << 30) + w32({0, 0, 1, 1, 0})), 0);
    Hints hi = readHints(r);
    EXPECT_EQ(hi.cos, 4u);
    std::vector<uint32_t> pri;
    for (int i = 0; i < 14; i++)
        pri.push_back(r.u32());
    EXPECT_EQ(pri[0], 30u);

    ASSERT_EQ(call(kFs, kUniqueId), 0);
    std::string a = r.bytes(4 * 7);
    ASSERT_EQ(call(kFs, kUniqueId), 0);
    std::string b = r.bytes(4 * 7);
    EXPECT_NE(a, b);
    EXPECT_EQ(static_cast<unsigned char>(a[10]) >> 4, 4); // version 4 (time_hi_and_version word)
    EXPECT_TRUE(r.ok);
}

TEST_F(KylgwdFileops, PathsCannotLeaveTheTree)
{
    start();
    ASSERT_EQ(symlink("/", (dir / "root/home/alice/slash").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "root/home/alice/abs").c_str()), 0);
    ASSERT_EQ(symlink("../../../outside", (dir / "root/home/alice/up").c_str()), 0);
    ASSERT_EQ(symlink("../bob", (dir / "root/home/alice/tobob").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    velktest::writeFile(dir / "outside/secret", "x");
    uint64_t size = 0;
    uint32_t mode = 0;
    EXPECT_EQ(stat(kStat, gwXdrString("../../../outside/secret"), &size, &mode), -13);
    EXPECT_EQ(stat(kStat, gwXdrString("slash/etc/passwd"), &size, &mode), -13);
    EXPECT_EQ(stat(kStat, gwXdrString("abs/secret"), &size, &mode), -13);
    EXPECT_EQ(stat(kStat, gwXdrString("up/secret"), &size, &mode), -13);
    Hints hi;
    EXPECT_EQ(open("up/new", O_W | O_CR, 0644, hints(0, 0, 0, 0), &hi), -13);
    EXPECT_FALSE(exists(dir / "outside/new"));
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("abs/made") + w32({0755})), -13);
    EXPECT_FALSE(exists(dir / "outside/made"));
    // A link that stays inside works; lstat sees the link itself.
    ASSERT_EQ(stat(kStat, gwXdrString("tobob"), &size, &mode), 0);
    EXPECT_EQ(mode & kTypeBits, kDirType);
    ASSERT_EQ(stat(kLstat, gwXdrString("tobob"), &size, &mode), 0);
    EXPECT_EQ(mode & kTypeBits, kLinkType);
}

TEST_F(KylgwdFileops, FileOperationFaults)
{
    start("busy_open=1\nenospc_seek=1\nmkdir_eagain=1\ndeny=/home/alice/secret\nnotdir=/home/alice/flat\n");
    Hints hi;
    EXPECT_EQ(create("f", &hi), -11);
    int32_t fd = create("f", &hi);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(call(kFs, kSetOffset, w32({static_cast<uint32_t>(fd)}) + w64(0) + w32({0, 0})), -28);
    ASSERT_EQ(call(kFs, kSetOffset, w32({static_cast<uint32_t>(fd)}) + w64(0) + w32({0, 0})), 0);
    Rd r{c};
    EXPECT_EQ(r.u64(), 0u);
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("m") + w32({0755})), -11);
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("m") + w32({0755})), 0);
    EXPECT_EQ(create("secret", &hi), -13);
    EXPECT_EQ(create("secret/x", &hi), -13);
    EXPECT_EQ(call(kFs, kMkdir, gwXdrString("flat/sub") + w32({0755})), -20);
    EXPECT_TRUE(r.ok);
}

// A user name entry: type 1, id 0, realm 0, the name in 128
// bytes, an empty realm name in 256.
std::string userSpec(const std::string &name)
{
    std::string n(128, '\0');
    n.replace(0, name.size(), name);
    return w32({1, 0, 0}) + n + std::string(256, '\0');
}

TEST_F(KylgwdFileops, NamesToIdsAndOversizedCountFaults)
{
    start("readattrs_count=+1\nnames_count=-1\n");
    // One name entry fewer than sent: alice's comes back, bob's is cut.
    ASSERT_EQ(call(kFs, kNamesToIds, w32({2}) + userSpec("alice") + userSpec("bob")), 0);
    Rd r{c};
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.u32(), 1u);
    EXPECT_EQ(r.u32(), getuid());
    r.skip(1 + 32 + 64);
    EXPECT_EQ(call(kFs, kNamesToIds, w32({1}) + userSpec("carol")), -2);

    // A listing asked for one entry carries two.
    Hints hi;
    for (const char *name : {"a", "b", "c"}) {
        int32_t fd = create(name, &hi);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(call(kFs, kClose, w32({static_cast<uint32_t>(fd)})), 0);
    }
    int32_t dd = call(kFs, kOpendir, gwXdrString("."));
    ASSERT_GE(dd, 0);
    ASSERT_EQ(call(kFs, kReadAttrs, w32({static_cast<uint32_t>(dd)}) + w64(0) + w32({1, 0})), 0);
    EXPECT_EQ(r.u32(), 2u);
    r.skip(3);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(r.countedStr(), "a");
        r.skip(kHandleWords + 2);
        readAttrs(r);
    }
    EXPECT_TRUE(r.ok);
}

TEST_F(KylgwdFileops, AsRootAnotherUsersPrivateFileIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: kylgwd takes each user's identity only when it runs as root";
    start("", 61001, 61001, 61002);
    Hints hi;
    int32_t fd = open("private", O_W | O_CR, 0600, hints(0, 0, 0, 0), &hi);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "root/home/alice/private").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 61001u);
    EXPECT_EQ(st.st_gid, 61001u);
    EXPECT_EQ(call(kFs, kClose, w32({static_cast<uint32_t>(fd)})), 0);

    login("bob");
    EXPECT_EQ(open("/home/alice/private", O_R, 0, hints(0, 0, 0, 0), &hi), -13);
    // Bob cannot create in alice's 0755 home either, but may in his own.
    EXPECT_EQ(open("/home/alice/bobs", O_W | O_CR, 0600, hints(0, 0, 0, 0), &hi), -13);
    fd = open("mine", O_W | O_CR, 0600, hints(0, 0, 0, 0), &hi);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::stat((dir / "root/home/bob/mine").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 61002u);
}

} // namespace
