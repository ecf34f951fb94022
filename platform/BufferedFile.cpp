#include "platform/BufferedFile.h"

#include <algorithm>
#include <cstring>

#include "platform/Errors.h"

namespace Velmora {

TBufferedFile::TBufferedFile(std::string path, std::size_t bufferSize)
    : FPath(std::move(path)), FBufferSize(std::max<std::size_t>(bufferSize, 1))
{
}

std::int64_t TBufferedFile::Size()
{
    RequireOpen();
    std::int64_t size = StoredSize();
    if (FMode == TMode::Writing) {
        size = std::max<std::int64_t>(size, FBufferStart + static_cast<std::int64_t>(FBufferLength));
    }
    return size;
}

void TBufferedFile::Seek(std::int64_t position)
{
    RequireOpen();
    if (position < 0) throw EInOutError("文件“" + FPath + "”的读写位置不能为负数");
    // Pending bytes are appended at the end of the buffer only; a jump elsewhere writes them first.
    if (FMode == TMode::Writing && position != FPosition) Flush();
    FPosition = position;
}

void TBufferedFile::DropReadAhead()
{
    FMode = TMode::Idle;
    FBufferStart = FPosition;
    FBufferLength = 0;
}

std::int64_t TBufferedFile::Read(void* buffer, std::int64_t count)
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
            const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, LargestTransfer));
            const std::size_t got = ReadAt(out + done, chunk, FPosition);
            if (got == 0) break;
            FPosition += static_cast<std::int64_t>(got);
            done += static_cast<std::int64_t>(got);
            continue;
        }
        if (!FBuffer) FBuffer = std::make_unique<char[]>(FBufferSize);
        std::size_t got = 0;
        try {
            got = ReadAt(FBuffer.get(), std::min(FBufferSize, LargestTransfer), FPosition);
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

void TBufferedFile::WriteThrough(const char* data, std::size_t count, std::int64_t offset)
{
    while (count > 0) {
        const std::size_t put = WriteAt(data, std::min(count, LargestTransfer), offset);
        data += put;
        count -= put;
        offset += static_cast<std::int64_t>(put);
    }
}

void TBufferedFile::Write(const void* buffer, std::int64_t count)
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

void TBufferedFile::Flush()
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

}  // namespace Velmora
