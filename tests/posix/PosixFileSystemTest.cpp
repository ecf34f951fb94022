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

// The copy step's loop, piece by piece.
void CopyInPieces(IFileSystem& files, const std::string& source, const std::string& target, std::int64_t piece)
{
    auto in = files.OpenReadExclusive(source);
    auto out = files.CreateExclusive(target);
    const std::int64_t size = in->Size();
    in->Seek(0);
    std::vector<char> buffer(static_cast<std::size_t>(piece));
    while (in->Position() < size) {
        const std::int64_t got = in->Read(buffer.data(), piece);
        ASSERT_GT(got, 0);
        out->Write(buffer.data(), got);
    }
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

class PosixFileBuffers : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PosixFileBuffers, CopiesInOddPiecesArriveByteForByte)
{
    TTempDir dir;
    TPosixFileSystem files(GetParam());
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1024}, std::size_t{1025},
                                   std::size_t{1026}, std::size_t{3 * 1025 + 17}, std::size_t{(1 << 20) + 3}}) {
        const std::string content = RandomBytes(size, static_cast<unsigned>(size));
        WriteWholeFile(dir / "source", content);
        CopyInPieces(files, dir / "source", dir / "target", 1025);
        ASSERT_EQ(ReadWholeFile(dir / "target"), content) << "size " << size;
    }
}

TEST_P(PosixFileBuffers, PositionSizeAndSeekFollowTheBufferedState)
{
    TTempDir dir;
    TPosixFileSystem files(GetParam());
    const std::string content = RandomBytes(10000, 7);
    WriteWholeFile(dir / "source", content);

    auto in = files.OpenReadExclusive(dir / "source");
    EXPECT_EQ(in->Size(), 10000);
    char buffer[1025];
    EXPECT_EQ(in->Read(buffer, 1025), 1025);
    EXPECT_EQ(in->Position(), 1025);
    EXPECT_EQ(std::string(buffer, 1025), content.substr(0, 1025));
    in->Seek(9500);
    EXPECT_EQ(in->Read(buffer, 1025), 500);
    EXPECT_EQ(std::string(buffer, 500), content.substr(9500));
    EXPECT_EQ(in->Read(buffer, 1025), 0);
    in->Seek(3);
    EXPECT_EQ(in->Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), content.substr(3, 4));
    EXPECT_THROW(in->Seek(-1), EInOutError);

    auto out = files.CreateExclusive(dir / "target");
    out->Write(content.data(), 3000);
    // Bytes still in the write-behind buffer count.
    EXPECT_EQ(out->Size(), 3000);
    EXPECT_EQ(out->Position(), 3000);
    out->Seek(10);
    out->Write("XY", 2);
    out->Seek(3000);
    out->Write(content.data() + 3000, 7000);
    out.reset();
    std::string expected = content;
    expected.replace(10, 2, "XY");
    EXPECT_EQ(ReadWholeFile(dir / "target"), expected);
}

INSTANTIATE_TEST_SUITE_P(BufferSizes, PosixFileBuffers,
                         ::testing::Values(std::size_t{1}, std::size_t{7}, std::size_t{1024}, std::size_t{1025},
                                           TPosixFile::DefaultBufferSize));

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

TEST(PosixFileSystem, WriteFailuresAreRaisedNotLost)
{
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    // The files port refuses a device as a target, so the file is put on it by hand.
    const auto openFull = [] {
        return std::make_unique<TPosixFile>(::open("/dev/full", O_WRONLY | O_CLOEXEC), "/dev/full");
    };
    {
        // Failing when the write-behind buffer fills.
        auto out = openFull();
        const std::string piece(1025, 'x');
        const std::string message = MessageOf<EInOutError>([&] {
            for (int i = 0; i < 2048; ++i) out->Write(piece.data(), 1025);
        });
        EXPECT_NE(message.find("/dev/full"), std::string::npos) << message;
        EXPECT_NE(message.find("磁盘空间不足"), std::string::npos) << message;
    }
    {
        // An explicit flush raises what is still buffered.
        auto out = openFull();
        out->Write("tail", 4);
        EXPECT_THROW(out->Flush(), EInOutError);
    }
    // A file closed without a flush cannot raise, but says so on stderr.
    PosixTest::TCapture err;
    {
        PosixTest::TRedirect toCapture(2, err.Fd());
        auto out = openFull();
        out->Write("tail", 4);
        EXPECT_NO_THROW(out.reset());
    }
    EXPECT_NE(err.Text().find("/dev/full"), std::string::npos) << err.Text();
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
