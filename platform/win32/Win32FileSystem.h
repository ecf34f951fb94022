#pragma once
// Files through CreateFileW, shared with no one, with 64-bit sizes and positions.
// Each open file keeps one buffer of read-ahead or write-behind data and its own
// position: the copy step works in pieces of about a kilobyte, and a system call per
// piece makes a copy from a network share crawl.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

// One open file: what OpenReadExclusive and CreateExclusive answer.
class TWin32File : public IFile {
public:
    // As on POSIX: system calls rare, both files' buffers still in the processor's cache.
    static constexpr std::size_t DefaultBufferSize = 256 * 1024;

    TWin32File(HANDLE handle, std::string path, std::size_t bufferSize = DefaultBufferSize);
    // Writes what is still buffered, best effort: a destructor cannot raise. Call
    // Close first to have a failure raised.
    ~TWin32File() override;
    TWin32File(const TWin32File&) = delete;
    TWin32File& operator=(const TWin32File&) = delete;

    std::int64_t Size() override;
    std::int64_t Position() override { return FPosition; }
    void Seek(std::int64_t position) override;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    void Write(const void* buffer, std::int64_t count) override;
    void Close() override;

    // Hands buffered bytes to the system; raises EInOutError when that fails.
    void Flush();
    // For system calls the port has no word for (INVALID_HANDLE_VALUE once closed).
    // Buffered bytes are not yet in the file: Flush first.
    HANDLE Handle() const { return FHandle; }

private:
    enum class TMode { Idle, Reading, Writing };

    void RequireOpen() const;
    void DropReadAhead();
    DWORD ReadAt(char* data, DWORD count, std::int64_t offset);
    void WriteThrough(const char* data, std::size_t count, std::int64_t offset);
    [[noreturn]] void Fail(const std::string& what);

    HANDLE FHandle;
    std::string FPath;
    std::size_t FBufferSize;
    std::unique_ptr<char[]> FBuffer;
    TMode FMode = TMode::Idle;
    // File offset of FBuffer[0] and the number of valid (reading) or pending (writing) bytes.
    std::int64_t FBufferStart = 0;
    std::size_t FBufferLength = 0;
    std::int64_t FPosition = 0;
};

// Both opens refuse what is not a file on a disk (a pipe, a device); the copy's
// target is never a link or other reparse point, so it cannot write outside the
// folder it names.
class TWin32FileSystem : public IFileSystem {
public:
    explicit TWin32FileSystem(std::size_t bufferSize = TWin32File::DefaultBufferSize) : FBufferSize(bufferSize) {}

    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override;
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override;
    bool DeleteFile(const std::string& path) override;
    // A reparse point (a link or a junction), a folder or a device; the name itself
    // is looked at, never what a link points to.
    bool IsLinkOrSpecial(const std::string& path) override;
    std::string PathSeparator() const override { return "\\"; }

private:
    std::size_t FBufferSize;
};

}  // namespace Velmora
