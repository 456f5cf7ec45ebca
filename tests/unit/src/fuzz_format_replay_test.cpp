// Replays the saved corpora of the archive-header, index-file and list-file
// fuzz targets through the same functions the targets run, so that every test
// build (and the sanitizer builds) exercises them.  Naming rule of corpus
// files: "valid-*" must be accepted, "bad-*" refused; other files must only
// not crash, leak or trip a sanitizer.

#define VELK_FUZZ_NO_ENTRY 1
#include "../../../fuzz/fuzz_index.cpp"
#include "../../../fuzz/fuzz_listfile.cpp"
#include "../../../fuzz/fuzz_tar_header.cpp"

#include <gtest/gtest.h>

#include "velk_testsupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "velk_testproc.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

std::vector<fs::path> corpusFiles(const char *target)
{
    auto names = velktest::fuzzCorpusFiles(target);
    return std::vector<fs::path>(names.begin(), names.end());
}

Bytes readAll(const fs::path &p)
{
    std::string text = velktest::readFile(p.string());
    return Bytes(text.begin(), text.end());
}

bool startsWith(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// Runs one target function over its corpus and checks the naming rule.
void replay(const char *target, int (*one)(const uint8_t *, size_t))
{
    auto files = corpusFiles(target);
    ASSERT_GE(files.size(), 4u) << "corpus missing for " << target;
    int valid = 0, bad = 0;
    int savedExit = velk_exit_code.load();
    for (const fs::path &f : files) {
        Bytes b = readAll(f);
        std::string name = f.filename().string();
        int r;
        {
            // Refused inputs are reported on the console, as in a run.
            velktest::OutputCapture quiet;
            r = one(b.data(), b.size());
        }
        if (startsWith(name, "valid-")) {
            EXPECT_EQ(r, 1) << target << "/" << name;
            valid++;
        } else if (startsWith(name, "bad-")) {
            EXPECT_EQ(r, 0) << target << "/" << name;
            bad++;
        }
    }
    velk_exit_code.store(savedExit);
    EXPECT_GE(valid, 2) << target;
    EXPECT_GE(bad, 2) << target;
}

TEST(FuzzFormatReplay, TarHeaders)
{
    replay("fuzz_tar_header", fuzz_TarHeaderOne);
}

TEST(FuzzFormatReplay, IndexFiles)
{
    replay("fuzz_index", fuzz_IndexOne);
    velk_IndexReadRelease();
}

TEST(FuzzFormatReplay, ListFiles)
{
    replay("fuzz_listfile", fuzz_ListFileOne);
}

} // namespace
