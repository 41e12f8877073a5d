// The engine's common services: the trace log and the size rules of the storage format.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/db/DB.h"

// In-memory trace log: timestamped lines (bounded), named integer monitors, a ring of the last
// 100 (caller, event) pairs, and saving to a file. Every operation is guarded by one mutex.
class TDBLogger {
public:
    TDBLogger() = default;
    ~TDBLogger(); // saves the lines when an output file name is set
    TDBLogger(const TDBLogger&) = delete;
    TDBLogger& operator=(const TDBLogger&) = delete;

    // Appends "<date-time>; <caller> : <text>" ("%10s; %30s : %s"). When a maximum is set and
    // more lines than the maximum exist, the oldest line goes first, so at most max + 1 remain.
    void LogItem(const std::string& caller, const std::string& text);
    void NamedMonitorDelta(const std::string& name, int32_t delta);
    void NamedMonitorReset(const std::string& name, int32_t value);
    // A monitor's value: 0 when absent or not a number. Names are case-insensitive.
    int32_t NamedMonitorValue(const std::string& name) const;
    // Stores n; when n > 0 and more than n lines exist, trims to n - 1 lines.
    void SetMaxLogItemCount(int32_t n);
    int32_t GetMaxLogItemCount() const;
    // Writes the lines to the file, replacing it; nothing for an empty name.
    void SaveLogToFile(const std::string& fileName) const;
    void SetOutputFileName(const std::string& fileName);
    std::string GetOutputFileName() const;
    void Clear(); // lines and monitors
    void SetActive(bool active);
    bool GetActive() const;
    void SetDumpMod(int32_t mode);
    int32_t GetDumpMod() const;

    void AddLogTraceItem(int32_t caller, int32_t event);
    void ClearLogTrace();
    // Appends "TraceLog" and one "Caller %d  Event %d" line per ring slot, oldest first.
    void DumpTraceToLog();

    std::vector<std::string> GetLines() const;
    size_t Count() const;
    // The monitors as "name=value" lines.
    std::vector<std::string> GetMonitors() const;

    static constexpr int32_t DefaultMaxLogItemCount = 500;
    static constexpr int TraceRingSize = 100;

private:
    void AppendLine(std::string line); // with the mutex held
    std::vector<std::pair<std::string, std::string>>::iterator FindMonitor(const std::string& name);

    mutable std::mutex FLock;
    std::deque<std::string> FLines;
    std::vector<std::pair<std::string, std::string>> FMonitors;
    std::array<std::pair<int32_t, int32_t>, TraceRingSize> FTrace{};
    int FTraceIndex = 0;
    bool FActive = false;
    int32_t FDumpMod = 0;
    std::string FOutputFileName;
    int32_t FMaxLogItemCount = DefaultMaxLogItemCount;
};

// The engine's one trace log. It lives until the process ends (it is never destroyed, so units
// may log during static teardown); its output file, if set, is written when the engine unloads.
TDBLogger& GDBLogger();

// Size of a table header for a number of indexes: 48 + 6 per index, rounded up to 256. Every
// header must take exactly 256 bytes (so at most 34 indexes); anything else raises Exception.
int32_t CalcTableHeaderSize(int32_t indexCount);

// Bytes a field of this type takes in an index key's core: 1, 2, 4 or 8. Other types raise
// Exception naming the type.
int32_t CalculateCoreDataSize(TFieldType fieldType);
