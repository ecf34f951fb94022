#pragma once
// Fakes for every port, so that a whole run can be driven and watched without a
// screen, a service manager, a disk or a server, and without waiting: time is a fake clock.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/OleString.h"
#include "platform/Platform.h"
#include "platform/RunLock.h"

namespace Velmora::Fakes {

struct TShownMessage {
    std::string Text;
    std::string Caption;
    unsigned Flags;
    TWindowHandle Owner;
};

class TFakeToolkit : public IToolkit {
public:
    TWindowHandle ApplicationHandle() const override { return FApplicationHandle; }
    void SetApplicationHandle(TWindowHandle handle) override { FApplicationHandle = handle; }

    int ShowProgressDialog(IProgressDialog& dialog) override;
    int ShowChooser(IChooserDialog& dialog) override;
    std::unique_ptr<ITimer> CreateTimer(unsigned intervalMs, std::function<void()> onTick) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    void ProcessMessages() override;
    void KeepAlive() override { ++KeepAliveCalls; }
    void Sleep(unsigned ms) override;
    std::uint64_t TickCount() override { return Now; }

    // What the run did, in order: "status:…", "percent:N", "box:…", "sleep:N", "chooser".
    std::vector<std::string> Events;
    std::vector<TShownMessage> Messages;
    std::vector<std::string> StatusTexts;
    std::vector<unsigned> Sleeps;
    int ProcessMessagesCalls = 0;
    int KeepAliveCalls = 0;
    std::uint64_t Now = 0;
    // How long each ProcessMessages call takes on the fake clock.
    unsigned ProcessMessagesCost = 0;
    std::function<void()> OnProcessMessages;
    // The user's actions in the chooser; without one the chooser is closed unanswered.
    std::function<void(IChooserDialog&)> OnChooser;
    std::function<void(const TShownMessage&)> OnMessage;
    // Rows the chooser showed: caption and sub-item.
    std::vector<std::pair<std::string, std::string>> ChooserRows;
    int ChooserShown = 0;
    unsigned TimerIntervalMs = 0;
    bool TimerEnabledWhenShown = false;
    TWindowHandle FApplicationHandle = 0;

private:
    class TView;
    struct TTimerState {
        bool Enabled = true;
        std::function<void()> OnTick;
    };
    std::vector<std::shared_ptr<TTimerState>> FTimers;
};

class TFakeServiceControl : public IServiceControl {
public:
    TServiceHandle OpenSCManager(unsigned access) override;
    TServiceHandle OpenService(TServiceHandle manager, const std::string& name, unsigned access) override;
    bool QueryServiceStatus(TServiceHandle service, unsigned& state) override;
    bool StartService(TServiceHandle service) override;
    bool CloseServiceHandle(TServiceHandle handle) override;
    bool QueryServiceAccount(TServiceHandle service, std::string& account) override;
    unsigned LastError() const override { return FLastError; }
    // "<system text N>": a test can tell the platform's words from the check's own.
    std::string ErrorText(unsigned error) const override;

    // 0: the service opens; otherwise OpenService fails with this code.
    unsigned OpenError = 0;
    // Non-zero: opening with the start right fails with this code (a standard user's 5).
    unsigned StartRightError = 0;
    // Non-zero: StartService fails with this code (1058: the service is disabled).
    unsigned StartError = 0;
    // Non-zero: the status query numbered QueryFailsAt (from 1) fails with this code.
    unsigned QueryError = 0;
    int QueryFailsAt = 1;
    // The account the service runs as; empty: its configuration cannot be read.
    std::string Account = "NT AUTHORITY\\NetworkService";
    // States answered by successive status queries; the last one repeats.
    std::deque<unsigned> States{ServiceState::Running};
    // Calls in order: "manager:4", "open:MSSQLServer:20", "query", "start", "close:H".
    std::vector<std::string> Calls;
    std::set<TServiceHandle> OpenHandles;
    int Queries = 0;

private:
    // A handle answers only for the rights it was opened with, as the manager's do.
    std::map<TServiceHandle, unsigned> FRights;
    unsigned FLastError = 0;
    TServiceHandle FNext = 100;
};

class TFakeFileSystem : public IFileSystem {
public:
    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override;
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override;
    bool DeleteFile(const std::string& path) override;
    std::string PathSeparator() const override { return Separator; }
    bool IsLinkOrSpecial(const std::string& path) override { return Special.count(path) != 0; }
    std::int64_t FileSize(const std::string& path) override
    {
        const auto found = Contents.find(path);
        return found == Contents.end() ? -1 : static_cast<std::int64_t>(found->second.size());
    }
    std::int64_t FreeSpace(const std::string& path) override
    {
        FreeSpaceAsked.push_back(path);
        return Free;
    }

    std::map<std::string, std::string> Contents;
    std::set<std::string> Locked;
    // Fail a read or a write once this many bytes have gone through (-1: never).
    std::int64_t FailReadAt = -1;
    std::int64_t FailWriteAt = -1;
    // Fail the final write that closing a file being written does.
    bool FailClose = false;
    std::vector<std::int64_t> ReadRequests;
    std::vector<std::string> Deleted;
    std::vector<std::string> Created;
    std::set<std::string> OpenFiles;
    // Names that are links or special files (IsLinkOrSpecial answers true).
    std::set<std::string> Special;
    std::string Separator = "\\";
    // What FreeSpace answers (-1: cannot tell), and the paths it was asked about.
    std::int64_t Free = -1;
    std::vector<std::string> FreeSpaceAsked;
};

class TFakeTextConversion : public ITextConversion {
public:
    std::string AnsiToUtf8(const std::string& ansi) override { return ansi; }
    std::string Utf8ToAnsi(const std::string& utf8) override { return utf8; }
};

// A scripted database: every statement is logged, and answered by the handlers.
class TFakeDatabase : public IDataAccess {
public:
    struct TResult {
        std::vector<std::string> Columns;
        std::vector<std::vector<TFieldValue>> Rows;
    };

    std::unique_ptr<IConnection> CreateConnection() override;

    // "connect:<connection string>", "query:<sql>", "exec:<sql>", "close".
    std::vector<std::string> Log;
    // Throw EProviderError from a handler to fail the statement.
    std::function<TResult(const std::string& sql)> OnQuery;
    std::function<void(const std::string& sql)> OnExecute;
    std::function<void(const std::string& connectionString)> OnConnect;
    // How a statement waits, given the wait handler of its connection (when it has one);
    // without a script the handler is called once.
    std::function<void(const std::string& sql, const std::function<void()>& onWait)> OnWait;
};

class TFakeResultString : public IOleStringVariable {
public:
    void Assign(const std::string& utf8) override
    {
        if (FailAssign) throw std::bad_alloc();
        History.push_back(utf8);
        Value = utf8;
        Empty = false;
    }
    void Clear() noexcept override
    {
        History.push_back("(cleared)");
        Value.clear();
        Empty = true;
    }
    std::string Value = "previous";
    bool Empty = false;
    bool FailAssign = false;
    std::vector<std::string> History;
};

// A lock shared by the fake runs that hold the same TFakeRunLock::TState.
class TFakeRunLock : public IRunLock {
public:
    struct TState {
        bool Held = false;
        int Acquired = 0;
    };
    explicit TFakeRunLock(TState& state) : FState(state) {}
    bool TryAcquire() override
    {
        if (FState.Held) return false;
        FState.Held = FMine = true;
        ++FState.Acquired;
        return true;
    }
    void Release() noexcept override
    {
        if (!FMine) return;
        FState.Held = FMine = false;
    }

private:
    TState& FState;
    bool FMine = false;
};

struct TFakePlatform {
    TFakeToolkit Toolkit;
    TFakeServiceControl Services;
    TFakeDatabase Data;
    TFakeFileSystem Files;
    TFakeTextConversion Text;
    TPlatform Platform{Toolkit, Services, Data, Files, Text};
    TFakeRunLock::TState LockState;
    TFakeRunLock RunLock{LockState};
};

}  // namespace Velmora::Fakes
