// Random bytes through the scanner, the pre-parser, the clause parsers and the date converter:
// results or engine errors only, never another exception, a hang or a sanitizer report.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/sql/zanMiscParsers.h"
#include "engine/sql/zanParserUtils.h"

using namespace zan;

namespace {

// Mostly characters the scanner treats specially, some keywords, any byte now and then.
std::string RandomText(std::mt19937& rng) {
    static const char* const pieces[] = {
        " ",  "\r",    "\n",     "\t",       ",",   "(",       ")",   ";",      "<",
        "=",  ">",     ":",      "-",        "+",   "*",       "/",   ".",      "'",
        "\"", "#",     "`",      "[",        "]",   "0",       "9",   "a",      "Z",
        "_",  "|",     "\xC3",   "\xFF",     "\0",  "IS",      "NOT", "NULL",   "GROUP",
        "BY", "ORDER", "SELECT", "DISTINCT", "FOR", "PRIMARY", "KEY", "DOUBLE", "PM",
        "AM", "Sep",   "2024",   "12",       "/*",  "*/",      "//",  "--",     "1.5"};
    std::uniform_int_distribution<int> len(0, 40), pick(0, std::size(pieces) - 1), byte(0, 255),
        coin(0, 9);
    std::string text;
    const int n = len(rng);
    for (int i = 0; i < n; ++i) {
        if (coin(rng) == 0)
            text += static_cast<char>(byte(rng));
        else if (const char* p = pieces[pick(rng)]; *p)
            text += p;
        else
            text += '\0';
    }
    return text;
}

TEST(Robustness, RandomBytes) {
    std::mt19937 rng(1414);
    int engineErrors = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::string text = RandomText(rng);
        try {
            for (bool single : {true, false}) {
                TZanPreParser pre;
                pre.SetText(text);
                pre.SetParseSingleStack(single);
                pre.SetParseAsExprOnly(!single && (i & 1));
                pre.PreParseTokens();
                TStringList params;
                pre.GetParamList(params);
                pre.CheckParseComplete();
                if (!single) continue;
                TZanPreParser copy;
                copy.AssignStacks(pre);
                TOrderByItems orderBy;
                TZanOrderByParser order;
                order.ExecuteOrderBy(orderBy, copy.GetSingleStack());
                order.GetErrorMsg();
                copy.AssignStacks(pre);
                TZanDataTypeParser type;
                type.Execute({}, copy.GetSingleStack());
                type.SetAllowConstraints(true);
                type.ParseDataType();
                copy.AssignStacks(pre);
                TGroupByItems groupBy;
                TZanGroupByParser group;
                group.ExecuteGroupBy(groupBy, copy.GetSingleStack());
            }
            TZanStrToDateTimeConverter conv;
            TDateTime value = 0;
            for (const char* order : {"DMY", "MDY", "YMD"})
                conv.ConvertStrToDate(text, order, value, ftDateTime);
            TZanExprNode node;
            node.Data = text;
            node.SetAndConvertDataType(i % 2 ? ftDateTime : ftInteger);
            Variant result;
            TZanDataConversionValidator::ConvertStrToDateTime(text, i % 3 ? ftDateTime : ftTime,
                                                              result);
        } catch (const EZanDatabaseError&) {
            ++engineErrors;
        }
    }
    EXPECT_GT(engineErrors, 0);
}

} // namespace
