// Name caches: correct names, one system lookup per miss, nine searchable
// slots (the tenth most recent ID is looked up again), failures not cached,
// short buffers, separate caches for owners and groups.  The caches are
// process-wide: IDs are pushed out with other lookups, not assumed absent.

#include <grp.h>
#include <map>
#include <pwd.h>

#include "velk_NameCache.h"
#include "velk_unit_fixture.h"

namespace {

constexpr unsigned int UNKNOWN_ID = 2147480001u;  // neither database knows it

// One of the two caches: its lookup, its counter and the names it must give.
struct Cache {
    const char *what;
    int (*lookup)(unsigned int id, char *buf, int len);
    int counter;  // argument of velk_NameCacheSystemLookups
    std::map<unsigned int, std::string> names;
    std::vector<unsigned int> ids;
    size_t next = 0;

    // Looks up id; returns true when that asked the system.
    bool miss(unsigned int id)
    {
        char buf[64];
        long before = velk_NameCacheSystemLookups(counter);
        EXPECT_EQ(lookup(id, buf, sizeof buf), 0) << what << " " << id;
        EXPECT_EQ(buf, names[id]) << what << " " << id;
        return velk_NameCacheSystemLookups(counter) != before;
    }
    // Looks up IDs other than keep until `misses` of them were misses: keep,
    // if cached, moves one slot per miss.
    void pushOthers(unsigned int keep, int misses)
    {
        for (int guard = 0; misses > 0 && guard < 1000; guard++) {
            unsigned int id = ids[next++ % ids.size()];
            if (id != keep && miss(id))
                misses--;
        }
        ASSERT_EQ(misses, 0) << what << ": the cache never missed";
    }
};

Cache owners()
{
    Cache c{"owners", [](unsigned int id, char *b, int n) { return velk_GetOwnerName(id, b, n); }, 0, {}, {}};
    setpwent();
    while (struct passwd *pw = getpwent())
        c.names.emplace(pw->pw_uid, pw->pw_name);
    endpwent();
    for (const auto &e : c.names)
        c.ids.push_back(e.first);
    return c;
}

Cache groups()
{
    Cache c{"groups", [](unsigned int id, char *b, int n) { return velk_GetGroupName(id, b, n); }, 1, {}, {}};
    setgrent();
    while (struct group *gr = getgrent())
        c.names.emplace(gr->gr_gid, gr->gr_name);
    endgrent();
    for (const auto &e : c.names)
        c.ids.push_back(e.first);
    return c;
}

TEST(NameCache, OneLookupPerMissNineSlotsAndNoCachedFailures)
{
    for (Cache c : {owners(), groups()}) {
        SCOPED_TRACE(c.what);
        // Ten IDs besides the one under test make sure of misses.
        if (c.ids.size() < 11)
            GTEST_SKIP() << "needs at least 11 IDs in the " << c.what << " database";
        ASSERT_EQ(c.names.count(UNKNOWN_ID), 0u);
        int otherCounter = 1 - c.counter;
        long otherBefore = velk_NameCacheSystemLookups(otherCounter);
        unsigned int id = c.ids[3];
        // Put id first by a miss.
        for (int guard = 0; guard < 100 && !c.miss(id); guard++)
            c.pushOthers(id, 1);
        EXPECT_FALSE(c.miss(id)) << "the same ID twice asks the system once";
        c.pushOthers(id, 8);  // id is in the ninth slot: still found
        EXPECT_FALSE(c.miss(id)) << "ninth most recent ID should be a hit";
        c.pushOthers(id, 1);  // the tenth slot is not searched
        EXPECT_TRUE(c.miss(id)) << "tenth most recent ID should be a miss";
        EXPECT_EQ(velk_NameCacheSystemLookups(otherCounter), otherBefore) << "the caches are separate";

        char buf[64] = "stale";
        long before = velk_NameCacheSystemLookups(c.counter);
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(c.lookup(UNKNOWN_ID, buf, sizeof buf), -1);
            EXPECT_STREQ(buf, "");
            strcpy(buf, "stale");
        }
        EXPECT_EQ(velk_NameCacheSystemLookups(c.counter), before + 2);

        // Short buffers are cut and terminated.
        const std::string &name = c.names[c.ids[0]];
        memset(buf, 'Z', sizeof buf);
        ASSERT_EQ(c.lookup(c.ids[0], buf, 3), 0);
        EXPECT_EQ(std::string(buf), name.substr(0, 2));
        memset(buf, 'Z', sizeof buf);
        ASSERT_EQ(c.lookup(c.ids[0], buf, 1), 0);
        EXPECT_EQ(buf[0], '\0');
    }
}

} // namespace
