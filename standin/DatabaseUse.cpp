#include "standin/DatabaseUse.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Errors.h"

namespace Velmora::Standin {

namespace {

// Any name a database may have becomes a plain file name.
std::string UseFileStem(const std::string& serverDirectory, const std::string& databaseKey)
{
    static const char* const Hex = "0123456789abcdef";
    std::string name;
    for (const char c : databaseKey) {
        const auto byte = static_cast<unsigned char>(c);
        name += Hex[byte >> 4];
        name += Hex[byte & 15];
    }
    return (std::filesystem::path(serverDirectory) / "use" / name).string();
}

int OpenFile(const std::string& path, bool create)
{
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0), 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

unsigned long long ReadGeneration(const std::string& generationFile)
{
    const int fd = OpenFile(generationFile, false);
    if (fd < 0) return 0;
    unsigned char bytes[8] = {};
    const ssize_t got = ::pread(fd, bytes, sizeof bytes, 0);
    ::close(fd);
    unsigned long long generation = 0;
    if (got == static_cast<ssize_t>(sizeof bytes)) {
        for (int k = 7; k >= 0; --k) generation = (generation << 8) | bytes[k];
    }
    return generation;
}

std::string LockFile(const std::string& generationFile, unsigned long long generation)
{
    return generationFile + "." + std::to_string(generation);
}

int Lock(int fd, int operation)
{
    int rc = 0;
    do {
        rc = ::flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace

TDatabaseUse::TDatabaseUse(const std::string& serverDirectory, const std::string& databaseKey)
    : FGenerationFile(UseFileStem(serverDirectory, databaseKey))
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(FGenerationFile).parent_path(), ignored);
    FGeneration = ReadGeneration(FGenerationFile);
    const std::string lockFile = LockFile(FGenerationFile, FGeneration);
    FLock = OpenFile(lockFile, true);
    if (FLock < 0 || Lock(FLock, LOCK_SH) != 0) {
        const std::string reason = std::strerror(errno);
        if (FLock >= 0) ::close(FLock);
        throw EProviderError("The stand-in server cannot register the session in '" + lockFile + "': " + reason + ".");
    }
}

TDatabaseUse::~TDatabaseUse()
{
    if (FLock >= 0) ::close(FLock);
}

bool TDatabaseUse::Ended() const { return ReadGeneration(FGenerationFile) != FGeneration; }

bool DatabaseInUse(const std::string& serverDirectory, const std::string& databaseKey)
{
    const std::string generationFile = UseFileStem(serverDirectory, databaseKey);
    const int fd = OpenFile(LockFile(generationFile, ReadGeneration(generationFile)), false);
    if (fd < 0) return false;
    const bool used = Lock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return used;
}

void EndDatabaseUse(const std::string& serverDirectory, const std::string& databaseKey)
{
    const std::string generationFile = UseFileStem(serverDirectory, databaseKey);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(generationFile).parent_path(), ignored);
    const unsigned long long old = ReadGeneration(generationFile);
    const int fd = OpenFile(generationFile, true);
    if (fd < 0) {
        throw EProviderError("The stand-in server cannot end the sessions of the database: " +
                             std::string(std::strerror(errno)) + ".");
    }
    unsigned char bytes[8];
    for (int k = 0; k < 8; ++k) bytes[k] = static_cast<unsigned char>(((old + 1) >> (8 * k)) & 0xFF);
    const bool written = ::pwrite(fd, bytes, sizeof bytes, 0) == static_cast<ssize_t>(sizeof bytes);
    const int error = errno;
    ::close(fd);
    if (!written) {
        throw EProviderError("The stand-in server cannot end the sessions of the database: " +
                             std::string(std::strerror(error)) + ".");
    }
    // The ended sessions keep their own handles on the old lock file.
    std::filesystem::remove(LockFile(generationFile, old), ignored);
}

}  // namespace Velmora::Standin
