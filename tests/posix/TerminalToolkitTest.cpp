#include <gtest/gtest.h>

#include <csignal>

#include <stdexcept>

#include "chooser/GetFileList.h"
#include "platform/Errors.h"
#include "platform/posix/Banner.h"
#include "platform/posix/TerminalText.h"
#include "platform/posix/TerminalToolkit.h"
#include "tests/posix/PosixTestSupport.h"

namespace Velmora {
namespace {

using PosixTest::TCapture;
using PosixTest::TInput;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// A progress dialog whose work is a script run from its first timer tick.
class TScriptedDialog : public IProgressDialog {
public:
    TScriptedDialog(IToolkit& toolkit, std::function<void(TScriptedDialog&)> script, unsigned intervalMs = 1)
        : FScript(std::move(script))
    {
        Timer = toolkit.CreateTimer(intervalMs, [this] {
            Timer->SetEnabled(false);
            ++Ticks;
            FScript(*this);
        });
    }
    std::string Caption() const override { return "用友财务备份预处理"; }
    std::string StatusText() const override { return Status; }
    int Percent() const override { return FPercent; }
    int ModalResult() const override { return Result; }
    void FormShow() override
    {
        ++Shown;
        if (OnShow) OnShow(*this);
    }
    void AttachView(IFormView* view) override { View = view; }

    void SetStatus(const std::string& text)
    {
        Status = text;
        if (View) View->Changed();
    }
    void SetPercent(int percent)
    {
        if (percent == FPercent) return;
        FPercent = percent;
        if (View) View->Changed();
    }

    std::unique_ptr<ITimer> Timer;
    std::function<void(TScriptedDialog&)> OnShow;
    std::string Status = "数据源预处理请稍候...";
    int Result = mrNone;
    int Ticks = 0;
    int Shown = 0;
    IFormView* View = nullptr;

private:
    std::function<void(TScriptedDialog&)> FScript;
    int FPercent = 0;
};

TTerminalSettings LogSettings(int inputFd, int outputFd, unsigned redrawMs = 0)
{
    TTerminalSettings settings;
    settings.InputFd = inputFd;
    settings.OutputFd = outputFd;
    settings.RedrawIntervalMs = redrawMs;
    return settings;
}

// ---------------------------------------------------------------- progress dialog

TEST(TerminalProgress, OneLinePerVisibleChangeAndNoneOtherwise)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    TScriptedDialog dialog(toolkit, [&](TScriptedDialog& d) {
        d.SetPercent(5);
        for (int i = 0; i < 10000; ++i) toolkit.ProcessMessages();
        d.SetStatus("SQL SERVER数据库已经启动...");
        d.SetStatus("SQL SERVER数据库已经启动...");
        d.SetPercent(100);
        d.Result = mrOk;
    });
    EXPECT_EQ(toolkit.ShowProgressDialog(dialog), mrOk);
    EXPECT_EQ(dialog.Shown, 1);
    EXPECT_EQ(dialog.View, nullptr);
    const std::vector<std::string> expected = {
        "用友财务备份预处理",
        "数据源预处理请稍候...  [--------------------]   0%",
        "数据源预处理请稍候...  [#-------------------]   5%",
        "SQL SERVER数据库已经启动...  [#-------------------]   5%",
        "SQL SERVER数据库已经启动...  [####################] 100%",
    };
    EXPECT_EQ(Lines(out.Text()), expected);
}

TEST(TerminalProgress, OnAPipeEveryPercentageIsALineHoweverFast)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd(), 60000));
    TScriptedDialog dialog(toolkit, [&](TScriptedDialog& d) {
        for (int percent = 1; percent <= 100; ++percent) {
            d.SetPercent(percent);
            toolkit.ProcessMessages();
        }
        d.Result = mrOk;
    });
    toolkit.ShowProgressDialog(dialog);
    const std::vector<std::string> lines = Lines(out.Text());
    ASSERT_EQ(lines.size(), 102u) << out.Text();
    for (int percent = 0; percent <= 100; ++percent) {
        const std::string number = std::to_string(percent) + "%";
        const std::string& line = lines[static_cast<std::size_t>(percent) + 1];
        EXPECT_EQ(line.substr(line.size() - number.size()), number);
    }
}

TEST(TerminalProgress, ATerminalDrawsFastProgressTogetherButAStatusAtOnce)
{
    TCapture out;
    TInput in("");
    TTerminalSettings settings = LogSettings(in.Fd(), out.Fd(), 60000);
    settings.Live = true;
    settings.Columns = 40;
    TTerminalToolkit toolkit(settings);
    std::string seenAfterStatus;
    TScriptedDialog dialog(toolkit, [&](TScriptedDialog& d) {
        for (int percent = 1; percent <= 100; ++percent) {
            d.SetPercent(percent);
            toolkit.ProcessMessages();
        }
        d.SetStatus("还原数据库文件......");
        seenAfterStatus = out.Text();
        d.SetPercent(50);
        d.Result = mrOk;
    });
    toolkit.ShowProgressDialog(dialog);
    // The first change after the initial draw waits; none of the hundred is drawn alone.
    EXPECT_LE(Count(out.Text(), "%"), 4u) << out.Text();
    EXPECT_NE(seenAfterStatus.find("还原数据库文件......\n\r\033[2K[################################] 100%"),
              std::string::npos)
        << seenAfterStatus;
    // What was still waiting when the dialog closed is shown.
    EXPECT_NE(out.Text().find("还原数据库文件......\n\r\033[2K[################----------------]  50%\n"),
              std::string::npos)
        << out.Text();
}

TEST(TerminalProgress, LiveModeRedrawsInPlace)
{
    TCapture out;
    TInput in("");
    TTerminalSettings settings = LogSettings(in.Fd(), out.Fd());
    settings.Live = true;
    settings.Columns = 40;
    TTerminalToolkit toolkit(settings);
    TScriptedDialog dialog(toolkit, [&](TScriptedDialog& d) {
        d.SetPercent(40);
        toolkit.MessageBox("无效的服务句柄..", "错误", MsgBox::IconError);
        d.SetPercent(41);
        d.Result = mrCancel;
    });
    EXPECT_EQ(toolkit.ShowProgressDialog(dialog), mrCancel);
    const std::string text = out.Text();
    EXPECT_NE(text.find("\r\033[1A\033[2K数据源预处理请稍候...\n\r\033[2K[#############-------------------]  40%"),
              std::string::npos)
        << text;
    // The box starts on a line of its own and the display comes back below it.
    EXPECT_NE(text.find("40%\n[错误] 无效的服务句柄..\n数据源预处理请稍候...\n"), std::string::npos) << text;
    EXPECT_TRUE(text.size() > 0 && text.back() == '\n');
    for (const std::string& line : Lines(text)) {
        EXPECT_LE(TerminalText::DisplayWidth(line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1)),
                  40u + 8u);
    }
}

TEST(TerminalProgress, LiveModeTurnsAMarkWhileAStatementWaits)
{
    TCapture out;
    TInput in("");
    TTerminalSettings settings = LogSettings(in.Fd(), out.Fd());
    settings.Live = true;
    settings.Columns = 40;
    TTerminalToolkit toolkit(settings);
    // In the status line's last column, which the status never reaches; rubbed out at the end.
    const std::string mark = "\0337\033[1A\033[40G";
    const std::uint64_t shown = toolkit.TickCount();
    std::uint64_t turned = 0;
    TScriptedDialog dialog(toolkit, [&](TScriptedDialog& d) {
        while (out.Text().find(mark + "/\0338") == std::string::npos) {
            toolkit.KeepAlive();
            toolkit.Sleep(20);
        }
        turned = toolkit.TickCount();
        d.Result = mrCancel;
    });
    EXPECT_EQ(toolkit.ShowProgressDialog(dialog), mrCancel);
    const std::string text = out.Text();
    EXPECT_NE(text.find(mark + "|\0338"), std::string::npos) << text;
    EXPECT_GE(turned - shown, 250u) << "turned faster than four times a second";
    EXPECT_NE(text.find(mark + " \0338\n"), std::string::npos) << text;
    EXPECT_EQ(dialog.Ticks, 1);
}

TEST(TerminalProgress, ColourTerminalShowsTheBannerAtTerminalWidth)
{
    TCapture out;
    TInput in("");
    TTerminalSettings settings = LogSettings(in.Fd(), out.Fd());
    settings.Live = true;
    settings.Colour = true;
    settings.Columns = 64;
    TTerminalToolkit toolkit(settings);
    TScriptedDialog dialog(toolkit, [](TScriptedDialog& d) { d.Result = mrOk; });
    toolkit.ShowProgressDialog(dialog);
    const std::vector<std::string> lines = Lines(out.Text());
    ASSERT_GT(lines.size(), 3u);
    std::size_t bannerLines = 0;
    for (const std::string& line : lines) {
        if (Count(line, "\u2580") == 0) continue;
        ++bannerLines;
        EXPECT_EQ(Count(line, "\u2580"), 64u);
        EXPECT_NE(line.find("\033[38;2;"), std::string::npos);
        EXPECT_NE(line.find("\033[0m"), std::string::npos);
    }
    // 320 x 49 at 64 columns: 10 pixel rows, two to a line.
    EXPECT_EQ(bannerLines, 5u);
    EXPECT_NE(out.Text().find(" 0% "), std::string::npos);
}

TEST(TerminalProgress, WithoutAPendingTimerTheDialogEndsCancelled)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    TScriptedDialog dialog(toolkit, [](TScriptedDialog& d) { d.Result = mrOk; });
    dialog.OnShow = [](TScriptedDialog& d) { d.Timer->SetEnabled(false); };
    EXPECT_EQ(toolkit.ShowProgressDialog(dialog), mrCancel);
    EXPECT_EQ(dialog.Ticks, 0);
}

TEST(TerminalProgress, AnErrorEscapingATickIsShownAndEndsTheDialog)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    TScriptedDialog dialog(toolkit, [](TScriptedDialog&) { throw std::runtime_error("无法打开文件“/x”"); });
    EXPECT_EQ(toolkit.ShowProgressDialog(dialog), mrCancel);
    EXPECT_NE(out.Text().find("[错误] 无法打开文件“/x”\n"), std::string::npos) << out.Text();
}

TEST(TerminalTimers, ArmedAtCreationAndNotRestartedByEnabling)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    std::vector<std::string> ticks;
    std::unique_ptr<ITimer> witness;
    const std::uint64_t before = toolkit.TickCount();
    TScriptedDialog dialog(
        toolkit,
        [&](TScriptedDialog& d) {
            ticks.push_back("armed at creation");
            if (ticks.size() == 2) d.Result = mrOk;
        },
        300);
    toolkit.ProcessMessages();
    if (toolkit.TickCount() - before < 300) {
        EXPECT_TRUE(ticks.empty()) << "fired before its interval";
    }
    // Counted from its creation, the timer is due before the dialog shows; a timer
    // made on show fires after it, unless enabling it again restarted its 300 ms.
    const std::uint64_t created = toolkit.TickCount();
    while (toolkit.TickCount() - created < 300) toolkit.Sleep(10);
    dialog.OnShow = [&](TScriptedDialog& d) {
        d.Timer->SetEnabled(true);
        witness = toolkit.CreateTimer(1, [&] {
            witness->SetEnabled(false);
            ticks.push_back("made on show");
            if (ticks.size() == 2) dialog.Result = mrOk;
        });
    };
    toolkit.ShowProgressDialog(dialog);
    EXPECT_EQ(ticks, (std::vector<std::string>{"armed at creation", "made on show"}));
}

TEST(TerminalTimers, ProcessMessagesDeliversDueTicksWithoutReentering)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    int ticks = 0;
    std::unique_ptr<ITimer> timer = toolkit.CreateTimer(0, [&] {
        ++ticks;
        toolkit.ProcessMessages();  // the running handler is not entered again
    });
    toolkit.ProcessMessages();
    EXPECT_EQ(ticks, 1);
    timer->SetEnabled(false);
    toolkit.ProcessMessages();
    EXPECT_EQ(ticks, 1);
    timer.reset();
    toolkit.ProcessMessages();
    EXPECT_EQ(ticks, 1);
}

TEST(TerminalTimers, SleepAndTickCount)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    const std::uint64_t before = toolkit.TickCount();
    toolkit.Sleep(20);
    EXPECT_GE(toolkit.TickCount() - before, 20u);
}

// ---------------------------------------------------------------- message boxes

TEST(TerminalMessageBox, PrintsCaptionAndTextAndLeavesPipedInputAlone)
{
    TCapture out;
    TInput in("2\n");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    EXPECT_EQ(toolkit.MessageBox("此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K..", "错误", MsgBox::IconError),
              MsgBox::IdOk);
    EXPECT_EQ(toolkit.MessageBox("不能连接到指定的数据库", "警告", MsgBox::IconWarning), MsgBox::IdOk);
    EXPECT_EQ(out.Text(),
              "[错误] 此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K..\n"
              "[警告] 不能连接到指定的数据库\n");
    EXPECT_EQ(in.Rest(), "2\n");
}

TEST(TerminalMessageBox, WaitsForEnterWhenSomeoneCanPressIt)
{
    TCapture out;
    TInput in("\n3\n");
    TTerminalSettings settings = LogSettings(in.Fd(), out.Fd());
    settings.InputIsTerminal = true;
    TTerminalToolkit toolkit(settings);
    EXPECT_EQ(toolkit.MessageBox("没有访问服务的权限..", "错误", MsgBox::IconError), MsgBox::IdOk);
    EXPECT_NE(out.Text().find("[错误] 没有访问服务的权限..\n"), std::string::npos);
    EXPECT_NE(out.Text().find("按回车键继续"), std::string::npos);
    // One line was taken, and only one.
    EXPECT_EQ(in.Rest(), "3\n");
}

TEST(TerminalMessageBox, AClosedPipeDoesNotEndTheProcess)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    TInput in("");
    {
        TTerminalToolkit toolkit(LogSettings(in.Fd(), fds[1]));
        EXPECT_EQ(toolkit.MessageBox("无处显示", "警告", MsgBox::IconWarning), MsgBox::IdOk);
    }
    ::close(fds[1]);
    sigset_t pending;
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no signal left for later";
}

TEST(TerminalMessageBox, TextCannotDriveTheTerminal)
{
    TCapture out;
    TInput in("");
    TTerminalToolkit toolkit(LogSettings(in.Fd(), out.Fd()));
    toolkit.MessageBox("无法打开文件“/tmp/\033[2J\xFF.bak”", "错误", MsgBox::IconError);
    EXPECT_EQ(out.Text(), "[错误] 无法打开文件“/tmp/?[2J?.bak”\n");
}

TEST(TerminalMessageBox, AGbkTerminalGetsGbk)
{
    TCapture out;
    TInput in("");
    TTerminalSettings settings = LogSettings(in.Fd(), out.Fd());
    settings.OutputCodeset = "GBK";
    TTerminalToolkit toolkit(settings);
    toolkit.MessageBox("期初余额\xF0\x9F\x98\x80!", "错误", MsgBox::IconError);
    EXPECT_EQ(out.Text(), "[\xB4\xED\xCE\xF3] \xC6\xDA\xB3\xF5\xD3\xE0\xB6\xEE?!\n");
}

// ---------------------------------------------------------------- chooser

class TerminalChooser : public ::testing::Test {
protected:
    void Run(const std::string& input)
    {
        TInput in(input);
        TTerminalToolkit toolkit(LogSettings(in.Fd(), FOut.Fd()));
        TForm_GetFileList chooser(toolkit);
        chooser.AddRow("1", "UFDATA_001_2003");
        chooser.AddRow("2", "UFDATA_001_2003");
        chooser.AddRow("3", "UFDATA_001_2004");
        Outcome = chooser.ShowModal();
        for (std::size_t row = 0; row < chooser.RowCount(); ++row) Checked.push_back(chooser.RowChecked(row));
        Selected = chooser.SelectedPosition;
        Output = FOut.Text();
    }

    TCapture FOut;
    int Outcome = mrNone;
    std::vector<bool> Checked;
    int Selected = -1;
    std::string Output;
};

TEST_F(TerminalChooser, RowNumbersTickLikeRadioButtonsAndAnEmptyLinePressesOk)
{
    Run("1\n3\n\n");
    EXPECT_EQ(Outcome, mrOk);
    EXPECT_EQ(Checked, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(Selected, 3);
    const std::vector<std::string> lines = Lines(Output);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "选择备份文件");
    EXPECT_EQ(lines[1], "       编号  备份文件");
    EXPECT_EQ(lines[2], "1  [ ] 1     UFDATA_001_2003");
    EXPECT_EQ(lines[4], "3  [ ] 3     UFDATA_001_2004");
    // Printed again after each click, the last time with only row 3 ticked.
    EXPECT_EQ(Count(Output, "选择备份文件\n"), 3u);
    EXPECT_NE(Output.rfind("1  [ ] 1     UFDATA_001_2003\n2  [ ] 2     UFDATA_001_2003\n3  [x] 3"),
              std::string::npos)
        << Output;
}

TEST_F(TerminalChooser, EndOfInputPressesOk)
{
    Run("2");
    EXPECT_EQ(Outcome, mrOk);
    EXPECT_EQ(Checked, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(Selected, 2);
}

TEST_F(TerminalChooser, OkWithNothingTickedChoosesNothing)
{
    Run("");
    EXPECT_EQ(Outcome, mrOk);
    EXPECT_EQ(Selected, 0);
}

TEST_F(TerminalChooser, ClickingATickedBoxLeavesItTicked)
{
    Run("2\n2\n\n");
    EXPECT_EQ(Checked, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(Selected, 2);
}

TEST_F(TerminalChooser, InvalidLinesAreToldAndIgnored)
{
    Run("abc\n0\n4\n 2 \n-1\n\n");
    EXPECT_EQ(Outcome, mrOk);
    EXPECT_EQ(Checked, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(Count(Output, "无效的输入"), 4u);
}

// ---------------------------------------------------------------- settings, text, banner

TEST(TerminalSettings, PipesAreNeitherLiveNorColoured)
{
    TInput in("");
    TCapture out;
    ::setenv("COLUMNS", "123", 1);
    ::setenv("COLORTERM", "truecolor", 1);
    const TTerminalSettings settings = TTerminalSettings::Detect(in.Fd(), out.Fd());
    ::unsetenv("COLUMNS");
    ::unsetenv("COLORTERM");
    EXPECT_FALSE(settings.InputIsTerminal);
    EXPECT_FALSE(settings.Live);
    EXPECT_FALSE(settings.Colour);
    EXPECT_EQ(settings.Columns, 123);
}

TEST(TerminalText, WidthsCountChineseAsTwoColumns)
{
    EXPECT_EQ(TerminalText::DisplayWidth("编号"), 4u);
    EXPECT_EQ(TerminalText::DisplayWidth("SQL SERVER数据库已经启动..."), 10u + 14u + 3u);
    EXPECT_EQ(TerminalText::DisplayWidth("“确定”"), 6u);
    EXPECT_EQ(TerminalText::TruncateToWidth("数据源预处理", 5), "数据");
    EXPECT_EQ(TerminalText::TruncateToWidth("ab数据", 3), "ab");
    EXPECT_EQ(TerminalText::PadToWidth("编号", 6), "编号  ");
    EXPECT_EQ(TerminalText::Sanitize("a\xE6\x9C" "b\tc\n"), "a??b\tc\n");
}

TEST(Banner, TheEmbeddedPictureIsTheBannerOnWhite)
{
    const TRgbImage picture = DecodeJpeg(BannerJpegData(), BannerJpegSize());
    EXPECT_EQ(picture.Width, 320);
    EXPECT_EQ(picture.Height, 49);
    const auto pixel = [&](int x, int y) { return picture.Pixels.data() + (y * picture.Width + x) * 3; };
    for (const auto& corner : {std::pair{0, 0}, std::pair{319, 0}, std::pair{0, 48}, std::pair{319, 48}}) {
        const unsigned char* rgb = pixel(corner.first, corner.second);
        EXPECT_GT(rgb[0] + rgb[1] + rgb[2], 3 * 235);
    }
}

TEST(Banner, DecodingScalingAndDrawing)
{
    const unsigned char notJpeg[] = {'G', 'I', 'F', '8', '9', 'a', 0, 0};
    EXPECT_THROW(DecodeJpeg(notJpeg, sizeof notJpeg), EVelmoraError);

    TRgbImage checker;
    checker.Width = 2;
    checker.Height = 2;
    checker.Pixels = {0, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0};
    const TRgbImage grey = ScaleImage(checker, 1, 1);
    EXPECT_EQ(grey.Pixels, (std::vector<unsigned char>{128, 128, 128}));

    TRgbImage tall;
    tall.Width = 1;
    tall.Height = 3;
    tall.Pixels = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    EXPECT_EQ(RenderHalfBlocks(tall),
              "\033[38;2;255;0;0m\033[48;2;0;255;0m\u2580\033[0m\n"
              "\033[38;2;0;0;255m\033[48;2;0;0;255m\u2580\033[0m\n");
}

}  // namespace
}  // namespace Velmora
