#include "platform/win32/Win32FileSystem.h"

#include <algorithm>
#include <cstring>

#include "platform/Errors.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

namespace {

// One system call never moves more than this, whatever the caller asks for.
constexpr std::size_t LargestTransfer = std::size_t{1} << 30;

// The offset of a positioned transfer on a handle opened for plain (not overlapped) use.
OVERLAPPED At(std::int64_t offset)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    return at;
}

}  // namespace

// ---------------------------------------------------------------- TWin32File

TWin32File::TWin32File(HANDLE handle, std::string path, std::size_t bufferSize)
    : FHandle(handle), FPath(std::move(path)), FBufferSize(std::max<std::size_t>(bufferSize, 1))
{
}

TWin32File::~TWin32File()
{
    if (FHandle == INVALID_HANDLE_VALUE) return;
    try {
        Flush();
    } catch (...) {
        // Nobody is left to tell; a caller that cares calls Close.
    }
    CloseHandle(FHandle);
}

std::int64_t TWin32File::Size()
{
    RequireOpen();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(FHandle, &size)) Fail("无法读取文件“" + FPath + "”的大小：");
    std::int64_t result = size.QuadPart;
    if (FMode == TMode::Writing) {
        result = std::max<std::int64_t>(result, FBufferStart + static_cast<std::int64_t>(FBufferLength));
    }
    return result;
}

void TWin32File::Seek(std::int64_t position)
{
    RequireOpen();
    if (position < 0) throw EInOutError("文件“" + FPath + "”的读写位置不能为负数");
    // Pending bytes are appended at the end of the buffer only; a jump elsewhere writes them first.
    if (FMode == TMode::Writing && position != FPosition) Flush();
    FPosition = position;
}

void TWin32File::DropReadAhead()
{
    FMode = TMode::Idle;
    FBufferStart = FPosition;
    FBufferLength = 0;
}

DWORD TWin32File::ReadAt(char* data, DWORD count, std::int64_t offset)
{
    OVERLAPPED at = At(offset);
    DWORD done = 0;
    if (!ReadFile(FHandle, data, count, &done, &at)) {
        // A positioned read past the end says so instead of answering 0 bytes.
        if (GetLastError() == ERROR_HANDLE_EOF) return 0;
        Fail("读取文件“" + FPath + "”失败：");
    }
    return done;
}

std::int64_t TWin32File::Read(void* buffer, std::int64_t count)
{
    RequireOpen();
    if (count < 0) throw EInOutError("读取文件“" + FPath + "”失败：字节数不能为负数");
    if (count == 0) return 0;
    if (FMode == TMode::Writing) Flush();

    char* out = static_cast<char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t wanted = count - done;
        if (FMode == TMode::Reading && FPosition >= FBufferStart &&
            FPosition < FBufferStart + static_cast<std::int64_t>(FBufferLength)) {
            const std::int64_t available = FBufferStart + static_cast<std::int64_t>(FBufferLength) - FPosition;
            const std::int64_t n = std::min(wanted, available);
            std::memcpy(out + done, FBuffer.get() + (FPosition - FBufferStart), static_cast<std::size_t>(n));
            FPosition += n;
            done += n;
            continue;
        }
        if (static_cast<std::uint64_t>(wanted) >= FBufferSize) {
            // Large requests go straight to the caller's memory; copying them twice gains nothing.
            const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(wanted, LargestTransfer));
            const DWORD got = ReadAt(out + done, chunk, FPosition);
            if (got == 0) break;
            FPosition += got;
            done += got;
            continue;
        }
        if (!FBuffer) FBuffer = std::make_unique<char[]>(FBufferSize);
        DWORD got = 0;
        try {
            got = ReadAt(FBuffer.get(), static_cast<DWORD>(FBufferSize), FPosition);
        } catch (...) {
            DropReadAhead();
            throw;
        }
        FMode = TMode::Reading;
        FBufferStart = FPosition;
        FBufferLength = got;
        if (got == 0) break;
    }
    return done;
}

void TWin32File::WriteThrough(const char* data, std::size_t count, std::int64_t offset)
{
    while (count > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min(count, LargestTransfer));
        OVERLAPPED at = At(offset);
        DWORD put = 0;
        if (!WriteFile(FHandle, data, chunk, &put, &at)) Fail("写入文件“" + FPath + "”失败：");
        if (put == 0) throw EInOutError("写入文件“" + FPath + "”失败：没有写入任何字节");
        data += put;
        count -= put;
        offset += put;
    }
}

void TWin32File::Write(const void* buffer, std::int64_t count)
{
    RequireOpen();
    if (count < 0) throw EInOutError("写入文件“" + FPath + "”失败：字节数不能为负数");
    if (count == 0) return;
    if (FMode == TMode::Reading) DropReadAhead();
    if (FMode == TMode::Writing && FPosition != FBufferStart + static_cast<std::int64_t>(FBufferLength)) Flush();
    if (FMode != TMode::Writing) {
        if (!FBuffer) FBuffer = std::make_unique<char[]>(FBufferSize);
        FMode = TMode::Writing;
        FBufferStart = FPosition;
        FBufferLength = 0;
    }

    const char* data = static_cast<const char*>(buffer);
    std::uint64_t remaining = static_cast<std::uint64_t>(count);
    while (remaining > 0) {
        if (FBufferLength == 0 && remaining >= FBufferSize) {
            WriteThrough(data, static_cast<std::size_t>(remaining), FPosition);
            FPosition += static_cast<std::int64_t>(remaining);
            FBufferStart = FPosition;
            return;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, FBufferSize - FBufferLength));
        std::memcpy(FBuffer.get() + FBufferLength, data, n);
        FBufferLength += n;
        FPosition += static_cast<std::int64_t>(n);
        data += n;
        remaining -= n;
        if (FBufferLength == FBufferSize) {
            Flush();
            FMode = TMode::Writing;
        }
    }
}

void TWin32File::Flush()
{
    if (FMode == TMode::Writing && FBufferLength > 0) {
        const std::size_t length = FBufferLength;
        const std::int64_t start = FBufferStart;
        // The bytes are given up whether or not they land: a failure is raised once,
        // not again from the destructor.
        FBufferLength = 0;
        FBufferStart = FPosition;
        WriteThrough(FBuffer.get(), length, start);
    }
    FMode = TMode::Idle;
    FBufferStart = FPosition;
    FBufferLength = 0;
}

// The last buffered bytes are written here; their failure is the copy's failure.
void TWin32File::Close()
{
    if (FHandle == INVALID_HANDLE_VALUE) return;
    HANDLE handle = FHandle;
    try {
        Flush();
    } catch (...) {
        FHandle = INVALID_HANDLE_VALUE;
        CloseHandle(handle);
        throw;
    }
    FHandle = INVALID_HANDLE_VALUE;
    if (!CloseHandle(handle)) Fail("关闭文件“" + FPath + "”失败：");
}

void TWin32File::RequireOpen() const
{
    if (FHandle == INVALID_HANDLE_VALUE) throw EInOutError("文件“" + FPath + "”已经关闭");
}

void TWin32File::Fail(const std::string& what) { throw EInOutError(what + SystemErrorText(GetLastError())); }

// ---------------------------------------------------------------- TWin32FileSystem

namespace {

// Closes a handle unless it has been handed on.
class THandleGuard {
public:
    explicit THandleGuard(HANDLE handle) : FHandle(handle) {}
    ~THandleGuard()
    {
        if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
    }
    THandleGuard(const THandleGuard&) = delete;
    THandleGuard& operator=(const THandleGuard&) = delete;
    HANDLE Get() const { return FHandle; }
    HANDLE Release()
    {
        HANDLE handle = FHandle;
        FHandle = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE FHandle;
};

[[noreturn]] void Refuse(const char* failure, const std::string& path, const std::string& reason)
{
    throw EVelmoraError(std::string(failure) + "“" + path + "”：" + reason);
}

HANDLE OpenHandle(const std::string& path, DWORD access, DWORD disposition, DWORD flags, const char* failure)
{
    const std::wstring widePath = ToWide(path);
    // No sharing: the backup cannot change under the copy, and nobody sees a half-written copy.
    HANDLE handle = CreateFileW(widePath.c_str(), access, 0, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) Refuse(failure, path, SystemErrorText(GetLastError()));
    return handle;
}

// A pipe or a device would block or answer without end; only a file on a disk is copied.
void RequireDiskFile(HANDLE handle, const std::string& path, const char* failure)
{
    if (GetFileType(handle) != FILE_TYPE_DISK) Refuse(failure, path, "这不是磁盘上的普通文件");
}

}  // namespace

std::unique_ptr<IFile> TWin32FileSystem::OpenReadExclusive(const std::string& path)
{
    const char* failure = "无法打开文件";
    THandleGuard handle(OpenHandle(path, GENERIC_READ, OPEN_EXISTING, 0, failure));
    RequireDiskFile(handle.Get(), path, failure);
    return std::make_unique<TWin32File>(handle.Release(), path, FBufferSize);
}

std::unique_ptr<IFile> TWin32FileSystem::CreateExclusive(const std::string& path)
{
    const char* failure = "无法创建文件";
    // The link itself is opened, never what it points to; and an existing file is
    // opened as it is, so that a refused one is left untouched. It is emptied only
    // once it is known to be an ordinary file.
    THandleGuard handle(
        OpenHandle(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, failure));
    RequireDiskFile(handle.Get(), path, failure);
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle.Get(), &information)) {
        Refuse(failure, path, SystemErrorText(GetLastError()));
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        Refuse(failure, path, "这是一个链接（重解析点），不会写到它所指向的位置");
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle.Get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(handle.Get())) {
        Refuse(failure, path, SystemErrorText(GetLastError()));
    }
    return std::make_unique<TWin32File>(handle.Release(), path, FBufferSize);
}

bool TWin32FileSystem::DeleteFile(const std::string& path)
{
    return DeleteFileW(ToWide(path).c_str()) != FALSE;
}

bool TWin32FileSystem::IsLinkOrSpecial(const std::string& path)
{
    const DWORD attributes = GetFileAttributesW(ToWide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        throw EVelmoraError("无法查看文件“" + path + "”：" + SystemErrorText(error));
    }
    return (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

}  // namespace Velmora
