// Name caches: correct names, one system lookup per miss, nine searchable
// slots (the tenth most recent ID is looked up again), failures not cached,
// and consistent results under concurrent use.  The caches are process-wide,
// so every test first pushes its IDs out with other lookups instead of
// assuming an empty cache.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <grp.h>
#include <map>
#include <pwd.h>
#include <string>
#include <thread>
#include <vector>

#include "velk_NameCache.h"

namespace {

// Existing users and groups of this machine, ID to name.
std::map<uid_t, std::string> known_users()
{
    std::map<uid_t, std::string> users;
    setpwent();
    while (struct passwd *pw = getpwent())
        users.emplace(pw->pw_uid, pw->pw_name);
    endpwent();
    return users;
}

std::map<gid_t, std::string> known_groups()
{
    std::map<gid_t, std::string> groups;
    setgrent();
    while (struct group *gr = getgrent())
        groups.emplace(gr->gr_gid, gr->gr_name);
    endgrent();
    return groups;
}

// An ID that neither database knows.
constexpr unsigned int UNKNOWN_ID = 2147480001u;

// One of the two caches, seen through its lookup routine and its counter.
struct CacheView {
    int (*lookup)(unsigned int id, char *buf, int len);
    long (*systemCalls)();
};

const CacheView OWNERS = {[](unsigned int id, char *buf, int len) { return velk_GetOwnerName(id, buf, len); },
                          [] { return velk_NameCacheSystemLookups(0); }};
const CacheView GROUPS = {[](unsigned int id, char *buf, int len) { return velk_GetGroupName(id, buf, len); },
                          [] { return velk_NameCacheSystemLookups(1); }};

// Drives one cache through IDs that exist.  The caches are process-wide and
// other tests may have filled them, so nothing is assumed about the start:
// a lookup's effect is read from the counter (a miss asks the system and
// puts the ID first; a hit changes nothing), which tells exactly how far an
// entry has moved since it was put first.
class CacheDriver {
public:
    CacheDriver(const CacheView &view, std::vector<unsigned int> ids) : view_(view), ids_(std::move(ids)) {}

    // Looks up id; returns true when that asked the system.
    bool lookup(unsigned int id)
    {
        char buf[64];
        long before = view_.systemCalls();
        EXPECT_EQ(view_.lookup(id, buf, sizeof buf), 0) << "id " << id;
        return view_.systemCalls() != before;
    }

    // Looks up IDs other than keep, in turn, until `misses` of them were
    // misses.  keep, if cached, moves one slot per miss.
    void push_others(unsigned int keep, int misses)
    {
        for (int guard = 0; misses > 0 && guard < 1000; guard++) {
            unsigned int id = ids_[next_++ % ids_.size()];
            if (id != keep && lookup(id))
                misses--;
        }
        ASSERT_EQ(misses, 0) << "cache never missed";
    }

    // Leaves id in the first slot, put there by a miss.
    void make_first(unsigned int id)
    {
        for (int guard = 0; guard < 100; guard++) {
            if (lookup(id))
                return;
            push_others(id, 1);
        }
        FAIL() << "id " << id << " never left the cache";
    }

private:
    const CacheView &view_;
    std::vector<unsigned int> ids_;
    size_t next_ = 0;
};

template <typename Map>
std::vector<unsigned int> ids_of(const Map &m)
{
    std::vector<unsigned int> ids;
    for (const auto &entry : m)
        ids.push_back(static_cast<unsigned int>(entry.first));
    return ids;
}

class OwnerCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        names_ = known_users();
        ids_ = ids_of(names_);
        // Ten IDs besides the one under test are needed to be sure of
        // misses: at most eight others fit in the searched slots with it.
        if (ids_.size() < 11)
            GTEST_SKIP() << "needs at least 11 users in the password database";
        struct passwd pw, *res = nullptr;
        char pwbuf[1024];
        ASSERT_TRUE(getpwuid_r(UNKNOWN_ID, &pw, pwbuf, sizeof pwbuf, &res) == 0 && res == nullptr)
            << "uid " << UNKNOWN_ID << " exists here";
    }
    std::vector<unsigned int> ids_;
    std::map<uid_t, std::string> names_;
};

TEST_F(OwnerCacheTest, SameIdTwiceAsksTheSystemOnce)
{
    CacheDriver cache(OWNERS, ids_);
    unsigned int id = ids_[0];
    cache.make_first(id);  // that lookup was a miss
    char buf[64];
    long before = velk_NameCacheSystemLookups(0);
    ASSERT_EQ(velk_GetOwnerName(id, buf, sizeof buf), 0);
    EXPECT_EQ(buf, names_[id]);
    EXPECT_EQ(velk_NameCacheSystemLookups(0), before);
}

TEST_F(OwnerCacheTest, NineSlotsAreSearchedTheTenthIsNot)
{
    CacheDriver cache(OWNERS, ids_);
    unsigned int id = ids_[3];
    cache.make_first(id);
    // Eight newer entries: id is in the ninth slot and still found.
    cache.push_others(id, 8);
    EXPECT_FALSE(cache.lookup(id)) << "ninth most recent ID should be a hit";
    // That hit did not move it; one more new entry pushes it into the tenth
    // slot, which is not searched: after ten different IDs the first is
    // asked for again.
    cache.push_others(id, 1);
    EXPECT_TRUE(cache.lookup(id)) << "tenth most recent ID should be a miss";
    char buf[64];
    ASSERT_EQ(velk_GetOwnerName(id, buf, sizeof buf), 0);
    EXPECT_EQ(buf, names_[id]);
}

TEST_F(OwnerCacheTest, ShortBuffersAreCutAndTerminated)
{
    ASSERT_TRUE(names_.count(0)) << "uid 0 missing";
    const std::string &root = names_[0];
    ASSERT_GE(root.size(), 3u);
    char buf[8];
    memset(buf, 'Z', sizeof buf);
    ASSERT_EQ(velk_GetOwnerName(0, buf, 3), 0);
    EXPECT_EQ(std::string(buf), root.substr(0, 2));
    memset(buf, 'Z', sizeof buf);
    ASSERT_EQ(velk_GetOwnerName(0, buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
}

TEST_F(OwnerCacheTest, UnknownIdFailsWithEmptyBufferAndIsNotCached)
{
    char buf[64] = "stale";
    long before = velk_NameCacheSystemLookups(0);
    EXPECT_EQ(velk_GetOwnerName(UNKNOWN_ID, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "");
    strcpy(buf, "stale");
    EXPECT_EQ(velk_GetOwnerName(UNKNOWN_ID, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(velk_NameCacheSystemLookups(0), before + 2);
}

TEST_F(OwnerCacheTest, ConcurrentLookupsGiveTheRightNames)
{
    // More distinct IDs than slots, so the threads keep shifting the cache
    // while others search it.
    size_t n = std::min<size_t>(ids_.size(), 16);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            char buf[64];
            for (int i = 0; i < 500; i++) {
                uid_t id = ids_[static_cast<size_t>(i * 7 + t) % n];
                if (velk_GetOwnerName(id, buf, sizeof buf) != 0 || names_.at(id) != buf)
                    wrong[static_cast<size_t>(t)]++;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < 4; t++)
        EXPECT_EQ(wrong[static_cast<size_t>(t)], 0) << "thread " << t;
}

TEST(GroupCacheTest, NamesOneLookupPerMissAndNineSlots)
{
    auto groups = known_groups();
    std::vector<unsigned int> ids = ids_of(groups);
    if (ids.size() < 11)
        GTEST_SKIP() << "needs at least 11 groups in the group database";
    CacheDriver cache(GROUPS, ids);
    unsigned int id = ids[1];
    long ownerBefore = velk_NameCacheSystemLookups(0);
    cache.make_first(id);
    char buf[64];
    ASSERT_EQ(velk_GetGroupName(id, buf, sizeof buf), 0);
    EXPECT_EQ(buf, groups[id]);
    EXPECT_FALSE(cache.lookup(id));
    cache.push_others(id, 8);
    EXPECT_FALSE(cache.lookup(id));
    cache.push_others(id, 1);
    EXPECT_TRUE(cache.lookup(id));
    // The two caches are separate.
    EXPECT_EQ(velk_NameCacheSystemLookups(0), ownerBefore);

    strcpy(buf, "stale");
    EXPECT_EQ(velk_GetGroupName(UNKNOWN_ID, buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "");
}

} // namespace
