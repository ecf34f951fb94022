#pragma once
// The run lock on a POSIX system: an exclusive flock on a file in the server's
// directory. The system drops the lock with the last descriptor, so a run that is
// killed gives it back; two lock objects in one process exclude each other too.

#include <string>

#include "platform/RunLock.h"

namespace Velmora {

class TPosixRunLock : public IRunLock {
public:
    // The lock file's name in the server directory.
    static const char* const FileName;

    explicit TPosixRunLock(std::string serverDirectory) : FServerDirectory(std::move(serverDirectory)) {}
    ~TPosixRunLock() override { Release(); }
    TPosixRunLock(const TPosixRunLock&) = delete;
    TPosixRunLock& operator=(const TPosixRunLock&) = delete;

    bool TryAcquire() override;
    void Release() noexcept override;

private:
    std::string FServerDirectory;
    int FFd = -1;
};

}  // namespace Velmora
