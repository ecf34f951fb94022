#include "platform/win32/Win32FileSystem.h"

#include <algorithm>
#include <cstring>

#include "platform/Errors.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora {

// ---------------------------------------------------------------- TWin32File

TWin32File::TWin32File(HANDLE handle, std::string path, std::size_t bufferSize)
    : TBufferedFile(std::move(path), bufferSize), FHandle(handle)
{
}

TWin32File::~TWin32File()
{
    if (!FHandle) return;
    try {
        Flush();
    } catch (...) {
        // Nobody is left to tell; a caller that cares calls Close.
    }
}

std::int64_t TWin32File::StoredSize()
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(FHandle.Get(), &size)) Fail("无法读取文件“" + Path() + "”的大小：");
    return size.QuadPart;
}

// Transfers go from where the handle stands, moved only when the buffer asks for
// another place: under Wine a transfer that names its offset took three times as long.
void TWin32File::MoveTo(std::int64_t offset)
{
    if (offset == FHandlePosition) return;
    LARGE_INTEGER to;
    to.QuadPart = offset;
    FHandlePosition = Unknown;
    if (!SetFilePointerEx(FHandle.Get(), to, nullptr, FILE_BEGIN)) Fail("无法定位文件“" + Path() + "”：");
    FHandlePosition = offset;
}

std::size_t TWin32File::ReadAt(char* data, std::size_t count, std::int64_t offset)
{
    MoveTo(offset);
    DWORD done = 0;
    if (!ReadFile(FHandle.Get(), data, static_cast<DWORD>(count), &done, nullptr)) {
        FHandlePosition = Unknown;
        Fail("读取文件“" + Path() + "”失败：");
    }
    FHandlePosition += done;
    return done;
}

std::size_t TWin32File::WriteAt(const char* data, std::size_t count, std::int64_t offset)
{
    MoveTo(offset);
    DWORD put = 0;
    if (!WriteFile(FHandle.Get(), data, static_cast<DWORD>(count), &put, nullptr)) {
        FHandlePosition = Unknown;
        Fail("写入文件“" + Path() + "”失败：");
    }
    FHandlePosition += put;
    if (put == 0) throw EInOutError("写入文件“" + Path() + "”失败：没有写入任何字节");
    return put;
}

// The last buffered bytes are written here; their failure is the copy's failure.
void TWin32File::Close()
{
    if (!FHandle) return;
    try {
        Flush();
    } catch (...) {
        FHandle.Reset();
        throw;
    }
    if (!CloseHandle(FHandle.Detach())) Fail("关闭文件“" + Path() + "”失败：");
}

void TWin32File::RequireOpen() const
{
    if (!FHandle) throw EInOutError("文件“" + Path() + "”已经关闭");
}

void TWin32File::Fail(const std::string& what) { throw EInOutError(what + SystemErrorText(GetLastError())); }

// ---------------------------------------------------------------- TWin32FileSystem

namespace {

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
    TFileHandle handle(OpenHandle(path, GENERIC_READ, OPEN_EXISTING, 0, failure));
    RequireDiskFile(handle.Get(), path, failure);
    return std::make_unique<TWin32File>(handle.Detach(), path, FBufferSize);
}

std::unique_ptr<IFile> TWin32FileSystem::CreateExclusive(const std::string& path)
{
    const char* failure = "无法创建文件";
    // The link itself is opened, never what it points to; and an existing file is
    // opened as it is, so that a refused one is left untouched. It is emptied only
    // once it is known to be an ordinary file.
    TFileHandle handle(
        OpenHandle(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, failure));
    RequireDiskFile(handle.Get(), path, failure);
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle.Get(), &information)) {
        Refuse(failure, path, SystemErrorText(GetLastError()));
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        Refuse(failure, path, "这是一个链接（重解析点），不会写到它所指向的位置");
    }
    // A second name of the same file, perhaps outside the work folder, would have its
    // contents replaced by the copy just as a link would.
    if (information.nNumberOfLinks > 1) Refuse(failure, path, "这个文件另有硬链接，为免改动别处的文件，不会写入它");
    // A file that is empty already is left as it is: under Wine on Linux, emptying a file
    // makes the system write all of the new contents out when the handle closes, which
    // held the dialog still for half a second for every gigabyte.
    LARGE_INTEGER start{};
    if ((information.nFileSizeHigh != 0 || information.nFileSizeLow != 0) &&
        (!SetFilePointerEx(handle.Get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(handle.Get()))) {
        Refuse(failure, path, SystemErrorText(GetLastError()));
    }
    return std::make_unique<TWin32File>(handle.Detach(), path, FBufferSize);
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

std::int64_t TWin32FileSystem::FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(ToWide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    constexpr DWORD NotAFile = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    if ((data.dwFileAttributes & NotAFile) != 0) return -1;
    return static_cast<std::int64_t>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

std::int64_t TWin32FileSystem::FreeSpace(const std::string& path)
{
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(ToWide(path).c_str(), &available, nullptr, nullptr)) {
        throw EVelmoraError("无法查看“" + path + "”所在磁盘的可用空间：" + SystemErrorText(GetLastError()));
    }
    return available.QuadPart > static_cast<ULONGLONG>(INT64_MAX) ? INT64_MAX
                                                                   : static_cast<std::int64_t>(available.QuadPart);
}

}  // namespace Velmora
