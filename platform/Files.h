#pragma once
// The file port. Paths are UTF-8. Opening failures raise EVelmoraError with a
// message naming the file and the system's reason; read and write failures raise EInOutError.

#include <cstdint>
#include <memory>
#include <string>

namespace Velmora {

class IFile {
public:
    virtual ~IFile() = default;
    virtual std::int64_t Size() = 0;
    virtual std::int64_t Position() = 0;
    virtual void Seek(std::int64_t position) = 0;
    // Answers the number of bytes read (0 at the end).
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes all of the bytes or raises.
    virtual void Write(const void* buffer, std::int64_t count) = 0;
    // Finishes every pending write, raising EInOutError when one fails, and closes
    // the file. An adapter that writes through at once has nothing to finish.
    virtual void Close() {}
};

class IFileSystem {
public:
    virtual ~IFileSystem() = default;
    // Open for reading, shared with no one: fails while another program holds the file.
    virtual std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) = 0;
    // Create anew (an existing file is replaced), shared with no one.
    virtual std::unique_ptr<IFile> CreateExclusive(const std::string& path) = 0;
    virtual bool DeleteFile(const std::string& path) = 0;
    // True when something by that name exists and is not a plain file: a symbolic
    // link or reparse point (never followed), a folder, a pipe, a device. The run
    // asks before it lets a server write a file of the work folder, so that a link
    // planted there cannot aim that write at a file outside. Raises EVelmoraError
    // when the name cannot be looked at. An adapter that has no such things answers false.
    virtual bool IsLinkOrSpecial(const std::string& path)
    {
        static_cast<void>(path);
        return false;
    }
    // Bytes the calling user may still write on the volume that holds path (an
    // existing folder or file), so that a run can refuse before it fills a disk.
    // Raises EVelmoraError when the volume cannot be asked; an adapter that cannot
    // tell answers -1.
    virtual std::int64_t FreeSpace(const std::string& path)
    {
        static_cast<void>(path);
        return -1;
    }
    // Bytes of the regular file at path; -1 when there is none there (nothing, a
    // folder, a link or a device) or the adapter cannot tell.
    virtual std::int64_t FileSize(const std::string& path)
    {
        static_cast<void>(path);
        return -1;
    }
    // "\\" on Windows, "/" on POSIX.
    virtual std::string PathSeparator() const = 0;
};

}  // namespace Velmora
