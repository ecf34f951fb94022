#include "preprocess/DealWithUFO.h"

#include <new>

#include "chooser/GetFileList.h"
#include "platform/Errors.h"
#include "preprocess/TextUtils.h"

namespace Velmora {

namespace DealWithUFOText {
const char* const Caption = "用友财务备份预处理";
const char* const StatusInitial = "数据源预处理请稍候...";
const char* const StatusStarting = "正在启动SQL SERVER数据库...";
const char* const StatusStarted = "SQL SERVER数据库启动成功...";
const char* const StatusAlreadyRunning = "SQL SERVER数据库已经启动...";
const char* const StatusRestoring = "还原数据库文件......";
const char* const CaptionWarning = "警告";
const char* const CaptionError = "错误";
}  // namespace DealWithUFOText

namespace ConnectionStrings {
const char* const Master =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=Master;Data Source=(local)";
const char* const Ufdata =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=ufdata;Data Source=(local)";
const char* const HostResult =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=UFDATA;Data Source=(local)";
}  // namespace ConnectionStrings

namespace {
constexpr unsigned StartTimerInterval = 1000;
constexpr unsigned PauseBetweenSteps = 2000;
}  // namespace

TForm_DealWithUFO::TForm_DealWithUFO(TPlatform& platform)
    : FPlatform(platform), FStatusText(DealWithUFOText::StatusInitial)
{
    FTargetConnection = platform.Data.CreateConnection();
    FTargetConnection->SetCommandTimeout(0);
    FTargetConnection->SetLoginPrompt(false);
    // A restore can take minutes; the dialog must keep answering the system meanwhile.
    FTargetConnection->SetOnWait([this] { FPlatform.Toolkit.KeepAlive(); });
    FCommand = FTargetConnection->CreateCommand();
    FCommand->SetCommandTimeout(0);
    FADOQuery = FTargetConnection->CreateQuery();
    CommonADOQuery = FTargetConnection->CreateQuery();
    Progress_Step.OnPercentChange = [this] {
        if (FView) FView->Changed();
    };
    // The timer runs from the moment the form is built; FormShow cannot restart it.
    StartTimer = platform.Toolkit.CreateTimer(StartTimerInterval, [this] { StartTimerTimer(); });
}

TForm_DealWithUFO::~TForm_DealWithUFO() = default;

int TForm_DealWithUFO::ShowModal() { return FPlatform.Toolkit.ShowProgressDialog(*this); }

std::string TForm_DealWithUFO::Caption() const { return DealWithUFOText::Caption; }

void TForm_DealWithUFO::FormShow() { StartTimer->SetEnabled(true); }

void TForm_DealWithUFO::SetStatusText(const std::string& text)
{
    FStatusText = text;
    if (FView) FView->Changed();
}

void TForm_DealWithUFO::StartTimerTimer()
{
    StartTimer->SetEnabled(false);
    // The dialog has no close button and the timer is off from here on: a failure
    // that no step answers for must still close the dialog, with its reason shown.
    try {
        RunSteps();
    } catch (const std::bad_alloc&) {
        ShowEscapedFailure("内存不足");
    } catch (const std::exception& error) {
        ShowEscapedFailure(error.what());
    } catch (...) {
        ShowEscapedFailure("未知错误");
    }
}

void TForm_DealWithUFO::RunSteps()
{
    // The year is only needed at the very end; a bad one is found before any work is done.
    try {
        StrToInt(FYear);
    } catch (const EVelmoraError&) {
        ShowMessage("年度“" + FYear + "”不是有效的年份，应为十进制整数", DealWithUFOText::CaptionError,
                    MsgBox::IconError);
        SetModalResult(mrCancel);
        return;
    }

    if (!EnsureSqlServer()) {
        SetModalResult(mrCancel);
        return;
    }
    FPlatform.Toolkit.Sleep(PauseBetweenSteps);

    FTempFile = FWorkDir + "ufdatawk.temp";
    if (!CopyBackupFile(FSourceFile, FTempFile)) {
        SetModalResult(mrCancel);
        return;
    }
    if (!RestoreDatabase()) {
        SetModalResult(mrCancel);
        return;
    }
    FPlatform.Toolkit.Sleep(PauseBetweenSteps);

    SetModalResult(PrepareLedger() ? mrOk : mrCancel);
}

void TForm_DealWithUFO::ShowEscapedFailure(const std::string& reason)
{
    SetModalResult(mrCancel);
    try {
        ShowMessage("数据源预处理中断：" + reason, DealWithUFOText::CaptionError, MsgBox::IconError);
    } catch (...) {
        // Nothing more can be told; the cancel outcome still reaches the host.
    }
}

int TForm_DealWithUFO::ShowMessage(const std::string& text, const std::string& caption, unsigned flags)
{
    return FPlatform.Toolkit.MessageBox(text, caption, flags);
}

}  // namespace Velmora
