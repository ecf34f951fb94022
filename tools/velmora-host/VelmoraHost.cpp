// A host for libVelmora.so that stands where the data-conversion program stands
// on Windows: it loads the library, calls DoIt exactly as that program does and
// prints what came back.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Utf.h"
#include "platform/posix/IconvTextConversion.h"
#include "platform/posix/PosixFileSystem.h"
#include "plugin/posix/Velmora.h"
#include "standin/ServerDirectory.h"
#include "standin/StandinServiceControl.h"
#include "tools/velmora-host/HostArguments.h"

namespace {

using Velmora::Host::TOptions;

constexpr int ExitConnected = 0;
constexpr int ExitNothingPrepared = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "用法: velmora-host --folder DIR --backup FILE --year YEAR [--plugin PATH] [--service STATE]\n"
    "\n"
    "  --folder DIR     工作文件夹所在的文件夹；工作文件夹是 DIR 后直接接上 \"TempLateTemp/\"，\n"
    "                   所以 DIR 要以 / 结尾，且 DIR/TempLateTemp/ 须已存在；相对路径从当前文件夹算起\n"
    "  --backup FILE    要预处理的备份文件\n"
    "  --year YEAR      期初余额的年度，十进制数字\n"
    "  --plugin PATH    要加载的库（默认：本程序旁边的 libVelmora.so）\n"
    "  --service STATE  调用前把模拟服务器的服务状态设为 STATE：\n"
    "                   running、stopped、paused、missing、denied 或 \"refused 代码\"\n"
    "                   （已停止，启动时以该错误代码被拒绝，如 1058 已禁用、5 无权启动）\n"
    "  --help           显示本说明\n"
    "\n"
    "结果写到标准输出。退出码：0 得到连接字符串，1 结果为 \"0\" 或结果无法写出，2 用法或加载错误。\n";

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "velmora-host: %s\n\n%s", message.c_str(), Usage);
    return ExitUsage;
}

std::string ExecutableFolder()
{
    std::vector<char> path(4096);
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) return std::string();
    std::string text(path.data(), static_cast<std::size_t>(length));
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Next to the program, then where an installation puts libraries, then the build tree.
std::string DefaultPluginPath()
{
    const std::string folder = ExecutableFolder();
    std::vector<std::string> candidates;
    if (!folder.empty()) {
        candidates.push_back(folder + "/libVelmora.so");
        candidates.push_back(folder + "/" VELMORA_HOST_LIBDIR_FROM_BINDIR "/libVelmora.so");
    }
#ifdef VELMORA_HOST_BUILD_PLUGIN
    candidates.push_back(VELMORA_HOST_BUILD_PLUGIN);
#endif
    for (const std::string& candidate : candidates) {
        if (Exists(candidate)) return candidate;
    }
    return candidates.empty() ? std::string("libVelmora.so") : candidates.front();
}

// A standard descriptor that was closed when the host started would be handed to
// the next file opened (the backup, a database), and the result printed into it.
// Each closed one is held by /dev/null instead; answers whether stdout was closed.
bool OccupyClosedStandardDescriptors()
{
    bool stdoutClosed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) stdoutClosed = true;
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    return stdoutClosed;
}

// The server is told the work folder's file names and finds them again later, from
// wherever it runs: a relative folder is taken from where the host was started.
std::string AbsoluteFolder(const std::string& folder)
{
    if (folder.empty() || folder.front() == '/') return folder;
    std::error_code error;
    const std::filesystem::path current = std::filesystem::current_path(error);
    if (error) return folder;
    // Plain appending stays: "host/" becomes "<current>/host/", "host" stays without a slash.
    return current.string() + "/" + folder;
}

int ResultNotWritten(const std::string& reason)
{
    std::fprintf(stderr, "velmora-host: 无法写出结果：%s\n", reason.c_str());
    return ExitNothingPrepared;
}

template <typename TFunction>
TFunction Lookup(void* library, const char* name)
{
    return reinterpret_cast<TFunction>(::dlsym(library, name));
}

}  // namespace

int main(int argc, char** argv)
{
    const bool stdoutClosed = OccupyClosedStandardDescriptors();
    // The host's texts are in the locale's codeset, and so the library must read them.
    std::setlocale(LC_ALL, "");

    TOptions options;
    std::string problem = Velmora::Host::ParseOptions(argc, argv, options);
    if (options.Help) {
        std::fputs(Usage, stdout);
        return ExitConnected;
    }
    if (options.Plugin.empty()) options.Plugin = DefaultPluginPath();
    // The library reads these in the locale's codeset; one it cannot read is named here.
    if (problem.empty()) {
        try {
            Velmora::TIconvTextConversion text;
            problem = Velmora::Host::UndecodableArgument(options, text);
        } catch (const std::exception& error) {
            problem = error.what();
        }
    }
    if (!problem.empty()) return UsageError(problem);
    // Nothing is done that could not be reported.
    if (stdoutClosed) return ResultNotWritten("标准输出已关闭");
    options.Folder = AbsoluteFolder(options.Folder);

    void* library = ::dlopen(options.Plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = ::dlerror();
        std::fprintf(stderr, "velmora-host: 无法加载插件 %s：%s\n", options.Plugin.c_str(), reason ? reason : "");
        return ExitUsage;
    }
    const auto doIt = Lookup<TVelmoraDoIt>(library, "DoIt");
    const auto allocString = Lookup<TVelmoraSysAllocStringLen>(library, "VelmoraSysAllocStringLen");
    const auto freeString = Lookup<TVelmoraSysFreeString>(library, "VelmoraSysFreeString");
    const auto stringLength = Lookup<TVelmoraSysStringLen>(library, "VelmoraSysStringLen");
    if (!doIt || !allocString || !freeString || !stringLength) {
        std::fprintf(stderr, "velmora-host: %s 不是本插件：缺少 DoIt 或字符串函数\n", options.Plugin.c_str());
        ::dlclose(library);
        return ExitUsage;
    }

    // Only once the call can be made is anything changed.
    if (options.HasService) {
        try {
            Velmora::Standin::WriteServiceState(Velmora::Standin::DefaultServerDirectory(), options.Service);
        } catch (const std::exception& error) {
            ::dlclose(library);
            return UsageError(std::string("无法设置服务状态“") + options.Service + "”：" + error.what());
        }
    }

    // As the Windows host does: the variable already holds a string of its own, and
    // the window is whatever the host's main window happens to be.
    const std::u16string preset = u"(未设置)";
    char16_t* result = allocString(preset.data(), static_cast<std::uint32_t>(preset.size()));
    void* const hostWindow = reinterpret_cast<void*>(std::uintptr_t{0x10010});
    doIt(&result, hostWindow, options.Folder.c_str(), options.Backup.c_str(), options.Year.c_str());

    std::string text;
    try {
        text = Velmora::Utf16ToUtf8(std::u16string(result ? result : u"", stringLength(result)));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velmora-host: 结果不是有效的 UTF-16 文本：%s\n", error.what());
    }
    freeString(result);
    ::dlclose(library);

    // A result that did not arrive is no success, whatever it was.
    text += "\n";
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        return ResultNotWritten(errno != 0 ? Velmora::SystemErrorText(errno) : std::string("写入标准输出失败"));
    }
    return text.rfind("Provider=", 0) == 0 ? ExitConnected : ExitNothingPrepared;
}
