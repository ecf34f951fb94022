#include "standin/ServerDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/Errors.h"
#include "standin/ServerFiles.h"

namespace Velmora::Standin {

namespace {

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string DefaultServerDirectory()
{
    const std::string explicitDirectory = Environment("VELMORA_SERVER_DIR");
    if (!explicitDirectory.empty()) return explicitDirectory;
    // The XDG rules ignore a relative XDG_STATE_HOME.
    const std::string stateHome = Environment("XDG_STATE_HOME");
    if (!stateHome.empty() && std::filesystem::path(stateHome).is_absolute()) {
        return (std::filesystem::path(stateHome) / "velmora" / "server").string();
    }
    std::string home = Environment("HOME");
    if (home.empty()) home = ".";
    return (std::filesystem::path(home) / ".local" / "state" / "velmora" / "server").string();
}

void EnsureServerDirectory(const std::string& serverDirectory)
{
    std::error_code error;
    std::filesystem::create_directories(serverDirectory, error);
    if (error || !std::filesystem::is_directory(serverDirectory)) {
        throw EProviderError("[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied. "
                             "(server directory '" + serverDirectory + "': " +
                             (error ? error.message() : std::string("not a directory")) + ")");
    }
}

void CheckServerDirectory(const std::string& serverDirectory)
{
    const std::string shown = "模拟服务器的目录“" + serverDirectory + "”";
    struct stat status {};
    if (::stat(serverDirectory.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT) throw EProviderError(shown + "不存在");
        if (error == ENOTDIR) throw EProviderError(shown + "不存在：路径中有一段不是目录");
        if (error == EACCES) throw EProviderError("无法访问" + shown + "：没有访问权限");
        throw EProviderError("无法访问" + shown + "：系统错误 " + std::to_string(error));
    }
    if (!S_ISDIR(status.st_mode)) throw EProviderError(shown + "不是目录");
    // The catalog and the lock files are written there, so reading alone is not enough.
    if (::access(serverDirectory.c_str(), R_OK | W_OK | X_OK) != 0) {
        throw EProviderError("无法访问" + shown + "：没有读写权限");
    }
}

std::string ServerKey(const std::string& serverDirectory)
{
    std::error_code error;
    const auto canonical = std::filesystem::weakly_canonical(serverDirectory, error);
    return error ? serverDirectory : canonical.string();
}

}  // namespace Velmora::Standin
