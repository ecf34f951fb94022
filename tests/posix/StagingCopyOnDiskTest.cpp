// The staging copy over the real POSIX files, with failures injected between the
// copy and the adapter, call by call, as a full disk or a failing drive would give them.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/posix/PosixFileSystem.h"
#include "preprocess/DealWithUFO.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FaultyFiles.h"
#include "tests/posix/PosixTestSupport.h"

namespace Velmora {
namespace {

using PosixTest::ReadWholeFile;
using PosixTest::TTempDir;
using PosixTest::WriteWholeFile;
using Testing::TFaultMode;
using Testing::TFaultyFileSystem;
using Testing::TFileCall;

std::string Bytes(std::size_t n)
{
    std::string data(n, '\0');
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>((i * 7919 + 13) % 251);
    return data;
}

int OpenDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// A small buffer, so that the adapter's own reads and writes happen inside the copy's loop.
struct TDiskRun {
    TTempDir Dir;
    Fakes::TFakePlatform Fake;
    TPosixFileSystem Disk{4096};
    TFaultyFileSystem Files{Disk};
    TPlatform Platform{Fake.Toolkit, Fake.Services, Fake.Data, Files, Fake.Text};
    std::unique_ptr<TForm_DealWithUFO> Form = std::make_unique<TForm_DealWithUFO>(Platform);
    const std::string Source = Dir / "UFDATA.BAK";
    const std::string Target = Dir / "ufdatawk.temp";

    bool Copy() { return Form->CopyBackupFile(Source, Target); }
};

constexpr std::size_t BackupSize = 20000;  // 20 pieces of 1025 bytes

// Every read, write and close of the copy fails in turn, once and for good. Each time
// the user is told in one box why, the partial copy is gone, the backup is untouched
// and no file is left open.
TEST(StagingCopyOnDisk, EveryInjectedFailureIsToldOnceAndLeavesNoCopy)
{
    int calls[3];
    {
        TDiskRun clean;
        WriteWholeFile(clean.Source, Bytes(BackupSize));
        ASSERT_TRUE(clean.Copy());
        ASSERT_EQ(ReadWholeFile(clean.Target), Bytes(BackupSize));
        for (TFileCall call : {TFileCall::Read, TFileCall::Write, TFileCall::Close}) {
            calls[static_cast<int>(call)] = clean.Files.Calls(call);
        }
    }
    EXPECT_EQ(calls[0], 20);
    EXPECT_EQ(calls[2], 2) << "target and source";

    const int descriptorsBefore = OpenDescriptors();
    for (TFileCall call : {TFileCall::Read, TFileCall::Write, TFileCall::Close}) {
        for (TFaultMode mode : {TFaultMode::Once, TFaultMode::FromThenOn}) {
            for (int nth = 1; nth <= calls[static_cast<int>(call)]; ++nth) {
                TDiskRun run;
                WriteWholeFile(run.Source, Bytes(BackupSize));
                run.Files.FailNth(call, nth, mode, "写入文件失败：磁盘空间不足");
                const std::string where = "call " + std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth);
                EXPECT_FALSE(run.Copy()) << where;
                EXPECT_EQ(run.Files.Faults(), 1) << where << ": the copy stops at the first failure";
                EXPECT_EQ(run.Form->ModalResult(), mrCancel) << where;
                ASSERT_EQ(run.Fake.Toolkit.Messages.size(), 1u) << where;
                EXPECT_EQ(run.Fake.Toolkit.Messages[0].Text, "复制备份文件失败：写入文件失败：磁盘空间不足") << where;
                EXPECT_EQ(run.Fake.Toolkit.Messages[0].Caption, "错误") << where;
                EXPECT_FALSE(std::filesystem::exists(run.Target)) << where;
                EXPECT_EQ(ReadWholeFile(run.Source), Bytes(BackupSize)) << where;
            }
        }
    }
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore) << "every file closed";
}

// A read that finds the end early (the file was cut short by another program) is a
// failure with its reason; without the check the copy would ask for ever.
TEST(StagingCopyOnDisk, ABackupCutShortIsToldInsteadOfCopiedForEver)
{
    TDiskRun truncated;
    WriteWholeFile(truncated.Source, Bytes(BackupSize));
    truncated.Fake.Toolkit.OnProcessMessages = [&] { ::truncate(truncated.Source.c_str(), 3000); };
    EXPECT_FALSE(truncated.Copy());
    ASSERT_EQ(truncated.Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(truncated.Fake.Toolkit.Messages[0].Text,
              "复制备份文件失败：备份文件“" + truncated.Dir.Path() + "/UFDATA.BAK”在复制过程中变短了");
    EXPECT_FALSE(std::filesystem::exists(truncated.Target));
}

// A pipe as the backup, or planted as the staging copy, ends the run at once with one
// box; a link planted as the staging copy is not followed. A hang fails by timeout.
TEST(StagingCopyOnDisk, PipesAndLinksEndTheRunWithOneBoxInsteadOfBlocking)
{
    for (const char* planted : {"source pipe", "target pipe", "target link", "target hard link"}) {
        TDiskRun run;
        const std::string outside = run.Dir / "elsewhere.db";
        WriteWholeFile(outside, "not the backup's");
        std::string named = run.Target;
        if (std::string(planted) == "source pipe") {
            named = run.Source;
            ASSERT_EQ(::mkfifo(run.Source.c_str(), 0600), 0);
        } else {
            WriteWholeFile(run.Source, Bytes(5000));
            if (std::string(planted) == "target pipe") ASSERT_EQ(::mkfifo(run.Target.c_str(), 0600), 0);
            else if (std::string(planted) == "target link") ASSERT_EQ(::symlink(outside.c_str(), run.Target.c_str()), 0);
            else ASSERT_EQ(::link(outside.c_str(), run.Target.c_str()), 0);
        }
        run.Form->FSourceFile = run.Source;
        run.Form->FWorkDir = run.Dir.Path() + "/";
        run.Form->FYear = "2025";
        EXPECT_EQ(run.Form->ShowModal(), mrCancel) << planted;
        ASSERT_EQ(run.Fake.Toolkit.Messages.size(), 1u) << planted;
        const std::string& text = run.Fake.Toolkit.Messages[0].Text;
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Caption, "错误");
        EXPECT_NE(text.find("“" + named + "”"), std::string::npos) << text;
        EXPECT_EQ(ReadWholeFile(outside), "not the backup's") << planted;
        EXPECT_TRUE(run.Fake.Data.Log.empty()) << planted << ": nothing restored";
    }
}

}  // namespace
}  // namespace Velmora
