// Replays the saved fuzz corpora through the same decode functions the fuzz
// targets run, so that every test build (and the sanitizer build) exercises
// them.  Naming rule of corpus files: "valid-*" must decode, "bad-*" must be
// refused; for body inputs the name also says which codec
// ("valid-<category>-<function>-<req|rply>").  Other files only must not
// crash, leak or trip a sanitizer.

#define VELK_FUZZ_NO_ENTRY 1
#include "../../../fuzz/fuzz_decoders.h"
#include "../../../fuzz/fuzz_mvrprot.cpp"
#include "../../../fuzz/fuzz_xfer_records.cpp"

#include <gtest/gtest.h>

#include "velk_fuzzreplay.h"
#include "velk_testsupport.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> readAll(const std::string &path)
{
    std::string text = velktest::readFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(FuzzCorpusReplay, MessageHeaders)
{
    auto files = velktest::fuzzCorpusFiles("fuzz_msghdr");
    ASSERT_GE(files.size(), 3u) << "corpus missing";
    int valid = 0, bad = 0;
    for (const std::string &f : files) {
        std::vector<uint8_t> b = readAll(f);
        std::string name = f.substr(f.rfind('/') + 1);
        int r = fuzz_DecodeMsgHdr(b.data(), b.size());
        if (name.starts_with("valid-")) {
            EXPECT_EQ(r, 1) << name;
            valid++;
        } else if (name.starts_with("bad-")) {
            EXPECT_EQ(r, 0) << name;
            bad++;
        }
    }
    EXPECT_GE(valid, 1);
    EXPECT_GE(bad, 1);
}

TEST(FuzzCorpusReplay, MessageBodies)
{
    auto files = velktest::fuzzCorpusFiles("fuzz_reply_bodies");
    ASSERT_GE(files.size(), 3u) << "corpus missing";
    int named = 0;
    for (const std::string &f : files) {
        std::vector<uint8_t> b = readAll(f);
        std::string name = f.substr(f.rfind('/') + 1);
        // The fuzz target's own path: the first byte picks the row.
        fuzz_DecodeSelectedBodies(b.data(), b.size());

        unsigned cat = 0, fn = 0;
        char kind[8] = {};
        bool valid = name.starts_with("valid-");
        if (!valid && !name.starts_with("bad-"))
            continue;
        const char *rest = name.c_str() + (valid ? 6 : 4);
        ASSERT_EQ(sscanf(rest, "%u-%u-%4s", &cat, &fn, kind), 3) << name;
        const kylgw_msgtype_t *row = kylgw_LookupMsgType(static_cast<uint16_t>(cat), static_cast<uint16_t>(fn));
        ASSERT_NE(row, nullptr) << name;
        bool request = std::string(kind) == "req";
        kyl_xdrproc_t proc = request ? row->request : row->reply;
        ASSERT_NE(proc, nullptr) << name;
        ASSERT_FALSE(b.empty());
        int r = fuzz_DecodeBody(proc, request ? row->requestSize : row->replySize, b.data() + 1, b.size() - 1);
        EXPECT_EQ(r, valid ? 1 : 0) << name;
        named++;
    }
    EXPECT_GE(named, 4);
}

TEST(FuzzCorpusReplay, MoverLayoutsAndTransferRecords)
{
    velktest::replayFuzzCorpus("fuzz_mvrprot", fuzz_MvrprotOne);
    velktest::replayFuzzCorpus("fuzz_xfer_records", fuzz_XferRecordOne);
}

} // namespace
