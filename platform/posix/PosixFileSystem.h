#pragma once
// Files on a POSIX system. "Shared with no one" is an exclusive advisory lock
// (flock), so two runs can never stage the same file at once.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/BufferedFile.h"

namespace Velmora {

// The system calls under the open files, in one table as SQLite keeps its own: a
// test puts a function of its own in a slot to have a call fail or move fewer
// bytes, and the adapter handles that as it would the system's own answer.
struct TPosixFileCalls {
    ssize_t (*Pread)(int fd, void* data, size_t count, off_t offset);
    ssize_t (*Pwrite)(int fd, const void* data, size_t count, off_t offset);
    int (*Close)(int fd);
};
extern TPosixFileCalls PosixFileCalls;

// The system's reason for a failure (an errno value), worded in Chinese.
std::string SystemErrorText(int error);
// Why a pipe, a device or a socket is refused where a file is wanted.
extern const char* const NotPlainFile;

class TPosixFile : public TBufferedFile {
public:
    // Takes ownership of fd, which is already open and locked.
    TPosixFile(int fd, std::string path, std::size_t bufferSize = DefaultBufferSize);
    // Writes what is still buffered, best effort: a destructor cannot raise, so a
    // failure here is told on stderr. Call Close first to have it raised.
    ~TPosixFile() override;
    TPosixFile(const TPosixFile&) = delete;
    TPosixFile& operator=(const TPosixFile&) = delete;

    void Close() override;

protected:
    std::size_t ReadAt(char* data, std::size_t count, std::int64_t offset) override;
    std::size_t WriteAt(const char* data, std::size_t count, std::int64_t offset) override;
    std::int64_t StoredSize() override;
    void RequireOpen() const override;

private:
    [[noreturn]] void RaiseIo(const char* action, int error) const;

    int FFd;
};

class TPosixFileSystem : public IFileSystem {
public:
    explicit TPosixFileSystem(std::size_t bufferSize = TPosixFile::DefaultBufferSize) : FBufferSize(bufferSize) {}

    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override;
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override;
    bool DeleteFile(const std::string& path) override;
    std::string PathSeparator() const override { return "/"; }
    bool IsLinkOrSpecial(const std::string& path) override;
    // What an unprivileged user may write (f_bavail), not the blocks kept for root.
    std::int64_t FreeSpace(const std::string& path) override;
    std::int64_t FileSize(const std::string& path) override;

private:
    std::size_t FBufferSize;
};

}  // namespace Velmora
