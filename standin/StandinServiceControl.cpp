#include "standin/StandinServiceControl.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "platform/Errors.h"
#include "standin/ServerFiles.h"
#include "standin/SqlShim.h"

namespace Velmora::Standin {

namespace {

namespace fs = std::filesystem;

constexpr const char* ServiceName = "mssqlserver";
constexpr unsigned ErrorInvalidData = 13;
constexpr const char* KnownWords = "running、stopped、paused、missing、denied、refused <错误代码>";

// The state file holds one short line; a larger one is read no further than this.
constexpr std::size_t StateFileRead = 4096;
// How much of an unknown word a message shows.
constexpr std::size_t ShownWord = 32;

std::string StatePath(const std::string& serverDirectory) { return ServiceStatePath(serverDirectory); }

// A word as a message may show it: its first few bytes, cut between characters.
std::string Shown(const std::string& word)
{
    if (word.size() <= ShownWord) return word;
    std::size_t end = ShownWord;
    while (end > 0 && (static_cast<unsigned char>(word[end]) & 0xC0) == 0x80) --end;
    return word.substr(0, end) + "…";
}

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct TStateFile {
    std::string Word;  // "stopped" when there is no file; empty when the file makes no sense
    long long Deadline = 0;
    unsigned RefusalCode = 0;  // "refused N": stopped, and a start is refused with N
    std::string Problem;       // why Word is empty
};

// A code as the file gives it: decimal, 1 to 2^32-1, nothing after it.
bool ParseCode(const std::string& text, unsigned& code)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long long value = std::stoull(text);
    if (value == 0 || value > 0xFFFFFFFFull) return false;
    code = static_cast<unsigned>(value);
    return true;
}

TStateFile ReadState(const std::string& serverDirectory)
{
    TStateFile state;
    state.Word = "stopped";
    const std::string path = StatePath(serverDirectory);
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) return state;
    std::ifstream in(path);
    if (error || !fs::is_regular_file(status) || !in) {
        state.Word.clear();
        state.Problem = "无法读取服务状态文件“" + path + "”" + (error ? "：" + error.message() : std::string());
        return state;
    }
    std::string head(StateFileRead, '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    std::istringstream words(head);
    std::string word;
    words >> word;
    state.Word = Standin::LowerAscii(word);
    std::string code;
    if (state.Word == "starting" && !(words >> state.Deadline)) state.Word.clear();
    if (state.Word == "refused" && !(words >> code && ParseCode(code, state.RefusalCode))) state.Word.clear();
    const bool known = state.Word == "running" || state.Word == "stopped" || state.Word == "paused" ||
                       state.Word == "missing" || state.Word == "denied" || state.Word == "starting" ||
                       state.Word == "refused";
    if (!known) {
        state.Word.clear();
        state.Problem = "服务状态文件“" + path + "”中的状态“" + Shown(word) + "”无法识别，可用的状态为 " + KnownWords;
    }
    return state;
}

// Replaces the file in one step, so a reader never sees half a word.
void WriteStateText(const std::string& serverDirectory, const std::string& text)
{
    std::error_code error;
    fs::create_directories(serverDirectory, error);
    const std::string path = StatePath(serverDirectory);
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text << "\n";
        out.flush();
        if (!out) throw EVelmoraError("无法写入服务状态文件“" + path + "”");
    }
    fs::rename(temporary, path, error);
    if (error) throw EVelmoraError("无法写入服务状态文件“" + path + "”：" + error.message());
}

}  // namespace

TStandinServiceControl::TStandinServiceControl(std::string serverDirectory, unsigned startDelayMs)
    : FServerDirectory(std::move(serverDirectory)), FStartDelayMs(startDelayMs)
{
}

bool TStandinServiceControl::Fail(unsigned error, std::string problem)
{
    FLastError = error;
    FLastProblem = std::move(problem);
    return false;
}

std::string TStandinServiceControl::ErrorText(unsigned error) const
{
    if (error == FLastError && !FLastProblem.empty()) return FLastProblem;
    switch (error) {
    case ServiceError::AccessDenied:
        return "拒绝访问";
    case ServiceError::InvalidHandle:
        return "句柄无效";
    case ErrorInvalidData:
        return "数据无效";
    case ServiceError::ServiceAlreadyRunning:
        return "服务已在运行";
    case ServiceError::ServiceDisabled:
        return "无法启动服务，原因可能是它已被禁用";
    case ServiceError::ServiceDoesNotExist:
        return "指定的服务未安装";
    default:
        return "服务错误 " + std::to_string(error);
    }
}

TServiceHandle TStandinServiceControl::OpenSCManager(unsigned)
{
    const TServiceHandle handle = FNextHandle++;
    FManagers.insert(handle);
    return handle;
}

TServiceHandle TStandinServiceControl::OpenService(TServiceHandle manager, const std::string& name, unsigned access)
{
    unsigned error = 0;
    const TStateFile state = ReadState(FServerDirectory);
    if (FManagers.count(manager) == 0) error = ServiceError::InvalidHandle;
    // Service names are not case-sensitive.
    else if (Standin::LowerAscii(name) != ServiceName) error = ServiceError::ServiceDoesNotExist;
    else if (state.Word == "missing") error = ServiceError::ServiceDoesNotExist;
    else if (state.Word == "denied") error = ServiceError::AccessDenied;
    // A start refused for want of rights is refused where Windows refuses it: at the open.
    else if (state.Word == "refused" && state.RefusalCode == ServiceError::AccessDenied &&
             (access & ServiceAccess::Start) != 0) {
        error = ServiceError::AccessDenied;
    }
    if (error != 0) {
        Fail(error);
        return 0;
    }
    const TServiceHandle handle = FNextHandle++;
    FServices[handle] = access;
    return handle;
}

bool TStandinServiceControl::QueryServiceStatus(TServiceHandle service, unsigned& state)
{
    const auto open = FServices.find(service);
    if (open == FServices.end()) return Fail(ServiceError::InvalidHandle);
    if ((open->second & ServiceAccess::QueryStatus) == 0) return Fail(ServiceError::AccessDenied);
    TStateFile file = ReadState(FServerDirectory);
    if (file.Word == "starting" && NowMs() >= file.Deadline) {
        WriteStateText(FServerDirectory, "running");
        file.Word = "running";
    }
    if (file.Word == "running") state = ServiceState::Running;
    else if (file.Word == "stopped" || file.Word == "refused") state = ServiceState::Stopped;
    else if (file.Word == "paused") state = ServiceState::Paused;
    else if (file.Word == "starting") state = ServiceState::StartPending;
    else if (file.Word == "missing") return Fail(ServiceError::ServiceDoesNotExist);
    else if (file.Word == "denied") return Fail(ServiceError::AccessDenied);
    else return Fail(ErrorInvalidData, file.Problem);
    return true;
}

bool TStandinServiceControl::StartService(TServiceHandle service)
{
    const auto open = FServices.find(service);
    if (open == FServices.end()) return Fail(ServiceError::InvalidHandle);
    if ((open->second & ServiceAccess::Start) == 0) return Fail(ServiceError::AccessDenied);
    const TStateFile file = ReadState(FServerDirectory);
    if (file.Word.empty()) return Fail(ErrorInvalidData, file.Problem);
    if (file.Word == "missing") return Fail(ServiceError::ServiceDoesNotExist);
    if (file.Word == "denied") return Fail(ServiceError::AccessDenied);
    if (file.Word == "refused") return Fail(file.RefusalCode);
    if (file.Word != "stopped") return Fail(ServiceError::ServiceAlreadyRunning);
    try {
        WriteStateText(FServerDirectory, "starting " + std::to_string(NowMs() + FStartDelayMs));
    } catch (const EVelmoraError& error) {
        return Fail(ServiceError::AccessDenied, error.what());
    }
    return true;
}

bool TStandinServiceControl::CloseServiceHandle(TServiceHandle handle)
{
    if (FManagers.erase(handle) + FServices.erase(handle) == 0) return Fail(ServiceError::InvalidHandle);
    return true;
}

bool TStandinServiceControl::QueryServiceAccount(TServiceHandle service, std::string& account)
{
    const auto open = FServices.find(service);
    if (open == FServices.end()) return Fail(ServiceError::InvalidHandle);
    if ((open->second & ServiceAccess::QueryConfig) == 0) return Fail(ServiceError::AccessDenied);
    std::ifstream in((fs::path(FServerDirectory) / "account").string());
    std::string line;
    if (in && std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) {
            account = line;
            return true;
        }
    }
    account = "LocalSystem";
    return true;
}

void WriteServiceState(const std::string& serverDirectory, const std::string& state)
{
    std::istringstream words(Standin::LowerAscii(state));
    std::string word;
    std::string code;
    std::string rest;
    words >> word >> code >> rest;
    unsigned refusal = 0;
    const bool plain = code.empty() && (word == "running" || word == "stopped" || word == "paused" ||
                                        word == "missing" || word == "denied");
    const bool refused = word == "refused" && rest.empty() && ParseCode(code, refusal);
    if (!plain && !refused) {
        throw EVelmoraError("未知的服务状态“" + Shown(state) + "”，可用的状态为 " + KnownWords);
    }
    WriteStateText(serverDirectory, refused ? word + " " + std::to_string(refusal) : word);
}

}  // namespace Velmora::Standin
