#pragma once
// One preprocessing run at a time per database server. UFDATA is one database per
// server: two runs at once would restore over each other and fill Bal twice, and
// both would report success.

namespace Velmora {

class IRunLock {
public:
    virtual ~IRunLock() = default;
    // True when the lock is now this run's; false while another run holds it. Raises
    // EVelmoraError when the lock cannot be asked for at all. A run that ends without
    // releasing it (killed, crashed) gives it back through the system.
    virtual bool TryAcquire() = 0;
    // Gives the lock back; nothing when it is not held.
    virtual void Release() noexcept = 0;
};

}  // namespace Velmora
