#include "platform/win32/Win32FileSystem.h"

#include <algorithm>

#include "platform/Errors.h"
#include "platform/win32/Win32Api.h"

namespace Velmora {

TWin32File::TWin32File(HANDLE handle, std::string path) : FHandle(handle), FPath(std::move(path)) {}

TWin32File::~TWin32File()
{
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
}

std::int64_t TWin32File::Size()
{
    RequireOpen();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(FHandle, &size)) Fail("无法读取文件“" + FPath + "”的大小：");
    return size.QuadPart;
}

std::int64_t TWin32File::Position() { return MovePointer(0, FILE_CURRENT); }

void TWin32File::Seek(std::int64_t position) { MovePointer(position, FILE_BEGIN); }

std::int64_t TWin32File::Read(void* buffer, std::int64_t count)
{
    RequireOpen();
    std::int64_t total = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (total < count) {
        const DWORD piece = static_cast<DWORD>(std::min<std::int64_t>(count - total, 0x40000000));
        DWORD done = 0;
        if (!ReadFile(FHandle, bytes + total, piece, &done, nullptr)) Fail("读取文件“" + FPath + "”失败：");
        if (done == 0) break;
        total += done;
    }
    return total;
}

void TWin32File::Write(const void* buffer, std::int64_t count)
{
    RequireOpen();
    std::int64_t total = 0;
    const auto* bytes = static_cast<const char*>(buffer);
    while (total < count) {
        const DWORD piece = static_cast<DWORD>(std::min<std::int64_t>(count - total, 0x40000000));
        DWORD done = 0;
        if (!WriteFile(FHandle, bytes + total, piece, &done, nullptr)) Fail("写入文件“" + FPath + "”失败：");
        if (done == 0) throw EInOutError("写入文件“" + FPath + "”失败：没有写入任何字节");
        total += done;
    }
}

// Writes go straight to the system; closing is where a deferred failure shows.
void TWin32File::Close()
{
    if (FHandle == INVALID_HANDLE_VALUE) return;
    HANDLE handle = FHandle;
    FHandle = INVALID_HANDLE_VALUE;
    if (!CloseHandle(handle)) Fail("关闭文件“" + FPath + "”失败：");
}

void TWin32File::RequireOpen() const
{
    if (FHandle == INVALID_HANDLE_VALUE) throw EInOutError("文件“" + FPath + "”已经关闭");
}

std::int64_t TWin32File::MovePointer(std::int64_t distance, DWORD method)
{
    RequireOpen();
    LARGE_INTEGER move;
    move.QuadPart = distance;
    LARGE_INTEGER now;
    if (!SetFilePointerEx(FHandle, move, &now, method)) Fail("无法定位文件“" + FPath + "”：");
    return now.QuadPart;
}

void TWin32File::Fail(const std::string& what) { throw EInOutError(what + SystemErrorText(GetLastError())); }

namespace {

std::unique_ptr<IFile> OpenFile(const std::string& path, DWORD access, DWORD disposition, const char* failure)
{
    const std::wstring widePath = ToWide(path);
    // No sharing: the backup cannot change under the copy, and nobody sees a half-written copy.
    HANDLE handle = CreateFileW(widePath.c_str(), access, 0, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        throw EVelmoraError(std::string(failure) + "“" + path + "”：" + SystemErrorText(error));
    }
    return std::make_unique<TWin32File>(handle, path);
}

}  // namespace

std::unique_ptr<IFile> TWin32FileSystem::OpenReadExclusive(const std::string& path)
{
    return OpenFile(path, GENERIC_READ, OPEN_EXISTING, "无法打开文件");
}

std::unique_ptr<IFile> TWin32FileSystem::CreateExclusive(const std::string& path)
{
    return OpenFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, "无法创建文件");
}

bool TWin32FileSystem::DeleteFile(const std::string& path)
{
    return DeleteFileW(ToWide(path).c_str()) != FALSE;
}

}  // namespace Velmora
