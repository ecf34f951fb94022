#pragma once
// The database port on top of the embedded stand-in server.

#include <string>

#include "platform/Database.h"

namespace Velmora {

class TStandinDataAccess : public IDataAccess {
public:
    // The server directory holds the catalog; see DefaultServerDirectory().
    explicit TStandinDataAccess(std::string serverDirectory);
    std::unique_ptr<IConnection> CreateConnection() override;

private:
    std::string FServerDirectory;
};

}  // namespace Velmora
