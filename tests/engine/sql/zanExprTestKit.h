// Shared set-up of the expression tests: a catalogue of two in-memory tables, parsing of a
// filter text (expression-only pre-parse) and a compact tree printer.
#pragma once

#include <memory>
#include <string>

#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanExprParser.h"
#include "support/zanMemProvider.h"

namespace zan {

// t(a INTEGER, b INTEGER, s VARCHAR(10), d DATE, tm TIME, dt TIMESTAMP, f FLOAT, m MEMO,
//   bo BOOLEAN, c MONEY) and u(a INTEGER, x VARCHAR(5)).
struct TExprCatalogue {
    TExprCatalogue();
    TZanMemProvider T{"t"};
    TZanMemProvider U{"u"};
    TTableList Tables;
};

// One parse of a text: the pre-parser and parser live as long as the tree is used.
struct TExprParse {
    TZanPreParser PreParser;
    TZanExprParser Parser;
    bool Ok = false;
    // Expression-only pre-parse, then the parser over its WHERE stack.
    bool Run(const std::string& text, const TZanParserOptions& options, TTableList* tables);
    TZanExprNode* Root() const { return Parser.GetRootNode(); }
    std::string Error() const { return Parser.GetErrorMsgNoLine(); }
};

// Stands in for the parser engine in a pntSubquery notification: the subquery's tokens run to
// the ")" that closes it, which becomes the parser's current token.
class TSubquerySkipper : public TBaseParser {
public:
    void Skip(TBaseParser& parser, TParserStack* stack);
};

// (op left right [args]) with fields as names, constants as values, types after ":" at the root.
std::string CompactTree(const TZanExprNode* node);

} // namespace zan
