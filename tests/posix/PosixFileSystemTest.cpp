#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>

#include "platform/Errors.h"
#include "platform/posix/PosixFileSystem.h"
#include "platform/posix/PosixRunLock.h"
#include "tests/posix/PosixTestSupport.h"

namespace Velmora {
namespace {

using PosixTest::ReadWholeFile;
using PosixTest::TTempDir;
using PosixTest::WriteWholeFile;

std::string RandomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

template <typename TError>
std::string MessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const TError& error) {
        return error.what();
    }
    return "(nothing raised)";
}

TEST(PosixFileSystem, AnOpenFileIsLockedAgainstEverySecondOpen)
{
    TTempDir dir;
    const std::string path = dir / "backup.bak";
    WriteWholeFile(path, "held by the first run");
    TPosixFileSystem files;

    auto first = files.OpenReadExclusive(path);
    const std::string reading = MessageOf<EVelmoraError>([&] { files.OpenReadExclusive(path); });
    EXPECT_NE(reading.find("文件正被另一程序使用"), std::string::npos) << reading;
    EXPECT_NE(reading.find(path), std::string::npos) << reading;

    // A second run must not cut short the file the first one is copying.
    const std::string creating = MessageOf<EVelmoraError>([&] { files.CreateExclusive(path); });
    EXPECT_NE(creating.find("文件正被另一程序使用"), std::string::npos) << creating;
    EXPECT_EQ(ReadWholeFile(path), "held by the first run");

    first.reset();
    EXPECT_NO_THROW(files.OpenReadExclusive(path));
}

TEST(PosixFileSystem, ATargetBeingWrittenIsLockedToo)
{
    TTempDir dir;
    const std::string path = dir / "ufdatawk.temp";
    TPosixFileSystem files;
    auto writer = files.CreateExclusive(path);
    writer->Write("abc", 3);
    EXPECT_THROW(files.OpenReadExclusive(path), EVelmoraError);
    EXPECT_THROW(files.CreateExclusive(path), EVelmoraError);
}

TEST(PosixFileSystem, CreateReplacesAnExistingFile)
{
    TTempDir dir;
    const std::string path = dir / "ufdatawk.temp";
    WriteWholeFile(path, std::string(5000, 'o'));
    TPosixFileSystem files;
    {
        auto file = files.CreateExclusive(path);
        EXPECT_EQ(file->Size(), 0);
        file->Write("new", 3);
    }
    EXPECT_EQ(ReadWholeFile(path), "new");
}

TEST(PosixFileSystem, OpenFailuresNameTheFileAndTheReason)
{
    TTempDir dir;
    TPosixFileSystem files;
    const std::string missing = dir / "missing.bak";
    const std::string reading = MessageOf<EVelmoraError>([&] { files.OpenReadExclusive(missing); });
    EXPECT_NE(reading.find(missing), std::string::npos);
    EXPECT_NE(reading.find("文件或文件夹不存在"), std::string::npos) << reading;
    // An open failure is not a read failure: the copy step must not swallow it.
    EXPECT_THROW(
        {
            try {
                files.OpenReadExclusive(missing);
            } catch (const EInOutError&) {
                FAIL() << "an open failure was raised as a read failure";
            }
        },
        EVelmoraError);

    const std::string noFolder = dir / "TempLateTemp/ufdatawk.temp";
    const std::string creating = MessageOf<EVelmoraError>([&] { files.CreateExclusive(noFolder); });
    EXPECT_NE(creating.find(noFolder), std::string::npos);

    const std::string folder = MessageOf<EVelmoraError>([&] { files.OpenReadExclusive(dir.Path()); });
    EXPECT_NE(folder.find("文件夹"), std::string::npos) << folder;
    EXPECT_EQ(MessageOf<EVelmoraError>([&] { files.OpenReadExclusive("/dev/null"); }),
              "无法打开文件“/dev/null”：这不是普通文件（可能是管道、设备或套接字）");
}

TEST(PosixFileSystem, LinksAndSpecialFilesAreToldApartFromPlainFiles)
{
    TTempDir dir;
    TPosixFileSystem files;
    WriteWholeFile(dir / "plain", "x");
    ASSERT_EQ(::symlink((dir / "plain").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_FALSE(files.IsLinkOrSpecial(dir / "absent"));
    EXPECT_FALSE(files.IsLinkOrSpecial(dir / "plain"));
    EXPECT_TRUE(files.IsLinkOrSpecial(dir / "link"));
    EXPECT_TRUE(files.IsLinkOrSpecial(dir / "dangling"));
    EXPECT_TRUE(files.IsLinkOrSpecial(dir / "pipe"));
    EXPECT_TRUE(files.IsLinkOrSpecial(dir.Path()));
    // Only a plain file has a size that a restore would free by replacing it.
    EXPECT_EQ(files.FileSize(dir / "plain"), 1);
    for (const char* notAFile : {"absent", "link", "dangling", "pipe"}) {
        EXPECT_EQ(files.FileSize(dir / notAFile), -1) << notAFile;
    }
    EXPECT_EQ(files.FileSize(dir.Path()), -1);
    EXPECT_EQ(MessageOf<EVelmoraError>([&] { files.IsLinkOrSpecial(dir / "plain/ufdata.mdf"); }),
              "无法查看文件“" + dir / "plain/ufdata.mdf" + "”：路径中的某一部分不是文件夹");
}

TEST(PosixFileSystem, RareSystemErrorsAreWordedInChinese)
{
    EXPECT_EQ(SystemErrorText(99999), "未知的系统错误（代码 99999）");
    TTempDir dir;
    ASSERT_EQ(::symlink((dir / "loop").c_str(), (dir / "loop").c_str()), 0);
    TPosixFileSystem files;
    EXPECT_EQ(MessageOf<EVelmoraError>([&] { files.OpenReadExclusive(dir / "loop"); }),
              "无法打开文件“" + dir / "loop" + "”：符号链接太多或循环指向自身");
}

// One holder at a time, in this process or another; a process that dies holds nothing.
TEST(PosixRunLock, OneHolderAtATimeAndNoneOnceItIsGivenBackOrItsProcessDies)
{
    TTempDir dir;
    const std::string server = dir / "server";  // made on first use
    TPosixRunLock first(server);
    TPosixRunLock second(server);
    EXPECT_TRUE(first.TryAcquire());
    EXPECT_FALSE(second.TryAcquire());
    first.Release();
    EXPECT_TRUE(second.TryAcquire());
    second.Release();

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        TPosixRunLock lock(server);
        const char answer = lock.TryAcquire() ? 'y' : 'n';
        [[maybe_unused]] const ssize_t ignored = ::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    EXPECT_FALSE(first.TryAcquire()) << "another process holds it";
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(first.TryAcquire()) << "a killed run holds nothing";
    ::close(ready[0]);
    ::close(ready[1]);

    // Runs with servers of their own still share a work folder, and the work folder gets nothing new.
    ASSERT_TRUE(std::filesystem::create_directory(dir / "work"));
    TPosixRunLock one(dir / "server-1", dir / "work");
    TPosixRunLock other(dir / "server-2", dir / "work");
    EXPECT_TRUE(one.TryAcquire());
    EXPECT_FALSE(other.TryAcquire());
    EXPECT_TRUE(TPosixRunLock(dir / "server-2").TryAcquire()) << "the refused run gave its server back";

    ASSERT_EQ(::unlink((dir / "server-2/preprocess.lock").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "server-2/preprocess.lock").c_str()), 0);
    EXPECT_EQ(MessageOf<EVelmoraError>([&] { TPosixRunLock(dir / "server-2").TryAcquire(); }),
              "无法打开运行锁文件“" + dir / "server-2/preprocess.lock" + "”：它是符号链接");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "work"));
}

TEST(PosixFileSystem, PositionsBeyondFourGigabytes)
{
    TTempDir dir;
    const std::string path = dir / "big.bak";
    const std::int64_t size = 5LL << 30;
    const std::int64_t marker = (4LL << 30) + 12345;
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        const bool sparse = ::ftruncate(fd, size) == 0 && ::pwrite(fd, "MARK", 4, marker) == 4;
        ::close(fd);
        if (!sparse) GTEST_SKIP() << "this file system cannot hold a sparse file of 5 GiB";
    }
    TPosixFileSystem files;
    {
        auto in = files.OpenReadExclusive(path);
        EXPECT_EQ(in->Size(), size);
        in->Seek(marker);
        char buffer[4];
        ASSERT_EQ(in->Read(buffer, 4), 4);
        EXPECT_EQ(std::string(buffer, 4), "MARK");
        EXPECT_EQ(in->Position(), marker + 4);
    }
    const std::string target = dir / "far.bin";
    {
        auto out = files.CreateExclusive(target);
        out->Seek(marker);
        out->Write("FAR", 3);
        EXPECT_EQ(out->Size(), marker + 3);
    }
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, marker + 3);
}

// The Nth call of one kind answers as told instead of the system: fails with an
// errno, moves half of what was asked (Half) or nothing (None).
struct TFault {
    enum TCall { Read, Write, Close } Call;
    int Nth;
    int Error;
    static constexpr int Half = 0, None = -1;
};

class TFaultyCalls {
public:
    explicit TFaultyCalls(TFault fault) : FSaved(PosixFileCalls)
    {
        Fault = fault;
        Counts[0] = Counts[1] = Counts[2] = 0;
        PosixFileCalls = {Pread, Pwrite, Close};
    }
    ~TFaultyCalls() { PosixFileCalls = FSaved; }
    TFaultyCalls(const TFaultyCalls&) = delete;
    TFaultyCalls& operator=(const TFaultyCalls&) = delete;

private:
    static bool Hit(TFault::TCall call) { return ++Counts[call] == Fault.Nth && call == Fault.Call; }
    static ssize_t Fail()
    {
        errno = Fault.Error;
        return -1;
    }
    static ssize_t Pread(int fd, void* data, size_t count, off_t offset)
    {
        if (!Hit(TFault::Read)) return ::pread(fd, data, count, offset);
        if (Fault.Error == TFault::None) return 0;
        return Fault.Error == TFault::Half ? ::pread(fd, data, (count + 1) / 2, offset) : Fail();
    }
    static ssize_t Pwrite(int fd, const void* data, size_t count, off_t offset)
    {
        if (!Hit(TFault::Write)) return ::pwrite(fd, data, count, offset);
        if (Fault.Error == TFault::None) return 0;
        return Fault.Error == TFault::Half ? ::pwrite(fd, data, (count + 1) / 2, offset) : Fail();
    }
    // The descriptor is gone even when close fails, as on Linux.
    static int Close(int fd)
    {
        const int result = ::close(fd);
        return Hit(TFault::Close) ? static_cast<int>(Fail()) : result;
    }

    static inline TFault Fault{};
    static inline int Counts[3]{};
    TPosixFileCalls FSaved;
};

TEST(PosixFileSystem, SystemCallsThatFailOrFallShortAreRetriedOrRaised)
{
    TTempDir dir;
    const std::string source = dir / "ufdata.bak", target = dir / "ufdatawk.temp";
    const std::string content = RandomBytes(5000, 5);
    WriteWholeFile(source, content);
    const struct {
        TFault Fault;
        std::string Raised;  // "" when the copy must arrive whole
    } cases[] = {
        {{TFault::Read, 2, EINTR}, ""},
        {{TFault::Read, 2, TFault::Half}, ""},
        {{TFault::Read, 2, EIO}, "读取文件“" + source + "”失败：输入输出错误"},
        {{TFault::Write, 2, EINTR}, ""},
        {{TFault::Write, 2, TFault::Half}, ""},
        {{TFault::Write, 2, ENOSPC}, "写入文件“" + target + "”失败：磁盘空间不足"},
        {{TFault::Write, 2, TFault::None}, "写入文件“" + target + "”失败：磁盘空间不足"},
        {{TFault::Close, 1, EINTR}, ""},
        {{TFault::Close, 1, EIO}, "关闭文件“" + target + "”失败：输入输出错误"},
    };
    for (const auto& row : cases) {
        const TFault& fault = row.Fault;
        const std::string& raised = row.Raised;
        SCOPED_TRACE(std::to_string(fault.Call) + "/" + std::to_string(fault.Nth) + "/" + std::to_string(fault.Error));
        TPosixFileSystem files(1024);
        auto in = files.OpenReadExclusive(source);
        auto out = files.CreateExclusive(target);
        const std::string message = MessageOf<EInOutError>([&] {
            TFaultyCalls faults(fault);
            std::vector<char> piece(1500);
            for (std::int64_t got; (got = in->Read(piece.data(), 1500)) > 0;) out->Write(piece.data(), got);
            out->Close();
        });
        EXPECT_EQ(message, raised.empty() ? "(nothing raised)" : raised);
        if (raised.empty()) {
            EXPECT_EQ(ReadWholeFile(target), content);
        }
    }

    // A file closed without a flush cannot raise, but says so on stderr.
    PosixTest::TCapture err;
    {
        PosixTest::TRedirect toCapture(2, err.Fd());
        TPosixFileSystem files;
        auto out = files.CreateExclusive(target);
        TFaultyCalls faults({TFault::Write, 1, ENOSPC});
        out->Write("tail", 4);
        EXPECT_NO_THROW(out.reset());
    }
    EXPECT_NE(err.Text().find("写入文件“" + target + "”失败：磁盘空间不足"), std::string::npos) << err.Text();
}

TEST(PosixFileSystem, ReadingAFileOpenedForWritingIsAnInOutError)
{
    TTempDir dir;
    TPosixFileSystem files;
    auto out = files.CreateExclusive(dir / "target");
    char buffer[8];
    EXPECT_THROW(out->Read(buffer, sizeof buffer), EInOutError);
}

TEST(PosixFileSystem, DeleteAndSeparator)
{
    TTempDir dir;
    TPosixFileSystem files;
    WriteWholeFile(dir / "ufdatawk.temp", "x");
    EXPECT_TRUE(files.DeleteFile(dir / "ufdatawk.temp"));
    EXPECT_FALSE(files.DeleteFile(dir / "ufdatawk.temp"));
    EXPECT_EQ(files.PathSeparator(), "/");
}

}  // namespace
}  // namespace Velmora
