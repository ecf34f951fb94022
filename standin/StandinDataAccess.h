#pragma once
// The database port on top of the embedded stand-in server.

#include <string>
#include <vector>

#include "platform/Database.h"

namespace Velmora::Standin {

class TStandinDataAccess : public IDataAccess {
public:
    // The server directory holds the catalog; see DefaultServerDirectory().
    explicit TStandinDataAccess(std::string serverDirectory);
    std::unique_ptr<IConnection> CreateConnection() override;

private:
    std::string FServerDirectory;
};

// A statement's whole answer on a stand-in connection, for a client that shows
// what the server returns: the column names (none for a statement without a
// result set) and, for INSERT, UPDATE and DELETE, the rows it changed (-1 otherwise).
struct TStandinAnswer {
    std::vector<std::string> Columns;
    std::vector<std::vector<TFieldValue>> Rows;
    long long RowsAffected = -1;
};
// connection must come from a TStandinDataAccess; raises EProviderError as a query would.
TStandinAnswer ExecuteOnStandin(IConnection& connection, const std::string& statement);

}  // namespace Velmora::Standin
