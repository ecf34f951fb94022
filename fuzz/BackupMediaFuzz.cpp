// The backup media reader on arbitrary bytes: every set it accepts lies inside
// the file, and anything else is refused as damaged media, never by a crash.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/FuzzScratch.h"
#include "standin/BackupMedia.h"

using namespace Velmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string media = (Fuzz::ScratchFolder() / "media.bak").string();
    {
        std::ofstream out(media, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) std::abort();
    }
    try {
        const auto sets = Standin::ReadBackupMedia(media);
        for (const Standin::TBackupSetInfo& set : sets) {
            if (set.ContentOffset < 0 || set.ContentSize < 0 ||
                static_cast<std::uint64_t>(set.ContentOffset) + static_cast<std::uint64_t>(set.ContentSize) > size) {
                std::abort();
            }
            try {
                Standin::VerifyBackupContent(media, set);
            } catch (const Standin::EBackupMediaError&) {
            }
        }
    } catch (const Standin::EBackupMediaError&) {
    }
    return 0;
}
