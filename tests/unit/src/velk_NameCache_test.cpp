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

TEST(NameCache, OneLookupPerMissNineSlotsAndNoCachedFailures)
{
    for (int which : {0, 1}) {  // owners, groups
        auto lookup = [which](unsigned id, char *b, int n) {
            return which == 0 ? velk_GetOwnerName(id, b, n) : velk_GetGroupName(id, b, n);
        };
        std::map<unsigned, std::string> names;
        if (which == 0) {
            for (setpwent(); struct passwd *pw = getpwent();)
                names.emplace(pw->pw_uid, pw->pw_name);
            endpwent();
        } else {
            for (setgrent(); struct group *gr = getgrent();)
                names.emplace(gr->gr_gid, gr->gr_name);
            endgrent();
        }
        std::vector<unsigned> ids;
        for (const auto &e : names)
            ids.push_back(e.first);
        if (ids.size() < 11)  // ten others make sure of misses
            GTEST_SKIP() << "needs at least 11 IDs in each database";
        // Whether looking id up asked the system (the name is right either way).
        auto miss = [&](unsigned id) {
            char buf[64];
            long before = velk_NameCacheSystemLookups(which);
            EXPECT_EQ(lookup(id, buf, sizeof buf), 0);
            EXPECT_EQ(buf, names[id]);
            return velk_NameCacheSystemLookups(which) != before;
        };
        size_t next = 0;
        auto pushOthers = [&](unsigned keep, int misses) {  // keep, if cached, moves one slot per miss
            for (int guard = 0; misses > 0 && guard < 1000; guard++) {
                unsigned id = ids[next++ % ids.size()];
                misses -= id != keep && miss(id);
            }
            ASSERT_EQ(misses, 0) << "the cache never missed";
        };
        long otherBefore = velk_NameCacheSystemLookups(1 - which);
        unsigned id = ids[3];
        for (int guard = 0; guard < 100 && !miss(id); guard++)
            pushOthers(id, 1);  // until a miss puts id first
        EXPECT_FALSE(miss(id)) << "the same ID twice asks the system once";
        pushOthers(id, 8);
        EXPECT_FALSE(miss(id)) << "the ninth most recent ID is found";
        pushOthers(id, 1);
        EXPECT_TRUE(miss(id)) << "the tenth most recent ID is not";
        EXPECT_EQ(velk_NameCacheSystemLookups(1 - which), otherBefore) << "the caches are separate";

        char buf[64] = "stale";
        long before = velk_NameCacheSystemLookups(which);
        EXPECT_EQ(lookup(2147480001u, buf, sizeof buf), -1);  // an ID nobody has
        EXPECT_STREQ(buf, "");
        EXPECT_EQ(lookup(2147480001u, buf, sizeof buf), -1);
        EXPECT_EQ(velk_NameCacheSystemLookups(which), before + 2);  // failures are not cached
        memset(buf, 'Z', sizeof buf);
        ASSERT_EQ(lookup(ids[0], buf, 3), 0);  // short buffers are cut and terminated
        EXPECT_EQ(std::string(buf), names[ids[0]].substr(0, 2));
        ASSERT_EQ(lookup(ids[0], buf, 1), 0);
        EXPECT_EQ(buf[0], '\0');
    }
}

} // namespace
