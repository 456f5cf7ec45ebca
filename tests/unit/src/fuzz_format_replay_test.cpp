// Replays the saved corpora of the archive-header, extension-record,
// index-file, list-file and exclusion-file fuzz targets through the
// functions the targets run, so that every test build (and the sanitizer
// builds) exercises them.  Corpus files named
// "valid-*" must be accepted, "bad-*" refused; others must only not crash,
// leak or trip a sanitizer.

#define VELK_FUZZ_NO_ENTRY 1
#include "../../../fuzz/fuzz_exclude.cpp"
#include "../../../fuzz/fuzz_index.cpp"
#include "../../../fuzz/fuzz_listfile.cpp"
#include "../../../fuzz/fuzz_tar_ext.cpp"
#include "../../../fuzz/fuzz_tar_header.cpp"

#include <filesystem>
#include <string>

#include "velk_unit_fixture.h"

namespace {

TEST(FuzzFormatReplay, CorporaOfTheFormatTargets)
{
    const struct {
        const char *target;
        int (*one)(const uint8_t *, size_t);
    } targets[] = {{"fuzz_tar_header", fuzz_TarHeaderOne}, {"fuzz_tar_ext", fuzz_TarExtOne}, {"fuzz_index", fuzz_IndexOne},
                   {"fuzz_listfile", fuzz_ListFileOne}, {"fuzz_exclude", fuzz_ExcludeOne}};
    int savedExit = velk_exit_code.load();
    for (const auto &t : targets) {
        auto files = velktest::fuzzCorpusFiles(t.target);
        ASSERT_GE(files.size(), 4u) << "corpus missing for " << t.target;
        int valid = 0, bad = 0;
        for (const auto &f : files) {
            std::string bytes = velktest::readFile(f), name = std::filesystem::path(f).filename().string();
            int r;
            {
                velktest::OutputCapture quiet;  // refused inputs are reported, as in a run
                r = t.one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            }
            if (name.starts_with("valid-")) {
                EXPECT_EQ(r, 1) << t.target << "/" << name;
                valid++;
            } else if (name.starts_with("bad-")) {
                EXPECT_EQ(r, 0) << t.target << "/" << name;
                bad++;
            }
        }
        EXPECT_GE(valid, 2) << t.target;
        EXPECT_GE(bad, 2) << t.target;
    }
    velk_exit_code.store(savedExit);
}

} // namespace
