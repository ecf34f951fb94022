#include "platform/posix/PosixRunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <filesystem>

#include "platform/Errors.h"
#include "platform/posix/PosixFileSystem.h"

namespace Velmora {

const char* const TPosixRunLock::FileName = "preprocess.lock";

bool TPosixRunLock::TryAcquire()
{
    if (FFd >= 0) return true;
    // The server makes its directory on first use; the lock comes before the server is asked anything.
    std::error_code ignored;
    std::filesystem::create_directories(FServerDirectory, ignored);
    const std::string path = FServerDirectory + "/" + FileName;
    // Never through a link, and never waiting on a pipe planted under the name.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        const int error = errno;
        struct stat link {};
        if (error == ELOOP && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            throw EVelmoraError("无法打开运行锁文件“" + path + "”：它是符号链接");
        }
        throw EVelmoraError("无法打开运行锁文件“" + path + "”：" + SystemErrorText(error));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw EVelmoraError("无法打开运行锁文件“" + path + "”：这不是普通文件");
    }
    if (!Lock(fd, "运行锁文件“" + path + "”")) return false;
    FFd = fd;
    if (FWorkFolder.empty()) return true;
    const int folder = ::open(FWorkFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (folder < 0) return true;
    bool held = false;
    try {
        held = Lock(folder, "工作文件夹“" + FWorkFolder + "”");
    } catch (...) {
        Release();
        throw;
    }
    if (!held) {
        Release();
        return false;
    }
    FFolderFd = folder;
    return true;
}

bool TPosixRunLock::Lock(int fd, const std::string& what)
{
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return false;
    throw EVelmoraError("无法锁定" + what + "：" + SystemErrorText(error));
}

void TPosixRunLock::Release() noexcept
{
    if (FFd < 0) return;
    // Closing the last descriptor drops the lock. The file stays: removing it would
    // let a run that opened it just before lock a name no later run sees.
    ::close(FFd);
    FFd = -1;
    if (FFolderFd >= 0) ::close(FFolderFd);
    FFolderFd = -1;
}

}  // namespace Velmora
