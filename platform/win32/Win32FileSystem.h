#pragma once
// Files through CreateFileW, shared with no one, with 64-bit sizes and positions.

#include <string>

#include "platform/Files.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

// One open file: what OpenReadExclusive and CreateExclusive answer.
class TWin32File : public IFile {
public:
    TWin32File(HANDLE handle, std::string path);
    ~TWin32File() override;
    TWin32File(const TWin32File&) = delete;
    TWin32File& operator=(const TWin32File&) = delete;

    std::int64_t Size() override;
    std::int64_t Position() override;
    void Seek(std::int64_t position) override;
    std::int64_t Read(void* buffer, std::int64_t count) override;
    void Write(const void* buffer, std::int64_t count) override;
    void Close() override;

    // For system calls the port has no word for (INVALID_HANDLE_VALUE once closed).
    HANDLE Handle() const { return FHandle; }

private:
    void RequireOpen() const;
    std::int64_t MovePointer(std::int64_t distance, DWORD method);
    [[noreturn]] void Fail(const std::string& what);

    HANDLE FHandle;
    std::string FPath;
};

class TWin32FileSystem : public IFileSystem {
public:
    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override;
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override;
    bool DeleteFile(const std::string& path) override;
    std::string PathSeparator() const override { return "\\"; }
};

}  // namespace Velmora
