#pragma once
// Where the stand-in server keeps its catalog, its service state and the files
// of databases created without an explicit place.

#include <string>

namespace Velmora::Standin {

// VELMORA_SERVER_DIR when set, otherwise $XDG_STATE_HOME/velmora/server
// (~/.local/state/velmora/server). Not created here; the server creates it on first use.
std::string DefaultServerDirectory();

}  // namespace Velmora::Standin
