// The engine's error table, its user-visible texts and its one exception class.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>

#include "host/db/DB.h"
#include "host/rtl/Format.h"

namespace zan {

// One row of the error table.
struct ZanErr {
    int32_t Code;
    const char* Message;
};

// Rows 0 and 317 are 65535 "Error code unknown"; rows 1-316 hold each engine code once.
inline constexpr int C_ZANERRORCOUNT = 318;
extern const ZanErr C_ZANERRORS[C_ZANERRORCOUNT];

// The row for a code: the first of rows 1-316 that carries it, else row 0.
const ZanErr& FindZanErr(int32_t code);

// The engine's user-visible texts, each with its fixed id.
#define ZAN_RESSTRING(id, name, text) inline constexpr std::string_view name = text;
#include "engine/storage/zan_resstrings.inc"
#undef ZAN_RESSTRING

struct TZanResString {
    int32_t Id;
    const char* Name;
    std::string_view Text;
};
inline constexpr int C_ZANRESSTRINGCOUNT = 108;
extern const TZanResString C_ZANRESSTRINGS[C_ZANRESSTRINGCOUNT];

// The text of a resource id; empty for an id that does not exist.
std::string_view LoadResString(int32_t id);

// The engine's one exception class.
class EZanDatabaseError : public EDatabaseError {
public:
    EZanDatabaseError(int32_t code, const TObject* object, const std::string& customMessage,
                      const std::string& tableMessage);
    const char* ClassName() const noexcept override { return "EZanDatabaseError"; }

    int32_t ErrorCode;          // the code as raised, even when the table does not know it
    std::string ErrorMessage;   // the message of the table row found
    const TObject* ErrorObject; // the object concerned; not owned
};

// Looks the code up, writes the trace line, raises EZanDatabaseError.
[[noreturn]] void ZanDatabaseError(int32_t code, std::string_view context,
                                   std::string_view customMessage = {},
                                   const TObject* object = nullptr);

// The same with the custom message built by Format.
[[noreturn]] void ZanDatabaseErrorFmt(int32_t code, std::string_view context,
                                      std::string_view format, std::initializer_list<TVarRec> args,
                                      const TObject* object = nullptr);

// Raises error 8581 (internal error) with "<text> (<file>, line <n>)" as the custom message.
[[noreturn]] void ZanAssertionFailed(std::string_view text, const std::source_location& where);

// Internal consistency check, active in every build.
inline void ZanAssert(bool condition, std::string_view text,
                      std::source_location where = std::source_location::current()) {
    if (!condition) ZanAssertionFailed(text, where);
}

} // namespace zan
