// Attribute record <-> POSIX mode: each permission, set-id and sticky bit
// maps to its own mode bit and nothing else, each object type to its file
// type, and every mode kylgwd can report survives the trip through a
// record.

#include "kylgw_attrs.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

quor_Attrs_t record(uint32_t type, uint32_t mode, uint32_t user, uint32_t group, uint32_t other)
{
    quor_Attrs_t a = {};
    a.Type = type;
    a.ModePerms = mode;
    a.UserPerms = user;
    a.GroupPerms = group;
    a.OtherPerms = other;
    return a;
}

TEST(AttrsToMode, EachFieldBitAndTypeMapsToItsModeBits)
{
    struct Case {
        uint32_t type, mode, user, group, other;
        mode_t expected;
    } cases[] = {
        {0, 0, 0x20, 0, 0, S_IRUSR}, {0, 0, 0x40, 0, 0, S_IWUSR}, {0, 0, 0x80, 0, 0, S_IXUSR},
        {0, 0, 0, 0x20, 0, S_IRGRP}, {0, 0, 0, 0x40, 0, S_IWGRP}, {0, 0, 0, 0x80, 0, S_IXGRP},
        {0, 0, 0, 0, 0x20, S_IROTH}, {0, 0, 0, 0, 0x40, S_IWOTH}, {0, 0, 0, 0, 0x80, S_IXOTH},
        {0, 0x20, 0, 0, 0, S_ISUID}, {0, 0x40, 0, 0, 0, S_ISGID}, {0, 0x80, 0, 0, 0, S_ISVTX},
        // Bits outside 0x20/0x40/0x80 and unknown types mean nothing.
        {7, 0x11f, 0x11f, 0x11f, 0x11f, 0},
        {129, 0, 0, 0, 0, S_IFREG},
        {130, 0, 0, 0, 0, S_IFLNK},
        {131, 0, 0, 0, 0, S_IFREG},
        {132, 0, 0xe0, 0, 0, S_IFDIR | S_IRWXU},
        {129, 0xe0, 0xe0, 0xe0, 0xe0, S_IFREG | 07777},
    };
    for (const auto &c : cases) {
        quor_Attrs_t a = record(c.type, c.mode, c.user, c.group, c.other);
        EXPECT_EQ(kylgw_AttrsToMode(&a), c.expected)
            << c.type << " " << std::hex << c.mode << " " << c.user << " " << c.group << " " << c.other;
    }
    EXPECT_EQ(kylgw_AttrsToMode(nullptr), 0u);
}

TEST(ModeToAttrs, EveryModeSurvivesTheRoundTrip)
{
    for (mode_t type : {S_IFREG, S_IFDIR, S_IFLNK}) {
        for (mode_t perms = 0; perms <= 07777; perms++) {
            quor_Attrs_t a = {};
            a.UID = 42; // fields other than type and permissions stay
            kylgw_ModeToAttrs(type | perms, &a);
            ASSERT_EQ(kylgw_AttrsToMode(&a), type | perms) << std::oct << (type | perms);
            ASSERT_EQ(a.UID, 42u);
        }
    }
    // The wire values themselves, as a client outside this code reads them.
    quor_Attrs_t a = {};
    kylgw_ModeToAttrs(S_IFDIR | S_ISUID | 0751, &a);
    EXPECT_EQ(a.Type, 132u);
    EXPECT_EQ(a.ModePerms, 0x20u);
    EXPECT_EQ(a.UserPerms, 0xe0u);
    EXPECT_EQ(a.GroupPerms, 0xa0u);
    EXPECT_EQ(a.OtherPerms, 0x80u);
    kylgw_ModeToAttrs(S_IFIFO | S_ISVTX, &a);
    EXPECT_EQ(a.Type, 129u);
    EXPECT_EQ(a.ModePerms, 0x80u);
}

} // namespace
