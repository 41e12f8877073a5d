// The product's distributable and fresh machines to run OrvexDemoInstall on, for the end-to-end
// and the virtual-display tests: the build (-b) runs once and is kept as host files beside the
// tests' temporary folders, shared by test processes under a lock and rebuilt for a newer program.
// Needs ORVEX_PROGRAM, E2E_LOADER, ORVEX_PAYLOAD and ORVEX_TEST_DIR from the build.
#pragma once

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

#include "host/rtl/ScopeExit.h"
#include "host/win/WinFs.h"
#include "host/win/WinProcess.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/wizard/frmMain.h"
#include "support/build_machine.h"
#include "support/sandbox.h"

namespace product_e2e {

using zan::TProductFile;
using zan::TScopeExit;
using zan::WinCreateProcess;
using zan::WinReadFile;
using zan::WinWaitProcess;

inline const std::string Dest = "C:\\Program Files\\Orvex";
inline const std::string D7Root = "C:\\Program Files\\Borland\\Delphi7";
inline const std::string D7Key = "\\software\\Borland\\Delphi\\7.0";

// The lines of a text, cut at each separator (a last line without one counts).
inline std::vector<std::string> SplitLines(const std::string& text, const std::string& separator) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + separator.size();
    }
    return out;
}

inline int RunSetupProgram(const std::vector<std::string>& args, const std::string& program = "C:\\build\\setup.exe") {
    return WinWaitProcess(WinCreateProcess(program, args));
}

// The distributable, built once on its own machine and kept as host files beside the tests'
// temporary folders; test processes running side by side share it under a lock, and a newer
// program makes it be built again.
inline const std::string& Distribution() {
    static const std::string dir = [] {
        const char* tmp = std::getenv("ZAN_TEST_TMP");
        std::string kept = std::string(tmp ? tmp : "/tmp") + "/orvex_distribution";
        std::string stamp = std::to_string(std::filesystem::last_write_time(ORVEX_PROGRAM).time_since_epoch().count());
        std::filesystem::create_directories(std::filesystem::path(kept).parent_path());
        int lock = open((kept + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
        flock(lock, LOCK_EX);
        TScopeExit unlock([lock] { close(lock); });
        if (TSandbox::ReadHostFile(kept + "/stamp") == stamp) return kept;
        std::error_code ec;
        std::filesystem::remove_all(kept, ec);
        TSandbox box("orvex_build");
        PrepareBuildMachine(box, ORVEX_PROGRAM, E2E_LOADER);
        setenv("ZAN_FORMS", "headless", 1);
        int status = RunSetupProgram({"-b"}, "C:\\dev\\setup");
        if (status != 3) throw std::runtime_error("the build ended with " + std::to_string(status));
        std::filesystem::copy(box.C("build"), kept, std::filesystem::copy_options::recursive);
        TSandbox::WriteHostFile(kept + "/stamp", stamp);
        return kept;
    }();
    return dir;
}

// A fresh machine with the distributable in C:\build and a scripted headless wizard.
struct TProductMachine : TSandbox {
    explicit TProductMachine(const std::string& name, const std::string& script)
        : TSandbox((Distribution(), name)), Script(Root + "/script.txt"), Transcript(Root + "/transcript.txt") {
        std::filesystem::copy(Distribution(), C("build"), std::filesystem::copy_options::recursive);
        WriteHostFile(Script, script);
        setenv("ZAN_FORMS", "headless", 1);
        setenv("ZAN_FORMS_SCRIPT", Script.c_str(), 1);
        setenv("ZAN_FORMS_TRANSCRIPT", Transcript.c_str(), 1);
    }
    ~TProductMachine() {
        unsetenv("ZAN_FORMS_SCRIPT");
        unsetenv("ZAN_FORMS_TRANSCRIPT");
    }
    // The forms shown, in order (frames left out).
    std::vector<std::string> Forms() const {
        std::vector<std::string> out;
        for (const std::string& line : SplitLines(ReadHostFile(Transcript), "\n"))
            if (line.rfind("form ", 0) == 0 && line.find("TBaseFormContainer") == std::string::npos &&
                line.find("TMainForm") == std::string::npos && line.find("TInstallStatusForm") == std::string::npos)
                out.push_back(line.substr(5, line.find(' ', 5) - 5));
        return out;
    }
    std::string Script, Transcript;
};

// The lines of a log file of the machine (CR LF).
inline std::vector<std::string> LogLines(const std::string& path) { return SplitLines(WinReadFile(path), "\r\n"); }

inline const char* const HappyScript = "[TWelcomeForm] click ProceedBtn\n"
                                "[TLicenseForm] click ProceedBtn\n"
                                "[TSelectDestinationForm] click ProceedBtn\n"
                                "[TConfirmInstall] click ProceedBtn\n"
                                "[TReadmeForm] click ProceedBtn\n"
                                "[TAfterGoodInstallDlg] click FinishBtn\n";

// The forms of the happy path, in order (frames left out).
inline const std::vector<std::string> HappyForms = {"TWelcomeForm", "TLicenseForm", "TSelectDestinationForm",
                                                    "TConfirmInstall", "TCopyFileForm", "TReadmeForm",
                                                    "TAfterGoodInstallDlg"};

// A golden file of tests/setup/product/golden, one line each.
inline std::vector<std::string> Golden(const std::string& name) {
    return SplitLines(TSandbox::ReadHostFile(std::string(ORVEX_TEST_DIR) + "/golden/" + name), "\n");
}

inline std::string PayloadFile(const TProductFile& f) {
    return std::string(ORVEX_PAYLOAD) + "/" + f.Directory + "/" + f.Name;
}

inline std::string InstalledPath(const TProductFile& f) {
    std::string dir = f.Directory;
    if (dir == "Sys") return "C:\\WINDOWS\\system32\\" + std::string(f.Name);
    std::string sub = dir == "Main" ? "" : dir == "Help" ? "\\Help" : dir == "Demo" ? "\\Demo"
                    : dir == "Utils" ? "\\Utils" : "\\Delphi7";
    return Dest + sub + "\\" + f.Name;
}

} // namespace product_e2e
