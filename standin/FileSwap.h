#pragma once
// Puts a set of new files in the places of old ones all at once or not at all:
// each new file is written under a temporary name beside its place, then what
// stands in the places is set aside, the new files are renamed in, and the old
// ones are only deleted once the caller commits. Until then (and on any
// failure) everything can be put back as it was.

#include <string>
#include <vector>

#include "standin/Catalog.h"

namespace Velmora::Standin {

class TFileSwap {
public:
    TFileSwap() = default;
    // Without Commit, puts back what stood in the places and removes the temporaries.
    ~TFileSwap();
    TFileSwap(const TFileSwap&) = delete;
    TFileSwap& operator=(const TFileSwap&) = delete;

    // A new name beside target, nothing there yet, for the new file's content
    // (what an interrupted restore left there goes first); shown is how
    // messages name the target.
    std::string AddTarget(const std::string& target, const std::string& shown);
    // Sets aside what stands at every target, SQLite's companions beside it
    // included (a journal left there would be replayed into the new file), and
    // renames every temporary into its place. On failure puts everything back
    // and raises EProviderError naming the target.
    void Place();
    // Deletes what was set aside; nothing can be undone afterwards.
    void Commit();
    // Puts back what stood in the places and removes every new file.
    void Undo();

private:
    struct TTarget {
        std::string Path;
        std::string Shown;
        std::string Temporary;
    };
    struct TSetAside {
        std::string Original;
        std::string Aside;
    };
    std::vector<TTarget> FTargets;
    std::vector<TSetAside> FSetAside;
    std::vector<std::string> FPlaced;
    bool FFinished = false;
};

// Deletes what an interrupted restore left beside target under the names
// AddTarget gives its temporaries.
void RemoveStaleTemporaries(const std::string& target);
// base, or base.1, base.2 … : the first name nothing holds yet.
std::string UnusedName(const std::string& base);
// Writes content as a new file (never over one, never through a link);
// std::system_error when that fails.
void WriteWholeFile(const std::string& path, const std::string& content);
// Deletes a database's files with their companions, except those now holding
// another database (keep: resolved names).
void DeleteDatabaseFiles(const std::string& serverDirectory, const std::vector<TDatabaseFile>& files,
                         const std::vector<std::string>& keep = {});

}  // namespace Velmora::Standin
