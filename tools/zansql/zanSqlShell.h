// The rules of the SQL shell, shared by the zansql program and the SQL differential harness:
// splitting a script into statements, the text of result values (aligned and tab-separated),
// error lines and the command line. RunZanSql is the whole shell on streams.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "host/db/DB.h"
#include "host/rtl/Variants.h"

namespace zan {

class TDataSet;
class TField;
class TZanQuery;

// One statement of a script: its text without the ending ";", the line it starts on (1-based)
// and the "--" comment lines met since the previous statement (without the leading "--").
struct TSqlScriptStatement {
    std::string Text;
    int Line = 0;
    std::vector<std::string> Comments;
};

// Splits a script: a statement ends at a ";" that ends a line (blanks may follow) outside
// quotes ('...', "..." and [...]) and comments (/* */ and // to the line end). Lines whose
// first characters are "--" between statements are comments. Text after the last ";" is a
// statement too. An open quote or comment at the end gives False and the error text.
bool SplitSqlScript(std::string_view script, std::vector<TSqlScriptStatement>& statements,
                    std::string& error);

// The shortest text that reads back as the same double (3.0 as "3").
std::string ShortestFloatText(double value);
// Backslash, tab, CR and LF written as \\ \t \r \n.
std::string TsvEscape(std::string_view text);
// A value as text: dates yyyy-mm-dd, times hh:nn:ss, date-times "yyyy-mm-dd hh:nn:ss",
// Booleans True/False, floats shortest, blobs in lowercase hex. NULL is "\N" with tsv, else
// "NULL"; with tsv strings are escaped.
std::string SqlValueText(const Variant& value, TFieldType type, bool tsv);
std::string SqlFieldText(TField& field, bool tsv);
// The visible columns of every row of an open dataset: with tsv a header of column names, then a
// line per row, tab-separated; else aligned columns under a header and a rule.
void WriteSqlResult(TDataSet& dataSet, bool tsv, std::ostream& out);
// "error CODE: message" (code 0 for errors that are not the engine's), line breaks as blanks.
std::string SqlErrorLine(const std::exception& error);

// Runs one statement on the query: a SELECT prints its rows, anything else "N rows affected"
// (not with tsv); an error goes to err as an error line. Answers whether it succeeded.
bool RunSqlStatement(TZanQuery& query, const std::string& text, bool tsv, std::ostream& out,
                     std::ostream& err);

struct TZanSqlOptions {
    bool Tsv = false;
    bool Bail = false;
    std::string User;
    std::string Password;
    std::string Key;
    bool HasCommand = false;
    std::string Command;
    std::string File;
    std::string Database = "MEMORY";
};

// False with the error text on bad usage.
bool ParseZanSqlOptions(const std::vector<std::string>& args, TZanSqlOptions& options,
                        std::string& error);
std::string ZanSqlUsage();

// Runs the shell: the script comes from -c, -f or in. Exit status 0, 1 when a statement (or
// the connection) failed, 2 on bad usage.
int RunZanSql(const TZanSqlOptions& options, std::istream& in, std::ostream& out,
              std::ostream& err);
int RunZanSql(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
              std::ostream& err);

} // namespace zan
