#include <gtest/gtest.h>

#include <algorithm>

#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;

class StagingCopy : public ::testing::Test, protected TRunFixture {
protected:
    const std::string Source = "C:\\backup\\ufdata.bak";
    const std::string Target = "D:\\host\\TempLateTemp\\ufdatawk.temp";

    static std::string Bytes(std::size_t n)
    {
        std::string data(n, '\0');
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 131 + 7) % 256);
        return data;
    }
    bool Copy() { return Form->CopyBackupFile(Source, Target); }
};

TEST_F(StagingCopy, EmptySourceGivesEmptyTargetAndAStillBar)
{
    Fake.Files.Contents[Source] = "";
    EXPECT_TRUE(Copy());
    EXPECT_EQ(Fake.Files.Contents.at(Target), "");
    EXPECT_EQ(Form->Progress_Step.TotalParts(), 0);
    EXPECT_EQ(Form->Percent(), 0);
    EXPECT_TRUE(Fake.Files.ReadRequests.empty());
}

TEST_F(StagingCopy, PiecesOf1025Bytes)
{
    for (std::size_t size : {1025u, 1026u, 5000u}) {
        TRunFixture run;
        run.Fake.Files.Contents[Source] = Bytes(size);
        EXPECT_TRUE(run.Form->CopyBackupFile(Source, Target));
        EXPECT_EQ(run.Fake.Files.Contents.at(Target), Bytes(size)) << size;
        const std::size_t pieces = (size + 1024) / 1025;
        EXPECT_EQ(run.Fake.Files.ReadRequests.size(), pieces) << size;
        for (auto request : run.Fake.Files.ReadRequests) EXPECT_EQ(request, 1025);
        EXPECT_EQ(run.Fake.Toolkit.ProcessMessagesCalls, static_cast<int>(pieces));
        EXPECT_EQ(run.Form->Progress_Step.TotalParts(), static_cast<std::int64_t>(size));
        EXPECT_EQ(run.Form->Progress_Step.PartsComplete(), static_cast<std::int64_t>(size));
        EXPECT_EQ(run.Form->Percent(), 100);
        EXPECT_TRUE(run.Fake.Files.OpenFiles.empty());
    }
}

TEST_F(StagingCopy, BarFollowsTheSourcePosition)
{
    Fake.Files.Contents[Source] = Bytes(4100);  // four pieces of 1025
    std::vector<int> percents;
    Fake.Toolkit.OnProcessMessages = [&] { percents.push_back(Form->Percent()); };
    EXPECT_TRUE(Copy());
    EXPECT_EQ(percents, (std::vector<int>{25, 50, 75, 100}));
}

TEST_F(StagingCopy, ExistingStagingCopyIsReplaced)
{
    Fake.Files.Contents[Source] = "new";
    Fake.Files.Contents[Target] = std::string(5000, 'o');
    EXPECT_TRUE(Copy());
    EXPECT_EQ(Fake.Files.Contents.at(Target), "new");
}

TEST_F(StagingCopy, FailureIsToldInOneBoxAndThePartialCopyDeleted)
{
    const char* const reasons[] = {"读取失败", "写入失败", "写入失败：磁盘已满"};
    for (int failure : {0, 1, 2}) {  // read, write, the last bytes on close
        TRunFixture run;
        run.Fake.Files.Contents[Source] = Bytes(4000);
        if (failure == 0) run.Fake.Files.FailReadAt = 2050;
        if (failure == 1) run.Fake.Files.FailWriteAt = 2050;
        if (failure == 2) run.Fake.Files.FailClose = true;
        EXPECT_FALSE(run.Form->CopyBackupFile(Source, Target));
        EXPECT_EQ(run.Form->ModalResult(), mrCancel);
        ASSERT_EQ(run.Fake.Toolkit.Messages.size(), 1u) << failure;
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Text, std::string("复制备份文件失败：") + reasons[failure]);
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Caption, "错误");
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Flags, MsgBox::IconError);
        EXPECT_TRUE(run.Fake.Files.OpenFiles.empty()) << "both files closed";
        EXPECT_EQ(run.Fake.Files.Contents.count(Target), 0u) << "partial copy deleted";
        EXPECT_EQ(run.Fake.Files.Contents.at(Source), Bytes(4000)) << "the backup itself stays";
    }
}

TEST_F(StagingCopy, SourceThatShrinksIsToldInsteadOfSpinning)
{
    Fake.Files.Contents[Source] = Bytes(5000);
    Fake.Toolkit.OnProcessMessages = [&] { Fake.Files.Contents[Source].resize(2000); };
    EXPECT_FALSE(Copy());
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text,
              "复制备份文件失败：备份文件“C:\\backup\\ufdata.bak”在复制过程中变短了");
    EXPECT_EQ(Fake.Files.Contents.count(Target), 0u);
}

TEST_F(StagingCopy, SourceThatGrowsIsCopiedUpToItsSizeAtTheStart)
{
    Fake.Files.Contents[Source] = Bytes(3000);
    Fake.Toolkit.OnProcessMessages = [&] { Fake.Files.Contents[Source] = Bytes(Fake.Files.Contents[Source].size() + 700); };
    EXPECT_TRUE(Copy());
    EXPECT_EQ(Fake.Files.Contents.at(Target), Bytes(3000));
    EXPECT_EQ(Form->Percent(), 100);
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
}

TEST_F(StagingCopy, SourceThatCannotBeOpenedIsNotThisStepsToAnswer)
{
    Fake.Files.Contents[Source] = "x";
    Fake.Files.Locked.insert(Source);
    EXPECT_THROW(Copy(), EVelmoraError);
    EXPECT_THROW(Form->CopyBackupFile("C:\\missing.bak", Target), EVelmoraError);
    EXPECT_EQ(Form->ModalResult(), mrNone);
    EXPECT_TRUE(Fake.Files.OpenFiles.empty());
}

// A copy that cannot fit is refused before the target exists; one that just fits goes on.
TEST_F(StagingCopy, ACopyLargerThanTheFreeSpaceIsRefusedBeforeAByteIsWritten)
{
    Fake.Files.Contents[Source] = Bytes(3000);
    Fake.Files.Free = 2999;
    EXPECT_FALSE(Copy());
    EXPECT_EQ(Fake.Files.Contents.count(Target), 0u);
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text, "磁盘“D:\\”空间不足，不能复制备份文件：需要 3000 字节，可用 2999 字节。\n"
                                             "请清理这个磁盘，或把工作文件夹放到空间足够的磁盘上。");
    Fake.Files.Free = 3000;
    EXPECT_TRUE(Copy());
}

}  // namespace
}  // namespace Velmora
