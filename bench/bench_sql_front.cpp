// The SQL front end's scanning beside SQLite's tokenizer, and date-time text conversion.
//
// Pre-parsing (scan, classify, build the token stack) of a 200-character SELECT and of a 10 KB
// statement with a 1,000-item IN list, against sqlite3_complete on the same texts (SQLite's
// tokenizer; it builds no tokens). Aim: at most 5 times its time. Date-time texts converted per
// second (aim: at least 2 million).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_data.h"
#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanParserUtils.h"

using namespace zan;
using benchdata::SecondsPerCall;

namespace {

volatile int GSink = 0;

void CompareWithSqlite(const char* name, const std::string& sql) {
    const double ours = SecondsPerCall([&] {
        TZanPreParser pre;
        pre.SetText(sql);
        pre.SetParseSingleStack(true);
        pre.PreParseTokens();
        GSink = GSink + pre.GetSingleStackCount();
    });
    const double theirs = SecondsPerCall([&] { GSink = GSink + sqlite3_complete(sql.c_str()); });
    std::printf("%-34s %6zu bytes  pre-parse %9.2f us  sqlite3_complete %9.2f us  ratio %5.2fx "
                "(aim <= 5x)\n",
                name, sql.size(), ours * 1e6, theirs * 1e6, ours / theirs);
}

} // namespace

int main() {
    const std::string select =
        "SELECT e.id, e.name, d.title, SUM(s.amount) AS total FROM employees e "
        "INNER JOIN departments d ON e.dept = d.id WHERE e.hired >= '2020-01-01' AND "
        "e.name LIKE 'A%' GROUP BY e.id, e.name, d.title ORDER BY total DESC;";
    std::string in = "SELECT * FROM orders WHERE customer IN (";
    for (int i = 0; i < 1000; ++i)
        in += (i ? ", " : "") + std::to_string(10000000 + i * 7919);
    in += ") AND status = 'open';";
    CompareWithSqlite("SELECT with WHERE/GROUP/ORDER", select);
    CompareWithSqlite("1,000-item IN list", in);

    std::vector<std::string> texts;
    for (int i = 0; i < 1000; ++i)
        texts.push_back(DateTimeToStr(EncodeDate(1950 + i % 100, 1 + i % 12, 1 + i % 28) +
                                      (i % 86400) / 86400.0));
    size_t next = 0;
    const double perText = SecondsPerCall([&] {
        Variant v;
        TZanDataConversionValidator::ConvertStrToDateTime(texts[next++ % texts.size()], ftDateTime,
                                                          v);
        GSink = GSink + static_cast<int>(v.Type());
    });
    std::printf("%-34s %.2f million per second (aim >= 2)   e.g. \"%s\"\n",
                "date-time texts converted", 1e-6 / perText, texts[1].c_str());
    return 0;
}
