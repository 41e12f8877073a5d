// The registry of the emulated machine: one text file per root key under "<root>/registry/"
// (HKLM.reg, HKCU.reg, HKCR.reg, HKU.reg, HKCC.reg, HKDD.reg), with typed values. Key and value
// names ignore case and keep it. A change outside a write batch rewrites the whole hive: the hive
// is re-read first when another process replaced it, then written to a temporary file and
// renamed over the old one, all under an flock of "<hive>.lock"; so two processes writing into
// one hive lose nothing. Inside a batch (below) the hive is written once at its end. fsync
// happens only at flush points (RegFlushHive).
//
// Hive text (".reg"-like, LF line ends):
//   [\SOFTWARE\Orvex]                  a key (full path; "[\]" is the root key itself)
//   "Name"=sz:"text"                   string ("expand:" for an expandable string)
//   @=dword:0000002a                   the default value (unnamed), a 32-bit integer
//   "Blob"=binary:01,ff                bytes; "List"=multi:"a","b" a multi-string
// Inside quotes: \\ \" \n \r \t and \xHH for other control bytes. A damaged hive (hand-edited,
// cut short) is refused with an error naming file and line, and is never overwritten.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/Exceptions.h"
#include "host/rtl/StringList.h"

namespace zan {

using HKEY = uintptr_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr HKEY HKEY_USERS = 0x80000003;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005;
inline constexpr HKEY HKEY_DYN_DATA = 0x80000006;

enum TRegDataType : uint8_t { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary, rdMultiString };

// Registry failures (and damaged hives): the framework's registry exception.
ZAN_EXCEPTION_CLASS(ERegistryException, Exception);

struct TRegValue {
    std::string Name;  // "" is the default value
    TRegDataType Type = rdString;
    std::string Data;  // text; 4 bytes little-endian for rdInteger; bytes; '\0'-joined strings
};

// The short name of a root key ("HKLM") and its hive file; ERegistryException for other keys.
std::string RootKeyShortName(HKEY root);
std::string HiveFileName(HKEY root);

// Low-level access by root and full key path (no leading "\"; "" is the root key).
bool RegKeyExists(HKEY root, const std::string& path);
// Creates the key and its missing parents.
void RegCreateKey(HKEY root, const std::string& path);
// Deletes a key with its values; refuses (false) a key that has subkeys, a missing key and the
// root key.
bool RegDeleteKey(HKEY root, const std::string& path);
// Tests only: a hook RegDeleteKey runs after its first look at the key and before it takes the
// hive's lock, where another process could add a subkey. An empty function removes it.
void SetRegDeleteKeyHook(std::function<void()> hook);
// The direct subkeys (their own case) and the value names, in hive order.
std::vector<std::string> RegSubKeyNames(HKEY root, const std::string& path);
std::vector<std::string> RegValueNames(HKEY root, const std::string& path);
std::optional<TRegValue> RegQueryValue(HKEY root, const std::string& path, const std::string& name);
// Writes a value into an existing key (ERegistryException when the key is missing).
void RegSetValue(HKEY root, const std::string& path, const TRegValue& value);
bool RegDeleteValue(HKEY root, const std::string& path, const std::string& name);
// Write batches: between RegBeginBatch and the matching RegEndBatch (nestable) changes go to
// the hives in memory only, and reads see them; the outermost end writes each changed hive once
// (whole, temporary file and rename, under its lock; a hive another process replaced meanwhile
// is re-read and the batch's changes applied on top, dropping one whose key is gone). A flush
// point (RegFlushHive) and a program start (WinCreateProcess) write pending changes first. A
// process that dies inside a batch loses its unwritten changes, never a hive file.
void RegBeginBatch();
void RegEndBatch();
void RegWritePending();
bool RegHasPendingWrites();
// The batch of a scope; the end's write failure raises unless the scope unwinds.
class TRegWriteBatch {
public:
    TRegWriteBatch() : FUncaught(std::uncaught_exceptions()) { RegBeginBatch(); }
    ~TRegWriteBatch() noexcept(false);
    TRegWriteBatch(const TRegWriteBatch&) = delete;
    TRegWriteBatch& operator=(const TRegWriteBatch&) = delete;

private:
    int FUncaught;
};
// A read-modify-write of values other processes share (a counter, a list, the first free name):
// holds the hive's lock from the first read to the write, so no other process writes between.
// Reads inside see the file as it is now (with this process's unwritten batch changes on top);
// changes inside go to the file at the scope's end, outside any batch, together with the
// batch's changes of that hive (a flush point when anything changed). Nestable per hive; an exception leaving the
// outermost scope drops its changes. Keep the scope short: other writers of the hive wait.
class TRegHiveUpdate {
public:
    explicit TRegHiveUpdate(HKEY root);
    ~TRegHiveUpdate() noexcept(false);
    TRegHiveUpdate(const TRegHiveUpdate&) = delete;
    TRegHiveUpdate& operator=(const TRegHiveUpdate&) = delete;

private:
    std::string FFile;
    int FUncaught;
};
// Writes pending changes, then forces the hive file to the device.
void RegFlushHive(HKEY root);
// Flushes every hive (the end of a run).
void RegFlushAllHives();
// The hive's text as it is stored (empty hive: the header line only).
std::string RegHiveText(HKEY root);
// Parses hive text; fileName names it in errors. Throws ERegistryException "<file>(<line>): ...".
void RegCheckHiveText(const std::string& text, const std::string& fileName);

// The framework's registry class: a root key, a current key opened by path (a path starting
// with "\" is absolute, any other relative to the current key), typed reads and writes. A read
// of the wrong type raises ERegistryException "Invalid data type for '<name>'"; a failed write
// "Failed to set data for '<name>'".
class TRegistry : public TObject {
public:
    TRegistry() = default;
    ZAN_CLASS(TRegistry)

    HKEY GetRootKey() const { return FRootKey; }
    void SetRootKey(HKEY root);
    const std::string& GetCurrentPath() const { return FCurrentPath; }
    bool GetKeyOpen() const { return FKeyOpen; }
    // Kept for the framework's interface: writes are never delayed here; false makes
    // CloseKey a flush point.
    bool GetLazyWrite() const { return FLazyWrite; }
    void SetLazyWrite(bool lazy) { FLazyWrite = lazy; }

    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    void CloseKey();
    bool CreateKey(const std::string& key);
    bool DeleteKey(const std::string& key);
    bool KeyExists(const std::string& key) const;
    bool ValueExists(const std::string& name) const;
    bool HasSubKeys() const;
    void GetKeyNames(TStrings& list) const;
    void GetValueNames(TStrings& list) const;
    TRegDataType GetDataType(const std::string& name) const;
    bool DeleteValue(const std::string& name);

    // A missing value reads as "".
    std::string ReadString(const std::string& name) const;
    void WriteString(const std::string& name, const std::string& value);
    void WriteExpandString(const std::string& name, const std::string& value);
    int32_t ReadInteger(const std::string& name) const;
    void WriteInteger(const std::string& name, int32_t value);
    bool ReadBool(const std::string& name) const;
    void WriteBool(const std::string& name, bool value);
    double ReadFloat(const std::string& name) const;
    void WriteFloat(const std::string& name, double value);
    std::string ReadBinaryData(const std::string& name) const;
    void WriteBinaryData(const std::string& name, const std::string& data);
    void ReadMultiString(const std::string& name, std::vector<std::string>& strings) const;
    void WriteMultiString(const std::string& name, const std::vector<std::string>& strings);

    // The full path a key argument names (absolute or relative to the current key).
    std::string FullPath(const std::string& key) const;

private:
    TRegValue GetValue(const std::string& name, TRegDataType type, TRegDataType alt) const;
    void PutValue(const TRegValue& value);

    HKEY FRootKey = HKEY_CURRENT_USER;
    std::string FCurrentPath;
    bool FKeyOpen = false;
    bool FReadOnly = false;
    bool FLazyWrite = true;
};

} // namespace zan
