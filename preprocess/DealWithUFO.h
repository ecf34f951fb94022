#pragma once
// The preprocessing dialog: a banner, one status line and a progress bar. It owns
// the database objects every step uses and runs the steps one after the other from
// a one-shot timer, so that the dialog is already on screen when the work begins.
//
// Where each step lives:
//   StartTimerTimer, RunSteps   DealWithUFO.cpp   the driver: the steps in order
//   EnsureSqlServer             ServiceCheck.cpp  start the server's service and wait
//   CopyBackupFile              StagingCopy.cpp   the backup copied into the work folder
//   RestoreDatabase             Restore.cpp       old UFDATA dropped, chosen set restored
//     ForeseeRestore            RestoreForesight.cpp  refusals told before anything is dropped
//     ExplainServerFailure      ServerFailures.cpp    the server's refusals in the user's words
//   ChooseBackupSet             ChooseBackupSet.cpp  header read, the set the user ticks
//   PrepareLedger               Ledger.cpp        the ledger's views and tables
//   ComputeBalances             Balances.cpp      the opening balances
//   OpenQuery, ExecCommand, …   Runners.cpp       every statement, and its warning box

#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "preprocess/ProgressBar.h"
#include "preprocess/RestoreFacts.h"

namespace Velmora {

class TForm_GetFileList;
class EProviderError;

// Fixed texts of the run, as the user sees them.
namespace DealWithUFOText {
extern const char* const Caption;
extern const char* const StatusInitial;
extern const char* const StatusStarting;
extern const char* const StatusStarted;
extern const char* const StatusAlreadyRunning;
extern const char* const StatusRestoring;
extern const char* const CaptionWarning;
extern const char* const CaptionError;
}  // namespace DealWithUFOText

// Connection strings the run uses and hands out.
namespace ConnectionStrings {
extern const char* const Master;
extern const char* const Ufdata;      // the ledger step's own
extern const char* const HostResult;  // what the host receives on success
}  // namespace ConnectionStrings

class TForm_DealWithUFO : public IProgressDialog {
public:
    explicit TForm_DealWithUFO(TPlatform& platform);
    ~TForm_DealWithUFO() override;
    TForm_DealWithUFO(const TForm_DealWithUFO&) = delete;
    TForm_DealWithUFO& operator=(const TForm_DealWithUFO&) = delete;

    int ShowModal();

    // IProgressDialog
    std::string Caption() const override;
    std::string StatusText() const override { return FStatusText; }
    int Percent() const override { return Progress_Step.Percent(); }
    int ModalResult() const override { return FModalResult; }
    void FormShow() override;
    void AttachView(IFormView* view) override { FView = view; }

    void SetModalResult(int result) { FModalResult = result; }
    void SetStatusText(const std::string& text);

    // Event handlers.
    void StartTimerTimer();

    // Steps, in the driver's order.
    bool EnsureSqlServer();
    bool CopyBackupFile(const std::string& source, const std::string& target);
    bool RestoreDatabase();
    int ChooseBackupSet();
    bool PrepareLedger();
    bool ComputeBalances();

    // Statement runners: a provider error becomes one warning box and false.
    bool OpenQuery(const std::string& statement);
    // OpenQuery without the box, for what the run asks only in passing.
    bool TryOpenQuery(const std::string& statement);
    bool OpenCommonQuery(const std::string& statement);
    bool ExecCommand(const std::string& statement);

    // Texts set by the entry point and the driver.
    std::string FSourceFile;
    std::string FWorkDir;
    std::string FYear;
    std::string FTempFile;

    TProgressBarModel Progress_Step;

    // The header's rows, as ChooseBackupSet read them; FHeaderRead is false when the
    // header could not be read at all.
    std::vector<TBackupSetHeader> FBackupSets;
    bool FHeaderRead = false;
    // The chosen set and the server, as the restore found them before it began.
    TRestoreFacts FRestoreFacts;

    // Declared in ownership order: the connection outlives the objects on it.
    std::unique_ptr<IConnection> FTargetConnection;
    std::unique_ptr<ICommand> FCommand;
    std::unique_ptr<IQuery> FADOQuery;
    std::unique_ptr<IQuery> CommonADOQuery;
    std::unique_ptr<ITimer> StartTimer;
    std::unique_ptr<TForm_GetFileList> Form_GetFileList;

private:
    void RunSteps();
    bool RunQuery(IQuery& query, const std::string& statement);
    void ShowEscapedFailure(const std::string& reason);
    void ReadServerFacts();
    bool ForeseeRestore(int position);
    std::vector<std::string> RestoreTargets(const std::vector<TBackupFile>& files) const;
    bool RefuseRestore(int number);
    // The box for a refusal the run knows by its number; empty for any other number.
    std::string ExplainServerFailure(int number);
    // One box: the explained refusal, or text with the provider's number and message below it.
    void ShowProviderFailure(const std::string& text, const EProviderError& error);
    std::string ServerAccount();
    int ShowMessage(const std::string& text, const std::string& caption, unsigned flags);

    TPlatform& FPlatform;
    IFormView* FView = nullptr;
    std::string FStatusText;
    int FModalResult = mrNone;
};

}  // namespace Velmora
