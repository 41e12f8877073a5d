// The setup archive against plain zlib, in one run, on a product-like tree (97 files, about
// 20 MB of text, ELF programs, random and zero bytes) and on one 256 MB file, at colFastest,
// colDefault and colMax:
//  - ExtractFiles into real files against an inflate loop over the same compressed bytes held in
//    memory (64 KiB output, discarded): aim a throughput ratio of at least 0.80; for context, the
//    same loop writing plain host files ("to files", no sandbox);
//  - AddFiles against deflate of the same files at the same level, written to a file: aim 0.90;
//  - extraction from 1.44 MB volumes against extraction from the single file;
//  - peak RSS after the 256 MB file against after the tree: it stays flat.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>
#include <zlib.h>

#include "host/rtl/StringList.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "host/win/WinShell.h"
#include "setup/engine/cmp_TCrvnCompress.h"

using namespace zan;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Pseudo-English text: words from a small vocabulary, lines of varying length.
class TTextMaker {
public:
    explicit TTextMaker(uint32_t seed) : FGen(seed) {}
    std::string Make(size_t bytes) {
        static const char* words[] = {
            "the", "database", "engine", "table", "index", "record", "field", "transaction",
            "setup", "install", "file", "archive", "volume", "disk", "version", "language",
            "query", "select", "from", "where", "order", "by", "value", "null", "page", "lock",
            "cursor", "blob", "stream", "header", "commit", "rollback", "user", "password"};
        std::string out;
        out.reserve(bytes + 64);
        while (out.size() < bytes) {
            int n = 4 + static_cast<int>(FGen() % 12);
            for (int i = 0; i < n; ++i) {
                out += words[FGen() % (sizeof words / sizeof words[0])];
                out += i + 1 < n ? ' ' : '.';
            }
            out += FGen() % 3 ? " " : "\r\n";
        }
        out.resize(bytes);
        return out;
    }

private:
    std::mt19937 FGen;
};

void WriteHost(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

struct TSet {
    std::string Name;
    std::vector<std::string> Files; // Windows paths
    uint64_t Bytes = 0;
};

TSet MakeTree(const std::string& root) {
    TSet set{"tree", {}, 0};
    TTextMaker text(1);
    std::mt19937 gen(2);
    auto add = [&](const std::string& rel, const std::string& data) {
        WriteHost(root + "/drive_c/product/" + rel, data);
        set.Files.push_back("C:\\product\\" + rel);
        set.Bytes += data.size();
    };
    for (int i = 0; i < 60; ++i)
        add("doc" + std::to_string(i) + ".txt", text.Make(150000 + gen() % 100000));
    // ELF programs and libraries of the machine, about 4 MB.
    int elf = 0;
    uint64_t elfBytes = 0;
    for (const char* dir : {"/usr/bin", "/usr/lib/x86_64-linux-gnu"}) {
        std::error_code ec;
        for (auto& e : fs::directory_iterator(dir, ec)) {
            if (elf >= 20 || elfBytes > 4000000) break;
            if (!e.is_regular_file(ec) || e.file_size(ec) < 20000 || e.file_size(ec) > 900000)
                continue;
            std::ifstream in(e.path(), std::ios::binary);
            std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (data.compare(0, 4, "\x7f" "ELF") != 0) continue;
            add("bin" + std::to_string(elf++) + ".so", data);
            elfBytes += data.size();
        }
    }
    while (elf < 20) {
        add("bin" + std::to_string(elf++) + ".so", "\x7f" "ELF" + text.Make(200000));
    }
    for (int i = 0; i < 10; ++i) {
        std::string r(200000, '\0');
        for (char& c : r)
            c = static_cast<char>(gen());
        add("random" + std::to_string(i) + ".dat", r);
    }
    for (int i = 0; i < 7; ++i)
        add("zeros" + std::to_string(i) + ".dat", std::string(150000, '\0'));
    return set;
}

TSet MakeBigFile(const std::string& root) {
    TSet set{"256MB", {"C:\\big\\big.txt"}, 0};
    std::string host = root + "/drive_c/big/big.txt";
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    TTextMaker text(3);
    std::mt19937 gen(4);
    for (int i = 0; i < 256; ++i) {
        std::string chunk = text.Make(1 << 20);
        // A little incompressible data, as binaries and pictures in a real product have.
        for (int k = 0; k < 4096; ++k)
            chunk[gen() % chunk.size()] = static_cast<char>(gen());
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        set.Bytes += chunk.size();
    }
    return set;
}

void Lines(TCrvnCompress& c, const std::vector<std::string>& files) {
    TStringList list;
    for (auto& f : files)
        list.Add(f);
    c.SetFilesToProcess(list);
}

double AddFiles(const TSet& set, const std::string& archive, TCompressionLevel level) {
    TCrvnCompress c;
    c.SetCompressedFile(archive);
    c.SetCompressionLevel(level);
    Lines(c, set.Files);
    auto start = Clock::now();
    c.AddFiles(lzcOverwrite, 1);
    return Seconds(start);
}

double Extract(const TSet& set, const std::string& archive, const std::string& dest,
               bool volumes = false) {
    TCrvnCompress c;
    c.SetCompressedFile(archive);
    c.SetExtractDirectory(dest);
    c.SetOverwrite(owAlways);
    if (volumes)
        c.OnNewDisk = [](TObject*, int disk, std::string& path) {
            WinInsertDisk(disk);
            path = "A:\\";
        };
    Lines(c, set.Files);
    // Into fresh files: replacing the previous run's files would time their deletion too.
    std::error_code ec;
    fs::remove_all(WinPathToHost(dest), ec);
    auto start = Clock::now();
    c.ExtractFiles();
    return Seconds(start);
}

// Plain deflate of the same files at the same level, 64 KiB reads, output written to a file.
double PlainDeflate(const TSet& set, const std::string& outHost, int level) {
    std::vector<char> in(65536), out(65536);
    auto start = Clock::now();
    FILE* o = std::fopen(outHost.c_str(), "wb");
    for (const std::string& f : set.Files) {
        FILE* s = std::fopen(WinPathToHost(f).c_str(), "rb");
        z_stream zs{};
        deflateInit(&zs, level);
        int flush;
        do {
            size_t n = std::fread(in.data(), 1, in.size(), s);
            flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
            zs.next_in = reinterpret_cast<Bytef*>(in.data());
            zs.avail_in = static_cast<uInt>(n);
            do {
                zs.next_out = reinterpret_cast<Bytef*>(out.data());
                zs.avail_out = static_cast<uInt>(out.size());
                deflate(&zs, flush);
                std::fwrite(out.data(), 1, out.size() - zs.avail_out, o);
            } while (zs.avail_out == 0);
        } while (flush != Z_FINISH);
        deflateEnd(&zs);
        std::fclose(s);
    }
    std::fclose(o);
    return Seconds(start);
}

// Inflate of every stream of the archive from memory, 64 KiB output discarded, or (with
// outDir) written to plain files there, for how much of the difference is file I/O.
double PlainInflate(const std::string& archiveHost, const std::string& outDir = "") {
    std::ifstream in(archiveHost, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TArchiveDirectory dir = ReadArchiveHeadersFromBytes(bytes);
    std::vector<char> out(65536);
    auto start = Clock::now();
    uint64_t total = 0;
    int fileNo = 0;
    for (const TFileHeader& h : dir.Headers) {
        FILE* o = nullptr;
        if (!outDir.empty()) {
            fs::create_directories(outDir);
            o = std::fopen((outDir + "/" + std::to_string(fileNo++)).c_str(), "wb");
        }
        z_stream zs{};
        inflateInit(&zs);
        zs.next_in = reinterpret_cast<Bytef*>(bytes.data() + h.Rec.FirstByte);
        zs.avail_in = static_cast<uInt>(h.Rec.LastByte - h.Rec.FirstByte + 1);
        int ret;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(out.data());
            zs.avail_out = static_cast<uInt>(out.size());
            ret = inflate(&zs, Z_NO_FLUSH);
            total += out.size() - zs.avail_out;
            if (o) std::fwrite(out.data(), 1, out.size() - zs.avail_out, o);
        } while (ret == Z_OK);
        inflateEnd(&zs);
        if (o) std::fclose(o);
    }
    double s = Seconds(start);
    if (total == 0) std::printf("(nothing inflated)\n");
    return s;
}

} // namespace

int main() {
    char dir[] = "/tmp/bench_setup_archive_XXXXXX";
    std::string root = mkdtemp(dir);
    TInitEnvOptions options;
    options.SeedShellFolders = false;
    InitEnv(root, options);
    std::printf("Setup archive against plain zlib (MB/s of uncompressed bytes)\n");
    TSet tree = MakeTree(root);
    std::printf("tree: %zu files, %.1f MB\n", tree.Files.size(), tree.Bytes / 1e6);
    const TCompressionLevel levels[] = {colFastest, colDefault, colMax};
    const char* levelNames[] = {"colFastest", "colDefault", "colMax"};

    struct TRow {
        double Add, Extract, Deflate, Inflate, InflateFiles;
    };
    TRow rows[2][3];
    long rssTree = 0, rssBig = 0;
    TSet big;
    for (int s = 0; s < 2; ++s) {
        const TSet& set = s == 0 ? tree : (big = MakeBigFile(root));
        for (int l = 0; l < 3; ++l) {
            std::string archive = "C:\\out\\" + set.Name + std::to_string(l) + ".1";
            rows[s][l].Add = AddFiles(set, archive, levels[l]);
            rows[s][l].Extract = Extract(set, archive, "C:\\dest" + std::to_string(s));
        }
        (s == 0 ? rssTree : rssBig) = PeakRssKiB();
        fs::remove_all(root + "/drive_c/dest" + std::to_string(s));
    }
    // Volumes: the tree's default-level archive on 1.44 MB floppies.
    double single = 0, fromVolumes = 0;
    int disks = 0;
    {
        TCrvnCompress c;
        c.SetCompressedFile("C:\\out\\tree1.1");
        c.OnNewDisk = [&](TObject*, int disk, std::string& path) {
            disks = disk;
            WinInsertDisk(disk);
            path = "A:\\";
        };
        WinInsertDisk(1);
        c.SplitToVolumes("A:\\", "tree.1");
        WinInsertDisk(1);
        single = Extract(tree, "C:\\out\\tree1.1", "C:\\vdest");
        fromVolumes = Extract(tree, "A:\\tree.1", "C:\\vdest", true);
    }
    // The baselines last, so that their in-memory copies do not count in the peak RSS above.
    for (int s = 0; s < 2; ++s) {
        const TSet& set = s == 0 ? tree : big;
        for (int l = 0; l < 3; ++l) {
            std::string archive = "C:\\out\\" + set.Name + std::to_string(l) + ".1";
            rows[s][l].Deflate = PlainDeflate(set, root + "/plain.z", ZlibLevel(levels[l]));
            rows[s][l].Inflate = PlainInflate(WinPathToHost(archive));
            fs::remove_all(root + "/plainout");
            rows[s][l].InflateFiles = PlainInflate(WinPathToHost(archive), root + "/plainout");
        }
    }
    std::printf("%-6s %-10s %9s %9s %6s %9s %9s %9s %6s\n", "input", "level", "extract",
                "inflate", "ratio", "to files", "add", "deflate", "ratio");
    for (int s = 0; s < 2; ++s) {
        const TSet& set = s == 0 ? tree : big;
        const double mb = set.Bytes / 1e6;
        for (int l = 0; l < 3; ++l) {
            const TRow& r = rows[s][l];
            std::printf("%-6s %-10s %9.1f %9.1f %6.2f %9.1f %9.1f %9.1f %6.2f\n",
                        set.Name.c_str(), levelNames[l], mb / r.Extract, mb / r.Inflate,
                        r.Inflate / r.Extract, mb / r.InflateFiles, mb / r.Add, mb / r.Deflate,
                        r.Deflate / r.Add);
        }
    }
    std::printf("volumes: %d disks of 1.44 MB; extract %.1f MB/s from volumes, %.1f MB/s from "
                "the single file, ratio %.2f\n",
                disks, tree.Bytes / 1e6 / fromVolumes, tree.Bytes / 1e6 / single,
                single / fromVolumes);
    std::printf("peak RSS: %ld KiB after the tree, %ld KiB after the 256 MB file\n", rssTree,
                rssBig);
    fs::remove_all(root);
    return 0;
}
