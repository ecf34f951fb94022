#include "standin/BackupMedia.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <system_error>

namespace Velmora::Standin {

namespace {

constexpr char MediaMagic[8] = {'V', 'L', 'M', 'R', 'M', 'D', 'A', '1'};
constexpr char SetMagic[8] = {'V', 'L', 'M', 'R', 'S', 'E', 'T', '1'};
constexpr std::uint32_t FormatVersion = 1;
constexpr std::uint32_t FirstMetadataVersion = 1;
constexpr std::uint32_t MetadataVersion = 4;
constexpr std::size_t MediaHeaderSize = 16;
constexpr std::size_t SetHeaderSize = 32;
// A description never comes near this; a larger length means damage, not a big set.
constexpr std::uint32_t MetadataLimit = 16u << 20;
constexpr std::uint32_t MaxVersionPart = 99999;

std::array<std::uint32_t, 256> MakeCrcTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

void PutU32(std::string& out, std::uint32_t v)
{
    for (int k = 0; k < 4; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

void PutU64(std::string& out, std::uint64_t v)
{
    for (int k = 0; k < 8; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

void PutText(std::string& out, const std::string& text)
{
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

std::uint64_t GetLittleEndian(const char* data, int bytes)
{
    std::uint64_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(data[k]);
    return v;
}

[[noreturn]] void Malformed(const std::string& path)
{
    throw EBackupMediaError(EBackupMediaError::TReason::Malformed,
                            "The media family on device '" + path +
                                "' is incorrectly formed. SQL Server cannot process this media family.");
}

[[noreturn]] void CannotOpen(const std::string& path)
{
    throw EBackupMediaError(EBackupMediaError::TReason::CannotOpen,
                            "Cannot open backup device '" + path +
                                "'. Device error or device off-line. See the SQL Server error log for more details.");
}

// Reads the metadata fields in the order they were written; any overrun is damage.
class TMetadataReader {
public:
    TMetadataReader(const std::string& data, const std::string& path) : FData(data), FPath(path) {}
    std::uint32_t U32()
    {
        Need(4);
        const auto v = static_cast<std::uint32_t>(GetLittleEndian(FData.data() + FAt, 4));
        FAt += 4;
        return v;
    }
    std::int64_t I64()
    {
        Need(8);
        const auto v = static_cast<std::int64_t>(GetLittleEndian(FData.data() + FAt, 8));
        FAt += 8;
        return v;
    }
    std::string Text()
    {
        const std::uint32_t length = U32();
        Need(length);
        std::string v = FData.substr(FAt, length);
        FAt += length;
        return v;
    }
    bool AtEnd() const { return FAt == FData.size(); }

private:
    void Need(std::size_t n)
    {
        if (FData.size() - FAt < n) Malformed(FPath);
    }
    const std::string& FData;
    const std::string& FPath;
    std::size_t FAt = 0;
};

std::string EncodeMetadata(const TBackupSetInfo& set)
{
    std::string out;
    PutU32(out, MetadataVersion);
    for (const std::string* text : {&set.DatabaseName, &set.BackupName, &set.BackupDescription, &set.ServerName,
                                    &set.MachineName, &set.UserName, &set.DatabaseCreationDate, &set.BackupStartDate,
                                    &set.BackupFinishDate}) {
        PutText(out, *text);
    }
    PutU64(out, static_cast<std::uint64_t>(set.DatabaseVersion));
    PutU32(out, static_cast<std::uint32_t>(set.Files.size()));
    for (const TBackupFileInfo& file : set.Files) {
        PutText(out, file.LogicalName);
        PutText(out, file.PhysicalName);
        PutText(out, file.Type);
        PutText(out, file.FileGroupName);
        PutU64(out, static_cast<std::uint64_t>(file.Size));
        PutU64(out, static_cast<std::uint64_t>(file.MaxSize));
    }
    PutU32(out, static_cast<std::uint32_t>(set.BackupType));
    for (const std::int64_t lsn : {set.FirstLsn, set.LastLsn, set.CheckpointLsn, set.DatabaseBackupLsn}) {
        PutU64(out, static_cast<std::uint64_t>(lsn));
    }
    PutText(out, set.BindingId);
    PutText(out, set.RecoveryForkId);
    for (const int part : {set.SoftwareVersion.Major, set.SoftwareVersion.Minor, set.SoftwareVersion.Build}) {
        PutU32(out, static_cast<std::uint32_t>(part));
    }
    PutU32(out, set.Compressed ? 1 : 0);
    PutU32(out, static_cast<std::uint32_t>(set.FamilyCount));
    PutText(out, set.MediaPassword);
    PutText(out, set.TdeThumbprint);
    return out;
}

TBackupSetInfo DecodeMetadata(const std::string& data, const std::string& path)
{
    TMetadataReader in(data, path);
    const std::uint32_t version = in.U32();
    if (version < FirstMetadataVersion || version > MetadataVersion) Malformed(path);
    TBackupSetInfo set;
    for (std::string* text : {&set.DatabaseName, &set.BackupName, &set.BackupDescription, &set.ServerName,
                              &set.MachineName, &set.UserName, &set.DatabaseCreationDate, &set.BackupStartDate,
                              &set.BackupFinishDate}) {
        *text = in.Text();
    }
    set.DatabaseVersion = in.I64();
    const std::uint32_t count = in.U32();
    if (count > MaxFilesPerSet) Malformed(path);
    set.Files.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        TBackupFileInfo file;
        file.LogicalName = in.Text();
        file.PhysicalName = in.Text();
        file.Type = in.Text();
        file.FileGroupName = in.Text();
        file.Size = in.I64();
        file.MaxSize = in.I64();
        set.Files.push_back(file);
    }
    if (version >= 2) {
        const std::uint32_t type = in.U32();
        if (type != BackupTypeFull && type != BackupTypeLog && type != BackupTypeDifferential) Malformed(path);
        set.BackupType = static_cast<int>(type);
        for (std::int64_t* lsn : {&set.FirstLsn, &set.LastLsn, &set.CheckpointLsn, &set.DatabaseBackupLsn}) {
            *lsn = in.I64();
        }
        set.BindingId = in.Text();
        set.RecoveryForkId = in.Text();
    }
    if (version >= 3) {
        for (int* part : {&set.SoftwareVersion.Major, &set.SoftwareVersion.Minor, &set.SoftwareVersion.Build}) {
            const std::uint32_t value = in.U32();
            if (value > MaxVersionPart) Malformed(path);
            *part = static_cast<int>(value);
        }
        const std::uint32_t compressed = in.U32();
        const std::uint32_t families = in.U32();
        if (compressed > 1 || families < 1 || families > MaxMediaFamilies) Malformed(path);
        set.Compressed = compressed == 1;
        set.FamilyCount = static_cast<int>(families);
    }
    if (version >= 4) {
        set.MediaPassword = in.Text();
        set.TdeThumbprint = in.Text();
    }
    if (!in.AtEnd()) Malformed(path);
    return set;
}

std::string MediaHeader()
{
    std::string out(MediaMagic, sizeof MediaMagic);
    PutU32(out, FormatVersion);
    PutU32(out, 0);
    return out;
}

bool SameDatabaseName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string NewGuid()
{
    std::random_device random;
    std::uniform_int_distribution<int> digit(0, 15);
    static const char* const Hex = "0123456789ABCDEF";
    std::string guid = "{";
    for (const int group : {8, 4, 4, 4, 12}) {
        if (guid.size() > 1) guid += '-';
        for (int k = 0; k < group; ++k) guid += Hex[digit(random)];
    }
    return guid + "}";
}

// Places a new set in the log after the sets already on the media, in the manner
// of the server: every set takes a stretch of the log after the last one; a full
// set's checkpoint is where the stretch starts; differential and log sets name the
// last full set of their database as their base.
void PlaceInLog(TBackupSetInfo& set, const std::vector<TBackupSetInfo>& earlier)
{
    constexpr std::int64_t Stretch = 1000000000;  // ten thousand log blocks
    const TBackupSetInfo* last = nullptr;
    const TBackupSetInfo* lastFull = nullptr;
    for (const TBackupSetInfo& other : earlier) {
        if (!SameDatabaseName(other.DatabaseName, set.DatabaseName)) continue;
        last = &other;
        if (other.BackupType == BackupTypeFull) lastFull = &other;
    }
    const std::int64_t end = last != nullptr && last->LastLsn > 0 ? last->LastLsn : 10000000001;
    set.FirstLsn = set.BackupType == BackupTypeLog ? end : end + Stretch;
    set.LastLsn = set.FirstLsn + Stretch;
    const std::int64_t base = lastFull != nullptr ? lastFull->CheckpointLsn : 0;
    set.CheckpointLsn = set.BackupType == BackupTypeLog ? base : set.FirstLsn;
    set.DatabaseBackupLsn = base;
    set.BindingId = last != nullptr && !last->BindingId.empty() ? last->BindingId : NewGuid();
    set.RecoveryForkId = last != nullptr && !last->RecoveryForkId.empty() ? last->RecoveryForkId : NewGuid();
}

// The set as it is written: its kind checked, its place in the log after the sets
// already on the media, which must be media when appending.
TBackupSetInfo PlacedAfterEarlierSets(const std::string& path, const TBackupSetInfo& set, bool append)
{
    if (set.BackupType != BackupTypeFull && set.BackupType != BackupTypeLog &&
        set.BackupType != BackupTypeDifferential) {
        throw EBackupMediaError(EBackupMediaError::TReason::CannotWrite,
                                "unknown backup type " + std::to_string(set.BackupType));
    }
    const std::vector<TBackupSetInfo> earlier = append ? ReadBackupMedia(path) : std::vector<TBackupSetInfo>();
    TBackupSetInfo placed = set;
    PlaceInLog(placed, earlier);
    return placed;
}

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc)
{
    static const std::array<std::uint32_t, 256> table = MakeCrcTable();
    const auto* bytes = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (std::size_t k = 0; k < size; ++k) crc = table[(crc ^ bytes[k]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::vector<TBackupSetInfo> ReadBackupMedia(const std::string& path)
{
    // A pipe or device where the media should be would hold the session in its
    // open or read for as long as nobody writes to it.
    std::error_code error;
    const auto kind = std::filesystem::status(path, error).type();
    if (kind == std::filesystem::file_type::directory) Malformed(path);
    if (!error && kind != std::filesystem::file_type::regular) CannotOpen(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) CannotOpen(path);
    in.seekg(0, std::ios::end);
    const std::int64_t fileSize = in.tellg();
    in.seekg(0);

    char header[MediaHeaderSize];
    if (fileSize < static_cast<std::int64_t>(MediaHeaderSize) || !in.read(header, MediaHeaderSize) ||
        std::string(header, 8) != std::string(MediaMagic, 8) || GetLittleEndian(header + 8, 4) != FormatVersion) {
        Malformed(path);
    }

    std::vector<TBackupSetInfo> sets;
    std::int64_t at = MediaHeaderSize;
    while (at < fileSize) {
        char setHeader[SetHeaderSize];
        if (fileSize - at < static_cast<std::int64_t>(SetHeaderSize) || !in.read(setHeader, SetHeaderSize) ||
            std::string(setHeader, 8) != std::string(SetMagic, 8) ||
            Crc32(setHeader, 28) != GetLittleEndian(setHeader + 28, 4)) {
            Malformed(path);
        }
        const auto metadataSize = static_cast<std::uint32_t>(GetLittleEndian(setHeader + 8, 4));
        const auto contentSize = GetLittleEndian(setHeader + 12, 8);
        const auto metadataCrc = static_cast<std::uint32_t>(GetLittleEndian(setHeader + 20, 4));
        const auto contentCrc = static_cast<std::uint32_t>(GetLittleEndian(setHeader + 24, 4));
        const std::int64_t remaining = fileSize - at - static_cast<std::int64_t>(SetHeaderSize);
        if (metadataSize > MetadataLimit || static_cast<std::uint64_t>(remaining) < metadataSize ||
            static_cast<std::uint64_t>(remaining) - metadataSize < contentSize) {
            Malformed(path);
        }
        std::string metadata(metadataSize, '\0');
        if (!in.read(metadata.data(), metadataSize) || Crc32(metadata.data(), metadata.size()) != metadataCrc) {
            Malformed(path);
        }
        TBackupSetInfo set = DecodeMetadata(metadata, path);
        set.Position = static_cast<int>(sets.size()) + 1;
        set.ContentOffset = at + static_cast<std::int64_t>(SetHeaderSize + metadataSize);
        set.ContentSize = static_cast<std::int64_t>(contentSize);
        set.ContentCrc = contentCrc;
        set.BackupSize = static_cast<std::int64_t>(SetHeaderSize + metadataSize + contentSize);
        sets.push_back(set);
        at = set.ContentOffset + set.ContentSize;
        in.seekg(at);
    }
    return sets;
}

namespace {

constexpr std::size_t ChunkSize = 1u << 20;

// The content is an SQLite file, whose first 100 bytes say how large it is. A set
// that is not one, or whose length disagrees, is refused on its first chunk
// rather than after reading (and writing) however much its header claims.
bool LooksLikeWholeDatabase(const char* head, std::size_t available, std::uint64_t contentSize)
{
    constexpr std::size_t HeaderSize = 100;
    if (available < HeaderSize || std::string(head, 16) != std::string("SQLite format 3\0", 16)) return false;
    auto bigEndian = [&](std::size_t at, int bytes) {
        std::uint64_t v = 0;
        for (int k = 0; k < bytes; ++k) v = (v << 8) | static_cast<unsigned char>(head[at + static_cast<std::size_t>(k)]);
        return v;
    };
    std::uint64_t pageSize = bigEndian(16, 2);
    if (pageSize == 1) pageSize = 65536;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) return false;
    if (contentSize % pageSize != 0) return false;
    // The page count in the header is only kept by writers that also keep the
    // "version valid for" field equal to the change counter.
    const std::uint64_t pages = bigEndian(28, 4);
    if (pages != 0 && bigEndian(24, 4) == bigEndian(92, 4) && pages * pageSize != contentSize) return false;
    return true;
}

class TOutputFile {
public:
    // A new file only, never reached through a link.
    explicit TOutputFile(const std::string& path) : FFile(nullptr)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) Fail();
        FFile = ::fdopen(fd, "wb");
        if (FFile == nullptr) {
            const int error = errno;
            ::close(fd);
            throw std::system_error(error, std::generic_category());
        }
    }
    ~TOutputFile()
    {
        if (FFile != nullptr) std::fclose(FFile);
    }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    void Write(const char* data, std::size_t size)
    {
        if (size != 0 && std::fwrite(data, 1, size, FFile) != size) Fail();
    }
    void Close()
    {
        std::FILE* file = FFile;
        FFile = nullptr;
        if (std::fflush(file) != 0) {
            const int error = errno;
            std::fclose(file);
            throw std::system_error(error != 0 ? error : EIO, std::generic_category());
        }
        if (std::fclose(file) != 0) Fail();
    }

private:
    [[noreturn]] static void Fail() { throw std::system_error(errno != 0 ? errno : EIO, std::generic_category()); }
    std::FILE* FFile;
};

void StreamContent(const std::string& path, const TBackupSetInfo& set, TOutputFile& out,
                   const std::function<void()>& onChunk)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) CannotOpen(path);
    if (set.ContentSize < 0 || !in.seekg(set.ContentOffset)) Malformed(path);
    std::vector<char> buffer(ChunkSize);
    auto remaining = static_cast<std::uint64_t>(set.ContentSize);
    std::uint32_t crc = 0;
    bool first = true;
    while (remaining > 0 || first) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, ChunkSize));
        if (!in.read(buffer.data(), static_cast<std::streamsize>(size))) Malformed(path);
        if (first && !LooksLikeWholeDatabase(buffer.data(), size, static_cast<std::uint64_t>(set.ContentSize))) {
            Malformed(path);
        }
        first = false;
        crc = Crc32(buffer.data(), size, crc);
        out.Write(buffer.data(), size);
        remaining -= size;
        if (onChunk) onChunk();
    }
    if (crc != set.ContentCrc) Malformed(path);
    out.Close();
}

}  // namespace

void CopyBackupContent(const std::string& path, const TBackupSetInfo& set, const std::string& target,
                       const std::function<void()>& onChunk)
{
    {
        // The media is opened first, so a missing device is reported as such.
        std::ifstream probe(path, std::ios::binary);
        if (!probe) CannotOpen(path);
    }
    TOutputFile out(target);
    StreamContent(path, set, out, onChunk);
}

std::string NowAsDateText()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(millis));
    return text;
}

}  // namespace Velmora::Standin

namespace Velmora::Standin {

void WriteBackupSetFromFile(const std::string& path, const TBackupSetInfo& set, const std::string& contentFile,
                            bool append)
{
    namespace fs = std::filesystem;
    if (set.Files.size() > MaxFilesPerSet) {
        throw EBackupMediaError(EBackupMediaError::TReason::CannotWrite,
                                "a backup set holds at most " + std::to_string(MaxFilesPerSet) + " files, not " +
                                    std::to_string(set.Files.size()));
    }
    const TBackupSetInfo placed = PlacedAfterEarlierSets(path, set, append);

    auto reason = [] { return std::generic_category().message(errno != 0 ? errno : EIO); };
    std::ifstream in(contentFile, std::ios::binary);
    if (!in) {
        throw EBackupMediaError(EBackupMediaError::TReason::CannotWrite,
                                "cannot read '" + contentFile + "': " + reason());
    }
    const std::string metadata = EncodeMetadata(placed);
    const std::string temporary = path + ".velmora-tmp";
    auto fail = [&](const std::string& what) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw EBackupMediaError(EBackupMediaError::TReason::CannotWrite, what);
    };
    std::uint64_t headerAt = MediaHeaderSize;
    if (append) {
        // The sets already there are copied by the file system, not through memory.
        std::error_code error;
        fs::copy_file(path, temporary, fs::copy_options::overwrite_existing, error);
        if (error) fail("cannot copy '" + path + "' to '" + temporary + "': " + error.message());
        headerAt = fs::file_size(temporary, error);
        if (error) fail("cannot copy '" + path + "' to '" + temporary + "': " + error.message());
    }
    // The set's header holds the content's length and checksum, known only once the
    // content has gone through: a placeholder is written first and filled in after.
    std::uint64_t contentSize = 0;
    std::uint32_t contentCrc = 0;
    {
        errno = 0;
        std::ofstream out(temporary, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        if (!out) fail("cannot create '" + temporary + "': " + reason());
        std::string head = append ? std::string() : MediaHeader();
        head.append(SetHeaderSize, '\0');
        head += metadata;
        out.write(head.data(), static_cast<std::streamsize>(head.size()));
        std::vector<char> buffer(ChunkSize);
        while (out && in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const auto got = static_cast<std::size_t>(in.gcount());
            contentCrc = Crc32(buffer.data(), got, contentCrc);
            contentSize += got;
            out.write(buffer.data(), static_cast<std::streamsize>(got));
        }
        if (out && !in.eof()) fail("cannot read '" + contentFile + "': " + reason());
        out.close();
        if (!out) fail("cannot write '" + temporary + "': " + reason());
    }
    {
        std::string header(SetMagic, sizeof SetMagic);
        PutU32(header, static_cast<std::uint32_t>(metadata.size()));
        PutU64(header, contentSize);
        PutU32(header, Crc32(metadata.data(), metadata.size()));
        PutU32(header, contentCrc);
        PutU32(header, Crc32(header.data(), header.size()));
        errno = 0;
        std::fstream out(temporary, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(headerAt));
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
        out.close();
        if (!out) fail("cannot write '" + temporary + "': " + reason());
    }
    std::error_code error;
    fs::rename(temporary, path, error);
    if (error) fail("cannot replace '" + path + "': " + error.message());
}

}  // namespace Velmora::Standin
