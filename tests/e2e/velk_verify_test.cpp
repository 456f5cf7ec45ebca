// velk -K and post-create verification (-c -H verify) against a real
// kylgwd: sound archives pass in every mode, local and in the storage
// system; a flipped data byte, a damaged header and a member changed
// between the copy and the verification are each found and named.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "velk_gwsession.h"

namespace fs = std::filesystem;

namespace {

using velktest::bytesOf;
using velktest::readFile;
using velktest::writeFile;

const std::string kTotals = "6 total objects (3 Files,2 Dirs,0 Hard Links,1 symlinks)";

class VelkVerify : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        VelkGatewayTest::SetUp();
        makeTree();
    }
    void makeTree()
    {
        fs::create_directories(dir / "src/sub");
        writeFile(dir / "src/a", bytesOf(3000, 1));
        writeFile(dir / "src/sub/b", bytesOf(700, 2));
        writeFile(dir / "src/empty", "");
        fs::create_symlink("a", dir / "src/link");
    }
    // The archive bytes of a local archive or one in the storage system.
    std::string archivePath(bool local) { return local ? dir / "arch.tar" : home() + "/arch.tar"; }
    // The byte offset of member name's header block in archive bytes.
    static size_t headerOf(const std::string &archive, const std::string &name)
    {
        for (size_t off = 0; off + 512 <= archive.size(); off += 512)
            if (archive.compare(off, name.size() + 1, name + '\0') == 0 && archive.compare(off + 257, 5, "ustar") == 0)
                return off;
        ADD_FAILURE() << "no member " << name;
        return 0;
    }
    // Flips a byte of member's header or data; or sets a header byte to
    // set and writes the header's checksum to match.
    void flip(bool local, const std::string &member, size_t at, char set = 0)
    {
        std::string bytes = readFile(archivePath(local));
        const size_t h = headerOf(bytes, member);
        bytes[h + at] = set != 0 ? set : static_cast<char>(bytes[h + at] ^ 0x5a);
        if (set != 0) {
            bytes.replace(h + 148, 8, 8, ' ');
            unsigned sum = 0;
            for (size_t i = 0; i < 512; i++)
                sum += static_cast<unsigned char>(bytes[h + i]);
            snprintf(&bytes[h + 148], 8, "%06o", sum);
        }
        writeFile(archivePath(local), bytes);
    }
    std::vector<std::string> where(bool local) { return local ? std::vector<std::string>{"-E"} : std::vector<std::string>{}; }
    velktest::RunResult run(bool local, std::vector<std::string> args)
    {
        for (const auto &w : where(local))
            args.insert(args.begin() + 1, w);
        return velk(args);
    }
};

TEST_F(VelkVerify, SoundArchivePassesInEveryMode)
{
    for (bool local : {true, false}) {
        auto made = run(local, {"-c", "-H", "crc", "-f", "arch.tar", "src"});
        ASSERT_EQ(made.status, 0) << made.err;
        for (const char *mode : {"", "verify=info", "verify=crc", "verify=2", "verify=all"}) {
            SCOPED_TRACE(std::string(local ? "local " : "storage ") + mode);
            std::vector<std::string> args = {"-K", "-V", "-f", "arch.tar"};
            if (*mode != '\0')
                args.insert(args.begin() + 1, {"-H", mode});
            auto r = run(local, args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("VELK: Verify complete. 0 total errors, " + kTotals), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("VELK SUCCESSFUL"), std::string::npos);
        }
    }
}

TEST_F(VelkVerify, DamageIsFoundAndNamed)
{
    struct Case {
        bool local;
        const char *member;
        size_t at; // byte of the member, counted from its header block
        const char *mode;
        std::string error; // the line naming the damage
        const char *count; // the summary's count (none for a field mismatch)
        char set = 0; // a header byte set, with a checksum to match
    };
    const Case cases[] = {
        {true, "src/a", 512 + 1000, "verify=crc", "CRC error on src/a. Index CRC=", "1 CRC Errors"},
        {false, "src/a", 512 + 1000, "verify=crc", "CRC error on src/a. Index CRC=", "1 CRC Errors"},
        {true, "src/a", 512 + 1000, "verify=compare", "Compare error at offset 1000 in local file src/a", "1 Compare Errors"},
        {false, "src/sub/b", 512 + 699, "verify=compare", "Compare error at offset 699 in local file src/sub/b", "1 Compare Errors"},
        {true, "src/sub/b", 3, "", "TAR Header error detected at Index File entry ", "1 Tar Header Errors"},
        {true, "src/sub/b", 104, "verify=info", "File Mode inconsistency detected", nullptr, '0'},
        {true, "src/sub/b", 108, "verify=info", "UID inconsistency detected", nullptr, '1'},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.member) + " " + c.mode + (c.local ? " local" : " storage"));
        ASSERT_EQ(run(c.local, {"-c", "-H", "crc", "-f", "arch.tar", "src"}).status, 0);
        flip(c.local, c.member, c.at, c.set);
        std::vector<std::string> args = {"-K", "-f", "arch.tar"};
        if (*c.mode != '\0')
            args.insert(args.begin() + 1, {"-H", c.mode});
        auto r = run(c.local, args);
        EXPECT_EQ(r.status, 65);
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        // One error, and every member after the damaged one still counted.
        if (c.count != nullptr) {
            EXPECT_NE(r.out.find("ERROR: Verify complete. 1 total errors, " + kTotals), std::string::npos) << r.out;
            EXPECT_NE(r.out.find(std::string("VELK:   ....... ") + c.count), std::string::npos) << r.out;
        }
        EXPECT_NE(r.out.find("VELK FAILED"), std::string::npos);
    }
}

// Compare mode checks the local file's size before its bytes, in either
// direction; a local file that is gone is named too.
TEST_F(VelkVerify, CompareNamesALocalFileOfAnotherSize)
{
    const struct {
        const char *member;
        long resize; // bytes added to the local file; 0: the file is removed
        std::string error;
    } cases[] = {
        {"src/a", 1, "Sizes different for src/a: Archive file size: 3000 local file size: 3001 - comparison skipped"},
        {"src/sub/b", -1, "Sizes different for src/sub/b: Archive file size: 700 local file size: 699"},
        {"src/a", 0,
         "Uable to open local file src/a (error=2) - comparison skipped\nERROR: src/a: No such file or directory; "
         "the comparison reads the files the archive was made from, at the same paths\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        fs::remove(dir / "src/link");
        makeTree();
        ASSERT_EQ(run(true, {"-c", "-f", "arch.tar", "src"}).status, 0);
        if (c.resize == 0)
            fs::remove(dir / c.member);
        else
            fs::resize_file(dir / c.member, fs::file_size(dir / c.member) + c.resize);
        auto r = run(true, {"-K", "-H", "verify=compare", "-f", "arch.tar"});
        EXPECT_EQ(r.status, 65);
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("VELK:   ....... 1 local file open/read error(s)]"), std::string::npos) << r.out;
    }
}

// An archive longer than its index records fails before any member.
TEST_F(VelkVerify, ArchiveLongerThanItsIndexSaysFails)
{
    ASSERT_EQ(run(true, {"-c", "-f", "arch.tar", "src"}).status, 0);
    fs::resize_file(dir / "arch.tar", fs::file_size(dir / "arch.tar") + 1024);
    auto r = run(true, {"-K", "-f", "arch.tar"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("is inconsistent with size of"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("VELK FAILED"), std::string::npos) << r.out;
}

TEST_F(VelkVerify, CreateVerifiesWhatItWrote)
{
    for (bool local : {true, false}) {
        SCOPED_TRACE(local ? "local" : "storage");
        auto r = run(local, {"-c", "-H", "crc", "-H", "verify=2", "-f", "arch.tar", "src"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("VELK SUCCESSFUL"), std::string::npos);
        EXPECT_EQ(run(local, {"-K", "-H", "verify=crc", "-f", "arch.tar"}).status, 0);
    }
}

// The gateway holds the reply to the archive's close after the copy until
// the test has changed a member file, so the verification sees the change.
TEST_F(VelkVerify, CreateFindsMemberChangedAfterTheCopy)
{
    const std::string go = dir / "go";
    writeFile(dir / "faults", "pause_until=quor_Close," + go + "\n");
    auto pending = std::async(std::launch::async, [&] {
        return velk({"-c", "-H", "verify=compare", "-f", "arch.tar", "src"});
    });
    bool held = false;
    for (int i = 0; i < 3000 && !held; i++) {
        held = readFile(dir / "events").find("\"fault\":\"pause_until\"") != std::string::npos;
        if (!held)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(held);
    std::string changed = readFile(dir / "src/sub/b");
    changed[10] ^= 1;
    writeFile(dir / "src/sub/b", changed);
    writeFile(go, "");
    auto r = pending.get();
    EXPECT_EQ(r.status, 65);
    EXPECT_NE(r.err.find("Compare error at offset 10 in local file src/sub/b"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("WARNING: verify failed for archive file arch.tar"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("VELK FAILED"), std::string::npos);
}

} // namespace
