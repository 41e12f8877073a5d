// clang 14 over libstdc++ 12 has no std::source_location (its builtin came with clang 15). The
// fuzz build, the only one made with clang, includes this stand-in before every C++ file; it is
// built on the location builtins clang 14 has. Other builds never see it.
#pragma once

#include <version>

#if !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {

struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             uint_least32_t line = __builtin_LINE(),
                                             uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location here;
        here.FFile = file;
        here.FFunction = function;
        here.FLine = line;
        here.FColumn = column;
        return here;
    }
    constexpr const char* file_name() const noexcept { return FFile; }
    constexpr const char* function_name() const noexcept { return FFunction; }
    constexpr uint_least32_t line() const noexcept { return FLine; }
    constexpr uint_least32_t column() const noexcept { return FColumn; }

private:
    const char* FFile = "";
    const char* FFunction = "";
    uint_least32_t FLine = 0;
    uint_least32_t FColumn = 0;
};

} // namespace std
#endif
