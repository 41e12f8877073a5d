#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "engine/storage/zanCommon.h"
#include "host/rtl/Exceptions.h"

using namespace zan;

namespace {

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("ZAN_TEST_TMP");
    std::string base = dir ? dir : "/tmp";
    std::string cmd = "mkdir -p '" + base + "'";
    if (std::system(cmd.c_str()) != 0) return "/tmp/" + name;
    return base + "/" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

} // namespace

TEST(Logger, LineLayoutAndBound) {
    TDBLogger log;
    log.LogItem("Caller", "text");
    auto first = log.GetLines().at(0);
    ASSERT_EQ(first.size(), 19u + 2 + 30 + 3 + 4);
    EXPECT_EQ(first[4], '-');
    EXPECT_EQ(first.substr(19), ";                         Caller : text");
    for (int i = 2; i <= 600; ++i)
        log.LogItem("c", std::to_string(i));
    auto lines = log.GetLines();
    ASSERT_EQ(lines.size(), 501u); // max + 1
    EXPECT_TRUE(lines.front().ends_with(" : 100"));
    EXPECT_TRUE(lines.back().ends_with(" : 600"));
    log.SetMaxLogItemCount(10);
    EXPECT_EQ(log.Count(), 9u); // trims to n - 1
    EXPECT_TRUE(log.GetLines().back().ends_with(" : 600"));
    log.SetMaxLogItemCount(0);
    for (int i = 0; i < 700; ++i)
        log.LogItem("c", "x");
    EXPECT_EQ(log.Count(), 709u); // unlimited
}

TEST(Logger, Monitors) {
    TDBLogger log;
    log.NamedMonitorDelta("Reads", 5);
    log.NamedMonitorDelta("READS", 2);
    EXPECT_EQ(log.NamedMonitorValue("reads"), 7);
    log.NamedMonitorReset("Reads", 100);
    EXPECT_EQ(log.NamedMonitorValue("Reads"), 100);
    EXPECT_EQ(log.NamedMonitorValue("Missing"), 0);
    EXPECT_EQ(log.GetMonitors(), std::vector<std::string>{"Reads=100"});
    log.Clear();
    EXPECT_EQ(log.GetMonitors().size(), 0u);
}

TEST(Logger, TraceRingDumpsOldestFirst) {
    TDBLogger log;
    for (int i = 1; i <= 105; ++i)
        log.AddLogTraceItem(i, i * 10);
    log.DumpTraceToLog();
    auto lines = log.GetLines();
    ASSERT_EQ(lines.size(), 101u);
    EXPECT_EQ(lines[0], "TraceLog");
    EXPECT_EQ(lines[1], "Caller 6  Event 60");
    EXPECT_EQ(lines[100], "Caller 105  Event 1050");
    log.ClearLogTrace();
    log.Clear();
    log.DumpTraceToLog();
    EXPECT_EQ(log.GetLines()[1], "Caller 0  Event 0");
}

TEST(Logger, SaveAndSaveOnDestroy) {
    std::string path = TempPath("log_save.txt");
    {
        TDBLogger log;
        log.LogItem("a", "one");
        log.LogItem("b", "two");
        log.SaveLogToFile(path);
        EXPECT_EQ(ReadLines(path).size(), 2u);
        log.SaveLogToFile(""); // nothing happens
        log.LogItem("c", "three");
        log.SetOutputFileName(path);
    }
    auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[2].ends_with(" : three"));
    std::remove(path.c_str());
    TDBLogger log;
    EXPECT_THROW(log.SaveLogToFile("/nonexistent-dir/x/log.txt"), Exception);
}

TEST(Logger, ConcurrentLogItemIsSafe) {
    TDBLogger log;
    log.SetMaxLogItemCount(1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&log, t] {
            for (int i = 0; i < 10000; ++i) {
                log.LogItem("thread" + std::to_string(t), "item");
                log.NamedMonitorDelta("count", 1);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(log.Count(), 1001u);
    EXPECT_EQ(log.NamedMonitorValue("count"), 80000);
}

TEST(StorageSizes, HeaderAndCoreSizes) {
    EXPECT_EQ(CalcTableHeaderSize(0), 256);
    EXPECT_EQ(CalcTableHeaderSize(34), 256);
    EXPECT_THROW(CalcTableHeaderSize(35), Exception);
    EXPECT_EQ(CalculateCoreDataSize(ftBoolean), 1);
    EXPECT_EQ(CalculateCoreDataSize(ftWideString), 2);
    EXPECT_EQ(CalculateCoreDataSize(ftAutoInc), 4);
    EXPECT_EQ(CalculateCoreDataSize(ftDateTime), 8);
    try {
        CalculateCoreDataSize(ftBytes);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Error in setting CoreDataSize - field type not found: ftBytes");
    }
}

TEST(FieldNameLists, SplitOnSemicolonsKeepingNamesWhole) {
    TStringList list;
    list.Add("stale");
    ConvertFieldNamesToList("", list);
    EXPECT_EQ(list.Count(), 0);
    ConvertFieldNamesToList("Last Name;First, Name;Id", list);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[0], "Last Name");
    EXPECT_EQ(list[1], "First, Name");
    EXPECT_EQ(list[2], "Id");
    ConvertFieldNamesToList("a;;\"q\"", list);
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[1], "");
    EXPECT_EQ(list[2], "\"q\"");
}
