// A critical section: a lock that the thread holding it may take again (each Enter needs its
// Leave). Usable with std::lock_guard / std::unique_lock through lock() / unlock().
#pragma once

#include <mutex>

#include "host/rtl/Classes.h"

namespace zan {

class TCriticalSection : public TObject {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;
    ZAN_CLASS(TCriticalSection)

    void Enter() { FMutex.lock(); }
    void Leave() { FMutex.unlock(); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }

    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return FMutex.try_lock(); }

private:
    std::recursive_mutex FMutex;
};

} // namespace zan
