#pragma once
// The RESTORE family as the server carries it out: HEADERONLY and FILELISTONLY
// describe the sets on a device, LABELONLY the media, VERIFYONLY reads the sets
// through, DATABASE puts a set's database in place of what stood there, all at
// once or not at all. What the server refuses, and in which words, follows the
// release, edition and account the server directory says it plays (ServerKnobs.h).

#include <functional>
#include <string>
#include <vector>

#include "standin/BackupMedia.h"
#include "standin/SqlShim.h"
#include "standin/Statements.h"

namespace Velmora::Standin {

struct TRestoreContext {
    std::string ServerDirectory;
    // Whether a session other than the caller's uses the database (key: its name in lower case).
    std::function<bool(const std::string& databaseKey)> InUse;
    // Called between the pieces of a long copy or check.
    std::function<void()> OnWait;
};

// sig: the statement's significant tokens, RESTORE first.
TResultSet Restore(const TRestoreContext& context, const std::vector<TToken>& sig);

// What a log or secondary file of a stand-in database holds: the database lives in its data file.
std::string PlaceholderText(const std::string& database, const TBackupFileInfo& file);

}  // namespace Velmora::Standin
