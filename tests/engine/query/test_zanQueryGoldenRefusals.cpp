// The rejected cases of the parse corpus (tests/engine/sql/golden) give the same texts through
// the real provider, on a database holding the corpus's tables.
#include <filesystem>
#include <fstream>

#include "sql_test_support.h"

using namespace zan;

TEST(QueryGoldenRefusals, TheParseCorpusRejectionsKeepTheirTexts) {
    const std::filesystem::path dir =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "sql" / "golden";
    int checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".sql") continue;
        TQueryTestDb t(false);
        std::ifstream in(entry.path());
        std::string line, comment, sql;
        enum { Head, Sql, Expected, Done } state = Head;
        while (std::getline(in, line)) {
            if (line.rfind("## ", 0) == 0) {
                comment = line;
                sql.clear();
                state = Sql;
            } else if (state == Head) {
                if (!line.empty()) t.Exec(line);
            } else if (state == Sql && line == "----") {
                state = Expected;
            } else if (state == Sql) {
                sql += (sql.empty() ? "" : "\n") + line;
            } else if (state == Expected && line.rfind("ERROR ", 0) == 0) {
                const std::string expected = line.substr(6);
                std::string message;
                const int32_t code = t.ErrorOf(sql, &message);
                EXPECT_EQ(code, 9645) << entry.path().filename() << " " << comment << "\n" << sql;
                EXPECT_NE(message.find(" - " + expected), std::string::npos)
                    << entry.path().filename() << " " << comment << "\n"
                    << sql << "\nexpected: " << expected << "\ngot: " << message;
                EXPECT_FALSE(t.Db.InTransaction());
                ++checked;
                state = Done;
            } else {
                state = Done;
            }
        }
    }
    EXPECT_GT(checked, 20);
}
