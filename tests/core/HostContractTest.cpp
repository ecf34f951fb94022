#include <gtest/gtest.h>

#include "plugin/HostContract.h"
#include "preprocess/DealWithUFO.h"
#include "tests/fakes/FakePlatform.h"

namespace Velmora {
namespace {

using Fakes::TFakePlatform;
using Fakes::TFakeResultString;

constexpr TWindowHandle HostWindow = 0x1234;
constexpr TWindowHandle PreviousWindow = 0x99;

// Decodes "~" as "账", to show which arguments pass through the conversion.
class TMarkingConversion : public ITextConversion {
public:
    std::string AnsiToUtf8(const std::string& ansi) override
    {
        if (ansi == "bad") throw EVelmoraError("参数不是有效的系统编码文本");
        std::string out;
        for (char c : ansi) out += c == '~' ? std::string("账") : std::string(1, c);
        return out;
    }
    std::string Utf8ToAnsi(const std::string& utf8) override { return utf8; }
};

class HostContract : public ::testing::Test {
protected:
    TFakePlatform Fake;
    TFakeResultString Result;
    void SetUp() override { Fake.Toolkit.SetApplicationHandle(PreviousWindow); }
};

TEST_F(HostContract, FailedRunGivesZeroAndRestoresTheWindow)
{
    Fake.Services.OpenError = 1060;
    TWindowHandle ownerOfBox = 0;
    Fake.Toolkit.OnMessage = [&](const Fakes::TShownMessage& m) { ownerOfBox = m.Owner; };

    RunDoIt(Fake.Platform, Fake.RunLock, Result, HostWindow, "D:\\host\\", "D:\\a.bak", "2025");

    EXPECT_EQ(Result.History, (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(Result.Value, "0");
    EXPECT_EQ(ownerOfBox, HostWindow);
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);
}

TEST_F(HostContract, ThrowingStepIsToldOnceAndGivesZero)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending};
    Fake.Toolkit.OnProcessMessages = [] { throw std::runtime_error("message loop broke"); };
    RunDoIt(Fake.Platform, Fake.RunLock, Result, HostWindow, "D:\\host\\", "D:\\a.bak", "2025");
    EXPECT_EQ(Result.Value, "0");
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text, "数据源预处理中断：message loop broke");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Owner, HostWindow);
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);
}

TEST_F(HostContract, WorkFolderIsFormedByPlainAppending)
{
    Fake.Services.States = {ServiceState::Running};
    Fake.Files.Contents["D:\\a.bak"] = "x";
    Fake.Files.FailWriteAt = 0;
    RunDoIt(Fake.Platform, Fake.RunLock, Result, HostWindow, "D:\\host", "D:\\a.bak", "2025");
    EXPECT_EQ(Fake.Files.Created, (std::vector<std::string>{"D:\\hostTempLateTemp\\ufdatawk.temp"}));

    TFakePlatform posix;
    posix.Files.Separator = "/";
    posix.Files.Contents["/data/a.bak"] = "x";
    posix.Files.FailWriteAt = 0;
    RunDoIt(posix.Platform, posix.RunLock, Result, HostWindow, "/srv/host/", "/data/a.bak", "2025");
    EXPECT_EQ(posix.Files.Created, (std::vector<std::string>{"/srv/host/TempLateTemp/ufdatawk.temp"}));
}

TEST_F(HostContract, ArgumentsAreDecodedFromTheSystemCodePage)
{
    TMarkingConversion conversion;
    TPlatform platform{Fake.Toolkit, Fake.Services, Fake.Data, Fake.Files, conversion};
    Fake.Files.Contents["D:\\账.bak"] = "x";
    Fake.Files.FailWriteAt = 0;
    RunDoIt(platform, Fake.RunLock, Result, HostWindow, "D:\\~\\", "D:\\~.bak", "2025");
    EXPECT_EQ(Fake.Files.Created, (std::vector<std::string>{"D:\\账\\TempLateTemp\\ufdatawk.temp"}));
}

TEST_F(HostContract, ArgumentThatCannotBeDecodedIsToldAndGivesZero)
{
    TMarkingConversion conversion;
    TPlatform platform{Fake.Toolkit, Fake.Services, Fake.Data, Fake.Files, conversion};
    RunDoIt(platform, Fake.RunLock, Result, HostWindow, "D:\\", "bad", "2025");
    EXPECT_EQ(Result.Value, "0");
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "错误");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Owner, HostWindow);
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);
}

TEST_F(HostContract, NullArgumentsAreEmptyTexts)
{
    RunDoIt(Fake.Platform, Fake.RunLock, Result, HostWindow, nullptr, nullptr, nullptr);
    EXPECT_EQ(Result.Value, "0");
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);
}

TEST_F(HostContract, ThrowingToolkitNeverEscapes)
{
    class TThrowingToolkit : public Fakes::TFakeToolkit {
    public:
        int ShowProgressDialog(IProgressDialog&) override { throw std::runtime_error("no display"); }
        int MessageBox(const std::string&, const std::string&, unsigned) override { throw std::runtime_error("no"); }
    } toolkit;
    toolkit.SetApplicationHandle(PreviousWindow);
    TPlatform platform{toolkit, Fake.Services, Fake.Data, Fake.Files, Fake.Text};
    EXPECT_NO_THROW(RunDoIt(platform, Fake.RunLock, Result, HostWindow, "D:\\", "D:\\a.bak", "2025"));
    EXPECT_EQ(Result.Value, "0");
    EXPECT_EQ(toolkit.ApplicationHandle(), PreviousWindow);
}

TEST_F(HostContract, SecondRunWhileTheLockIsHeldIsRefusedBeforeItTouchesAnything)
{
    Fakes::TFakeRunLock otherRun(Fake.LockState);
    ASSERT_TRUE(otherRun.TryAcquire());
    Fake.Files.Contents["D:\\a.bak"] = "x";

    RunDoIt(Fake.Platform, Fake.RunLock, Result, HostWindow, "D:\\host\\", "D:\\a.bak", "2025");

    EXPECT_EQ(Result.History, (std::vector<std::string>{"0"}));
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text, "数据源预处理无法进行：另一个数据源预处理正在进行，请等它结束后再试");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "错误");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Owner, HostWindow);
    EXPECT_TRUE(Fake.Services.Calls.empty());
    EXPECT_TRUE(Fake.Files.Created.empty());
    EXPECT_TRUE(Fake.Data.Log.empty());
    EXPECT_TRUE(Fake.LockState.Held) << "the other run keeps its lock";
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);

    otherRun.Release();
    Fake.Services.OpenError = 1060;
    RunDoIt(Fake.Platform, Fake.RunLock, Result, HostWindow, "D:\\host\\", "D:\\a.bak", "2025");
    EXPECT_EQ(Fake.Services.Calls.size(), 3u) << "once free, the next run goes ahead";
    EXPECT_FALSE(Fake.LockState.Held) << "and gives the lock back";
}

TEST_F(HostContract, ZeroThatCannotBeAllocatedLeavesTheVariableEmpty)
{
    Result.Value = "Provider=SQLOLEDB.1;an earlier call's answer";
    Result.FailAssign = true;
    RunDoIt(Fake.Platform, Fake.RunLock, Result, HostWindow, "D:\\host\\", "D:\\a.bak", "2025");
    EXPECT_TRUE(Result.Empty);
    EXPECT_EQ(Result.Value, "");
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text, "数据源预处理无法进行：内存不足");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Owner, HostWindow);
    EXPECT_EQ(Fake.LockState.Acquired, 0) << "nothing was run";
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);
}

}  // namespace
}  // namespace Velmora
