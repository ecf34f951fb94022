#pragma once
// The run lock on a POSIX system: an exclusive flock on a file in the server's
// directory, and one on the work folder itself, so that two runs on one work folder
// exclude each other whatever servers they use. The work folder's lock is taken on
// its own directory handle: nothing is written into it. The system drops a lock with
// the last descriptor, so a run that is killed gives it back; two lock objects in one
// process exclude each other too.

#include <string>

#include "platform/RunLock.h"

namespace Velmora {

class TPosixRunLock : public IRunLock {
public:
    // The lock file's name in the server directory.
    static const char* const FileName;

    // workFolder: the run's work folder; none when empty. A work folder that does not
    // exist is not locked: the run itself finds it missing.
    explicit TPosixRunLock(std::string serverDirectory, std::string workFolder = std::string())
        : FServerDirectory(std::move(serverDirectory)), FWorkFolder(std::move(workFolder))
    {
    }
    ~TPosixRunLock() override { Release(); }
    TPosixRunLock(const TPosixRunLock&) = delete;
    TPosixRunLock& operator=(const TPosixRunLock&) = delete;

    bool TryAcquire() override;
    void Release() noexcept override;

private:
    // Takes the lock on fd, or closes it: false while another holds it.
    static bool Lock(int fd, const std::string& what);

    std::string FServerDirectory;
    std::string FWorkFolder;
    int FFd = -1;
    int FFolderFd = -1;
};

}  // namespace Velmora
