#include "setup/engine/cmp_TTranslator.h"

#include <mutex>

#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/Streams.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

constexpr size_t MaxEntryText = 255;

struct TLanguageRow {
    const char* Resource;
    const char* File;
    int Charset;
    const char* FontName; // nullptr: none
    int FontSize;
};

// Indexed by TCrvnLanguage (clUser has no row of its own: index 20 is unused).
const TLanguageRow& Row(TCrvnLanguage language) {
    static const TLanguageRow Rows[] = {
        {"BM_LANG_SIMPCHINESE", "crviChineseSimplified.txt", 134, "\xB7\x73\xB2\xD3\xA9\xFA\xC5", 9},
        {"BM_LANG_CHINESE_TRADITIONAL", "crviChineseTraditional.txt", 136,
         "\xB7\x73\xB2\xD3\xA9\xFA\xC5", 9},
        {"BM_LANG_CZECH", "crviCzech.txt", 238, "Arial", 8},
        {"BM_LANG_DANISH", "crviDanish.txt", 0, "Arial", 8},
        {"BM_LANG_DUTCH", "crviDutch.txt", 0, "Arial", 8},
        {"BM_LANG_ENGLISH", "crviEnglish.txt", 0, "Arial", 8},
        {"BM_LANG_FRENCH", "crviFrench.txt", 0, "Arial", 8},
        {"BM_LANG_GERMAN", "crviGerman.txt", 0, "MS Sans Serif", 8},
        {"BM_LANG_GREEK", "crviGreek.txt", 0, "SGreek", 8},
        {"BM_LANG_HEBREW", "crviHebrew.txt", 177, nullptr, 8},
        {"BM_LANG_ITALIAN", "crviItalian.txt", 0, "Arial", 8},
        {"BM_LANG_JAPANESE", "crviJapanese.txt", 128,
         "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E", 9},
        {"BM_LANG_KOREAN", "crviKorean.txt", 129, "\xB9\xD9\xC5\xC1", 9},
        {"BM_LANG_NORWEGIAN_BOKMAL", "crviNorwegianBokmal.txt", 0, "Arial", 8},
        {"BM_LANG_NORWEGIAN_NYNORSK", "crviNorwegianNynorsk.txt", 0, "Arial", 8},
        {"BM_LANG_POLISH", "crviPolish.txt", 238, "Arial", 8},
        {"BM_LANG_PORTUGESE", "crviPortugese.txt", 238, "Arial", 8},
        {"BM_LANG_RUSSIAN", "crviRussian.txt", 204, "Arial", 8},
        {"BM_LANG_SPANISH", "crviSpanish.txt", 0, "Arial", 8},
        {"BM_LANG_SWEDISH", "crviSwedish.txt", 0, "Arial", 8},
        {"", "", 0, nullptr, 8},
        {"BM_LANG_VIETNAMESE", "crviVietnamese.txt", 163, "Arial", 8},
    };
    if (language == clUser || language > clVietnamese) throw Exception("Unrecognized language");
    return Rows[language];
}

int SlotOf(TCrvnLanguage ident) { return ident < clUser ? ident : ident - 1; }
TCrvnLanguage IdentOf(int slot) {
    return static_cast<TCrvnLanguage>(slot < clUser ? slot : slot + 1);
}

// The n-th ";" field (1-based) of s; empty when s has fewer.
std::string FieldOf(const std::string& s, int n) {
    size_t start = 0;
    for (int i = 1; i < n; ++i) {
        size_t semi = s.find(';', start);
        if (semi == std::string::npos) return "";
        start = semi + 1;
    }
    size_t semi = s.find(';', start);
    return s.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
}

[[noreturn]] void LineError(const char* format, int position, const std::string& line) {
    throw Exception(Format(format, {position, line}));
}

std::mutex& GlobalGuard() {
    static std::mutex m;
    return m;
}
TTranslator*& GlobalSlot() {
    static TTranslator* global = nullptr;
    return global;
}

} // namespace

// ---- Parsing -----------------------------------------------------------------------------------

TParsedLanguage ParseLanguageLines(const std::vector<std::string>& lines, TCrvnLanguage language) {
    TParsedLanguage parsed;
    TMemoEntry* memo = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        const int position = static_cast<int>(i);
        std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == '*') continue;
        if (memo) {
            if (line == "#")
                memo = nullptr;
            else
                memo->Lines.push_back(line);
            continue;
        }
        if (line == "#")
            LineError("Found the end of memo marker # at line %d. Was not in a memo however",
                      position, line);
        if (line[0] == '#') {
            std::string body = line.substr(1);
            if (body.find(';') == std::string::npos || FieldOf(body, 1).empty())
                LineError("The %d'th string (%s) does not have the proper format of .GLID;",
                          position, line);
            int32_t id;
            if (!TryStrToInt(FieldOf(body, 1), id))
                LineError("The %d'th string (%s) does not have the proper format of GLID;Text or "
                          ".GLID;",
                          position, line);
            TMemoEntry entry;
            entry.Id = id;
            entry.Language = language;
            entry.Position = position;
            parsed.Memos.push_back(std::move(entry));
            memo = &parsed.Memos.back();
            continue;
        }
        std::string idText = FieldOf(line, 1), text = FieldOf(line, 2);
        if (idText.empty() || Trim(text).empty())
            LineError("The %d'th string (%s) does not have the proper format of GLID;Text",
                      position, line);
        int32_t id;
        if (!TryStrToInt(idText, id))
            LineError("The %d'th string (%s) does not have the proper format of GLID;Text or "
                      ".GLID;",
                      position, line);
        TStringEntry entry;
        entry.Id = id;
        entry.Language = language;
        entry.Position = position;
        entry.Text = CutAtCharBoundary(text, MaxEntryText);
        parsed.Strings.push_back(std::move(entry));
    }
    return parsed;
}

void TLangFormatStrings::Delete(int index) {
    FDeleting = true;
    TScopeExit done([this] { FDeleting = false; });
    TStringList::Delete(index);
    for (TStringEntry& e : FLanguage.FStringEntries)
        if (e.Position > index) --e.Position;
}

void TLangFormatStrings::Changed() {
    TStringList::Changed();
    if (UpdateCount() == 0 && !FDeleting && FLanguage.FAutoParse) FLanguage.Parse();
}

// ---- TLanguage ---------------------------------------------------------------------------------

TLanguage::TLanguage(TTranslator* translator, TCrvnLanguage ident)
    : FTranslator(translator), FIdent(ident), FStrings(*this) {
    const TLanguageRow& row = Row(ident);
    FFont.Charset = row.Charset;
    if (row.FontName) {
        FFont.Name = row.FontName;
        FFont.Size = row.FontSize;
    }
}

std::string TLanguage::ResourceName() const { return Row(FIdent).Resource; }
std::string TLanguage::FileName() const { return Row(FIdent).File; }

void TLanguage::Parse() {
    ++FParseCount;
    FStringEntries.clear();
    FMemoEntries.clear();
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(FStrings.Count()));
    for (int i = 0; i < FStrings.Count(); ++i)
        lines.push_back(FStrings[i]);
    TParsedLanguage parsed = ParseLanguageLines(lines, FIdent);
    FStringEntries = std::move(parsed.Strings);
    FMemoEntries = std::move(parsed.Memos);
}

void TLanguage::Assign(const TLanguage& source) {
    FFont = source.FFont;
    FFontOverride = source.FFontOverride;
    bool autoParse = FAutoParse;
    FAutoParse = false;
    TScopeExit restore([&] { FAutoParse = autoParse; });
    FStrings.Assign(source.FStrings);
    FAutoParse = autoParse;
    if (FAutoParse) Parse();
}

void TLanguage::LoadFromFile(const std::string& fileName) {
    bool autoParse = FAutoParse;
    FAutoParse = false;
    TScopeExit restore([&] { FAutoParse = autoParse; });
    FStrings.LoadFromFile(fileName);
    FAutoParse = autoParse;
    if (FAutoParse) Parse();
}

const TStringEntry* TLanguage::FindString(int id) const {
    for (const TStringEntry& e : FStringEntries)
        if (e.Id == id) return &e;
    return nullptr;
}

const TMemoEntry* TLanguage::FindMemo(int id) const {
    for (const TMemoEntry& e : FMemoEntries)
        if (e.Id == id) return &e;
    return nullptr;
}

// ---- Languages and fonts -----------------------------------------------------------------------

int LanguageCharset(TCrvnLanguage language) { return Row(language).Charset; }

TControlFont LanguageStandardFont(TCrvnLanguage language) {
    const TLanguageRow& row = Row(language);
    if (!row.FontName) throw Exception("Unrecognized language");
    TControlFont font;
    font.Name = row.FontName;
    font.Size = row.FontSize;
    font.Charset = row.Charset;
    return font;
}

TCrvnLanguage LanguageOfLangID(uint16_t langId) {
    const int primary = langId & 0x3FF, sub = langId >> 10;
    switch (primary) {
    case 4: return sub == 1 ? clChineseTraditional : clChineseSimplified;
    case 5: return clCzech;
    case 6: return clDanish;
    case 7: return clGerman;
    case 8: return clGreek;
    case 10: return clSpanish;
    case 12: return clFrench;
    case 13: return clHebrew;
    case 16: return clItalian;
    case 17: return clJapanese;
    case 18: return clKorean;
    case 19: return clDutch;
    case 20: return sub == 1 ? clNorwegianBokmal : clNorwegianNynorsk;
    case 21: return clPolish;
    case 22: return clPortugese;
    case 25: return clRussian;
    case 29: return clSwedish;
    case 42: return clVietnamese;
    default: return clEnglish;
    }
}

// ---- TTranslator -------------------------------------------------------------------------------

TTranslator::TTranslator(TComponent* owner) : TComponent(owner) {
    for (int slot = 0; slot < LanguageCount; ++slot)
        FLanguages[slot] = std::make_unique<TLanguage>(this, IdentOf(slot));
    std::lock_guard<std::mutex> lock(GlobalGuard());
    if (!GlobalSlot()) {
        GlobalSlot() = this;
        SetExceptionTextHook([](const std::string& text) { return zan::TranslateText(text); });
    }
}

TTranslator::~TTranslator() {
    std::lock_guard<std::mutex> lock(GlobalGuard());
    if (GlobalSlot() == this) {
        GlobalSlot() = nullptr;
        SetExceptionTextHook({});
    }
}

TLanguage& TTranslator::Language(TCrvnLanguage ident) {
    if (ident == clUser || ident > clVietnamese) throw Exception("Unrecognized language");
    return *FLanguages[SlotOf(ident)];
}

void TTranslator::SetLanguage(TCrvnLanguage ident, const TLanguage& source) {
    Language(ident).Assign(source);
}

void TTranslator::SetTranslateIntoLanguage(TCrvnLanguage language) {
    FTranslateInto = language;
    if (OnLanguageChange) OnLanguageChange(this);
}

TLanguage* TTranslator::LanguageOf(TCrvnLanguage ident) {
    if (ident == clUser) ident = LanguageOfLangID(WinGetUserDefaultLangID());
    if (ident > clVietnamese) return nullptr;
    return &Language(ident);
}

TLanguage* TTranslator::TargetLanguage() { return LanguageOf(FTranslateInto); }

std::string TTranslator::TranslateText(TCrvnLanguage source, const std::string& text) {
    TLanguage* from = LanguageOf(source);
    TLanguage* into = TargetLanguage();
    if (!from || !into) return text;
    for (const TStringEntry& e : from->StringEntries())
        if (WinCompareText(e.Text, text) == 0) {
            const TStringEntry* match = into->FindString(e.Id);
            return match ? match->Text : text;
        }
    return text;
}

std::string TTranslator::TranslateById(int id, const std::string& text) {
    TLanguage* into = TargetLanguage();
    const TStringEntry* match = into ? into->FindString(id) : nullptr;
    return match ? match->Text : text;
}

void TTranslator::TranslateLines(TCrvnLanguage source, const std::vector<std::string>& lines,
                                 std::vector<std::string>& result) {
    result = lines;
    TLanguage* from = LanguageOf(source);
    TLanguage* into = TargetLanguage();
    if (!from || !into) return;
    for (const TMemoEntry& m : from->MemoEntries())
        if (m.Lines == lines) {
            if (const TMemoEntry* match = into->FindMemo(m.Id)) result = match->Lines;
            return;
        }
}

void TTranslator::TranslateTree(TCrvnLanguage source, TControlView& c) {
    const TControlKind kind = c.Kind();
    const bool control = kind != ckComponent;
    const bool hide = control && kind != ckForm && kind != ckImage;
    const bool label = kind == ckLabel || kind == ckTranslateLabel;
    bool visible = control ? c.GetVisible() : false;
    bool autoSize = label ? c.GetAutoSize() : false;
    if (hide) c.SetVisible(false);
    if (label) c.SetAutoSize(false);
    TScopeExit restore([&] {
        if (hide) c.SetVisible(visible);
        if (label) c.SetAutoSize(autoSize);
        if (kind == ckWinControl || kind == ckForm || kind == ckMemo || kind == ckListView ||
            kind == ckListBox || kind == ckComboBox || kind == ckRadioGroup ||
            kind == ckTranslateBitBtn)
            c.RefreshLayout();
    });

    if ((kind == ckTranslateLabel || kind == ckTranslateBitBtn) && c.GetGLID() > 0) {
        c.SetString("Caption", TranslateById(c.GetGLID(), c.GetString("Caption")));
    } else {
        for (const std::string& name : c.StringProperties()) {
            if (SameText(name, "Name")) continue;
            std::string value = c.GetString(name);
            if (Trim(value).empty()) continue;
            std::string translated = TranslateText(source, value);
            if (translated != value) c.SetString(name, translated);
        }
        if (kind == ckMemo) {
            std::vector<std::string> result;
            TranslateLines(source, c.GetLines(), result);
            c.SetLines(result);
        }
        if (kind == ckListView || kind == ckListBox || kind == ckComboBox ||
            kind == ckRadioGroup) {
            std::vector<std::string> items = c.GetItems();
            for (std::string& item : items)
                item = TranslateText(source, item);
            c.SetItems(items);
        }
    }
    for (TControlView* child : c.Children())
        if (child && child->Kind() != ckForm) TranslateTree(source, *child);
}

TCrvnLanguage TTranslator::TranslateComponent(TCrvnLanguage source, TControlView& component) {
    TLanguage* into = TargetLanguage();
    if (!into || into->Strings().Count() == 0) return source;
    TranslateTree(source, component);
    return FTranslateInto;
}

TCrvnLanguage TTranslator::TranslateComponentInto(TCrvnLanguage source, TControlView& component,
                                                  TCrvnLanguage into) {
    TCrvnLanguage saved = FTranslateInto;
    FTranslateInto = into;
    TScopeExit restore([&] { FTranslateInto = saved; });
    return TranslateComponent(source, component);
}

void TTranslator::ApplyFont(TLanguage& language, TControlView& control) {
    if (control.Kind() != ckComponent) {
        if (language.GetFontOverride()) {
            control.SetFont(language.Font());
        } else {
            TControlFont standard = LanguageStandardFont(language.GetLanguageIdent());
            TControlFont font = control.GetFont();
            font.Charset = standard.Charset;
            font.Name = standard.Name;
            if (font.Size < standard.Size) font.Size = standard.Size;
            control.SetFont(font);
        }
    }
    for (TControlView* child : control.Children())
        if (child) ApplyFont(language, *child);
}

void TTranslator::SetControlFont(TControlView& control, bool force) {
    TLanguage* language = TargetLanguage();
    if (!language) return;
    if (language->Strings().Count() == 0 && !force) language = &Language(clEnglish);
    ApplyFont(*language, control);
}

void TTranslator::SetControlFontIn(TControlView& control, bool force, TCrvnLanguage into) {
    TCrvnLanguage saved = FTranslateInto;
    FTranslateInto = into;
    TScopeExit restore([&] { FTranslateInto = saved; });
    SetControlFont(control, force);
}

// ---- The global translator ---------------------------------------------------------------------

TTranslator* GlobalTranslator() {
    std::lock_guard<std::mutex> lock(GlobalGuard());
    return GlobalSlot();
}

std::string TranslateText(const std::string& text) {
    TTranslator* t = GlobalTranslator();
    return t ? t->TranslateText(clEnglish, text) : text;
}

TCrvnLanguage TranslateComponent(TCrvnLanguage source, TControlView& component) {
    TTranslator* t = GlobalTranslator();
    return t ? t->TranslateComponent(source, component) : source;
}

TCrvnLanguage TranslateComponentInto(TCrvnLanguage source, TControlView& component,
                                     TCrvnLanguage into) {
    TTranslator* t = GlobalTranslator();
    return t ? t->TranslateComponentInto(source, component, into) : source;
}

void TranslatorSetControlFont(TControlView& control, bool force) {
    if (TTranslator* t = GlobalTranslator()) t->SetControlFont(control, force);
}

void TranslatorSetControlFontIn(TControlView& control, bool force, TCrvnLanguage into) {
    if (TTranslator* t = GlobalTranslator()) t->SetControlFontIn(control, force, into);
}

} // namespace zan
