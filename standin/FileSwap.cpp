#include "standin/FileSwap.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
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

std::string UnusedName(const std::string& base)
{
    std::string name = base;
    std::error_code error;
    for (int n = 1; fs::exists(fs::symlink_status(name, error)); ++n) name = base + "." + std::to_string(n);
    return name;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) throw std::system_error(errno, std::generic_category());
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
