#include "engine/storage/zanCommon.h"

#include <charconv>
#include <ctime>
#include <fstream>

#include "host/rtl/Exceptions.h"
#include "host/rtl/Format.h"

namespace {

// The current local date and time as "yyyy-mm-dd hh:nn:ss".
std::string NowText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
}

bool SameTextAscii(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

int32_t ParseMonitor(const std::string& text) {
    int32_t v = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return 0;
    return v;
}

} // namespace

TDBLogger::~TDBLogger() {
    try {
        SaveLogToFile(FOutputFileName);
    } catch (...) {
        // A destructor must not throw; a log that cannot be written is lost.
    }
}

void TDBLogger::AppendLine(std::string line) {
    if (FMaxLogItemCount > 0 && static_cast<int64_t>(FLines.size()) > FMaxLogItemCount)
        FLines.pop_front();
    FLines.push_back(std::move(line));
}

void TDBLogger::LogItem(const std::string& caller, const std::string& text) {
    std::string line = Format("%10s; %30s : %s", NowText(), caller, text);
    std::lock_guard guard(FLock);
    AppendLine(std::move(line));
}

std::vector<std::pair<std::string, std::string>>::iterator
TDBLogger::FindMonitor(const std::string& name) {
    for (auto it = FMonitors.begin(); it != FMonitors.end(); ++it)
        if (SameTextAscii(it->first, name)) return it;
    return FMonitors.end();
}

void TDBLogger::NamedMonitorDelta(const std::string& name, int32_t delta) {
    std::lock_guard guard(FLock);
    auto it = FindMonitor(name);
    if (it == FMonitors.end()) {
        FMonitors.emplace_back(name, std::to_string(delta));
    } else {
        int64_t v = static_cast<int64_t>(ParseMonitor(it->second)) + delta;
        it->second = std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v)));
    }
}

void TDBLogger::NamedMonitorReset(const std::string& name, int32_t value) {
    std::lock_guard guard(FLock);
    auto it = FindMonitor(name);
    if (it == FMonitors.end()) FMonitors.emplace_back(name, std::to_string(value));
    else it->second = std::to_string(value);
}

int32_t TDBLogger::NamedMonitorValue(const std::string& name) const {
    std::lock_guard guard(FLock);
    for (const auto& m : FMonitors)
        if (SameTextAscii(m.first, name)) return ParseMonitor(m.second);
    return 0;
}

void TDBLogger::SetMaxLogItemCount(int32_t n) {
    std::lock_guard guard(FLock);
    FMaxLogItemCount = n;
    if (n > 0 && static_cast<int64_t>(FLines.size()) > n)
        while (static_cast<int64_t>(FLines.size()) > n - 1) FLines.pop_front();
}

int32_t TDBLogger::GetMaxLogItemCount() const {
    std::lock_guard guard(FLock);
    return FMaxLogItemCount;
}

void TDBLogger::SaveLogToFile(const std::string& fileName) const {
    if (fileName.empty()) return;
    std::lock_guard guard(FLock);
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) throw Exception(Format("Cannot create file \"%s\"", fileName));
    for (const auto& line : FLines) out << line << '\n';
    out.flush();
    if (!out) throw Exception(Format("Cannot write file \"%s\"", fileName));
}

void TDBLogger::SetOutputFileName(const std::string& fileName) {
    std::lock_guard guard(FLock);
    FOutputFileName = fileName;
}

std::string TDBLogger::GetOutputFileName() const {
    std::lock_guard guard(FLock);
    return FOutputFileName;
}

void TDBLogger::Clear() {
    std::lock_guard guard(FLock);
    FLines.clear();
    FMonitors.clear();
}

void TDBLogger::SetActive(bool active) {
    std::lock_guard guard(FLock);
    FActive = active;
}

bool TDBLogger::GetActive() const {
    std::lock_guard guard(FLock);
    return FActive;
}

void TDBLogger::SetDumpMod(int32_t mode) {
    std::lock_guard guard(FLock);
    FDumpMod = mode;
}

int32_t TDBLogger::GetDumpMod() const {
    std::lock_guard guard(FLock);
    return FDumpMod;
}

void TDBLogger::AddLogTraceItem(int32_t caller, int32_t event) {
    std::lock_guard guard(FLock);
    if (FTraceIndex >= TraceRingSize) FTraceIndex = 0;
    FTrace[static_cast<size_t>(FTraceIndex++)] = {caller, event};
}

void TDBLogger::ClearLogTrace() {
    std::lock_guard guard(FLock);
    FTrace.fill({0, 0});
    FTraceIndex = 0;
}

void TDBLogger::DumpTraceToLog() {
    std::lock_guard guard(FLock);
    AppendLine("TraceLog");
    // Oldest first: from the ring index to the end, then from the start up to the index.
    int index = FTraceIndex >= TraceRingSize ? 0 : FTraceIndex;
    for (int n = 0; n < TraceRingSize; ++n) {
        const auto& [caller, event] = FTrace[static_cast<size_t>((index + n) % TraceRingSize)];
        AppendLine(Format("Caller %d  Event %d", caller, event));
    }
}

std::vector<std::string> TDBLogger::GetLines() const {
    std::lock_guard guard(FLock);
    return {FLines.begin(), FLines.end()};
}

size_t TDBLogger::Count() const {
    std::lock_guard guard(FLock);
    return FLines.size();
}

std::vector<std::string> TDBLogger::GetMonitors() const {
    std::lock_guard guard(FLock);
    std::vector<std::string> out;
    for (const auto& [name, value] : FMonitors) out.push_back(name + "=" + value);
    return out;
}

namespace {

TDBLogger* GLoggerInstance = nullptr;

// Writes the global log to its output file when the engine unloads; the logger itself stays
// alive so that code running later in the teardown can still log.
struct TLoggerFinaliser {
    ~TLoggerFinaliser() {
        if (!GLoggerInstance) return;
        try {
            GLoggerInstance->SaveLogToFile(GLoggerInstance->GetOutputFileName());
        } catch (...) {
        }
    }
} GLoggerFinaliser;

} // namespace

TDBLogger& GDBLogger() {
    static TDBLogger* instance = GLoggerInstance = new TDBLogger();
    return *instance;
}

int32_t CalcTableHeaderSize(int32_t indexCount) {
    int64_t size = (48 + 6 * static_cast<int64_t>(indexCount) + 255) / 256 * 256;
    if (size != 256) throw Exception("Debug check -  header size <> 256");
    return 256;
}

int32_t CalculateCoreDataSize(TFieldType fieldType) {
    switch (fieldType) {
    case ftBoolean:
        return 1;
    case ftString:
    case ftSmallint:
    case ftWord:
    case ftWideString:
        return 2;
    case ftInteger:
    case ftAutoInc:
        return 4;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
        return 8;
    default:
        throw Exception("Error in setting CoreDataSize - field type not found: " +
                        std::string(FieldTypeName(fieldType)));
    }
}
