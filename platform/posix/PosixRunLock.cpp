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
    if (fd < 0) throw EVelmoraError("无法打开运行锁文件“" + path + "”：" + SystemErrorText(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw EVelmoraError("无法打开运行锁文件“" + path + "”：这不是普通文件");
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return false;
        throw EVelmoraError("无法锁定运行锁文件“" + path + "”：" + SystemErrorText(error));
    }
    FFd = fd;
    return true;
}

void TPosixRunLock::Release() noexcept
{
    if (FFd < 0) return;
    // Closing the last descriptor drops the lock. The file stays: removing it would
    // let a run that opened it just before lock a name no later run sees.
    ::close(FFd);
    FFd = -1;
}

}  // namespace Velmora
