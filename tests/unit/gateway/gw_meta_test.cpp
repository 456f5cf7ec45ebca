// Metadata sidecars: the text form read back field by field, its errors,
// and the sidecars following their objects on rename (a file, a directory
// with its contents, a rename over an existing object) and on removal.

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>

#include "gw_meta.h"
#include "velk_testsupport.h"

namespace {

gw_meta_t sample(uint32_t cos)
{
    gw_meta_t m;
    m.COSId = cos;
    m.FamilyId = 7;
    m.SubSystemId = 3;
    m.Account = 12;
    m.UID = 1000;
    m.GID = 100;
    m.TimeCreated = 1700000000u;
    m.Expiration = 4102444800ull;
    m.ObjId = 0x1122334455667788ull;
    return m;
}

bool exists(const std::string &p)
{
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}

TEST(GwMeta, ParsesWhatItWritesAndRejectsBadText)
{
    gw_meta_t m;
    ASSERT_EQ(gw_MetaParse("COSId=4\nFamilyId=2\nSubSystemId=1\nAccount=9\nUID=5\nGID=6\nTimeCreated=77\n"
                           "Expiration=18446744073709551615\nObjId=42\n",
                           &m),
              0);
    EXPECT_EQ(m.COSId, 4u);
    EXPECT_EQ(m.FamilyId, 2u);
    EXPECT_EQ(m.SubSystemId, 1u);
    EXPECT_EQ(m.Account, 9u);
    EXPECT_EQ(m.UID, 5u);
    EXPECT_EQ(m.GID, 6u);
    EXPECT_EQ(m.TimeCreated, 77u);
    EXPECT_EQ(m.Expiration, UINT64_MAX);
    EXPECT_EQ(m.ObjId, 42u);
    EXPECT_EQ(gw_MetaParse("COSId=4294967296\n", &m), -EINVAL);
    EXPECT_EQ(gw_MetaParse("Colour=4\n", &m), -EINVAL);
    EXPECT_EQ(gw_MetaParse("COSId\n", &m), -EINVAL);
    EXPECT_EQ(gw_MetaParse("COSId=-1\n", &m), -EINVAL);
    EXPECT_EQ(gw_MetaParse("COSId=1x\n", &m), -EINVAL);
}

TEST(GwMeta, WriteReadAndMissing)
{
    velktest::ScratchDir meta;
    gw_meta_t m;
    EXPECT_EQ(gw_MetaRead(meta.path(), "/a/b", &m), -ENOENT);
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/a/b", sample(8)), 0);
    EXPECT_TRUE(exists(meta / "a/b#meta"));
    ASSERT_EQ(gw_MetaRead(meta.path(), "/a/b", &m), 0);
    EXPECT_EQ(m.COSId, 8u);
    EXPECT_EQ(m.Expiration, 4102444800ull);
    EXPECT_EQ(m.ObjId, 0x1122334455667788ull);
    // Rewriting replaces the record.
    gw_meta_t n = sample(2);
    n.Expiration = 0;
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/a/b", n), 0);
    ASSERT_EQ(gw_MetaRead(meta.path(), "/a/b", &m), 0);
    EXPECT_EQ(m.COSId, 2u);
    EXPECT_EQ(m.Expiration, 0u);
}

TEST(GwMeta, RenameCarriesFilesAndDirectoryContents)
{
    velktest::ScratchDir meta;
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/f", sample(1)), 0);
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/dir", sample(2)), 0);
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/dir/inner", sample(4)), 0);
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/target", sample(65)), 0);

    // A file renamed over an existing object takes its place.
    ASSERT_EQ(gw_MetaRename(meta.path(), "/f", "/target"), 0);
    gw_meta_t m;
    EXPECT_EQ(gw_MetaRead(meta.path(), "/f", &m), -ENOENT);
    ASSERT_EQ(gw_MetaRead(meta.path(), "/target", &m), 0);
    EXPECT_EQ(m.COSId, 1u);

    // A directory moves with the sidecars of its contents, into a new parent.
    ASSERT_EQ(gw_MetaRename(meta.path(), "/dir", "/new/place"), 0);
    EXPECT_EQ(gw_MetaRead(meta.path(), "/dir", &m), -ENOENT);
    EXPECT_EQ(gw_MetaRead(meta.path(), "/dir/inner", &m), -ENOENT);
    ASSERT_EQ(gw_MetaRead(meta.path(), "/new/place", &m), 0);
    EXPECT_EQ(m.COSId, 2u);
    ASSERT_EQ(gw_MetaRead(meta.path(), "/new/place/inner", &m), 0);
    EXPECT_EQ(m.COSId, 4u);

    // An object without a sidecar renames without error and leaves none.
    ASSERT_EQ(gw_MetaRename(meta.path(), "/nometa", "/target"), 0);
    EXPECT_EQ(gw_MetaRead(meta.path(), "/target", &m), -ENOENT);
}

TEST(GwMeta, RemoveDropsTheSidecarAndTheContents)
{
    velktest::ScratchDir meta;
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/d", sample(1)), 0);
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/d/x/y", sample(2)), 0);
    ASSERT_EQ(gw_MetaWrite(meta.path(), "/keep", sample(3)), 0);
    ASSERT_EQ(gw_MetaRemove(meta.path(), "/d"), 0);
    EXPECT_FALSE(exists(meta / "d#meta"));
    EXPECT_FALSE(exists(meta / "d"));
    gw_meta_t m;
    ASSERT_EQ(gw_MetaRead(meta.path(), "/keep", &m), 0);
    EXPECT_EQ(m.COSId, 3u);
    EXPECT_EQ(gw_MetaRemove(meta.path(), "/never"), 0);
}

} // namespace
