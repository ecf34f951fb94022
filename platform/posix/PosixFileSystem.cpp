#include "platform/posix/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/Errors.h"
#include "platform/posix/TerminalText.h"

namespace Velmora {

TPosixFileCalls PosixFileCalls = {::pread, ::pwrite, ::close};

namespace {

// Closes a descriptor unless it has been handed on.
class TFdGuard {
public:
    explicit TFdGuard(int fd) : FFd(fd) {}
    ~TFdGuard()
    {
        if (FFd >= 0) PosixFileCalls.Close(FFd);
    }
    TFdGuard(const TFdGuard&) = delete;
    TFdGuard& operator=(const TFdGuard&) = delete;
    int Release()
    {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }

private:
    int FFd;
};

void LockExclusive(int fd, const std::string& path, const char* verb)
{
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return;
    const int error = errno;
    if (error == EWOULDBLOCK) {
        throw EVelmoraError(std::string("无法") + verb + "文件“" + path + "”：文件正被另一程序使用");
    }
    // A file system without locks (some network mounts) still lets the copy go on;
    // refusing every file there would make the plug-in useless on it. NFS emulates
    // these locks with byte-range ones, which refuse an exclusive lock on a file
    // opened only for reading (EBADF): the target's lock still keeps two runs apart.
    if (error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == EBADF) return;
    throw EVelmoraError(std::string("无法") + verb + "文件“" + path + "”：" + SystemErrorText(error));
}

// Opening failures of a name that must be a plain file. ELOOP with O_NOFOLLOW and
// ENXIO with O_NONBLOCK are how the system says "a link" and "a pipe without a
// reader"; their general texts would puzzle the user.
std::string OpenReason(int error)
{
    if (error == ELOOP) return "这是一个符号链接，为免改动别处的文件，不会跟随它";
    if (error == ENXIO) return NotPlainFile;
    return SystemErrorText(error);
}

// Only a plain file is copied or written: a pipe or a device would block the run or
// never end, a folder cannot be copied.
void RequirePlainFile(int fd, const std::string& path, const char* verb)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw EVelmoraError(std::string("无法") + verb + "文件“" + path + "”：" + SystemErrorText(errno));
    if (S_ISDIR(info.st_mode)) throw EVelmoraError(std::string("无法") + verb + "文件“" + path + "”：这是一个文件夹");
    if (!S_ISREG(info.st_mode)) throw EVelmoraError(std::string("无法") + verb + "文件“" + path + "”：" + NotPlainFile);
}

// Back to blocking reads and writes, which the buffered file expects.
void ClearNonBlocking(int fd, const std::string& path, const char* verb)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        throw EVelmoraError(std::string("无法") + verb + "文件“" + path + "”：" + SystemErrorText(errno));
    }
}

}  // namespace

const char* const NotPlainFile = "这不是普通文件（可能是管道、设备或套接字）";

// Worded here rather than by strerror, whose text follows the locale's language and
// code page while the program's texts are UTF-8 Chinese.
std::string SystemErrorText(int error)
{
    switch (error) {
    case ENOENT:
        return "文件或文件夹不存在";
    case ENOTDIR:
        return "路径中的某一部分不是文件夹";
    case EISDIR:
        return "这是一个文件夹，不是文件";
    case EACCES:
    case EPERM:
        return "没有访问权限";
    case EROFS:
        return "文件系统只读";
    case ENOSPC:
        return "磁盘空间不足";
    case EDQUOT:
        return "超出磁盘配额";
    case EIO:
        return "输入输出错误";
    case EMFILE:
    case ENFILE:
        return "打开的文件太多";
    case ENAMETOOLONG:
        return "文件名太长";
    case EFBIG:
    case EOVERFLOW:
        return "文件太大";
    case EWOULDBLOCK:
        return "文件正被另一程序使用";
    case ELOOP:
        return "符号链接太多或循环指向自身";
    case ENXIO:
    case ENODEV:
        return "设备不存在或未就绪";
    case EBUSY:
        return "设备或资源正忙";
    case ETXTBSY:
        return "文件正被执行，不能写入";
    case EEXIST:
        return "文件已存在";
    case ENOMEM:
        return "内存不足";
    case EINVAL:
        return "参数无效";
    case EBADF:
        return "文件未打开或已关闭";
    case EPIPE:
        return "读取的一方已关闭";
    case ESPIPE:
        return "文件不能定位读写位置";
    case ESTALE:
        return "网络文件已失效";
    case ETIMEDOUT:
        return "操作超时";
    case ENOLCK:
        return "没有可用的文件锁";
    case EXDEV:
        return "不能跨文件系统操作";
    case ENOTEMPTY:
        return "文件夹不是空的";
    default:
        return "未知的系统错误（代码 " + std::to_string(error) + "）";
    }
}

// ---------------------------------------------------------------- TPosixFile

TPosixFile::TPosixFile(int fd, std::string path, std::size_t bufferSize)
    : TBufferedFile(std::move(path), bufferSize), FFd(fd)
{
}

TPosixFile::~TPosixFile()
{
    if (FFd < 0) return;
    try {
        Flush();
    } catch (const std::exception& error) {
        const std::string text = "[错误] " + TerminalText::Sanitize(error.what()) + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    }
    if (PosixFileCalls.Close(FFd) != 0 && errno != EINTR) {
        const std::string text = "[错误] 关闭文件“" + TerminalText::Sanitize(Path()) + "”失败：" + SystemErrorText(errno) + "\n";
        [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    }
}

void TPosixFile::RaiseIo(const char* action, int error) const
{
    throw EInOutError(std::string(action) + "文件“" + Path() + "”失败：" + SystemErrorText(error));
}

void TPosixFile::RequireOpen() const
{
    if (FFd < 0) throw EInOutError("文件“" + Path() + "”已经关闭");
}

std::int64_t TPosixFile::StoredSize()
{
    struct stat info {};
    if (::fstat(FFd, &info) != 0) RaiseIo("读取", errno);
    return info.st_size;
}

std::size_t TPosixFile::ReadAt(char* data, std::size_t count, std::int64_t offset)
{
    ssize_t got;
    do {
        got = PosixFileCalls.Pread(FFd, data, count, offset);
    } while (got < 0 && errno == EINTR);
    if (got < 0) RaiseIo("读取", errno);
    return static_cast<std::size_t>(got);
}

std::size_t TPosixFile::WriteAt(const char* data, std::size_t count, std::int64_t offset)
{
    ssize_t put;
    do {
        put = PosixFileCalls.Pwrite(FFd, data, count, offset);
    } while (put < 0 && errno == EINTR);
    if (put < 0) RaiseIo("写入", errno);
    if (put == 0) RaiseIo("写入", ENOSPC);
    return static_cast<std::size_t>(put);
}

void TPosixFile::Close()
{
    if (FFd < 0) return;
    Flush();
    const int fd = FFd;
    FFd = -1;
    if (PosixFileCalls.Close(fd) != 0 && errno != EINTR) RaiseIo("关闭", errno);
}

// ---------------------------------------------------------------- TPosixFileSystem

std::unique_ptr<IFile> TPosixFileSystem::OpenReadExclusive(const std::string& path)
{
    // Non-blocking, so that a pipe under the backup's name is refused here instead of
    // waiting for a writer for ever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw EVelmoraError("无法打开文件“" + path + "”：" + SystemErrorText(errno));
    TFdGuard guard(fd);
    RequirePlainFile(fd, path, "打开");
    ClearNonBlocking(fd, path, "打开");
    LockExclusive(fd, path, "打开");
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<TPosixFile>(guard.Release(), path, FBufferSize);
}

std::unique_ptr<IFile> TPosixFileSystem::CreateExclusive(const std::string& path)
{
    // No O_TRUNC: a file that another run holds must not be cut short before its
    // lock has been asked for. Truncation comes once the lock is ours. A link under
    // the name is not followed: it could aim the copy at any file the user may write.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) throw EVelmoraError("无法创建文件“" + path + "”：" + OpenReason(errno));
    TFdGuard guard(fd);
    RequirePlainFile(fd, path, "创建");
    ClearNonBlocking(fd, path, "创建");
    LockExclusive(fd, path, "创建");
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw EVelmoraError("无法创建文件“" + path + "”：" + SystemErrorText(errno));
    // A second name of the same file, perhaps outside the work folder, would have its
    // contents replaced by the copy just as a symbolic link would.
    if (info.st_nlink > 1) {
        throw EVelmoraError("无法创建文件“" + path + "”：这个文件另有硬链接，为免改动别处的文件，不会写入它");
    }
    if (info.st_size != 0 && ::ftruncate(fd, 0) != 0) {
        throw EVelmoraError("无法创建文件“" + path + "”：" + SystemErrorText(errno));
    }
    return std::make_unique<TPosixFile>(guard.Release(), path, FBufferSize);
}

bool TPosixFileSystem::DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool TPosixFileSystem::IsLinkOrSpecial(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) return !S_ISREG(info.st_mode);
    if (errno == ENOENT) return false;
    throw EVelmoraError("无法查看文件“" + path + "”：" + SystemErrorText(errno));
}

std::int64_t TPosixFileSystem::FileSize(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<std::int64_t>(info.st_size);
}

std::int64_t TPosixFileSystem::FreeSpace(const std::string& path)
{
    struct statvfs volume {};
    if (::statvfs(path.c_str(), &volume) != 0) {
        throw EVelmoraError("无法查看“" + path + "”所在磁盘的可用空间：" + SystemErrorText(errno));
    }
    const unsigned long long bytes = static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize;
    return bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(bytes);
}

}  // namespace Velmora
