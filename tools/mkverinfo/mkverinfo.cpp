// mkverinfo: writes a version block for the ".verinfo" section of a program.
//
//   mkverinfo OUTPUT [--file-version a.b.c.d] [--product-version a.b.c.d] [--os N] [--type N]
//             [--subtype N] [--translation HEX] [--string TABLE:KEY=VALUE]...
//
// TABLE is 8 hex digits (language id and code page, "040904E4"); --translation takes the
// value's bytes in hex ("0904E404" is language 0x0409, code page 0x04E4). Stamp the block with
//   objcopy --add-section .verinfo=OUTPUT --set-section-flags .verinfo=noload,readonly PROGRAM
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "setup/engine/cmp_TVersionResource.h"

using namespace zan;

namespace {

bool ParseVersion(const std::string& text, uint32_t& ms, uint32_t& ls) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) < 1 || a > 0xFFFF || b > 0xFFFF ||
        c > 0xFFFF || d > 0xFFFF)
        return false;
    ms = a << 16 | b;
    ls = c << 16 | d;
    return true;
}

int Usage(const char* why) {
    std::cerr << "mkverinfo: " << why << "\n"
              << "usage: mkverinfo OUTPUT [--file-version a.b.c.d] [--product-version a.b.c.d] "
                 "[--os N] [--type N] [--subtype N] [--translation HEX] "
                 "[--string TABLE:KEY=VALUE]...\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no output file");
    TVersionBlock block;
    TFixedFileInfo fixed;
    bool hasFixed = false;
    for (int i = 2; i < argc; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc) return Usage(("missing value for " + opt).c_str());
        std::string value = argv[++i];
        if (opt == "--file-version" || opt == "--product-version") {
            uint32_t ms, ls;
            if (!ParseVersion(value, ms, ls)) return Usage(("bad version " + value).c_str());
            (opt == "--file-version" ? fixed.dwFileVersionMS : fixed.dwProductVersionMS) = ms;
            (opt == "--file-version" ? fixed.dwFileVersionLS : fixed.dwProductVersionLS) = ls;
            hasFixed = true;
        } else if (opt == "--os" || opt == "--type" || opt == "--subtype") {
            uint32_t n = static_cast<uint32_t>(std::stoul(value, nullptr, 0));
            (opt == "--os" ? fixed.dwFileOS : opt == "--type" ? fixed.dwFileType : fixed.dwFileSubtype) = n;
            hasFixed = true;
        } else if (opt == "--translation") {
            if (value.size() % 2 != 0) return Usage("odd hex length");
            for (size_t k = 0; k < value.size(); k += 2)
                block.Translation.push_back(static_cast<char>(std::stoul(value.substr(k, 2), nullptr, 16)));
        } else if (opt == "--string") {
            size_t colon = value.find(':'), eq = value.find('=');
            if (colon != 8 || eq == std::string::npos || eq < colon)
                return Usage(("bad string " + value).c_str());
            std::string table = value.substr(0, 8);
            TVersionStringTable* t = nullptr;
            for (auto& existing : block.Tables)
                if (existing.Name == table) t = &existing;
            if (!t) {
                block.Tables.push_back({table, {}});
                t = &block.Tables.back();
            }
            t->Values.emplace_back(value.substr(colon + 1, eq - colon - 1), value.substr(eq + 1));
        } else {
            return Usage(("unknown option " + opt).c_str());
        }
    }
    if (hasFixed) block.Fixed = fixed;
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    std::string bytes = SerializeVersionBlock(block);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::cerr << "mkverinfo: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
