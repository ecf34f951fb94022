#pragma once
// The RESTORE DATABASE statement of the restore step, also for the tests that
// send it to a server with names of their own.

#include <string>
#include <vector>

namespace Velmora {

struct TFileMove {
    std::string LogicalName;
    std::string Target;
};

// Texts as they are (quoted here); position 0 leaves out FILE=, so the server takes the first set.
std::string RestoreStatement(const std::string& media, int position, const std::vector<TFileMove>& moves);

}  // namespace Velmora
