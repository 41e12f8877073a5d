#include "zanExprTestKit.h"

#include "host/rtl/VarCompare.h"

namespace zan {

TExprCatalogue::TExprCatalogue() {
    T.AddField("a", ftInteger);
    T.AddField("b", ftInteger);
    T.AddField("s", ftString, 10);
    T.AddField("d", ftDate);
    T.AddField("tm", ftTime);
    T.AddField("dt", ftDateTime);
    T.AddField("f", ftFloat);
    T.AddField("m", ftMemo);
    T.AddField("bo", ftBoolean);
    T.AddField("c", ftCurrency);
    U.AddField("a", ftInteger);
    U.AddField("x", ftString, 5);
    T.AddToTableList(Tables);
    U.AddToTableList(Tables, "uu");
    T.AddNamedProvider(&U);
}

bool TExprParse::Run(const std::string& text, const TZanParserOptions& options,
                     TTableList* tables) {
    PreParser.SetText(text);
    PreParser.SetParseAsExprOnly(true);
    PreParser.PreParseTokens();
    Parser.SetTableList(tables);
    Ok = Parser.Execute(options, PreParser.GetSection(zstWhere, nullptr));
    return Ok;
}

void TSubquerySkipper::Skip(TBaseParser& parser, TParserStack* stack) {
    SyncCurrToken(parser);
    Execute(TZanParserOptions(), stack);
    int depth = 0;
    while (GetCurrToken() && CurrentTokenType() != zstEnd &&
           !(CurrentTokenType() == zstRParen && depth == 0)) {
        depth += CurrentTokenType() == zstLParen ? 1 : CurrentTokenType() == zstRParen ? -1 : 0;
        NextToken();
    }
    parser.SyncCurrToken(*this);
}

namespace {

std::string ValueText(const Variant& v) {
    if (VarIsNull(v)) return "NULL";
    if (v.Type() == varString) return "'" + v.AsString() + "'";
    if (v.Type() == varDate) return "#" + VarToStr(v) + "#";
    return VarToStr(v);
}

std::string Tree(const TZanExprNode* n) {
    if (!n) return "nil";
    std::string s;
    switch (n->Kind) {
    case enkField:
        s = n->TokenArgs.empty() ? VarToStr(n->Data) : n->TokenArgs[0]->Text + "." + VarToStr(n->Data);
        if (!n->Args.empty()) s += "{" + Tree(n->Args[0]) + "}";
        return s;
    case enkConst:
        if (n->Operator == zeoFUNC2) return n->ParserToken.Text;
        return ValueText(n->Data);
    case enkParam:
        return ":" + VarToStr(n->Data);
    default:
        break;
    }
    if (n->Kind == enkFunc && n->Operator == zeoOUTERFIELD) return "outer:" + VarToStr(n->Data);
    if (n->Kind == enkSubquery) return "(subquery " + std::to_string(n->ParserToken.CustomOrdinal) + ")";
    if (n->Kind == enkFunc) {
        s = "(" + std::string(ZanSQLTokenName(n->ParserToken.Token)).substr(3);
        if (n->ParserToken.Token == zstAggFunc || n->ParserToken.Token == zstStrFunc ||
            n->ParserToken.Token == zstExtract)
            s += "." + std::to_string(n->ParserToken.CustomOrdinal);
    } else {
        s = "(" + std::string(ZanExprOperatorName(n->Operator)).substr(3);
        if (n->ParserToken.Token == zstNotLike || n->ParserToken.Token == zstNotIn) s += "!";
    }
    if (n->Left) s += " " + Tree(n->Left);
    if (n->Right) s += " " + Tree(n->Right);
    if (!n->Args.empty()) {
        s += " [";
        for (size_t i = 0; i < n->Args.size(); ++i)
            s += (i ? " " : "") + Tree(n->Args[i]);
        s += "]";
    }
    return s + ")";
}

} // namespace

std::string CompactTree(const TZanExprNode* node) {
    if (!node) return "nil";
    return Tree(node) + " :" + std::string(FieldTypeName(node->DataType)).substr(2);
}

} // namespace zan
