#pragma once
// Files through CreateFileW, shared with no one, with 64-bit sizes and positions.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/BufferedFile.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora {

// One open file: what OpenReadExclusive and CreateExclusive answer.
class TWin32File : public TBufferedFile {
public:
    TWin32File(HANDLE handle, std::string path, std::size_t bufferSize = DefaultBufferSize);
    // Writes what is still buffered, best effort: a destructor cannot raise. Call
    // Close first to have a failure raised.
    ~TWin32File() override;
    TWin32File(const TWin32File&) = delete;
    TWin32File& operator=(const TWin32File&) = delete;

    void Close() override;

    // For system calls the port has no word for (INVALID_HANDLE_VALUE once closed).
    // Buffered bytes are not yet in the file: Flush first.
    HANDLE Handle() const { return FHandle.Get(); }

protected:
    std::size_t ReadAt(char* data, std::size_t count, std::int64_t offset) override;
    std::size_t WriteAt(const char* data, std::size_t count, std::int64_t offset) override;
    std::int64_t StoredSize() override;
    void RequireOpen() const override;

private:
    static constexpr std::int64_t Unknown = -1;

    void MoveTo(std::int64_t offset);
    [[noreturn]] void Fail(const std::string& what);

    TFileHandle FHandle;
    // Where the handle's own file pointer stands; Unknown after a failed transfer.
    std::int64_t FHandlePosition = 0;
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
    // The caller's share of the volume, as disk quotas leave it.
    std::int64_t FreeSpace(const std::string& path) override;
    std::int64_t FileSize(const std::string& path) override;
    std::string PathSeparator() const override { return "\\"; }

private:
    std::size_t FBufferSize;
};

}  // namespace Velmora
