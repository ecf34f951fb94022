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

namespace Velmora {

namespace {

namespace fs = std::filesystem;

constexpr const char* ServiceName = "mssqlserver";
constexpr unsigned ErrorServiceAlreadyRunning = 1056;
constexpr unsigned ErrorInvalidData = 13;

std::string StatePath(const std::string& serverDirectory) { return Standin::ServiceStatePath(serverDirectory); }

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct TStateFile {
    std::string Word;  // "stopped" when there is no file
    long long Deadline = 0;
};

TStateFile ReadState(const std::string& serverDirectory)
{
    TStateFile state{"stopped"};
    std::ifstream in(StatePath(serverDirectory));
    if (!in) return state;
    std::string word;
    in >> word;
    state.Word = Standin::LowerAscii(word);
    if (state.Word == "starting" && !(in >> state.Deadline)) state.Word = "?";
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

bool TStandinServiceControl::Fail(unsigned error)
{
    FLastError = error;
    return false;
}

TServiceHandle TStandinServiceControl::OpenSCManager(unsigned)
{
    const TServiceHandle handle = FNextHandle++;
    FManagers.insert(handle);
    return handle;
}

TServiceHandle TStandinServiceControl::OpenService(TServiceHandle manager, const std::string& name, unsigned)
{
    unsigned error = 0;
    const TStateFile state = ReadState(FServerDirectory);
    if (FManagers.count(manager) == 0) error = ServiceError::InvalidHandle;
    // Service names are not case-sensitive.
    else if (Standin::LowerAscii(name) != ServiceName) error = ServiceError::ServiceDoesNotExist;
    else if (state.Word == "missing") error = ServiceError::ServiceDoesNotExist;
    else if (state.Word == "denied") error = ServiceError::AccessDenied;
    if (error != 0) {
        Fail(error);
        return 0;
    }
    const TServiceHandle handle = FNextHandle++;
    FServices.insert(handle);
    return handle;
}

bool TStandinServiceControl::QueryServiceStatus(TServiceHandle service, unsigned& state)
{
    if (FServices.count(service) == 0) return Fail(ServiceError::InvalidHandle);
    TStateFile file = ReadState(FServerDirectory);
    if (file.Word == "starting" && NowMs() >= file.Deadline) {
        WriteStateText(FServerDirectory, "running");
        file.Word = "running";
    }
    if (file.Word == "running") state = ServiceState::Running;
    else if (file.Word == "stopped") state = ServiceState::Stopped;
    else if (file.Word == "paused") state = ServiceState::Paused;
    else if (file.Word == "starting") state = ServiceState::StartPending;
    else if (file.Word == "missing") return Fail(ServiceError::ServiceDoesNotExist);
    else if (file.Word == "denied") return Fail(ServiceError::AccessDenied);
    else return Fail(ErrorInvalidData);
    return true;
}

bool TStandinServiceControl::StartService(TServiceHandle service)
{
    if (FServices.count(service) == 0) return Fail(ServiceError::InvalidHandle);
    const TStateFile file = ReadState(FServerDirectory);
    if (file.Word == "missing") return Fail(ServiceError::ServiceDoesNotExist);
    if (file.Word == "denied") return Fail(ServiceError::AccessDenied);
    if (file.Word != "stopped") return Fail(ErrorServiceAlreadyRunning);
    try {
        WriteStateText(FServerDirectory, "starting " + std::to_string(NowMs() + FStartDelayMs));
    } catch (const EVelmoraError&) {
        return Fail(ServiceError::AccessDenied);
    }
    return true;
}

bool TStandinServiceControl::CloseServiceHandle(TServiceHandle handle)
{
    if (FManagers.erase(handle) + FServices.erase(handle) == 0) return Fail(ServiceError::InvalidHandle);
    return true;
}

void WriteServiceState(const std::string& serverDirectory, const std::string& state)
{
    const std::string word = Standin::LowerAscii(state);
    if (word != "running" && word != "stopped" && word != "paused" && word != "missing" && word != "denied") {
        throw EVelmoraError("未知的服务状态“" + state + "”，可用的状态为 running、stopped、paused、missing、denied");
    }
    WriteStateText(serverDirectory, word);
}

}  // namespace Velmora
