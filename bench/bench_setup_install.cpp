// The install component end to end, in one run, on a product-like script (97 files in three
// directories, about 20 MB of text and random bytes):
//  - a headless install (the whole run: record, archive information, file pass, uninstall
//    entries) against extracting the same archive with the archive component alone: aim <= 1.5x;
//  - the build's compress pass against AddFiles of the same files into one archive: aim <= 1.2x;
//  - registry writes of the size of a product install (300 values): one hive rewrite per write,
//    and in one write batch (the install run's way).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "host/win/WinRegistry.h"
#include "host/win/WinShell.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"

using namespace zan;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// 97 sources under C:\src: text of varying length and some incompressible files.
std::vector<std::string> MakeSources(const std::string& root, uint64_t& bytes) {
    std::mt19937 gen(7);
    static const char* words[] = {"setup", "install", "archive", "table", "index", "record",
                                  "version", "the", "file", "disk", "value", "engine"};
    std::vector<std::string> names;
    for (int i = 0; i < 97; ++i) {
        std::string data;
        size_t size = 120000 + gen() % 160000;
        if (i % 8 == 0) {
            data.resize(size);
            for (char& c : data)
                c = static_cast<char>(gen());
        } else {
            while (data.size() < size) {
                data += words[gen() % 12];
                data += gen() % 9 ? " " : "\r\n";
            }
        }
        std::string name = "file" + std::to_string(i) + (i % 8 == 0 ? ".bin" : ".txt");
        fs::create_directories(root + "/drive_c/src");
        std::ofstream(root + "/drive_c/src/" + name, std::ios::binary) << data;
        bytes += data.size();
        names.push_back(name);
    }
    return names;
}

} // namespace

int main() {
    char dir[] = "/tmp/bench_setup_install_XXXXXX";
    std::string root = mkdtemp(dir);
    InitEnv(root, {});
    uint64_t bytes = 0;
    std::vector<std::string> names = MakeSources(root, bytes);
    std::printf("Install component: %zu files, %.1f MB\n", names.size(), bytes / 1e6);
    {
        TDataModule owner;
        auto* install = new TInstall(&owner);
        install->SetRunAutomatic(false);
        install->SetUseLoadingProgram(true);
        install->SetSwitch('s', true, "C:\\dist");
        install->Information = {"Bench", "Product", "1.0"};
        TInstallDirectory* dirs[3];
        for (int d = 0; d < 3; ++d) {
            dirs[d] = new TInstallDirectory(&owner);
            dirs[d]->SetName("Dir" + std::to_string(d));
            dirs[d]->SetContainer(install);
            dirs[d]->SetDestDir("\\d" + std::to_string(d));
        }
        for (size_t i = 0; i < names.size(); ++i) {
            auto* f = new TInstallFile(&owner);
            f->SetName("F" + std::to_string(i));
            f->SetContainer(dirs[i % 3]);
            f->SetIncludeFromDir("C:\\src");
            f->SetFileName(names[i]);
        }
        auto start = Clock::now();
        install->Compress(46);
        double build = Seconds(start);

        TCrvnCompress plain;
        plain.SetCompressedFile("C:\\plain\\files.1");
        WinForceDirectories("C:\\plain");
        for (const std::string& n : names)
            plain.GetFilesToProcess().Add("C:\\src\\" + n);
        start = Clock::now();
        plain.AddFiles(lzcOverwrite, 0);
        double add = Seconds(start);
        std::printf("build (compress pass) %.2f s, AddFiles %.2f s: ratio %.2f (aim <= 1.2)\n", build,
                    add, build / add);

        start = Clock::now();
        install->Process();
        double run = Seconds(start);
        TCrvnCompress reader;
        reader.SetCompressedFile("C:\\dist\\files.1");
        reader.SetExtractDirectory("C:\\extracted");
        WinForceDirectories("C:\\extracted");
        for (const std::string& n : names)
            reader.GetFilesToProcess().Add("C:\\src\\" + n);
        start = Clock::now();
        reader.ExtractFiles();
        double extract = Seconds(start);
        std::printf("install run %.2f s, ExtractFiles %.2f s: ratio %.2f (aim <= 1.5)\n", run,
                    extract, run / extract);
    }
    {
        auto start = Clock::now();
        for (int i = 0; i < 300; ++i)
            RegWriteString(hkLocalMachine, "\\SOFTWARE\\Bench\\Files", "File" + std::to_string(i),
                           "C:\\Program Files\\Product\\file" + std::to_string(i) + ".txt");
        double writes = Seconds(start);
        std::printf("registry: 300 writes %.3f s, %.2f ms per write (hive rewrite), hive %zu bytes\n",
                    writes, writes * 1000 / 300, RegHiveText(HKEY_LOCAL_MACHINE).size());
        start = Clock::now();
        {
            TRegWriteBatch batch;
            for (int i = 0; i < 300; ++i)
                RegWriteString(hkLocalMachine, "\\SOFTWARE\\Bench\\Batched", "File" + std::to_string(i),
                               "C:\\Program Files\\Product\\file" + std::to_string(i) + ".txt");
        }
        writes = Seconds(start);
        std::printf("registry: 300 writes in one batch %.3f s, %.3f ms per write (one hive write)\n",
                    writes, writes * 1000 / 300);
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return 0;
}
