// A fresh emulated Windows machine in a temporary folder for one test; removed afterwards.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>

#include "host/win/WinEnv.h"
#include "host/win/WinPaths.h"
#include "host/win/WinShell.h"
#include "host/win/child_process.h"

struct TSandbox {
    explicit TSandbox(const std::string& name, zan::TInitEnvOptions options = {})
        : Root(zan::TestTempPath("sandbox_" + name)) {
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
        zan::InitEnv(Root, options);
        zan::WinSetCurrentDirectory("C:\\");
    }
    ~TSandbox() {
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
    }
    TSandbox(const TSandbox&) = delete;
    TSandbox& operator=(const TSandbox&) = delete;

    // A host path below drive C:.
    std::string C(const std::string& rel) const { return Root + "/drive_c/" + rel; }
    // Writes a host file (made executable when it starts with "#!").
    static void WriteHostFile(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        if (text.rfind("#!", 0) == 0) chmod(path.c_str(), 0755);
    }
    static std::string ReadHostFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string Root;
};

// The message of the E that f raises; "(nothing raised)" when it returns.
template <typename E>
std::string MessageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

// The Windows error code f raises (EWinError); 0 when it returns.
inline uint32_t WinCodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const zan::EWinError& e) {
        return e.Code;
    }
    return 0;
}
