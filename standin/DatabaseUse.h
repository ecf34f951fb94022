#pragma once
// Which sessions use a database, across every process that opens the same
// server directory (a second host, a velmora-sql session): each holds a shared
// lock on the database's use file for the current generation, which the system
// drops when the process dies. Taking the database offline with ROLLBACK
// IMMEDIATE starts a new generation; the sessions of an older one are ended and
// fail on their next statement.

#include <string>

namespace Velmora::Standin {

class TDatabaseUse {
public:
    // Registers a session of the database (key: its name in lower case). Raises
    // EProviderError when the use file cannot be made.
    TDatabaseUse(const std::string& serverDirectory, const std::string& databaseKey);
    ~TDatabaseUse();
    TDatabaseUse(const TDatabaseUse&) = delete;
    TDatabaseUse& operator=(const TDatabaseUse&) = delete;

    // Whether the sessions of this use's generation have been ended since.
    bool Ended() const;

private:
    std::string FGenerationFile;
    unsigned long long FGeneration = 0;
    int FLock = -1;
};

// Whether any session of any process uses the database now.
bool DatabaseInUse(const std::string& serverDirectory, const std::string& databaseKey);
// Ends every session of the database in every process.
void EndDatabaseUse(const std::string& serverDirectory, const std::string& databaseKey);

}  // namespace Velmora::Standin
