// Small helpers shared by the engine's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "host/win/WinFiles.h"

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

// The whole file as bytes, and a file replaced by bytes (for damaged-file tests).
inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    TWinFile f;
    f.Open(path, faRead, fsDenyNone);
    std::vector<uint8_t> bytes(static_cast<size_t>(f.Size()));
    if (!bytes.empty()) f.ReadAt(bytes.data(), bytes.size(), 0);
    return bytes;
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    TWinFile f;
    f.Create(path, fsDenyNone, true);
    if (!bytes.empty()) f.WriteAt(bytes.data(), bytes.size(), 0);
}

} // namespace zan
