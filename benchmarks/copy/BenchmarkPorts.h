#pragma once
// What both copy benchmarks share: ports the copy never uses (a form needs them to
// exist), and a toolkit wrapper that times the gaps between message-processing calls.

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/Platform.h"

namespace Velmora::Benchmarks {

using TClock = std::chrono::steady_clock;

// The copy needs a form, and a form needs a database; this one is never used.
class TUnusedQuery : public IQuery {
public:
    void Close() override {}
    void ClearSql() override {}
    void AddSql(const std::string&) override {}
    void Open() override {}
    bool Active() const override { return false; }
    void First() override {}
    void Next() override {}
    bool Eof() const override { return true; }
    int RecordCount() const override { return 0; }
    TFieldValue FieldByName(const std::string&) const override { return TFieldValue(); }
};

class TUnusedCommand : public ICommand {
public:
    void SetCommandTimeout(int) override {}
    void SetCommandText(const std::string&) override {}
    void Execute() override {}
};

class TUnusedConnection : public IConnection {
public:
    void SetConnectionString(const std::string&) override {}
    std::string ConnectionString() const override { return std::string(); }
    void SetCommandTimeout(int) override {}
    void SetLoginPrompt(bool) override {}
    void Open() override {}
    void Close() override {}
    bool Connected() const override { return false; }
    void SetOnWait(std::function<void()>) override {}
    std::unique_ptr<IQuery> CreateQuery() override { return std::make_unique<TUnusedQuery>(); }
    std::unique_ptr<ICommand> CreateCommand() override { return std::make_unique<TUnusedCommand>(); }
};

class TUnusedData : public IDataAccess {
public:
    std::unique_ptr<IConnection> CreateConnection() override { return std::make_unique<TUnusedConnection>(); }
};

class TUnusedServices : public IServiceControl {
public:
    TServiceHandle OpenSCManager(unsigned) override { return 0; }
    TServiceHandle OpenService(TServiceHandle, const std::string&, unsigned) override { return 0; }
    bool QueryServiceStatus(TServiceHandle, unsigned&) override { return false; }
    bool StartService(TServiceHandle) override { return false; }
    bool CloseServiceHandle(TServiceHandle) override { return false; }
    unsigned LastError() const override { return 0; }
    std::string ErrorText(unsigned) const override { return std::string(); }
};

// A real toolkit, with a stopwatch on the calls that keep the dialog alive.
class TTimedToolkit : public IToolkit {
public:
    explicit TTimedToolkit(IToolkit& inner) : FInner(inner) {}

    TWindowHandle ApplicationHandle() const override { return FInner.ApplicationHandle(); }
    void SetApplicationHandle(TWindowHandle handle) override { FInner.SetApplicationHandle(handle); }
    int ShowProgressDialog(IProgressDialog& dialog) override { return FInner.ShowProgressDialog(dialog); }
    int ShowChooser(IChooserDialog& dialog) override { return FInner.ShowChooser(dialog); }
    std::unique_ptr<ITimer> CreateTimer(unsigned intervalMs, std::function<void()> onTick) override
    {
        return FInner.CreateTimer(intervalMs, std::move(onTick));
    }
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override
    {
        return FInner.MessageBox(text, caption, flags);
    }
    void ProcessMessages() override
    {
        FInner.ProcessMessages();
        const TClock::time_point now = TClock::now();
        LongestGap = std::max(LongestGap, now - FLast);
        FLast = now;
        ++Calls;
    }
    void KeepAlive() override { FInner.KeepAlive(); }
    void Sleep(unsigned ms) override { FInner.Sleep(ms); }
    std::uint64_t TickCount() override { return FInner.TickCount(); }

    void Start()
    {
        FLast = TClock::now();
        LongestGap = TClock::duration::zero();
        Calls = 0;
    }
    // The stretch from the last call to the end of the copy counts as a gap too.
    void Stop() { LongestGap = std::max(LongestGap, TClock::now() - FLast); }

    TClock::duration LongestGap{};
    std::uint64_t Calls = 0;

private:
    IToolkit& FInner;
    TClock::time_point FLast{};
};

}  // namespace Velmora::Benchmarks
