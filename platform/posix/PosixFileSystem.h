#pragma once
// Files on a POSIX system. "Shared with no one" is an exclusive advisory lock
// (flock), so two runs can never stage the same file at once. Each open file
// keeps one buffer of read-ahead or write-behind data and its own position: the
// copy step works in pieces of about a kilobyte, and a system call per piece
// would make a multi-gigabyte copy crawl.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Files.h"

namespace Velmora {

// The system's reason for a failure (an errno value), worded in Chinese.
std::string SystemErrorText(int error);
// Why a pipe, a device or a socket is refused where a file is wanted.
extern const char* const NotPlainFile;

class TPosixFile : public IFile {
public:
    // Big enough that system calls are rare, small enough that the buffers of both
    // files stay in the processor's cache: at 1 MiB the copy measured half as fast.
    static constexpr std::size_t DefaultBufferSize = 256 * 1024;

    // Takes ownership of fd, which is already open and locked.
    TPosixFile(int fd, std::string path, std::size_t bufferSize = DefaultBufferSize);
    // Writes what is still buffered, best effort: a destructor cannot raise, so a
    // failure here is told on stderr. Call Close first to have it raised.
    ~TPosixFile() override;
    TPosixFile(const TPosixFile&) = delete;
    TPosixFile& operator=(const TPosixFile&) = delete;

    std::int64_t Size() override;
    std::int64_t Position() override { return FPosition; }
    void Seek(std::int64_t position) override;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    void Write(const void* buffer, std::int64_t count) override;
    void Close() override;

    // Hands buffered bytes to the system; raises EInOutError when that fails.
    void Flush();
    const std::string& Path() const { return FPath; }

private:
    enum class TMode { Idle, Reading, Writing };

    void DropReadAhead();
    void WriteThrough(const char* data, std::size_t count, std::int64_t offset);
    [[noreturn]] void RaiseIo(const char* action, int error) const;

    int FFd;
    std::string FPath;
    std::size_t FBufferSize;
    std::unique_ptr<char[]> FBuffer;
    TMode FMode = TMode::Idle;
    // File offset of FBuffer[0] and the number of valid (reading) or pending (writing) bytes.
    std::int64_t FBufferStart = 0;
    std::size_t FBufferLength = 0;
    std::int64_t FPosition = 0;
};

class TPosixFileSystem : public IFileSystem {
public:
    explicit TPosixFileSystem(std::size_t bufferSize = TPosixFile::DefaultBufferSize) : FBufferSize(bufferSize) {}

    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override;
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override;
    bool DeleteFile(const std::string& path) override;
    std::string PathSeparator() const override { return "/"; }
    bool IsLinkOrSpecial(const std::string& path) override;

private:
    std::size_t FBufferSize;
};

}  // namespace Velmora
