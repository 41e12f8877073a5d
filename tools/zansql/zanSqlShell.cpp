#include "tools/zansql/zanSqlShell.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanSQL.h"
#include "engine/storage/zanConsts.h"
#include "host/db/DataSet.h"
#include "host/db/Fields.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/Format.h"
#include "host/win/WinFiles.h"

namespace zan {

namespace {

std::string_view TrimView(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

} // namespace

bool SplitSqlScript(std::string_view script, std::vector<TSqlScriptStatement>& statements,
                    std::string& error) {
    statements.clear();
    error.clear();
    enum { sCode, sSingle, sDouble, sBracket, sBlockComment } state = sCode;
    std::string current;
    bool currentHasCode = false; // something besides blanks and comments
    int currentLine = 0;
    std::vector<std::string> comments;
    int line = 1;
    int openLine = 0;
    size_t lineStart = 0;
    // A byte order mark (as editors write at the start of UTF-8 files) is no part of the text.
    if (script.substr(0, 3) == "\xEF\xBB\xBF") script.remove_prefix(3);
    // A text of comments alone (a closing "/* ... */" or "// ..." line) is no statement.
    auto finish = [&]() {
        if (currentHasCode) {
            statements.push_back({std::string(TrimView(current)), currentLine, comments});
            comments.clear();
        }
        current.clear();
        currentHasCode = false;
        currentLine = 0;
    };
    for (size_t i = 0; i < script.size(); ++i) {
        const char c = script[i];
        if (i == lineStart && state == sCode && !currentHasCode) {
            // A comment line between statements (after blanks or other comments only).
            size_t end = script.find('\n', i);
            if (end == std::string_view::npos) end = script.size();
            const std::string_view text = TrimView(script.substr(i, end - i));
            if (text.substr(0, 2) == "--") {
                comments.emplace_back(TrimView(text.substr(2)));
                current.clear();
                currentLine = 0;
                i = end;
                ++line;
                lineStart = end + 1;
                continue;
            }
        }
        if (c == '\n') {
            ++line;
            lineStart = i + 1;
        }
        const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (currentLine == 0 && !blank) currentLine = line;
        const bool inComment = state == sBlockComment;
        switch (state) {
        case sCode:
            if (c == '\'') {
                state = sSingle;
                openLine = line;
            } else if (c == '"') {
                state = sDouble;
                openLine = line;
            } else if (c == '[') {
                state = sBracket;
                openLine = line;
            } else if (c == '/' && i + 1 < script.size() && script[i + 1] == '*') {
                state = sBlockComment;
                openLine = line;
                current += "/*";
                ++i;
                continue;
            } else if (c == '/' && i + 1 < script.size() && script[i + 1] == '/') {
                size_t end = script.find('\n', i);
                if (end == std::string_view::npos) end = script.size();
                current.append(script.substr(i, end - i));
                i = end - 1;
                continue;
            } else if (c == ';') {
                size_t end = script.find('\n', i);
                if (end == std::string_view::npos) end = script.size();
                const std::string_view rest = TrimView(script.substr(i + 1, end - i - 1));
                if (rest.empty()) {
                    finish();
                    continue;
                }
                // A comment after the ";" (nothing else may follow a statement's end): the
                // statement ends; a "--" or "//" comment is dropped with the rest of its line,
                // a "/*" comment is read as the start of the next text.
                const std::string_view lead = rest.substr(0, 2);
                if (lead == "--" || lead == "//") {
                    finish();
                    i = end - 1;
                    continue;
                }
                if (lead == "/*") {
                    finish();
                    continue;
                }
            }
            break;
        case sSingle:
            if (c == '\'') state = sCode; // a doubled quote reopens at once
            break;
        case sDouble:
            if (c == '"') state = sCode;
            break;
        case sBracket:
            if (c == ']') state = sCode;
            break;
        case sBlockComment:
            if (c == '*' && i + 1 < script.size() && script[i + 1] == '/') {
                state = sCode;
                current += "*/";
                ++i;
                continue;
            }
            break;
        }
        if (!inComment && !blank) currentHasCode = true;
        current += c;
    }
    if (state != sCode) {
        error = Format("Unterminated %s starting on line %d",
                       {state == sBlockComment ? "comment" : "quoted text", openLine});
        return false;
    }
    finish();
    return true;
}

std::string ShortestFloatText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
    if (value == 0) return "0"; // negative zero too
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string TsvEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace {

bool IsBinaryType(TFieldType type) {
    return type == ftBlob || type == ftGraphic || type == ftBytes || type == ftVarBytes ||
           type == ftTypedBinary;
}

std::string HexText(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace

std::string SqlValueText(const Variant& value, TFieldType type, bool tsv) {
    if (VarIsNull(value) || VarIsEmpty(value)) return tsv ? "\\N" : "NULL";
    std::string text;
    switch (type) {
    case ftDate:
        text = FormatDateTime("yyyy-mm-dd", value.AsDateTime());
        break;
    case ftTime:
        text = FormatDateTime("hh:nn:ss", value.AsDateTime());
        break;
    case ftDateTime:
        text = FormatDateTime("yyyy-mm-dd hh:nn:ss", value.AsDateTime());
        break;
    case ftBoolean:
        text = value.AsBoolean() ? "True" : "False";
        break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
        text = ShortestFloatText(value.AsDouble());
        break;
    default:
        if (IsBinaryType(type)) return HexText(value.AsString());
        if (value.Type() == varDouble) {
            text = ShortestFloatText(value.AsDouble());
        } else if (value.Type() == varBoolean) {
            text = value.AsBoolean() ? "True" : "False";
        } else {
            text = value.AsString();
        }
    }
    return tsv ? TsvEscape(text) : text;
}

std::string SqlFieldText(TField& field, bool tsv) {
    if (field.IsNull()) return tsv ? "\\N" : "NULL";
    return SqlValueText(field.GetValue(), field.GetDataType(), tsv);
}

void WriteSqlResult(TDataSet& dataSet, bool tsv, std::ostream& out) {
    std::vector<TField*> fields;
    for (int i = 0; i < dataSet.GetFieldCount(); ++i)
        if (dataSet.GetFields()[i]->GetVisible()) fields.push_back(dataSet.GetFields()[i]);
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header;
    for (TField* f : fields)
        header.push_back(tsv ? TsvEscape(f->GetDisplayName()) : f->GetDisplayName());
    if (tsv) {
        for (size_t i = 0; i < header.size(); ++i)
            out << (i ? "\t" : "") << header[i];
        out << '\n';
        for (dataSet.First(); !dataSet.GetEOF(); dataSet.Next()) {
            for (size_t i = 0; i < fields.size(); ++i)
                out << (i ? "\t" : "") << SqlFieldText(*fields[i], true);
            out << '\n';
        }
        return;
    }
    std::vector<size_t> width;
    for (const std::string& h : header)
        width.push_back(h.size());
    for (dataSet.First(); !dataSet.GetEOF(); dataSet.Next()) {
        std::vector<std::string> row;
        for (size_t i = 0; i < fields.size(); ++i) {
            std::string text = SqlFieldText(*fields[i], false);
            for (char& c : text)
                if (c == '\t' || c == '\r' || c == '\n') c = ' ';
            width[i] = std::max(width[i], text.size());
            row.push_back(std::move(text));
        }
        rows.push_back(std::move(row));
    }
    auto line = [&](const std::vector<std::string>& cells, bool alignNumbers) {
        std::string text;
        for (size_t i = 0; i < cells.size(); ++i) {
            if (i) text += "  ";
            const std::string pad(width[i] - cells[i].size(), ' ');
            const bool right = alignNumbers && IsNumericType(fields[i]->GetDataType());
            text += right ? pad + cells[i] : cells[i] + pad;
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        out << text << '\n';
    };
    line(header, false);
    std::vector<std::string> rule;
    for (size_t w : width)
        rule.emplace_back(w, '-');
    line(rule, false);
    for (const auto& row : rows)
        line(row, true);
}

std::string SqlErrorLine(const std::exception& error) {
    int32_t code = 0;
    if (const auto* e = dynamic_cast<const EZanDatabaseError*>(&error)) code = e->ErrorCode;
    std::string text = error.what();
    std::string flat;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            flat += ' ';
            ++i;
        } else if (text[i] == '\r' || text[i] == '\n') {
            flat += ' ';
        } else {
            flat += text[i];
        }
    }
    return "error " + std::to_string(code) + ": " + flat;
}

std::string ZanSqlUsage() {
    return "usage: zansql [--tsv] [--bail] [--user U --password P] [--key K] "
           "[-c SQL | -f FILE] [DATABASE]";
}

bool ParseZanSqlOptions(const std::vector<std::string>& args, TZanSqlOptions& options,
                        std::string& error) {
    options = TZanSqlOptions();
    bool haveDatabase = false, haveUser = false, havePassword = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                error = "option " + a + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        if (a == "--tsv") {
            options.Tsv = true;
        } else if (a == "--bail") {
            options.Bail = true;
        } else if (a == "--user") {
            if (!value(options.User)) return false;
            haveUser = true;
        } else if (a == "--password") {
            if (!value(options.Password)) return false;
            havePassword = true;
        } else if (a == "--key") {
            if (!value(options.Key)) return false;
        } else if (a == "-c") {
            if (options.HasCommand || !options.File.empty()) {
                error = "-c and -f may be given once, not both";
                return false;
            }
            if (!value(options.Command)) return false;
            options.HasCommand = true;
        } else if (a == "-f") {
            if (options.HasCommand || !options.File.empty()) {
                error = "-c and -f may be given once, not both";
                return false;
            }
            if (!value(options.File)) return false;
            if (options.File.empty()) {
                error = "option -f needs a file name";
                return false;
            }
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else if (a == "-") {
            error = "standard input (-) cannot be a database";
            return false;
        } else {
            if (haveDatabase) {
                error = "more than one database given";
                return false;
            }
            if (a.empty()) {
                error = "empty database name";
                return false;
            }
            options.Database = a;
            haveDatabase = true;
        }
    }
    if (haveUser != havePassword) {
        error = "--user and --password go together";
        return false;
    }
    return true;
}

bool RunSqlStatement(TZanQuery& query, const std::string& text, bool tsv, std::ostream& out,
                     std::ostream& err) {
    try {
        query.Close();
        query.GetSQL().SetText(text);
        query.Prepare();
        if (query.GetSQLStatementType() == zsSQLSelect) {
            query.Open();
            WriteSqlResult(query, tsv, out);
            query.Close();
        } else {
            query.ExecSQL();
            if (!tsv) out << query.GetRowsAffected() << " rows affected\n";
        }
        return true;
    } catch (const std::exception& e) {
        try {
            query.Close();
        } catch (const std::exception&) {
        }
        err << SqlErrorLine(e) << '\n';
        return false;
    }
}

int RunZanSql(const TZanSqlOptions& options, std::istream& in, std::ostream& out,
              std::ostream& err) {
    std::string script;
    if (options.HasCommand) {
        script = options.Command;
    } else if (!options.File.empty() && options.File != "-") {
        // A folder opens like a file but reads as empty: refused like an unreadable file.
        std::error_code folderError;
        std::ifstream f(options.File, std::ios::binary);
        if (!f || std::filesystem::is_directory(options.File, folderError)) {
            err << "error 0: cannot read " << options.File << '\n';
            return 1;
        }
        std::ostringstream s;
        s << f.rdbuf();
        script = s.str();
    } else {
        std::ostringstream s;
        s << in.rdbuf();
        script = s.str();
        // A read that failed (standard input a folder, or closed) is no empty script.
        if (in.bad() || (&in == &std::cin && std::ferror(stdin))) {
            err << "error 0: cannot read standard input\n";
            return 1;
        }
    }
    std::vector<TSqlScriptStatement> statements;
    std::string splitError;
    const bool splitOk = SplitSqlScript(script, statements, splitError);

    TZanDataBase db;
    try {
        db.SetDataBaseName(options.Database);
        if (!options.Key.empty()) {
            db.SetUseEncryption(true);
            db.SetMasterKey(options.Key);
        }
        db.BeforeLogin = [&options](TObject*, std::string& user, std::string& password,
                                    std::string& key) {
            if (!options.User.empty()) {
                user = options.User;
                password = options.Password;
            }
            if (!options.Key.empty()) key = options.Key;
        };
        // Files the shell creates (and MEMORY) compare strings by byte value, the order the SQL
        // dialect documents; an existing file keeps the order it was created with.
        db.SetDefaultSortOrder(soASCII);
        if (!db.IsMemoryDatabase() && !FileExists(db.GetDirectory() + db.GetDataBaseName())) {
            try {
                db.CreateDatabase();
            } catch (const EZanDatabaseError& e) {
                // Another process created the file meanwhile: it is opened as it is.
                if (e.ErrorCode != 11043) throw;
            }
        }
        db.Open();
    } catch (const std::exception& e) {
        err << SqlErrorLine(e) << '\n';
        const std::string path = db.GetDirectory() + db.GetDataBaseName();
        if (!db.IsMemoryDatabase() && IsFileReadOnly(path))
            err << "error 0: " << path
                << " is read-only on disk; zansql opens its database for writing\n";
        return 1;
    }
    bool failed = false;
    {
        TZanQuery query;
        query.SetDataBase(&db);
        for (const TSqlScriptStatement& s : statements) {
            if (!RunSqlStatement(query, s.Text, options.Tsv, out, err)) {
                failed = true;
                if (options.Bail) break;
            }
        }
        query.Close();
        query.SetDataBase(nullptr);
    }
    if (!splitOk && !(failed && options.Bail)) {
        err << "error 0: " << splitError << '\n';
        failed = true;
    }
    // Results that could not be written (a full disk, a closed pipe) are a failure.
    out.flush();
    if (!out) {
        err << "error 0: cannot write the results\n";
        failed = true;
    }
    try {
        db.Close();
    } catch (const std::exception& e) {
        err << SqlErrorLine(e) << '\n';
        failed = true;
    }
    return failed ? 1 : 0;
}

int RunZanSql(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
              std::ostream& err) {
    TZanSqlOptions options;
    std::string error;
    if (!ParseZanSqlOptions(args, options, error)) {
        err << "zansql: " << error << '\n' << ZanSqlUsage() << '\n';
        return 2;
    }
    return RunZanSql(options, in, out, err);
}

} // namespace zan
