// Registry access of the installer: TcrvnRegistry (nested key paths, absolute when they start
// with "\", relative to the open key otherwise), the read and write routines by root index,
// the recursive key delete and the RunOnce entry. Reads answer their default and never create
// keys.
#pragma once

#include <cstdint>
#include <string>

#include "host/win/WinRegistry.h"

namespace zan {

enum TRootKeys : uint8_t {
    hkClassesRoot,
    hkCurrentConfig,
    hkCurrentUser,
    hkDynData,
    hkLocalMachine,
    hkUsers
};

class TcrvnRegistry : public TRegistry {
public:
    ZAN_CLASS(TcrvnRegistry)
    // Creates a missing key when canCreate; on success the key becomes the current key.
    bool OpenNestedKey(const std::string& key, bool canCreate);
    bool NestedKeyExists(const std::string& key);
    // Deletes every subkey recursively, then the key; answers whether the last delete worked.
    bool DeleteNestedKeyTree(const std::string& key);
};

// Sets the registry's root from a TRootKeys value (other values leave it).
void SetRegistryRoot(TRegistry& registry, int rootIndex);
// The index of a predefined key; defaultIndex for any other key.
int RegistryRootFromKey(HKEY key, int defaultIndex);

// EIRCannotWriteValue "Cannot install into registry. Key: %s Ident: %s Value %s" on failure.
void RegWriteString(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                    const std::string& value);
// EIRCannotWriteValue with the key as its message on failure.
void RegWriteInteger(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                     int32_t value);
std::string RegReadString(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                          const std::string& defaultValue);
int32_t RegReadInteger(TRootKeys rootIndex, const std::string& key, const std::string& ident,
                       int32_t defaultValue);
// Deletes the key with all its subkeys; errors are swallowed.
void RegDeleteKeyTree(TRootKeys rootIndex, const std::string& key);

inline constexpr const char* RunOnceKeyPath =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// Writes command as a RunOnce value (HKCU on NT 4, 2000 and XP, else HKLM); with unique the
// name is name, name1, name2, ... the first not yet there. Written through at once. Answers
// whether it was written.
// The next value of a counter kept in the registry (a use count, an "Entries" string): one more,
// held at the top of the 32-bit range rather than overflowing, since a left-over value can hold
// anything.
inline int32_t NextRegCount(int32_t count) {
    return count == INT32_MAX ? INT32_MAX : count + 1;
}
bool AddRunOnceEntry(const std::string& name, const std::string& command, bool unique);

} // namespace zan
