// Small helpers shared by the engine's tests.
#pragma once

#include <cstdint>
#include <string>

#include "engine/storage/zanConsts.h"

namespace zan {

// Runs the action and answers the engine error code it raised (0 when it raised none); the
// error's message goes to message when one is given.
template <typename F>
int32_t ErrorCodeOf(F&& action, std::string* message = nullptr) {
    try {
        action();
    } catch (const EZanDatabaseError& e) {
        if (message) *message = e.Message();
        return e.ErrorCode;
    }
    return 0;
}

} // namespace zan
