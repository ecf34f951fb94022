#pragma once
// What RESTORE HEADERONLY, FILELISTONLY and LABELONLY answer: the columns of the
// release the server plays, in its order, filled from the sets on the media.

#include <vector>

#include "standin/BackupMedia.h"
#include "standin/ServerKnobs.h"
#include "standin/Statements.h"

namespace Velmora::Standin {

// One row per set.
TResultSet HeaderRows(const TServerVersion& server, const std::vector<TBackupSetInfo>& sets);
// One row per file of the set.
TResultSet FileListRows(const TServerVersion& server, const TBackupSetInfo& set);
// One row for the media.
TResultSet LabelRows(const TServerVersion& server, const std::vector<TBackupSetInfo>& sets);

}  // namespace Velmora::Standin
