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

    RunDoIt(Fake.Platform, Result, HostWindow, "D:\\host\\", "D:\\a.bak", "2025");

    EXPECT_EQ(Result.History, (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(Result.Value, "0");
    EXPECT_EQ(ownerOfBox, HostWindow);
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);
}

TEST_F(HostContract, ThrowingStepIsToldOnceAndGivesZero)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending};
    Fake.Toolkit.OnProcessMessages = [] { throw std::runtime_error("message loop broke"); };
    RunDoIt(Fake.Platform, Result, HostWindow, "D:\\host\\", "D:\\a.bak", "2025");
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
    RunDoIt(Fake.Platform, Result, HostWindow, "D:\\host", "D:\\a.bak", "2025");
    EXPECT_EQ(Fake.Files.Contents.count("D:\\hostTempLateTemp\\ufdatawk.temp"), 1u);

    TFakePlatform posix;
    posix.Files.Separator = "/";
    posix.Files.Contents["/data/a.bak"] = "x";
    posix.Files.FailWriteAt = 0;
    RunDoIt(posix.Platform, Result, HostWindow, "/srv/host/", "/data/a.bak", "2025");
    EXPECT_EQ(posix.Files.Contents.count("/srv/host/TempLateTemp/ufdatawk.temp"), 1u);
}

TEST_F(HostContract, ArgumentsAreDecodedFromTheSystemCodePage)
{
    TMarkingConversion conversion;
    TPlatform platform{Fake.Toolkit, Fake.Services, Fake.Data, Fake.Files, conversion};
    Fake.Files.Contents["D:\\账.bak"] = "x";
    Fake.Files.FailWriteAt = 0;
    RunDoIt(platform, Result, HostWindow, "D:\\~\\", "D:\\~.bak", "2025");
    EXPECT_EQ(Fake.Files.Contents.count("D:\\账\\TempLateTemp\\ufdatawk.temp"), 1u);
}

TEST_F(HostContract, ArgumentThatCannotBeDecodedIsToldAndGivesZero)
{
    TMarkingConversion conversion;
    TPlatform platform{Fake.Toolkit, Fake.Services, Fake.Data, Fake.Files, conversion};
    RunDoIt(platform, Result, HostWindow, "D:\\", "bad", "2025");
    EXPECT_EQ(Result.Value, "0");
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "错误");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Owner, HostWindow);
    EXPECT_EQ(Fake.Toolkit.ApplicationHandle(), PreviousWindow);
}

TEST_F(HostContract, NullArgumentsAreEmptyTexts)
{
    RunDoIt(Fake.Platform, Result, HostWindow, nullptr, nullptr, nullptr);
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
    EXPECT_NO_THROW(RunDoIt(platform, Result, HostWindow, "D:\\", "D:\\a.bak", "2025"));
    EXPECT_EQ(Result.Value, "0");
    EXPECT_EQ(toolkit.ApplicationHandle(), PreviousWindow);
}

}  // namespace
}  // namespace Velmora
