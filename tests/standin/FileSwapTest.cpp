// The all-or-nothing swap of a restore's files: what stood in a place, SQLite's
// leftovers beside it included, is either replaced as a whole or put back.

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/FileSwap.h"

namespace Velmora::StandinTests {
namespace {

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

class FileSwapTest : public ::testing::Test {
protected:
    void SetUp() override { Folder = MakeTemporaryDirectory("velmora-swap-test"); }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }
    std::string At(const std::string& name) const { return (Folder / name).string(); }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(Folder)) names.push_back(entry.path().filename().string());
        return names;
    }
    fs::path Folder;
};

TEST_F(FileSwapTest, AStaleJournalBesideATargetGoesWithTheFileItBelongedTo)
{
    WriteText(At("ufdata.mdf"), "old books");
    WriteText(At("ufdata.mdf-journal"), "hot journal of the old books");
    WriteText(At("ufdata.ldf"), "old log");
    {
        Standin::TFileSwap swap;
        WriteText(swap.AddTarget(At("ufdata.mdf"), "ufdata.mdf"), "new books");
        WriteText(swap.AddTarget(At("ufdata.ldf"), "ufdata.ldf"), "new log");
        swap.Place();
        swap.Commit();
    }
    // A journal left beside the new file would be replayed into it on the first open.
    EXPECT_THAT(Names(), UnorderedElementsAre("ufdata.mdf", "ufdata.ldf"));
    EXPECT_EQ(ReadBytes(At("ufdata.mdf")), "new books");
    EXPECT_EQ(ReadBytes(At("ufdata.ldf")), "new log");
}

TEST_F(FileSwapTest, WithoutCommitEverythingIsPutBack)
{
    WriteText(At("ufdata.mdf"), "old books");
    WriteText(At("ufdata.mdf-journal"), "hot journal of the old books");
    {
        Standin::TFileSwap swap;
        WriteText(swap.AddTarget(At("ufdata.mdf"), "ufdata.mdf"), "new books");
        WriteText(swap.AddTarget(At("ufdata.ldf"), "ufdata.ldf"), "new log");
        swap.Place();
        EXPECT_EQ(ReadBytes(At("ufdata.mdf")), "new books");
    }
    EXPECT_THAT(Names(), UnorderedElementsAre("ufdata.mdf", "ufdata.mdf-journal"));
    EXPECT_EQ(ReadBytes(At("ufdata.mdf")), "old books");
    EXPECT_EQ(ReadBytes(At("ufdata.mdf-journal")), "hot journal of the old books");
}

TEST_F(FileSwapTest, AFailedPlaceUndoesTheFilesAlreadyPlaced)
{
    WriteText(At("a.mdf"), "old a");
    WriteText(At("b.ldf"), "old b");
    Standin::TFileSwap swap;
    WriteText(swap.AddTarget(At("a.mdf"), "a.mdf"), "new a");
    swap.AddTarget(At("b.ldf"), "shown b.ldf");  // its temporary is never written, so it cannot be renamed
    EXPECT_THAT(ProviderError([&] { swap.Place(); }), ::testing::StartsWith("Write on \"shown b.ldf\" failed: "));
    EXPECT_THAT(Names(), UnorderedElementsAre("a.mdf", "b.ldf"));
    EXPECT_EQ(ReadBytes(At("a.mdf")), "old a");
    EXPECT_EQ(ReadBytes(At("b.ldf")), "old b");
}

}  // namespace
}  // namespace Velmora::StandinTests
