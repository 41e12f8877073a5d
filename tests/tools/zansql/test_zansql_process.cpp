// The zansql program as a separate process: a damaged table definition ends in an engine error
// and exit status 1, not in an abort.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "zansql_process.h"

namespace {

void ExpectClean(const ZanSqlRun& r) {
    EXPECT_FALSE(r.TimedOut);
    EXPECT_EQ(r.Signal, 0);
    EXPECT_FALSE(HasSanitizerReport(r)) << r.Err;
}

} // namespace

// A stored table definition damaged on disk (a digit of "RecordSize = " turned into a letter):
// a statement naming the table fails with the engine's error while its text is set, and the
// process ends normally with status 1.
TEST(ZanSqlProcess, DamagedTableDefinitionGivesAnEngineError) {
    const std::string db = ZanSqlTempDir("damaged_def") + "/damaged.zan";
    ZanSqlRun setup = RunZanSqlProcess({"-c", "CREATE TABLE w (id INTEGER, v VARCHAR(20));", db});
    ASSERT_EQ(setup.ExitCode, 0) << setup.Err;
    std::string bytes;
    {
        std::ifstream f(db, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), {});
    }
    const size_t table = bytes.find("TableName = 'w'");
    ASSERT_NE(table, std::string::npos);
    const size_t size = bytes.find("RecordSize = ", table);
    ASSERT_NE(size, std::string::npos);
    bytes[size + 13] = 'Q';
    {
        std::ofstream f(db, std::ios::binary | std::ios::trunc);
        f << bytes;
    }
    const ZanSqlRun r = RunZanSqlProcess({"-c", "SELECT COUNT(*) FROM w;", db});
    ExpectClean(r);
    EXPECT_EQ(r.ExitCode, 1) << r.Err;
    EXPECT_NE(r.Err.find("error 8581: "), std::string::npos) << r.Err;
}
