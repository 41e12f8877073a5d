// The SQL front end's first stage: the scanner that turns statement or filter text into tokens,
// the token and token-stack objects every clause parser consumes, the parser base class, the
// word mappers (aggregate, data-type and string-function names) and the pre-parser that scans a
// whole text into token stacks.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/storage/zanConsts.h"
#include "host/db/DB.h"
#include "host/rtl/StringList.h"
#include "host/rtl/Variants.h"

namespace zan {

class TZanExprNode;

// ---- Scanner -------------------------------------------------------------------------------

class TZanTokenParser {
public:
    // Stores the text and resets the scanner to its first character (line 1, column 1). The
    // text ends at its first NUL byte; whatever follows is left unread.
    void SetTokenString(std::string_view text);

    // The next token, its text in `text`; remembers it as the last (section) token.
    TZanSQLToken GetNextToken(std::string& text);
    // Scans one token.
    TZanSQLToken NextSQLToken(std::string& text);
    // Look-ahead: scans the next token; when its text equals `word` (ignoring case) the scanner
    // stays after it and " " + its text is appended to `text`, otherwise the scanner is put
    // back exactly where it was.
    bool NextTokenIs(std::string_view word, std::string& text);
    // Classifies a scanned word (keywords, look-ahead words, mapper words, field names).
    TZanSQLToken GetSQLToken(std::string& text);
    bool IsAggFunc(std::string& text);
    bool IsDataType(std::string& text);
    bool IsStrFunc(std::string& text);

    // The rest of the text from the current character, trimmed of blanks.
    std::string GetUnparsedText() const;

    int32_t GetTokenLine() const { return FTokenStartLine; }
    int32_t GetTokenColumn() const { return FTokenStartCol; }
    int32_t GetLine() const { return FLine; }
    int32_t GetColumn() const { return FCol; }
    // Everything consumed for the last token: leading blanks and comments included, line breaks
    // excluded.
    std::string GetRawTokenText() const;
    TZanSQLToken GetLastToken() const { return FLastToken; }
    TZanSQLToken GetLastSectionToken() const { return FLastSectionToken; }

private:
    static constexpr size_t npos = static_cast<size_t>(-1);

    struct TState {
        size_t Pos;
        int32_t Line, Col, TokenStartLine, TokenStartCol;
        size_t TokenStart;
        bool Qualified;
        bool RawHasLineBreak;
    };
    TState SaveState() const;
    void RestoreState(const TState& s);

    char CurrChar() const { return FPos < FEnd ? FText[FPos] : '\0'; }
    char CharAt(size_t pos) const { return pos < FEnd ? FText[pos] : '\0'; }
    // Advances one character; CR LF and LF CR are one line break, two equal ones are two.
    void IncCurrChar() {
        if (FPos >= FEnd) return;
        const char c = FText[FPos++];
        if (c != '\r' && c != '\n') {
            ++FCol;
            return;
        }
        const char next = CharAt(FPos);
        if ((next == '\r' || next == '\n') && next != c) ++FPos;
        FRawHasLineBreak = true;
        ++FLine;
        FCol = 1;
    }
    void StartToken() {
        if (FTokenStart == npos) SetTokenStart(FPos);
    }
    void SetTokenStart(size_t p) {
        FTokenStart = p;
        FTokenStartLine = FLine;
        FTokenStartCol = FCol;
    }
    // The pending word from its start up to the current character, classified.
    TZanSQLToken FlushWord(std::string& text);
    // Scans a quoted text; False (and nothing consumed) when it is not closed.
    bool ScanQuoted(TZanSQLToken& token, std::string& text);
    // Consumes the digits and dots of a number and its exponent, if any.
    void ScanNumberRest();
    // Whether a sign glued to digits may start a number here: not right after an operand.
    bool SignStartsNumber() const;
    // Asks a mapper about the word; scans and appends the further words of a member.
    bool MapperSpans(const class TBaseMapper& mapper, std::string& text);

    std::string FText;
    size_t FEnd = 0; // the first NUL, or the text's length
    size_t FPos = 0;
    int32_t FLine = 1;
    int32_t FCol = 1;
    int32_t FTokenStartLine = 1;
    int32_t FTokenStartCol = 1;
    size_t FTokenStart = npos;
    size_t FRawStart = 0;          // where the scan for the current token began
    bool FRawHasLineBreak = false; // a line break was consumed since FRawStart
    TZanSQLToken FLastToken = zstUnknown;
    TZanSQLToken FLastSectionToken = zstUnknown;
    bool FLastEndsOperand = false; // the last token other than a comment ends an operand
    bool FQualified = false;
    int FLookAheadDepth = 0;
    // Per quote kind without doubling (#, `, [): the position from which no closing character
    // follows, so later quotes of that kind need not scan to the end again.
    std::array<size_t, 5> FNoCloseFrom{};
};

// ---- Number tokens -------------------------------------------------------------------------

// The one reader of number tokens: an optional sign, digits with at most one ".", at least one
// digit, then an optional exponent ("e", a sign, digits): "1.2.3", "-.", "+" and "1e" are no
// numbers. False also for a value beyond the double range.
bool ZanReadNumberToken(std::string_view text, double& value);
// A whole number: an optional sign and digits only, within 32 bits.
bool ZanReadWholeNumberToken(std::string_view text, int32_t& value);

// ---- Tokens and stacks ---------------------------------------------------------------------

struct TParserToken {
    int32_t LineOffset = 0; // column of the first character, 1-based
    int32_t LineNo = 0;     // 1-based
    TZanSQLToken Token = zstUnknown;
    TZanSQLToken Section = zstUnknown;
    std::string Text;          // as the scanner returned it, quotes removed
    int32_t CustomOrdinal = 0; // given by a mapper
    std::string RawTokenText;  // the characters consumed, leading blanks and comments included

    void AssignToken(const TParserToken& source) { *this = source; }
};

// Every token a pre-parser created. Tokens live in fixed-size chunks, so their addresses stay
// valid while tokens are added.
class TParserTokenList {
public:
    TParserToken& emplace_back(TParserToken&& token);
    void push_back(const TParserToken& token) { emplace_back(TParserToken(token)); }
    TParserToken& back() { return FChunks.back().back(); }
    TParserToken& operator[](size_t i) { return FChunks[i / C_CHUNK][i % C_CHUNK]; }
    size_t size() const {
        return FChunks.empty() ? 0 : (FChunks.size() - 1) * C_CHUNK + FChunks.back().size();
    }

private:
    static constexpr size_t C_CHUNK = 256;
    // Each chunk is reserved to C_CHUNK tokens and never grows beyond, so it never moves them.
    std::vector<std::vector<TParserToken>> FChunks;
};

// A stack of tokens owned elsewhere. The top is the last element.
class TParserStack {
public:
    void Push(TParserToken* token) { FItems.push_back(token); }
    void PushItem(TParserToken* token) { Push(token); }
    // Puts the token at the bottom.
    void Queue(TParserToken* token) { FItems.push_front(token); }
    // Removes and returns the top; nullptr when empty.
    TParserToken* Pop();
    TParserToken* PopItem() { return Pop(); }
    TParserToken* Peek() const { return FItems.empty() ? nullptr : FItems.back(); }
    TParserToken* PeekItem() const { return Peek(); }
    // The i-th token from the top (0 = top); nullptr past the bottom.
    TParserToken* PeekAt(int i) const;
    int Count() const { return static_cast<int>(FItems.size()); }
    bool AtLeast(int n) const { return n <= Count(); }
    void Clear() { FItems.clear(); }
    // Pops until n tokens remain (nothing when n >= Count).
    void SetCountTo(int n);
    // Empties this stack, then copies every token of source, bottom to top, into new tokens
    // appended to owner.
    void CopyStack(const TParserStack& source, TParserTokenList& owner);

    TZanSQLToken GetSection() const { return FSection; }
    void SetSection(TZanSQLToken token) { FSection = token; }

private:
    std::deque<TParserToken*> FItems;
    TZanSQLToken FSection = zstUnknown;
};

// ---- Parser base ---------------------------------------------------------------------------

enum TZanParserOption : uint8_t {
    zpoExtSyntax,
    zpoAggregate,
    zpoDefaultExpr,
    zpoSQL,
    zpoParameters,
    zpoExtractAggFuncExprText,
    zpoSubqueries,
};
using TZanParserOptions = std::bitset<7>;
TZanParserOptions ZanParserOptions(std::initializer_list<TZanParserOption> options);

enum TParserNotifyType : uint8_t { pntUnknown, pntSubquery, pntFindTableRef, pntSelectUnion };

class TBaseParser;
using TParserNotifyEvent =
    std::function<void(TParserNotifyType notifyType, TBaseParser* parser, TParserStack* stack,
                       TZanExprNode* node, Variant& value)>;

class TBaseParser {
public:
    TBaseParser();
    virtual ~TBaseParser() = default;
    TBaseParser(const TBaseParser&) = delete;
    TBaseParser& operator=(const TBaseParser&) = delete;

    // Forgets stack, options, current token, error and parsed text.
    virtual void Clear();
    // Stores options and stack; takes the first token unless a current token was inherited
    // (SyncCurrToken). The base answers False; parsers answer whether they parsed cleanly.
    virtual bool Execute(const TZanParserOptions& options, TParserStack* stack);

    // Pops the next token into CurrToken (nullptr when the stack is empty); its raw text joins
    // ParsedText.
    void NextToken();
    TZanSQLToken CurrentTokenType() const { return FCurrToken ? FCurrToken->Token : zstUnknown; }
    std::string TokenName() const { return FCurrToken ? FCurrToken->Text : std::string(); }
    bool TokenSymbolIs(std::string_view word) const;
    // The kind of the i-th token after the current one (0 = next); zstUnknown past the end.
    TZanSQLToken PeekAtTokenType(int i) const;
    bool NextTokenIsLParen() const { return PeekAtTokenType(0) == zstLParen; }
    bool AtEndToken() const;
    void RemoveCurrentTokenFromParsedText();
    // Takes over another parser's current token.
    void SyncCurrToken(const TBaseParser& other);

    // The first error wins.
    void SetError(const TParserToken* token, std::string_view text);
    void ClearError();
    bool HasParseError() const { return !FErrorMsg.empty(); }
    // ErrorMsg + " Line %d, Character %d. Token '%s'" (only ErrorMsg without an error token).
    std::string GetErrorMsg() const;
    // ErrorMsg + " Character %d. Token '%s'": for one-line filter texts.
    std::string GetErrorMsgNoLine() const;

    TParserStack* GetStack() const { return FStack; }
    const TZanParserOptions& GetOptions() const { return FOptions; }
    bool HasOption(TZanParserOption option) const { return FOptions.test(option); }
    TParserToken* GetCurrToken() const { return FCurrToken; }
    const std::string& GetErrorMessage() const { return FErrorMsg; }
    const TParserToken* GetErrorToken() const { return FErrorToken; }
    const std::string& GetParsedText() const { return FParsedText; }
    const TZanSQLTokens& GetEndTokens() const { return FEndTokens; }
    void SetEndTokens(const TZanSQLTokens& tokens) { FEndTokens = tokens; }
    bool GetIsSubquery() const { return FIsSubquery; }
    void SetIsSubquery(bool value) { FIsSubquery = value; }
    const TParserNotifyEvent& GetParserNotifyEvent() const { return FParserNotifyEvent; }
    void SetParserNotifyEvent(TParserNotifyEvent event) { FParserNotifyEvent = std::move(event); }

protected:
    TParserStack* FStack = nullptr;
    TZanParserOptions FOptions;
    TParserToken* FCurrToken = nullptr;
    std::string FErrorMsg;
    const TParserToken* FErrorToken = nullptr;
    std::string FParsedText;
    TZanSQLTokens FEndTokens;
    bool FIsSubquery = false;
    TParserNotifyEvent FParserNotifyEvent;
};

// ---- Word mappers --------------------------------------------------------------------------

class TBaseMapper {
public:
    virtual ~TBaseMapper() = default;
    // The number of words the member spans (0 when the word is no member).
    virtual int IsMemberToken(std::string_view word, std::string_view nextWord) const = 0;
    // The member's ordinal modulo 128; 0 when none.
    virtual int GetCustomOrdinal(std::string_view word, std::string_view nextWord) const = 0;
};

// COUNT, AVG, SUM, MAX, MIN -> TZanSQLAggFunc.
class TAggFuncMapper : public TBaseMapper {
public:
    int IsMemberToken(std::string_view word, std::string_view nextWord) const override;
    int GetCustomOrdinal(std::string_view word, std::string_view nextWord) const override;
};

// SUBSTRING, UPPER, LOWER, TRIM -> TZanSQLStrFunc.
class TStrFuncMapper : public TBaseMapper {
public:
    int IsMemberToken(std::string_view word, std::string_view nextWord) const override;
    int GetCustomOrdinal(std::string_view word, std::string_view nextWord) const override;
};

// SQL type names -> TFieldType; DOUBLE PRECISION spans two words.
class TDataTypeMapper : public TBaseMapper {
public:
    int IsMemberToken(std::string_view word, std::string_view nextWord) const override;
    int GetCustomOrdinal(std::string_view word, std::string_view nextWord) const override;
};

// ---- Pre-parser ----------------------------------------------------------------------------

class TZanPreParser {
public:
    TZanPreParser() = default;
    TZanPreParser(const TZanPreParser&) = delete;
    TZanPreParser& operator=(const TZanPreParser&) = delete;

    void SetText(std::string_view text);
    const std::string& GetText() const { return FText; }
    void SetParseAsExprOnly(bool value) { FParseAsExprOnly = value; }
    bool GetParseAsExprOnly() const { return FParseAsExprOnly; }
    void SetParseSingleStack(bool value) { FParseSingleStack = value; }
    bool GetParseSingleStack() const { return FParseSingleStack; }
    TZanSQLStatementType GetSQLStatementType() const { return FSQLStatementType; }
    void SetSQLStatementType(TZanSQLStatementType type) { FSQLStatementType = type; }
    const std::string& GetUnparsedText() const { return FUnparsedText; }

    // Scans the text (single-stack or multi-stack mode); aggregate, data-type and
    // string-function tokens get their mapper's ordinal.
    void PreParseTokens();
    // The stack of a clause (a section token, else an assertion failure). Single-stack mode
    // pops up to and including the first token of that kind unless the top or currentToken
    // already is one.
    TParserStack* GetSection(TZanSQLToken section, const TParserToken* currentToken);
    int GetSectionCount() const { return static_cast<int>(FStacks.size()); }
    TParserStack* GetStack(int index) const { return FStacks.at(index).get(); }
    TParserStack* GetSingleStack() const;
    int GetSingleStackCount() const;
    void SetSingleStackCountTo(int n);
    // Whether nothing but comments and the final empty end token is left.
    bool CheckParseComplete() const;
    // Clear, then copies of the other's stacks. The copies point at the other's tokens, which
    // this pre-parser then co-owns: they live while either pre-parser holds them.
    void AssignStacks(const TZanPreParser& other);
    // Cuts each stack to the token count of the other's stack at the same position.
    void TrimStacks(const TZanPreParser& other);
    // Appends each parameter name once (first spelling, compared ignoring case).
    void GetParamList(TStrings& list) const;
    // Frees the stacks; the tokens stay owned until the next scan or AssignStacks (or until
    // the pre-parser goes), so tokens handed out stay valid until then.
    void Clear();
    bool CheckIncludeToken(const TParserToken& token) const { return token.Token != zstComment; }

private:
    void ScanSingleStack();
    void ScanMultiStack();
    TParserStack* NewStack(TZanSQLToken section);
    TParserToken* NewToken(TZanTokenParser& scanner, TZanSQLToken token, TZanSQLToken section,
                           std::string&& text);
    void SetStatementType();

    std::string FText;
    std::vector<std::unique_ptr<TParserStack>> FStacks;
    bool FParseAsExprOnly = false;
    bool FParseSingleStack = false;
    // The tokens the stacks point at: this pre-parser's last scan, or those it shares with
    // the pre-parser whose stacks it copied.
    std::shared_ptr<TParserTokenList> FTokens = std::make_shared<TParserTokenList>();
    TZanSQLStatementType FSQLStatementType = zsSQLUnknown;
    std::string FUnparsedText;
};

} // namespace zan
