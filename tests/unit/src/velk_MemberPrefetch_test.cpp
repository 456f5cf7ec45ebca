// The writer's look-ahead helpers: how far ahead they run, that each entry
// is looked at once, and that they stop (also while waiting, and at a short
// index).

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velk_MemberPrefetch.h"
#include "velk_unit_fixture.h"

namespace {

constexpr int64_t kHeaderBytes = 300;  // where entry 0 starts in the test index

std::mutex visitsLock;
std::vector<std::pair<int64_t, int64_t>> visits;  // (ordinal, writer position)

void recordVisit(int64_t ordinal, int64_t writerAt)
{
    std::lock_guard<std::mutex> lock(visitsLock);
    visits.emplace_back(ordinal, writerAt);
}

size_t visitCount()
{
    std::lock_guard<std::mutex> lock(visitsLock);
    return visits.size();
}

bool waitFor(const std::function<bool()> &done)
{
    for (int i = 0; i < 2000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

class MemberPrefetchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> lock(visitsLock);
        visits.clear();
        velk_prefetch_visit_hook = recordVisit;
    }
    void TearDown() override
    {
        velk_MemberPrefetchStop();
        velk_prefetch_visit_hook = nullptr;
    }
    // An index of the entries after kHeaderBytes bytes of header.
    std::string writeIndex(const std::vector<hif_entry_t> &entries)
    {
        std::string bytes(static_cast<size_t>(kHeaderBytes), '\0');
        for (const hif_entry_t &e : entries) {
            unsigned char image[HIF_ENTRY_SIZE];
            velk_EncodeIndexEntry(&e, image);
            bytes.append(reinterpret_cast<char *>(image), HIF_ENTRY_SIZE);
        }
        velktest::writeFile(dir_ / "prefetch.idx", bytes);
        return dir_ / "prefetch.idx";
    }
    // n entries that name nothing on disk: the helpers only walk the index.
    std::string absentIndex(int64_t n, uint32_t type)
    {
        std::vector<hif_entry_t> entries;
        for (int64_t i = 0; i < n; ++i)
            entries.push_back(velkunit::entryOf(type, "absent" + std::to_string(i)));
        return writeIndex(entries);
    }
    velkunit::RunGlobals globals_;
    velkunit::InScratchDir dir_;
};

TEST_F(MemberPrefetchTest, StaysWithinTheWindowAndLooksAtEachEntryOnce)
{
    const int64_t n = 3 * VELK_PREFETCH_WINDOW + 17;
    std::string index = absentIndex(n, VTO_FILE);
    ASSERT_EQ(velk_MemberPrefetchStart(index.c_str(), kHeaderBytes, n, VELK_PREFETCH_THREADS), VELK_PREFETCH_THREADS);

    // The writer has not started: exactly the first window is looked at.
    ASSERT_TRUE(waitFor([] { return visitCount() >= static_cast<size_t>(VELK_PREFETCH_WINDOW); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(visitCount(), static_cast<size_t>(VELK_PREFETCH_WINDOW));

    // The writer moves one entry at a time, then jumps ahead of the helpers.
    for (int64_t w = 1; w <= VELK_PREFETCH_WINDOW; ++w)
        velk_MemberPrefetchAdvance(w);
    const int64_t jumpTo = 2 * VELK_PREFETCH_WINDOW + 100;
    ASSERT_TRUE(waitFor([] { return visitCount() >= static_cast<size_t>(2 * VELK_PREFETCH_WINDOW); }));
    velk_MemberPrefetchAdvance(jumpTo);
    velk_MemberPrefetchAdvance(5);  // never backwards
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(visitsLock);
        return std::any_of(visits.begin(), visits.end(), [&](auto &v) { return v.first == n - 1; });
    }));
    velk_MemberPrefetchStop();

    std::set<int64_t> seen;
    for (auto [ordinal, writerAt] : visits) {
        EXPECT_TRUE(seen.insert(ordinal).second) << "entry " << ordinal << " looked at twice";
        EXPECT_GE(ordinal, writerAt);
        EXPECT_LT(ordinal, writerAt + VELK_PREFETCH_WINDOW) << "writer at " << writerAt;
    }
    // Everything to the end, except what the writer skipped past.
    EXPECT_EQ(seen.count(0), 1u);
    EXPECT_EQ(seen.count(jumpTo), 1u);
    EXPECT_EQ(*seen.rbegin(), n - 1);
}

TEST_F(MemberPrefetchTest, StopEndsWaitingHelpersAndShortIndexesEndTheLookAhead)
{
    std::string index = absentIndex(2 * VELK_PREFETCH_WINDOW, VTO_DIRECTORY);
    ASSERT_GT(velk_MemberPrefetchStart(index.c_str(), kHeaderBytes, 2 * VELK_PREFETCH_WINDOW, 2), 0);
    ASSERT_TRUE(waitFor([] { return visitCount() == static_cast<size_t>(VELK_PREFETCH_WINDOW); }));
    velk_MemberPrefetchStop();                        // the helpers wait for the writer: must not hang
    velk_MemberPrefetchAdvance(VELK_PREFETCH_WINDOW);  // after the stop: ignored
    EXPECT_EQ(visitCount(), static_cast<size_t>(VELK_PREFETCH_WINDOW));

    // A start again begins afresh; an index shorter than its count ends it.
    visits.clear();
    index = absentIndex(5, VTO_FILE);
    ASSERT_GT(velk_MemberPrefetchStart(index.c_str(), kHeaderBytes, 40, 3), 0);
    ASSERT_TRUE(waitFor([] { return visitCount() >= 5u; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    velk_MemberPrefetchStop();
    EXPECT_EQ(visitCount(), 5u);
    EXPECT_EQ(visits.front().first, 0);

    // Nothing to look at, or no index: no helper starts, and the writer's
    // calls stay harmless.
    EXPECT_EQ(velk_MemberPrefetchStart((dir_ / "none.idx").c_str(), kHeaderBytes, 10, 2), 0);
    EXPECT_EQ(velk_MemberPrefetchStart(index.c_str(), kHeaderBytes, 0, 2), 0);
    velk_MemberPrefetchAdvance(3);
    velk_MemberPrefetchStop();
}

} // namespace
