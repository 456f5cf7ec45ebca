// The interchange form of file modes used in local-file transfer requests.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "velk_Lfx.h"

namespace {

TEST(LfxModes, KnownFileTypesAndEveryPermissionBitSurviveOthersAreDropped)
{
    const struct {
        mode_t local;
        uint32_t interchange;
    } cases[] = {
        {S_IFREG | 0644, 0x8000 | 0644}, {S_IFDIR | 07755, 0x4000 | 07755}, {S_IFLNK | 0777, 0xA000 | 0777},
        {S_IFIFO | 0600, 0x1000 | 0600}, {S_IFCHR | 0620, 0x2000 | 0620},   {S_IFBLK | 0660, 0x6000 | 0660},
        {S_IFSOCK | 0755, 0xC000 | 0755}, {0xE000 | 04711, 04711},          {0x3000 | 02070, 02070},
        {0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.local);
        EXPECT_EQ(velk_LocalModeToInterchangeMode(c.local), c.interchange);
        EXPECT_EQ(velk_InterchangeModeToLocalMode(c.interchange), static_cast<mode_t>(c.interchange));
    }
}

} // namespace
