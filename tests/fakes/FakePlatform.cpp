#include "tests/fakes/FakePlatform.h"

#include <algorithm>
#include <cctype>

namespace Velmora::Fakes {

// ---------------------------------------------------------------- toolkit

class TFakeToolkit::TView : public IFormView {
public:
    TView(TFakeToolkit& toolkit, IProgressDialog& dialog) : FToolkit(toolkit), FDialog(dialog) {}
    void Changed() override
    {
        if (FDialog.StatusText() != FStatus) {
            FStatus = FDialog.StatusText();
            FToolkit.StatusTexts.push_back(FStatus);
            FToolkit.Events.push_back("status:" + FStatus);
        }
        if (FDialog.Percent() != FPercent) {
            FPercent = FDialog.Percent();
            FToolkit.Events.push_back("percent:" + std::to_string(FPercent));
        }
    }

private:
    TFakeToolkit& FToolkit;
    IProgressDialog& FDialog;
    std::string FStatus;
    int FPercent = 0;
};

int TFakeToolkit::ShowProgressDialog(IProgressDialog& dialog)
{
    TView view(*this, dialog);
    view.Changed();
    dialog.AttachView(&view);
    dialog.FormShow();
    TimerEnabledWhenShown = !FTimers.empty() && FTimers.front()->Enabled;
    // The modal loop: deliver ticks while a timer runs and no outcome is set.
    while (dialog.ModalResult() == mrNone) {
        auto timer = std::find_if(FTimers.begin(), FTimers.end(), [](const auto& t) { return t->Enabled; });
        if (timer == FTimers.end()) break;
        Now += TimerIntervalMs;
        auto state = *timer;
        state->OnTick();
    }
    dialog.AttachView(nullptr);
    return dialog.ModalResult();
}

int TFakeToolkit::ShowChooser(IChooserDialog& dialog)
{
    ++ChooserShown;
    Events.push_back("chooser");
    for (std::size_t i = 0; i < dialog.RowCount(); ++i) {
        ChooserRows.emplace_back(dialog.RowCaption(i), dialog.RowSubItem(i));
    }
    if (OnChooser) OnChooser(dialog);
    return dialog.ModalResult();
}

std::unique_ptr<ITimer> TFakeToolkit::CreateTimer(unsigned intervalMs, std::function<void()> onTick)
{
    class TTimer : public ITimer {
    public:
        explicit TTimer(std::shared_ptr<TTimerState> state) : FState(std::move(state)) {}
        ~TTimer() override { FState->Enabled = false; }
        void SetEnabled(bool enabled) override { FState->Enabled = enabled; }
        bool Enabled() const override { return FState->Enabled; }

    private:
        std::shared_ptr<TTimerState> FState;
    };
    TimerIntervalMs = intervalMs;
    auto state = std::make_shared<TTimerState>();
    state->OnTick = std::move(onTick);
    FTimers.push_back(state);
    return std::make_unique<TTimer>(state);
}

int TFakeToolkit::MessageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    Messages.push_back(TShownMessage{text, caption, flags, FApplicationHandle});
    Events.push_back("box:" + caption + ":" + text);
    if (OnMessage) OnMessage(Messages.back());
    return MsgBox::IdOk;
}

void TFakeToolkit::ProcessMessages()
{
    ++ProcessMessagesCalls;
    Now += ProcessMessagesCost;
    if (OnProcessMessages) OnProcessMessages();
}

void TFakeToolkit::Sleep(unsigned ms)
{
    Sleeps.push_back(ms);
    Events.push_back("sleep:" + std::to_string(ms));
    Now += ms;
}

// ---------------------------------------------------------------- services

TServiceHandle TFakeServiceControl::OpenSCManager(unsigned access)
{
    Calls.push_back("manager:" + std::to_string(access));
    const TServiceHandle handle = FNext++;
    OpenHandles.insert(handle);
    return handle;
}

TServiceHandle TFakeServiceControl::OpenService(TServiceHandle manager, const std::string& name, unsigned access)
{
    Calls.push_back("open:" + name + ":" + std::to_string(access));
    if (manager == 0) {
        FLastError = ServiceError::InvalidHandle;
        return 0;
    }
    if (OpenError != 0 || (StartRightError != 0 && (access & ServiceAccess::Start) != 0)) {
        FLastError = OpenError != 0 ? OpenError : StartRightError;
        return 0;
    }
    const TServiceHandle handle = FNext++;
    OpenHandles.insert(handle);
    FRights[handle] = access;
    return handle;
}

bool TFakeServiceControl::QueryServiceStatus(TServiceHandle service, unsigned& state)
{
    Calls.push_back("query");
    ++Queries;
    if (OpenHandles.count(service) == 0) {
        FLastError = ServiceError::InvalidHandle;
        return false;
    }
    if ((FRights[service] & ServiceAccess::QueryStatus) == 0) {
        FLastError = ServiceError::AccessDenied;
        return false;
    }
    if (QueryError != 0 && Queries >= QueryFailsAt) {
        FLastError = QueryError;
        return false;
    }
    state = States.front();
    if (States.size() > 1) States.pop_front();
    return true;
}

bool TFakeServiceControl::StartService(TServiceHandle service)
{
    Calls.push_back("start");
    if (OpenHandles.count(service) == 0) {
        FLastError = ServiceError::InvalidHandle;
        return false;
    }
    if ((FRights[service] & ServiceAccess::Start) == 0) {
        FLastError = ServiceError::AccessDenied;
        return false;
    }
    if (StartError != 0) {
        FLastError = StartError;
        return false;
    }
    return true;
}

bool TFakeServiceControl::QueryServiceAccount(TServiceHandle service, std::string& account)
{
    Calls.push_back("config");
    if (OpenHandles.count(service) == 0 || (FRights[service] & ServiceAccess::QueryConfig) == 0 || Account.empty()) {
        FLastError = ServiceError::AccessDenied;
        return false;
    }
    account = Account;
    return true;
}

bool TFakeServiceControl::CloseServiceHandle(TServiceHandle handle)
{
    Calls.push_back("close:" + std::to_string(handle));
    FRights.erase(handle);
    return OpenHandles.erase(handle) != 0;
}

std::string TFakeServiceControl::ErrorText(unsigned error) const
{
    return "<system text " + std::to_string(error) + ">";
}

// ---------------------------------------------------------------- files

namespace {

class TFakeFile : public IFile {
public:
    TFakeFile(TFakeFileSystem& files, std::string path, bool forWriting)
        : FFiles(files), FPath(std::move(path)), FForWriting(forWriting)
    {
        FFiles.OpenFiles.insert(FPath);
    }
    ~TFakeFile() override { FFiles.OpenFiles.erase(FPath); }

    std::int64_t Size() override { return static_cast<std::int64_t>(FFiles.Contents[FPath].size()); }
    std::int64_t Position() override { return FPosition; }
    void Seek(std::int64_t position) override { FPosition = position; }

    std::int64_t Read(void* buffer, std::int64_t count) override
    {
        FFiles.ReadRequests.push_back(count);
        const std::string& data = FFiles.Contents[FPath];
        if (FFiles.FailReadAt >= 0 && FPosition >= FFiles.FailReadAt) throw EInOutError("读取失败");
        const std::int64_t available = std::max<std::int64_t>(0, static_cast<std::int64_t>(data.size()) - FPosition);
        const std::int64_t n = std::min(count, available);
        std::copy_n(data.data() + FPosition, n, static_cast<char*>(buffer));
        FPosition += n;
        return n;
    }

    void Write(const void* buffer, std::int64_t count) override
    {
        if (!FForWriting) throw EInOutError("文件未以写方式打开");
        if (FFiles.FailWriteAt >= 0 && FPosition + count > FFiles.FailWriteAt) throw EInOutError("写入失败");
        std::string& data = FFiles.Contents[FPath];
        data.replace(static_cast<std::size_t>(FPosition), static_cast<std::size_t>(count),
                     static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        FPosition += count;
    }

    void Close() override
    {
        if (FForWriting && FFiles.FailClose) throw EInOutError("写入失败：磁盘已满");
    }

private:
    TFakeFileSystem& FFiles;
    std::string FPath;
    bool FForWriting;
    std::int64_t FPosition = 0;
};

}  // namespace

std::unique_ptr<IFile> TFakeFileSystem::OpenReadExclusive(const std::string& path)
{
    if (Contents.count(path) == 0) throw EVelmoraError("无法打开文件“" + path + "”：文件不存在");
    if (Locked.count(path) != 0 || OpenFiles.count(path) != 0) {
        throw EVelmoraError("无法打开文件“" + path + "”：文件正被另一程序使用");
    }
    return std::make_unique<TFakeFile>(*this, path, false);
}

std::unique_ptr<IFile> TFakeFileSystem::CreateExclusive(const std::string& path)
{
    if (Locked.count(path) != 0 || OpenFiles.count(path) != 0) {
        throw EVelmoraError("无法创建文件“" + path + "”：文件正被另一程序使用");
    }
    Contents[path].clear();
    Created.push_back(path);
    return std::make_unique<TFakeFile>(*this, path, true);
}

bool TFakeFileSystem::DeleteFile(const std::string& path)
{
    Deleted.push_back(path);
    return Contents.erase(path) != 0;
}

// ---------------------------------------------------------------- database

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class TFakeConnection : public IConnection {
public:
    explicit TFakeConnection(TFakeDatabase& db) : FDb(db) {}
    void SetConnectionString(const std::string& text) override { FConnectionString = text; }
    std::string ConnectionString() const override { return FConnectionString; }
    void SetCommandTimeout(int) override {}
    void SetLoginPrompt(bool) override {}
    void Open() override
    {
        if (FConnected) return;
        FDb.Log.push_back("connect:" + FConnectionString);
        if (FDb.OnConnect) FDb.OnConnect(FConnectionString);
        FConnected = true;
    }
    void Close() override
    {
        if (!FConnected) return;
        FDb.Log.push_back("close");
        FConnected = false;
    }
    bool Connected() const override { return FConnected; }
    void SetOnWait(std::function<void()> onWait) override { FOnWait = std::move(onWait); }
    // A statement takes a while: the caller is given one chance to keep its window
    // alive, or as many as the script's OnWait gives it.
    void Wait(const std::string& sql)
    {
        if (!FOnWait) return;
        if (FDb.OnWait) {
            FDb.OnWait(sql, FOnWait);
        } else {
            FOnWait();
        }
    }
    std::unique_ptr<IQuery> CreateQuery() override;
    std::unique_ptr<ICommand> CreateCommand() override;

    TFakeDatabase& FDb;

private:
    std::string FConnectionString;
    bool FConnected = false;
    std::function<void()> FOnWait;
};

class TFakeQuery : public IQuery {
public:
    explicit TFakeQuery(TFakeConnection& connection) : FConnection(connection) {}
    void Close() override
    {
        FActive = false;
        FResult = TFakeDatabase::TResult{};
        FRow = 0;
    }
    void ClearSql() override { FSql.clear(); }
    void AddSql(const std::string& line) override { FSql += (FSql.empty() ? "" : "\n") + line; }
    void Open() override
    {
        Close();
        FConnection.Open();
        FConnection.FDb.Log.push_back("query:" + FSql);
        FConnection.Wait(FSql);
        FResult = FConnection.FDb.OnQuery ? FConnection.FDb.OnQuery(FSql) : TFakeDatabase::TResult{};
        FActive = true;
    }
    bool Active() const override { return FActive; }
    void First() override { FRow = 0; }
    void Next() override
    {
        if (FRow < FResult.Rows.size()) ++FRow;
    }
    bool Eof() const override { return !FActive || FRow >= FResult.Rows.size(); }
    int RecordCount() const override
    {
        if (!FActive) throw EVelmoraError("数据集未打开");
        return static_cast<int>(FResult.Rows.size());
    }
    TFieldValue FieldByName(const std::string& name) const override
    {
        if (!FActive) throw EVelmoraError("数据集未打开，不能读取字段" + name);
        if (FRow >= FResult.Rows.size()) throw EVelmoraError("数据集没有当前记录");
        for (std::size_t i = 0; i < FResult.Columns.size(); ++i) {
            if (Lower(FResult.Columns[i]) == Lower(name)) return FResult.Rows[FRow].at(i);
        }
        throw EVelmoraError("字段“" + name + "”不存在");
    }

private:
    TFakeConnection& FConnection;
    std::string FSql;
    TFakeDatabase::TResult FResult;
    std::size_t FRow = 0;
    bool FActive = false;
};

class TFakeCommand : public ICommand {
public:
    explicit TFakeCommand(TFakeConnection& connection) : FConnection(connection) {}
    void SetCommandTimeout(int) override {}
    void SetCommandText(const std::string& text) override { FText = text; }
    void Execute() override
    {
        FConnection.Open();
        FConnection.FDb.Log.push_back("exec:" + FText);
        FConnection.Wait(FText);
        if (FConnection.FDb.OnExecute) FConnection.FDb.OnExecute(FText);
    }

private:
    TFakeConnection& FConnection;
    std::string FText;
};

std::unique_ptr<IQuery> TFakeConnection::CreateQuery() { return std::make_unique<TFakeQuery>(*this); }
std::unique_ptr<ICommand> TFakeConnection::CreateCommand() { return std::make_unique<TFakeCommand>(*this); }

}  // namespace

std::unique_ptr<IConnection> TFakeDatabase::CreateConnection() { return std::make_unique<TFakeConnection>(*this); }

}  // namespace Velmora::Fakes
