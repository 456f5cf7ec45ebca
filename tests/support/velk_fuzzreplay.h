#ifndef VELK_FUZZREPLAY_H
#define VELK_FUZZREPLAY_H

// Replays the saved corpus of one fuzz target through the function the
// target runs.  Corpus files named "valid-*" must give 1, "bad-*" 0; others
// only must not crash, leak or trip a sanitizer.  At least two of each kind
// must be present, so that a lost corpus fails the test.  What the function
// prints (refused inputs are reported, as in a run) is kept off the log.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace velktest {

inline void replayFuzzCorpus(const char *target, int (*one)(const uint8_t *, size_t))
{
    auto files = fuzzCorpusFiles(target);
    ASSERT_GE(files.size(), 4u) << "corpus missing for " << target;
    int valid = 0, bad = 0;
    for (const auto &f : files) {
        std::string bytes = readFile(f), name = std::filesystem::path(f).filename().string();
        int r;
        {
            OutputCapture quiet;
            r = one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        }
        if (name.starts_with("valid-")) {
            EXPECT_EQ(r, 1) << target << "/" << name;
            valid++;
        } else if (name.starts_with("bad-")) {
            EXPECT_EQ(r, 0) << target << "/" << name;
            bad++;
        }
    }
    EXPECT_GE(valid, 2) << target;
    EXPECT_GE(bad, 2) << target;
}

} // namespace velktest

#endif
