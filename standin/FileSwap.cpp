#include "standin/FileSwap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <unordered_set>

#include "platform/Errors.h"
#include "standin/ServerFiles.h"

namespace Velmora::Standin {

namespace fs = std::filesystem;

TFileSwap::~TFileSwap()
{
    if (!FFinished) Undo();
}

std::string TFileSwap::AddTarget(const std::string& target, const std::string& shown)
{
    RemoveStaleTemporaries(target);
    FTargets.push_back(TTarget{target, shown, UnusedName(target + ".velmora-restore")});
    return FTargets.back().Temporary;
}

void TFileSwap::Place()
{
    for (TTarget& target : FTargets) {
        auto fail = [&](const std::error_code& error) {
            Undo();
            throw EProviderError("Write on \"" + target.Shown + "\" failed: " + error.message() + ".");
        };
        std::error_code error;
        std::vector<std::string> names{target.Path};
        for (const char* companion : CompanionSuffixes) names.push_back(target.Path + companion);
        for (const std::string& name : names) {
            if (!fs::exists(fs::symlink_status(name, error))) continue;
            const std::string aside = UnusedName(name + ".velmora-old");
            fs::rename(name, aside, error);
            if (error) fail(error);
            FSetAside.push_back(TSetAside{name, aside});
        }
        fs::rename(target.Temporary, target.Path, error);
        if (error) fail(error);
        FPlaced.push_back(target.Path);
        target.Temporary.clear();
    }
}

void TFileSwap::Commit()
{
    for (const TSetAside& old : FSetAside) {
        std::error_code ignored;
        fs::remove(old.Aside, ignored);
    }
    FSetAside.clear();
    FPlaced.clear();
    FFinished = true;
}

void TFileSwap::Undo()
{
    std::error_code ignored;
    for (auto file = FPlaced.rbegin(); file != FPlaced.rend(); ++file) fs::remove(*file, ignored);
    for (auto old = FSetAside.rbegin(); old != FSetAside.rend(); ++old) fs::rename(old->Aside, old->Original, ignored);
    for (TTarget& target : FTargets) {
        if (!target.Temporary.empty()) fs::remove(target.Temporary, ignored);
        target.Temporary.clear();
    }
    FPlaced.clear();
    FSetAside.clear();
    FFinished = true;
}

void RemoveStaleTemporaries(const std::string& target)
{
    // A restore killed halfway leaves its temporaries; they are this target's
    // own (target.velmora-restore, target.velmora-restore.N), so nothing else is touched.
    const fs::path path(target);
    const std::string stem = path.filename().string() + ".velmora-restore";
    std::error_code error;
    for (fs::directory_iterator entry(path.parent_path(), error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.compare(0, stem.size(), stem) != 0) continue;
        const std::string rest = name.substr(stem.size());
        if (!rest.empty() && (rest[0] != '.' || rest.size() == 1 ||
                              rest.find_first_not_of("0123456789", 1) != std::string::npos)) {
            continue;
        }
        std::error_code ignored;
        fs::remove(entry->path(), ignored);
    }
}

std::string UnusedName(const std::string& base)
{
    std::string name = base;
    std::error_code error;
    for (int n = 1; fs::exists(fs::symlink_status(name, error)); ++n) name = base + "." + std::to_string(n);
    return name;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    // A new file only: never through a link, never over what is there.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) throw std::system_error(errno, std::generic_category());
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            throw std::system_error(error, std::generic_category());
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) throw std::system_error(errno, std::generic_category());
}

void DeleteDatabaseFiles(const std::string& serverDirectory, const std::vector<TDatabaseFile>& files,
                         const std::vector<std::string>& keep)
{
    const std::unordered_set<std::string> kept(keep.begin(), keep.end());
    for (const TDatabaseFile& file : files) {
        if (!kept.empty() && kept.count(ResolveServerPath(serverDirectory, file.PhysicalName)) != 0) continue;
        std::error_code ignored;
        fs::remove(file.PhysicalName, ignored);
        // SQLite's companions of a data file, should a crash have left any.
        for (const char* companion : CompanionSuffixes) fs::remove(file.PhysicalName + companion, ignored);
    }
}

}  // namespace Velmora::Standin
