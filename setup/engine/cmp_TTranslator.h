// The translator: language files (numbered texts and memos per language), translation of texts,
// line blocks and control trees from one language into the target language, and the fonts a
// language needs. The first translator created is the global one: the free functions and the
// installer exceptions translate through it.
//
// Language file lines (UTF-8): each line is trimmed, blank lines and lines starting with "*" are
// skipped; "id;text" is a string entry (the text is the second ";" field, untrimmed, at most 255
// bytes, cut at a character boundary); "#id;" opens a memo that runs to a line that is exactly
// "#". A parse error drops every entry of the language.
//
// Controls are reached through TControlView, an abstract view of a control tree that the forms
// layer implements (and tests fake).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/StringList.h"

namespace zan {

enum TCrvnLanguage : uint8_t {
    clChineseSimplified, clChineseTraditional, clCzech, clDanish, clDutch, clEnglish, clFrench,
    clGerman, clGreek, clHebrew, clItalian, clJapanese, clKorean, clNorwegianBokmal,
    clNorwegianNynorsk, clPolish, clPortugese, clRussian, clSpanish, clSwedish, clUser,
    clVietnamese
};
inline constexpr int LanguageCount = 21; // every language but clUser

// A font as controls carry it: name (bytes in the language's code page), size, charset.
struct TControlFont {
    std::string Name = "MS Sans Serif";
    int Size = 8;
    int Charset = 1; // DEFAULT_CHARSET
    bool operator==(const TControlFont&) const = default;
};

enum TControlKind : uint8_t {
    ckComponent,       // not a control (no Visible, no font)
    ckControl,         // any other control
    ckWinControl,      // a windowed control (its layout is refreshed after translation)
    ckForm,
    ckImage,
    ckLabel,
    ckTranslateLabel,  // a label with a GLID
    ckTranslateBitBtn, // a bitmap button with a GLID
    ckMemo,
    ckListView,        // its items are the column captions
    ckListBox,
    ckComboBox,
    ckRadioGroup,
};

// One component of a tree, as the translator sees it.
class TControlView {
public:
    virtual ~TControlView() = default;
    virtual TControlKind Kind() const = 0;
    // Owned components (the forms layer answers its children and owned components).
    virtual std::vector<TControlView*> Children() { return {}; }
    virtual bool GetVisible() const { return true; }
    virtual void SetVisible(bool) {}
    virtual bool GetAutoSize() const { return false; }
    virtual void SetAutoSize(bool) {}
    virtual int GetGLID() const { return 0; }
    // Published string properties by name ("Name" among them).
    virtual std::vector<std::string> StringProperties() const { return {}; }
    virtual std::string GetString(const std::string&) const { return ""; }
    virtual void SetString(const std::string&, const std::string&) {}
    virtual std::vector<std::string> GetLines() const { return {}; }
    virtual void SetLines(const std::vector<std::string>&) {}
    virtual std::vector<std::string> GetItems() const { return {}; }
    virtual void SetItems(const std::vector<std::string>&) {}
    virtual TControlFont GetFont() const { return {}; }
    virtual void SetFont(const TControlFont&) {}
    virtual void RefreshLayout() {}
};

struct TStringEntry {
    int Id = 0;
    TCrvnLanguage Language = clEnglish;
    int Position = 0; // index of its line
    std::string Text;
};

struct TMemoEntry {
    int Id = 0;
    TCrvnLanguage Language = clEnglish;
    int Position = 0; // index of its first line
    std::vector<std::string> Lines;
};

class TLanguage;

// The lines of one language: every change re-parses the language; Assign and loading parse
// once; Delete only shifts the positions of the string entries after the deleted line.
class TLangFormatStrings : public TStringList {
public:
    explicit TLangFormatStrings(TLanguage& language) : FLanguage(language) {}
    ZAN_CLASS(TLangFormatStrings)
    void Delete(int index) override;

protected:
    void Changed() override;

private:
    TLanguage& FLanguage;
    bool FDeleting = false;
};

// The parsed entries of language lines; raises Exception with the parse error texts.
struct TParsedLanguage {
    std::vector<TStringEntry> Strings;
    std::vector<TMemoEntry> Memos;
};
TParsedLanguage ParseLanguageLines(const std::vector<std::string>& lines, TCrvnLanguage language);

class TTranslator;

class TLanguage : public TObject {
public:
    TLanguage(TTranslator* translator, TCrvnLanguage ident);
    ZAN_CLASS(TLanguage)

    TCrvnLanguage GetLanguageIdent() const { return FIdent; }
    TLangFormatStrings& Strings() { return FStrings; }
    const TLangFormatStrings& Strings() const { return FStrings; }
    TControlFont& Font() { return FFont; }
    const TControlFont& Font() const { return FFont; }
    bool GetFontOverride() const { return FFontOverride; }
    void SetFontOverride(bool value) { FFontOverride = value; }
    bool GetAutoParse() const { return FAutoParse; }
    void SetAutoParse(bool value) { FAutoParse = value; }
    std::string ResourceName() const;
    std::string FileName() const;
    TTranslator* Translator() const { return FTranslator; }

    // Copies lines (parsing once), font and font override.
    void Assign(const TLanguage& source);
    // Loads the lines of a language file (host path), parsing once.
    void LoadFromFile(const std::string& fileName);
    // Parses the lines; on an error the entries are dropped and the error raised.
    void Parse();

    const std::vector<TStringEntry>& StringEntries() const { return FStringEntries; }
    const std::vector<TMemoEntry>& MemoEntries() const { return FMemoEntries; }
    const TStringEntry* FindString(int id) const;
    const TMemoEntry* FindMemo(int id) const;
    int ParseCount() const { return FParseCount; }

private:
    friend class TLangFormatStrings;
    TTranslator* FTranslator;
    TCrvnLanguage FIdent;
    TLangFormatStrings FStrings;
    TControlFont FFont;
    bool FFontOverride = false;
    bool FAutoParse = true;
    std::vector<TStringEntry> FStringEntries;
    std::vector<TMemoEntry> FMemoEntries;
    int FParseCount = 0;
};

// The charset and standard font of a language; "Unrecognized language" for clHebrew's font and
// for clUser.
int LanguageCharset(TCrvnLanguage language);
TControlFont LanguageStandardFont(TCrvnLanguage language);
// The language of a Windows language id (primary language and sub-language).
TCrvnLanguage LanguageOfLangID(uint16_t langId);

class TTranslator : public TComponent {
public:
    explicit TTranslator(TComponent* owner = nullptr);
    ~TTranslator() override;
    ZAN_CLASS(TTranslator)

    TLanguage& Language(TCrvnLanguage ident); // clUser raises "Unrecognized language"
    // Assigns the content of source to the language with the given ident.
    void SetLanguage(TCrvnLanguage ident, const TLanguage& source);
#define ZAN_LANG(Name)                                                                             \
    TLanguage& lg##Name() { return Language(cl##Name); }                                           \
    void Setlg##Name(const TLanguage& source) { SetLanguage(cl##Name, source); }
    ZAN_LANG(ChineseSimplified) ZAN_LANG(ChineseTraditional) ZAN_LANG(Czech) ZAN_LANG(Danish)
    ZAN_LANG(Dutch) ZAN_LANG(English) ZAN_LANG(French) ZAN_LANG(German) ZAN_LANG(Greek)
    ZAN_LANG(Hebrew) ZAN_LANG(Italian) ZAN_LANG(Japanese) ZAN_LANG(Korean)
    ZAN_LANG(NorwegianBokmal) ZAN_LANG(NorwegianNynorsk) ZAN_LANG(Polish) ZAN_LANG(Portugese)
    ZAN_LANG(Russian) ZAN_LANG(Spanish) ZAN_LANG(Swedish) ZAN_LANG(Vietnamese)
#undef ZAN_LANG

    TCrvnLanguage GetTranslateIntoLanguage() const { return FTranslateInto; }
    void SetTranslateIntoLanguage(TCrvnLanguage language);
    // Called whenever TranslateIntoLanguage is set.
    TNotifyEvent OnLanguageChange;

    // The language translated into (for clUser the user's language); nullptr when none.
    TLanguage* TargetLanguage();
    // The language of an ident, clUser resolved; nullptr when none.
    TLanguage* LanguageOf(TCrvnLanguage ident);

    std::string TranslateText(TCrvnLanguage source, const std::string& text);
    std::string TranslateById(int id, const std::string& text);
    void TranslateLines(TCrvnLanguage source, const std::vector<std::string>& lines,
                        std::vector<std::string>& result);
    TCrvnLanguage TranslateComponent(TCrvnLanguage source, TControlView& component);
    TCrvnLanguage TranslateComponentInto(TCrvnLanguage source, TControlView& component,
                                         TCrvnLanguage into);
    void SetControlFont(TControlView& control, bool force);
    void SetControlFontIn(TControlView& control, bool force, TCrvnLanguage into);

private:
    void TranslateTree(TCrvnLanguage source, TControlView& component);
    void ApplyFont(TLanguage& language, TControlView& control);

    std::array<std::unique_ptr<TLanguage>, LanguageCount> FLanguages;
    TCrvnLanguage FTranslateInto = clUser;
};

// The global translator (the first created, until it is destroyed); nullptr when none.
TTranslator* GlobalTranslator();

// Free functions on the global translator; without one they return their input or do nothing.
std::string TranslateText(const std::string& text); // from clEnglish into the target
TCrvnLanguage TranslateComponent(TCrvnLanguage source, TControlView& component);
TCrvnLanguage TranslateComponentInto(TCrvnLanguage source, TControlView& component,
                                     TCrvnLanguage into);
void TranslatorSetControlFont(TControlView& control, bool force);
void TranslatorSetControlFontIn(TControlView& control, bool force, TCrvnLanguage into);

} // namespace zan
