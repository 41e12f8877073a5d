// Runs a clean-up when the scope ends, on every path (the C++ form of try/finally).
#pragma once

#include <utility>

namespace zan {

template <typename F>
class TScopeExit {
public:
    explicit TScopeExit(F action) : FAction(std::move(action)) {}
    // A clean-up that fails while the scope unwinds cannot be reported; it is dropped so that
    // the exception already on its way is the one the caller sees.
    ~TScopeExit() {
        try {
            FAction();
        } catch (...) {
        }
    }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

private:
    F FAction;
};

} // namespace zan
