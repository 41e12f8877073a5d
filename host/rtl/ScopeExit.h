// Runs a clean-up when the scope ends, on every path (the C++ form of try/finally).
#pragma once

#include <exception>
#include <utility>

namespace zan {

template <typename F>
class TScopeExit {
public:
    explicit TScopeExit(F action)
        : FAction(std::move(action)), FUncaught(std::uncaught_exceptions()) {}
    // A clean-up that fails on the normal path raises its exception to the caller, as a finally
    // part would. One that fails while the scope unwinds cannot be reported; it is dropped so
    // that the exception already on its way is the one the caller sees. A clean-up that must
    // never raise says so itself (noexcept or its own try/catch).
    ~TScopeExit() noexcept(false) {
        if (std::uncaught_exceptions() > FUncaught) {
            try {
                FAction();
            } catch (...) {
            }
        } else {
            FAction();
        }
    }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

private:
    F FAction;
    int FUncaught;
};

// Keeps a list or collection in its update state for the scope: BeginUpdate now, EndUpdate at
// the end, so the change notification runs once and, on the normal path, its error reaches the
// caller.
template <typename T>
[[nodiscard]] auto UpdateScope(T& target) {
    target.BeginUpdate();
    return TScopeExit([&target] { target.EndUpdate(); });
}

} // namespace zan
