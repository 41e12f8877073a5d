#include "engine/sql/zanBaseParser.h"

#include <algorithm>
#include <array>
#include <climits>
#include <unordered_map>
#include <unordered_set>

#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr size_t C_MAXKEYWORDLENGTH = 24;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The word upper-cased into buf when it is short enough to be a keyword; empty otherwise.
std::string_view UpperWord(std::string_view word, std::array<char, C_MAXKEYWORDLENGTH>& buf) {
    if (word.size() > buf.size()) return {};
    for (size_t i = 0; i < word.size(); ++i)
        buf[i] = UpperAscii(word[i]);
    return {buf.data(), word.size()};
}

const std::unordered_map<std::string_view, TZanSQLToken>& KeywordTable() {
    static const std::unordered_map<std::string_view, TZanSQLToken> table = {
        {"ALL", zstAll},
        {"ASC", zstAscending},
        {"ASCENDING", zstAscending},
        {"DESC", zstDescending},
        {"DESCENDING", zstDescending},
        {"SELECT", zstSelect},
        {"AND", zstAnd},
        {"OR", zstOr},
        {"LIKE", zstLike},
        {"FROM", zstFrom},
        {"WHERE", zstWhere},
        {"HAVING", zstHaving},
        {"UNION", zstUnion},
        {"PLAN", zstPlan},
        {"NULL", zstNull},
        {"BETWEEN", zstBetween},
        {"CASE", zstCase},
        {"AS", zstAS},
        {"WHEN", zstWhen},
        {"THEN", zstThen},
        {"NULLIF", zstNullif},
        {"COALESCE", zstCoalesce},
        {"JOIN", zstJoin},
        {"INNER", zstInner},
        {"OUTER", zstOuter},
        {"LEFT", zstLeft},
        {"RIGHT", zstRight},
        {"CROSS", zstCross},
        {"NATURAL", zstNatural},
        {"FULL", zstFull},
        {"CAST", zstCast},
        {"IN", zstIn},
        {"FOR", zstFor},
        {"||", zstConcatenate},
        {"ON", zstOn},
        {"USING", zstUsing},
        {"ESCAPE", zstEscape},
        {"TRUE", zstTrue},
        {"FALSE", zstFalse},
        {"CHARACTER", zstChar},
        {"CHAR", zstChar},
        {"VARCHAR", zstVarChar},
        {"INTEGER", zstInt},
        {"INT", zstInt},
        {"AUTOINC", zstAutoInc},
        {"SMALLINT", zstSmallInt},
        {"DATE", zstDate},
        {"TIME", zstTime},
        {"TIMESTAMP", zstTimeStamp},
        {"DATETIME", zstTimeStamp},
        {"DECIMAL", zstDecimal},
        {"NUMERIC", zstNumeric},
        {"FLOAT", zstNumeric},
        {"BOOLEAN", zstBoolean},
        {"MONEY", zstMoney},
        {"BLOB", zstBlob},
        {"EXTRACT", zstExtract},
        {"YEAR", zstYear},
        {"MONTH", zstMonth},
        {"DAY", zstDay},
        {"HOUR", zstHour},
        {"MINUTE", zstMinute},
        {"SECOND", zstSecond},
        {"CURRENT_TIME", zstCurrentTime},
        {"CURRENT_DATE", zstCurrentDate},
        {"CURRENT_TIMESTAMP", zstCurrentTimestamp},
        {"EXISTS", zstExists},
        {"ANY", zstAny},
        {"SOME", zstSome},
        {"INTO", zstInto},
        {"INSERT", zstInsert},
        {"VALUES", zstValues},
        {"DELETE", zstDelete},
        {"UPDATE", zstUpdate},
        {"SET", zstSet},
        {"CREATE", zstCreate},
        {"TABLE", zstTable},
        {"ADD", zstAddWord},
        {"DROP", zstDrop},
        {"ALTER", zstAlter},
        {"COLUMN", zstColumn},
        {"UNIQUE", zstUnique},
        {"INDEX", zstIndex},
        {"TYPE", zstType},
        {"TO", zstTo},
        {"TEMPORARY", zstTemporary},
    };
    return table;
}

// Every word a mapper may answer for (upper case): a quick filter before asking the mappers.
const std::unordered_set<std::string_view>& MapperWords() {
    static const std::unordered_set<std::string_view> words = {
        "COUNT", "AVG",       "SUM",  "MAX",      "MIN",     "SUBSTRING", "UPPER", "LOWER",
        "TRIM",  "CHARACTER", "CHAR", "VARCHAR",  "NUMERIC", "DECIMAL",   "DEC",   "FLOAT",
        "REAL",  "INTEGER",   "INT",  "SMALLINT", "DOUBLE",  "DATE",      "TIME",  "TIMESTAMP"};
    return words;
}

// Tokens after which a sign glued to digits is the binary operator, not a signed number.
bool EndsOperand(TZanSQLToken t) {
    switch (t) {
    case zstFieldName:
    case zstTableName:
    case zstNumber:
    case zstStringLiteral:
    case zstValue:
    case zstRParen:
    case zstNull:
    case zstTrue:
    case zstFalse:
    case zstCurrentDate:
    case zstCurrentTime:
    case zstCurrentTimestamp:
        return true;
    default:
        return false;
    }
}

const TAggFuncMapper GAggFuncMapper;
const TStrFuncMapper GStrFuncMapper;
const TDataTypeMapper GDataTypeMapper;

// Looks a word up in a mapper table of (word, ordinal).
template <size_t N>
int FindWord(const std::array<std::pair<std::string_view, int>, N>& table, std::string_view word) {
    for (const auto& [w, ordinal] : table)
        if (SameText(w, word)) return ordinal;
    return 0;
}

} // namespace

// ---- TZanTokenParser -----------------------------------------------------------------------

void TZanTokenParser::SetTokenString(std::string_view text) {
    FText.assign(text);
    FEnd = FText.find('\0');
    if (FEnd == std::string::npos) FEnd = FText.size();
    FPos = 0;
    FLine = FCol = FTokenStartLine = FTokenStartCol = 1;
    FTokenStart = npos;
    FRawStart = 0;
    FRawHasLineBreak = false;
    FLastToken = FLastSectionToken = zstUnknown;
    FLastEndsOperand = false;
    FQualified = false;
    FLookAheadDepth = 0;
    FNoCloseFrom.fill(npos);
}

TZanTokenParser::TState TZanTokenParser::SaveState() const {
    return {FPos,           FLine,       FCol,       FTokenStartLine,
            FTokenStartCol, FTokenStart, FQualified, FRawHasLineBreak};
}

void TZanTokenParser::RestoreState(const TState& s) {
    FPos = s.Pos;
    FLine = s.Line;
    FCol = s.Col;
    FTokenStartLine = s.TokenStartLine;
    FTokenStartCol = s.TokenStartCol;
    FTokenStart = s.TokenStart;
    FQualified = s.Qualified;
    FRawHasLineBreak = s.RawHasLineBreak;
}

TZanSQLToken TZanTokenParser::GetNextToken(std::string& text) {
    FTokenStartLine = FLine;
    FTokenStartCol = FCol;
    FRawStart = FPos;
    FRawHasLineBreak = false;
    const TZanSQLToken token = NextSQLToken(text);
    FLastToken = token;
    if (IsSectionToken(token)) FLastSectionToken = token;
    if (token != zstComment) FLastEndsOperand = EndsOperand(token);
    return token;
}

std::string TZanTokenParser::GetRawTokenText() const {
    const std::string_view consumed = std::string_view(FText).substr(FRawStart, FPos - FRawStart);
    if (!FRawHasLineBreak) return std::string(consumed);
    std::string raw;
    raw.reserve(consumed.size());
    for (char c : consumed)
        if (c != '\r' && c != '\n') raw += c;
    return raw;
}

TZanSQLToken TZanTokenParser::FlushWord(std::string& text) {
    text.assign(FText, FTokenStart, FPos - FTokenStart);
    return GetSQLToken(text);
}

void TZanTokenParser::ScanNumberRest() {
    while (IsDigit(CurrChar()) || CurrChar() == '.')
        IncCurrChar();
    // An exponent belongs to the number only with its digits: "1e3" is 1000, "1e" is 1 and e.
    if (CurrChar() != 'e' && CurrChar() != 'E') return;
    const char next = CharAt(FPos + 1);
    const bool sign = next == '+' || next == '-';
    if (!IsDigit(sign ? CharAt(FPos + 2) : next)) return;
    IncCurrChar();
    if (sign) IncCurrChar();
    while (IsDigit(CurrChar()))
        IncCurrChar();
}

bool TZanTokenParser::SignStartsNumber() const {
    const char next = CharAt(FPos + 1);
    return (IsDigit(next) || next == '.') && !FLastEndsOperand;
}

bool TZanTokenParser::ScanQuoted(TZanSQLToken& token, std::string& text) {
    const char open = CurrChar();
    const char close = open == '[' ? ']' : open;
    const bool doubling = close == '\'' || close == '"';
    const size_t kind = open == '\'' ? 0 : open == '"' ? 1 : open == '#' ? 2 : open == '`' ? 3 : 4;
    // Without doubling, a quote that found no closing character leaves none for a later one.
    if (!doubling && FNoCloseFrom[kind] != npos && FPos >= FNoCloseFrom[kind]) return false;
    const TState saved = SaveState();
    StartToken();
    IncCurrChar();
    std::string body;
    for (;;) {
        if (FPos >= FEnd) {
            if (!doubling) FNoCloseFrom[kind] = saved.Pos;
            RestoreState(saved);
            return false;
        }
        if (CurrChar() == close) {
            if (doubling && CharAt(FPos + 1) == close) {
                body += close;
                IncCurrChar();
                IncCurrChar();
                continue;
            }
            IncCurrChar();
            break;
        }
        const size_t from = FPos;
        IncCurrChar();
        body.append(FText, from, FPos - from);
    }
    text = std::move(body);
    // A quoted name followed by a dot qualifies the next name, whatever its quotes.
    if (FQualified)
        token = zstFieldName;
    else if (CurrChar() == '.')
        token = zstTableName;
    else if (open == '[')
        token = zstFieldName;
    else if (open == '\'')
        token = zstStringLiteral;
    else
        token = zstValue;
    return true;
}

TZanSQLToken TZanTokenParser::NextSQLToken(std::string& text) {
    FTokenStart = npos;
    FQualified = false;
    for (;;) {
        const char c = CurrChar();
        const bool pending = FTokenStart != npos;
        switch (c) {
        case '\0':
            if (pending) return FlushWord(text);
            text.clear();
            return zstEnd;
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            if (pending) return FlushWord(text);
            while (CurrChar() == ' ' || CurrChar() == '\t' || CurrChar() == '\r' ||
                   CurrChar() == '\n')
                IncCurrChar();
            continue;
        case ',':
        case '(':
        case ')':
        case ';':
            if (pending) return FlushWord(text);
            StartToken();
            IncCurrChar();
            text.assign(1, c);
            return c == ',' ? zstComma : c == '(' ? zstLParen : c == ')' ? zstRParen : zstEnd;
        case '<':
        case '=':
        case '>': {
            if (pending) return FlushWord(text);
            StartToken();
            while (CurrChar() == '<' || CurrChar() == '=' || CurrChar() == '>')
                IncCurrChar();
            text.assign(FText, FTokenStart, FPos - FTokenStart);
            return zstCompOperator;
        }
        case ':':
            if (pending) {
                IncCurrChar();
                continue;
            }
            StartToken();
            IncCurrChar();
            text = ":";
            return zstParameter;
        case '-':
        case '+': {
            if (pending) return FlushWord(text);
            StartToken();
            const bool number = SignStartsNumber();
            IncCurrChar();
            if (number) {
                ScanNumberRest();
                text.assign(FText, FTokenStart, FPos - FTokenStart);
                return zstNumber;
            }
            text.assign(1, c);
            return c == '-' ? zstSub : zstAdd;
        }
        case '*':
            if (pending) return FlushWord(text);
            StartToken();
            IncCurrChar();
            text = "*";
            return zstMult;
        case '/': {
            if (pending) return FlushWord(text);
            StartToken();
            IncCurrChar();
            if (CurrChar() == '/') {
                while (FPos < FEnd && CurrChar() != '\n' && CurrChar() != '\r')
                    IncCurrChar();
                text.assign(FText, FTokenStart, FPos - FTokenStart);
                return zstComment;
            }
            if (CurrChar() == '*') {
                const size_t from = FTokenStart;
                IncCurrChar();
                for (;;) {
                    if (FPos >= FEnd) break;
                    if (CurrChar() == '*' && CharAt(FPos + 1) == '/') {
                        IncCurrChar();
                        IncCurrChar();
                        break;
                    }
                    IncCurrChar();
                }
                text.assign(FText, from, FPos - from);
                return zstComment;
            }
            text = "/";
            return GetSQLToken(text);
        }
        case '.':
            if (pending) {
                text.assign(FText, FTokenStart, FPos - FTokenStart);
                return zstTableName;
            }
            if (IsDigit(CharAt(FPos + 1))) { // a number such as .5
                StartToken();
                ScanNumberRest();
                text.assign(FText, FTokenStart, FPos - FTokenStart);
                return zstNumber;
            }
            FQualified = true;
            IncCurrChar();
            continue;
        case '\'':
        case '"':
        case '#':
        case '`':
        case '[': {
            if (pending) return FlushWord(text);
            TZanSQLToken token = zstUnknown;
            if (ScanQuoted(token, text)) return token;
            // Not closed: the quote is an ordinary word character.
            StartToken();
            IncCurrChar();
            continue;
        }
        default:
            if (IsDigit(c) && !pending) {
                StartToken();
                ScanNumberRest();
                text.assign(FText, FTokenStart, FPos - FTokenStart);
                return zstNumber;
            }
            StartToken();
            IncCurrChar();
            continue;
        }
    }
}

bool TZanTokenParser::NextTokenIs(std::string_view word, std::string& text) {
    const TState saved = SaveState();
    std::string next;
    ++FLookAheadDepth;
    const TZanSQLToken token = NextSQLToken(next);
    --FLookAheadDepth;
    if (token != zstEnd && SameText(next, word)) {
        // The joined token starts where the first word started.
        FTokenStart = saved.TokenStart;
        FTokenStartLine = saved.TokenStartLine;
        FTokenStartCol = saved.TokenStartCol;
        text += ' ';
        text += next;
        return true;
    }
    RestoreState(saved);
    return false;
}

bool TZanTokenParser::MapperSpans(const TBaseMapper& mapper, std::string& text) {
    const int words = mapper.IsMemberToken(text, {});
    if (words <= 0) return false;
    for (int i = 1; i < words; ++i) {
        std::string next;
        NextSQLToken(next);
        text += ' ';
        text += next;
    }
    return true;
}

bool TZanTokenParser::IsAggFunc(std::string& text) {
    return MapperSpans(GAggFuncMapper, text);
}

bool TZanTokenParser::IsDataType(std::string& text) {
    return MapperSpans(GDataTypeMapper, text);
}

bool TZanTokenParser::IsStrFunc(std::string& text) {
    return MapperSpans(GStrFuncMapper, text);
}

TZanSQLToken TZanTokenParser::GetSQLToken(std::string& text) {
    if (text.empty() || text == ";") return zstEnd;
    if (text == "*") return zstMult;
    if (text == "/") return zstDiv;
    if (FQualified) return zstFieldName;

    std::array<char, C_MAXKEYWORDLENGTH> buf{};
    const std::string_view upper = UpperWord(text, buf);
    // DISTINCT opens a select list, or an aggregate there or in HAVING.
    if (upper == "DISTINCT" && (FLastSectionToken == zstSelect || FLastSectionToken == zstHaving))
        return zstDistinct;

    // Words that look at the next word. Inside a look-ahead they stand alone: the outer
    // look-ahead compares a single word, so a longer form could never match there anyway.
    if (FLookAheadDepth == 0) {
        if (upper == "IS") {
            const TState saved = SaveState();
            const size_t length = text.size();
            if (NextTokenIs("NULL", text)) return zstIsNull;
            if (NextTokenIs("NOT", text) && NextTokenIs("NULL", text)) return zstIsNotNull;
            RestoreState(saved);
            text.resize(length);
            return zstValue;
        }
        if (upper == "NOT") {
            if (NextTokenIs("LIKE", text)) return zstNotLike;
            if (NextTokenIs("BETWEEN", text)) return zstNotBetween;
            if (NextTokenIs("IN", text)) return zstNotIn;
            return zstNot;
        }
        if (upper == "GROUP" && NextTokenIs("BY", text)) return zstGroupBy;
        if (upper == "ORDER" && NextTokenIs("BY", text)) return zstOrderBy;
        if (upper == "FOR" && NextTokenIs("UPDATE", text)) return zstForUpdate;
        if (upper == "PRIMARY" && NextTokenIs("KEY", text)) return zstPrimaryKey;
    } else if (upper == "NOT") {
        return zstNot;
    }

    if (!upper.empty()) {
        const auto& table = KeywordTable();
        if (auto it = table.find(upper); it != table.end()) return it->second;
    }
    // Mapper words are short; longer words and words no mapper knows are field names.
    if (upper.empty() || !MapperWords().contains(upper)) return zstFieldName;
    if (IsAggFunc(text)) return zstAggFunc;
    if (IsDataType(text)) return zstDataType;
    if (IsStrFunc(text)) return zstStrFunc;
    return zstFieldName;
}

std::string TZanTokenParser::GetUnparsedText() const {
    // Only blanks are trimmed: the bytes after an embedded NUL stay unparsed text.
    std::string_view rest = FPos < FText.size() ? std::string_view(FText).substr(FPos) : "";
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!rest.empty() && blank(rest.front()))
        rest.remove_prefix(1);
    while (!rest.empty() && blank(rest.back()))
        rest.remove_suffix(1);
    return std::string(rest);
}

// ---- Number tokens -------------------------------------------------------------------------

bool ZanReadNumberToken(std::string_view text, double& value) {
    std::string_view body = text;
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) body.remove_prefix(1);
    // An exponent: "e" or "E", an optional sign and at least one digit.
    const size_t e = body.find_first_of("eE");
    if (e != std::string_view::npos) {
        std::string_view exponent = body.substr(e + 1);
        if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+'))
            exponent.remove_prefix(1);
        if (exponent.empty() || !std::all_of(exponent.begin(), exponent.end(), IsDigit))
            return false;
        body = body.substr(0, e);
    }
    int digits = 0, dots = 0;
    for (char c : body) {
        if (IsDigit(c))
            ++digits;
        else if (c == '.')
            ++dots;
        else
            return false;
    }
    if (digits == 0 || dots > 1) return false;
    return TryStrToFloat(text, value);
}

bool ZanReadWholeNumberToken(std::string_view text, int32_t& value) {
    std::string_view body = text;
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) body.remove_prefix(1);
    if (body.empty() || body.size() > 10) return false;
    int64_t n = 0;
    for (char c : body) {
        if (!IsDigit(c)) return false;
        n = n * 10 + (c - '0');
    }
    if (text[0] == '-') n = -n;
    if (n < INT32_MIN || n > INT32_MAX) return false;
    value = static_cast<int32_t>(n);
    return true;
}

// ---- TParserTokenList ---------------------------------------------------------------------

TParserToken& TParserTokenList::emplace_back(TParserToken&& token) {
    if (FChunks.empty() || FChunks.back().size() == C_CHUNK) {
        FChunks.emplace_back();
        FChunks.back().reserve(C_CHUNK);
    }
    return FChunks.back().emplace_back(std::move(token));
}

// ---- TParserStack --------------------------------------------------------------------------

TParserToken* TParserStack::Pop() {
    if (FItems.empty()) return nullptr;
    TParserToken* t = FItems.back();
    FItems.pop_back();
    return t;
}

TParserToken* TParserStack::PeekAt(int i) const {
    if (i < 0 || i >= Count()) return nullptr;
    return FItems[FItems.size() - 1 - static_cast<size_t>(i)];
}

void TParserStack::SetCountTo(int n) {
    while (Count() > n && n >= 0)
        FItems.pop_back();
}

void TParserStack::CopyStack(const TParserStack& source, TParserTokenList& owner) {
    FItems.clear();
    for (const TParserToken* t : source.FItems) {
        owner.push_back(*t);
        FItems.push_back(&owner.back());
    }
}

// ---- TBaseParser ---------------------------------------------------------------------------

TZanParserOptions ZanParserOptions(std::initializer_list<TZanParserOption> options) {
    TZanParserOptions set;
    for (TZanParserOption o : options)
        set.set(o);
    return set;
}

TBaseParser::TBaseParser() : FEndTokens(ZanSQLTokens({zstEnd})) {}

void TBaseParser::Clear() {
    FStack = nullptr;
    FOptions.reset();
    FCurrToken = nullptr;
    FErrorMsg.clear();
    FErrorToken = nullptr;
    FParsedText.clear();
}

bool TBaseParser::Execute(const TZanParserOptions& options, TParserStack* stack) {
    FOptions = options;
    FStack = stack;
    if (!FCurrToken) NextToken();
    return false;
}

void TBaseParser::NextToken() {
    FCurrToken = FStack ? FStack->Pop() : nullptr;
    if (FCurrToken) FParsedText += FCurrToken->RawTokenText;
}

bool TBaseParser::TokenSymbolIs(std::string_view word) const {
    return FCurrToken && SameText(FCurrToken->Text, word);
}

TZanSQLToken TBaseParser::PeekAtTokenType(int i) const {
    const TParserToken* t = FStack ? FStack->PeekAt(i) : nullptr;
    return t ? t->Token : zstUnknown;
}

bool TBaseParser::AtEndToken() const {
    if (!FStack || FStack->Count() == 0) return true;
    const TZanSQLToken t = CurrentTokenType();
    return InTokens(FEndTokens, t) || t == zstUnknown || t == zstEnd ||
           (FIsSubquery && t == zstRParen);
}

void TBaseParser::RemoveCurrentTokenFromParsedText() {
    if (!FCurrToken) return;
    const size_t n = FCurrToken->RawTokenText.size();
    FParsedText.resize(FParsedText.size() >= n ? FParsedText.size() - n : 0);
}

void TBaseParser::SyncCurrToken(const TBaseParser& other) {
    FCurrToken = other.FCurrToken;
    if (FCurrToken) FParsedText += FCurrToken->RawTokenText;
}

void TBaseParser::SetError(const TParserToken* token, std::string_view text) {
    if (!FErrorMsg.empty()) return;
    FErrorToken = token;
    FErrorMsg.assign(text);
}

void TBaseParser::ClearError() {
    FErrorMsg.clear();
    FErrorToken = nullptr;
}

std::string TBaseParser::GetErrorMsg() const {
    if (!FErrorToken) return FErrorMsg;
    return FErrorMsg + Format(" Line %d, Character %d. Token '%s'", FErrorToken->LineNo,
                              FErrorToken->LineOffset, FErrorToken->Text);
}

std::string TBaseParser::GetErrorMsgNoLine() const {
    if (!FErrorToken) return FErrorMsg;
    return FErrorMsg +
           Format(" Character %d. Token '%s'", FErrorToken->LineOffset, FErrorToken->Text);
}

// ---- Mappers -------------------------------------------------------------------------------

namespace {

constexpr std::array<std::pair<std::string_view, int>, 5> C_AGGFUNCS = {{
    {"COUNT", zafCount},
    {"AVG", zafAvg},
    {"SUM", zafSum},
    {"MAX", zafMax},
    {"MIN", zafMin},
}};

constexpr std::array<std::pair<std::string_view, int>, 4> C_STRFUNCS = {{
    {"SUBSTRING", zsfSubstring},
    {"UPPER", zsfUpper},
    {"LOWER", zsfLower},
    {"TRIM", zsfTrim},
}};

constexpr std::array<std::pair<std::string_view, int>, 15> C_DATATYPES = {{
    {"CHARACTER", ftString},
    {"CHAR", ftString},
    {"VARCHAR", ftString},
    {"NUMERIC", ftFloat},
    {"DECIMAL", ftFloat},
    {"DEC", ftFloat},
    {"FLOAT", ftFloat},
    {"REAL", ftFloat},
    {"INTEGER", ftInteger},
    {"INT", ftInteger},
    {"SMALLINT", ftSmallint},
    {"DOUBLE PRECISION", ftFloat},
    {"DATE", ftDate},
    {"TIME", ftTime},
    {"TIMESTAMP", ftDateTime},
}};

// DOUBLE counts only with PRECISION as the next word.
int DataTypeSpan(std::string_view word, std::string_view nextWord) {
    if (SameText(word, "DOUBLE")) return SameText(nextWord, "PRECISION") ? 2 : 0;
    return FindWord(C_DATATYPES, word) != 0 ? 1 : 0;
}

} // namespace

int TAggFuncMapper::IsMemberToken(std::string_view word, std::string_view) const {
    return FindWord(C_AGGFUNCS, word) != 0 ? 1 : 0;
}

int TAggFuncMapper::GetCustomOrdinal(std::string_view word, std::string_view) const {
    return FindWord(C_AGGFUNCS, word) % 128;
}

int TStrFuncMapper::IsMemberToken(std::string_view word, std::string_view) const {
    return FindWord(C_STRFUNCS, word) != 0 ? 1 : 0;
}

int TStrFuncMapper::GetCustomOrdinal(std::string_view word, std::string_view) const {
    return FindWord(C_STRFUNCS, word) % 128;
}

int TDataTypeMapper::IsMemberToken(std::string_view word, std::string_view nextWord) const {
    return DataTypeSpan(word, nextWord);
}

int TDataTypeMapper::GetCustomOrdinal(std::string_view word, std::string_view nextWord) const {
    if (DataTypeSpan(word, nextWord) == 2) return ftFloat % 128;
    return FindWord(C_DATATYPES, word) % 128;
}

// ---- TZanPreParser -------------------------------------------------------------------------

void TZanPreParser::SetText(std::string_view text) {
    Clear();
    FText.assign(text);
}

void TZanPreParser::Clear() {
    FStacks.clear();
}

TParserStack* TZanPreParser::NewStack(TZanSQLToken section) {
    FStacks.push_back(std::make_unique<TParserStack>());
    FStacks.back()->SetSection(section);
    return FStacks.back().get();
}

TParserToken* TZanPreParser::NewToken(TZanTokenParser& scanner, TZanSQLToken token,
                                      TZanSQLToken section, std::string&& text) {
    TParserToken& t =
        FTokens->emplace_back(TParserToken{scanner.GetTokenColumn(), scanner.GetTokenLine(), token,
                                          section, std::move(text), 0, scanner.GetRawTokenText()});
    if (token == zstAggFunc)
        t.CustomOrdinal = GAggFuncMapper.GetCustomOrdinal(t.Text, {});
    else if (token == zstDataType)
        t.CustomOrdinal = GDataTypeMapper.GetCustomOrdinal(t.Text, {});
    else if (token == zstStrFunc)
        t.CustomOrdinal = GStrFuncMapper.GetCustomOrdinal(t.Text, {});
    return &t;
}

void TZanPreParser::PreParseTokens() {
    Clear();
    // A fresh store: the previous scan's tokens go unless a pre-parser that copied stacks from
    // this one still shares them.
    FTokens = std::make_shared<TParserTokenList>();
    if (FParseSingleStack)
        ScanSingleStack();
    else
        ScanMultiStack();
}

void TZanPreParser::ScanSingleStack() {
    TZanTokenParser scanner;
    scanner.SetTokenString(FText);
    TParserStack* stack = NewStack(zstUnknown);
    std::vector<TParserToken*> tokens;
    for (;;) {
        std::string text;
        const TZanSQLToken token = scanner.GetNextToken(text);
        const bool last = token == zstEnd && text.empty();
        if (token != zstComment)
            tokens.push_back(NewToken(scanner, token, zstSelect, std::move(text)));
        if (last) break;
    }
    // The first scanned token is the top.
    for (auto it = tokens.rbegin(); it != tokens.rend(); ++it)
        stack->Push(*it);
    SetStatementType();
    FUnparsedText = scanner.GetUnparsedText();
}

void TZanPreParser::ScanMultiStack() {
    TZanTokenParser scanner;
    scanner.SetTokenString(FText);
    TZanSQLToken section = zstUnknown;
    TParserStack* current = nullptr;
    if (FParseAsExprOnly) {
        section = zstWhere;
        current = NewStack(zstWhere);
    }
    for (;;) {
        std::string text;
        const TZanSQLToken token = scanner.GetNextToken(text);
        const bool last = token == zstEnd && text.empty();
        if (!FParseAsExprOnly && IsSectionToken(token) &&
            !(token == zstFrom && section == zstWhere)) {
            section = token;
            current = NewStack(token);
        } else if (current) {
            current->Queue(NewToken(scanner, token, section, std::move(text)));
        }
        if (last) break;
    }
    SetStatementType();
    FUnparsedText = scanner.GetUnparsedText();
}

void TZanPreParser::SetStatementType() {
    if (FParseAsExprOnly) {
        FSQLStatementType = zsSQLExprOnly;
        return;
    }
    const TParserToken* first = nullptr;
    for (const auto& s : FStacks)
        if ((first = s->Peek())) break;
    FSQLStatementType = zsSQLUnknown;
    if (!first) return;
    switch (first->Token) {
    case zstSelect:
        FSQLStatementType = zsSQLSelect;
        break;
    case zstInsert:
        FSQLStatementType = zsSQLInsert;
        break;
    case zstDelete:
        FSQLStatementType = zsSQLDelete;
        break;
    case zstUpdate:
        FSQLStatementType = zsSQLUpdate;
        break;
    case zstCreate:
    case zstDrop:
    case zstAlter:
        FSQLStatementType = zsSchemaManipulation;
        break;
    default:
        break;
    }
}

TParserStack* TZanPreParser::GetSection(TZanSQLToken section, const TParserToken* currentToken) {
    ZanAssert(IsSectionToken(section), "Invalid section request in GetSection");
    if (FParseSingleStack && FStacks.size() == 1) {
        TParserStack* stack = FStacks.front().get();
        if (stack->Count() > 0 && stack->Peek()->Token != section &&
            !(currentToken && currentToken->Token == section)) {
            while (const TParserToken* t = stack->Pop())
                if (t->Token == section) break;
        }
        return stack;
    }
    for (auto it = FStacks.rbegin(); it != FStacks.rend(); ++it)
        if ((*it)->GetSection() == section) return it->get();
    return nullptr;
}

TParserStack* TZanPreParser::GetSingleStack() const {
    ZanAssert(FParseSingleStack, "Cannot get single stack - not parsed as single stack");
    return FStacks.empty() ? nullptr : FStacks.front().get();
}

int TZanPreParser::GetSingleStackCount() const {
    if (!FParseSingleStack || FStacks.size() != 1) return 0;
    return FStacks.front()->Count();
}

void TZanPreParser::SetSingleStackCountTo(int n) {
    if (FParseSingleStack && FStacks.size() == 1) FStacks.front()->SetCountTo(n);
}

bool TZanPreParser::CheckParseComplete() const {
    if (!FUnparsedText.empty()) return false;
    for (const auto& s : FStacks)
        for (int i = 0; i < s->Count(); ++i) {
            const TParserToken* t = s->PeekAt(i);
            if (t->Token != zstComment && !(t->Token == zstEnd && t->Text.empty())) return false;
        }
    return true;
}

void TZanPreParser::AssignStacks(const TZanPreParser& other) {
    if (&other == this) return;
    Clear();
    FParseSingleStack = other.FParseSingleStack;
    FParseAsExprOnly = other.FParseAsExprOnly;
    // Nested parsers and their owners hand current tokens back and forth (SyncCurrToken), so
    // the copies share the tokens rather than duplicating them: copying a stack costs one
    // pointer per token, and every token stays alive while any pre-parser holds its store.
    FTokens = other.FTokens;
    for (const auto& s : other.FStacks)
        FStacks.push_back(std::make_unique<TParserStack>(*s));
}

void TZanPreParser::TrimStacks(const TZanPreParser& other) {
    ZanAssert(FStacks.size() == other.FStacks.size(), "Stack list counts do not match");
    for (size_t i = 0; i < FStacks.size(); ++i)
        FStacks[i]->SetCountTo(other.FStacks[i]->Count());
}

void TZanPreParser::GetParamList(TStrings& list) const {
    // Names already listed, upper-cased: each is looked up once, not against the whole list.
    std::unordered_set<std::string> seen;
    for (int j = 0; j < list.Count(); ++j)
        seen.insert(UpperCase(list[j]));
    for (const auto& s : FStacks)
        for (int i = 0; i + 1 < s->Count(); ++i) {
            // A ":" at the very end names nothing.
            if (s->PeekAt(i)->Token != zstParameter || s->PeekAt(i + 1)->Token == zstEnd) continue;
            const std::string& name = s->PeekAt(i + 1)->Text;
            if (seen.insert(UpperCase(name)).second) list.Add(name);
        }
}

} // namespace zan
