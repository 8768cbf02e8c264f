#include <gtest/gtest.h>

#include <filesystem>

#include "polling/poll.h"
#include "support/temp_dir.h"

using namespace korv;
using korv::test::TempDir;

TEST(NextFreeFolder, ReusesGapsAndGrowsPastFiveDigits) {
    TempDir dir;
    std::string day = dir.path() + "20261207";
    int start = 0;
    EXPECT_EQ(NextFreeFolder(day, "", 5, start), day + "/00000");
    EXPECT_EQ(start, 1);
    std::filesystem::create_directories(day + "/00000");
    std::filesystem::create_directories(day + "/00002");
    start = 0;
    EXPECT_EQ(NextFreeFolder(day, "", 5, start), day + "/00001");
    std::filesystem::create_directories(day + "/00001");
    start = 0;
    EXPECT_EQ(NextFreeFolder(day, "", 5, start), day + "/00003");
    EXPECT_EQ(start, 4);
    start = 99999;
    std::filesystem::create_directories(day + "/99999");
    EXPECT_EQ(NextFreeFolder(day + "/", "m", 5, start), day + "/m99999");
    start = 99999;
    EXPECT_EQ(NextFreeFolder(day, "", 5, start), day + "/100000");
    // A file of that name is no folder: the name is handed out, and creating it fails later.
    korv::test::writeBytes(day + "/00004", "x");
    start = 4;
    EXPECT_EQ(NextFreeFolder(day, "", 5, start), day + "/00004");
}
