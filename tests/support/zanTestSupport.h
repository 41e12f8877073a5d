// Small helpers shared by the engine's tests.
#pragma once

#include <cstdint>
#include <filesystem>
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

// Every byte of a file.
inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::vector<uint8_t> out(std::filesystem::file_size(path));
    TWinFile f;
    f.Open(path, faRead, fsDenyNone);
    out.resize(f.ReadAt(out.data(), out.size(), 0));
    return out;
}

} // namespace zan
