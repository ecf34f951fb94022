// The backup media reader on arbitrary bytes: every set it accepts lies inside
// the file, and anything else is refused as damaged media, never by a crash.
// Each input is read twice: as it is, and with every checksum made right, so
// that mutations reach the metadata reader behind the checksums.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/FuzzScratch.h"
#include "standin/BackupMedia.h"

using namespace Velmora;

namespace {

constexpr std::size_t MediaHeaderSize = 16;
constexpr std::size_t SetHeaderSize = 32;

std::uint64_t Get(const std::string& bytes, std::size_t at, int size)
{
    std::uint64_t value = 0;
    for (int k = size - 1; k >= 0; --k) value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
    return value;
}

void Put32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k));
}

// The media with each set's three checksums recomputed, as far as its sets fit.
std::string WithChecksums(std::string media)
{
    std::size_t at = MediaHeaderSize;
    while (at + SetHeaderSize <= media.size()) {
        const std::uint64_t metadataSize = Get(media, at + 8, 4);
        const std::uint64_t contentSize = Get(media, at + 12, 8);
        const std::size_t metadataAt = at + SetHeaderSize;
        if (metadataSize > media.size() - metadataAt) break;
        Put32(media, at + 20, Standin::Crc32(media.data() + metadataAt, metadataSize));
        const std::size_t contentAt = metadataAt + metadataSize;
        const bool contentFits = contentSize <= media.size() - contentAt;
        if (contentFits) Put32(media, at + 24, Standin::Crc32(media.data() + contentAt, contentSize));
        Put32(media, at + 28, Standin::Crc32(media.data() + at, 28));
        if (!contentFits) break;
        at = contentAt + contentSize;
    }
    return media;
}

void Read(const std::string& bytes)
{
    const std::string media = (Fuzz::ScratchFolder() / "media.bak").string();
    const std::string content = (Fuzz::ScratchFolder() / "content.db").string();
    {
        std::ofstream out(media, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) std::abort();
    }
    try {
        const auto sets = Standin::ReadBackupMedia(media);
        for (const Standin::TBackupSetInfo& set : sets) {
            if (set.ContentOffset < 0 || set.ContentSize < 0 ||
                static_cast<std::uint64_t>(set.ContentOffset) + static_cast<std::uint64_t>(set.ContentSize) >
                    bytes.size()) {
                std::abort();
            }
            std::filesystem::remove(content);
            try {
                Standin::CopyBackupContent(media, set, content);
            } catch (const Standin::EBackupMediaError&) {
            }
        }
    } catch (const Standin::EBackupMediaError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Read(bytes);
    const std::string repaired = WithChecksums(bytes);
    if (repaired != bytes) Read(repaired);
    return 0;
}
