// The translator: language lines and their errors, translation by text, id and lines, the user
// language, fonts, the component walk over a fake control tree and the exception hook.
#include <gtest/gtest.h>

#include <map>

#include "host/rtl/StringList.h"
#include "host/win/WinEnv.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TTranslator.h"
#include "support/sandbox.h"

using namespace zan;

namespace {

void SetLines(TLanguage& language, const std::vector<std::string>& lines) {
    TStringList list;
    for (const std::string& l : lines)
        list.Add(l);
    language.Strings().Assign(list);
}

std::string ParseError(const std::vector<std::string>& lines) {
    try {
        ParseLanguageLines(lines, clEnglish);
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(parsed)";
}

// A control of a fake form: string properties, lines, items, font, visibility and the record
// of what the translator did to it.
struct TFakeControl : TControlView {
    TFakeControl(TControlKind kind, std::map<std::string, std::string> props = {})
        : FKind(kind), Props(std::move(props)) {}
    TControlKind Kind() const override { return FKind; }
    std::vector<TControlView*> Children() override {
        std::vector<TControlView*> out;
        for (auto& c : Kids)
            out.push_back(c.get());
        return out;
    }
    bool GetVisible() const override { return Visible; }
    void SetVisible(bool v) override {
        Visible = v;
        if (!v) WasHidden = true;
    }
    bool GetAutoSize() const override { return AutoSize; }
    void SetAutoSize(bool v) override { AutoSize = v; }
    int GetGLID() const override { return GLID; }
    std::vector<std::string> StringProperties() const override {
        std::vector<std::string> names;
        for (auto& [k, v] : Props)
            names.push_back(k);
        return names;
    }
    std::string GetString(const std::string& n) const override {
        auto it = Props.find(n);
        return it == Props.end() ? "" : it->second;
    }
    void SetString(const std::string& n, const std::string& v) override {
        // Hidden while translated, as the walk promises.
        if (FKind != ckForm && FKind != ckImage && FKind != ckComponent) {
            EXPECT_FALSE(Visible);
        }
        Props[n] = v;
    }
    std::vector<std::string> GetLines() const override { return Lines; }
    void SetLines(const std::vector<std::string>& l) override { Lines = l; }
    std::vector<std::string> GetItems() const override { return Items; }
    void SetItems(const std::vector<std::string>& i) override { Items = i; }
    TControlFont GetFont() const override { return Font; }
    void SetFont(const TControlFont& f) override { Font = f; }
    TFakeControl& Add(std::unique_ptr<TFakeControl> c) {
        Kids.push_back(std::move(c));
        return *Kids.back();
    }

    TControlKind FKind;
    std::map<std::string, std::string> Props;
    std::vector<std::string> Lines, Items;
    std::vector<std::unique_ptr<TFakeControl>> Kids;
    TControlFont Font;
    bool Visible = true, AutoSize = true, WasHidden = false;
    int GLID = 0;
};

} // namespace

TEST(Translator, LineGrammarAndErrors) {
    TParsedLanguage p = ParseLanguageLines(
        {"10;Next", "#11;", "Line one", "  Line two  ", "#", "", "* comment", "12;  padded ;x",
         "#13;", "* not a line", "#14;", "#"},
        clGerman);
    ASSERT_EQ(p.Strings.size(), 2u);
    EXPECT_EQ(p.Strings[0].Id, 10);
    EXPECT_EQ(p.Strings[0].Text, "Next");
    EXPECT_EQ(p.Strings[0].Position, 0);
    EXPECT_EQ(p.Strings[0].Language, clGerman);
    EXPECT_EQ(p.Strings[1].Text, "  padded "); // second field, untrimmed
    ASSERT_EQ(p.Memos.size(), 2u);
    EXPECT_EQ(p.Memos[0].Id, 11);
    EXPECT_EQ(p.Memos[0].Position, 1);
    EXPECT_EQ(p.Memos[0].Lines, (std::vector<std::string>{"Line one", "Line two"}));
    // A memo opener inside a memo is one of its lines; the memo ends at the lone "#".
    EXPECT_EQ(p.Memos[1].Lines, (std::vector<std::string>{"#14;"}));

    // A memo still open at the last line is kept as read; CR-only line ends are line ends.
    TStringList cr;
    cr.SetText("#5;\rA\rB");
    std::vector<std::string> crLines;
    for (int i = 0; i < cr.Count(); ++i)
        crLines.push_back(cr[i]);
    TParsedLanguage open = ParseLanguageLines(crLines, clEnglish);
    ASSERT_EQ(open.Memos.size(), 1u);
    EXPECT_EQ(open.Memos[0].Lines, (std::vector<std::string>{"A", "B"}));

    // A text over 255 bytes is cut at a character boundary; invalid UTF-8 is kept as bytes.
    std::string longText = "1;" + std::string(254, 'a') + "\xC3\xA9" + "tail";
    EXPECT_EQ(ParseLanguageLines({longText}, clEnglish).Strings[0].Text, std::string(254, 'a'));
    EXPECT_EQ(ParseLanguageLines({"2;\xFF\xFE"}, clEnglish).Strings[0].Text, "\xFF\xFE");

    struct {
        std::vector<std::string> Lines;
        const char* Error;
    } errors[] = {
        {{"10;Next", "10;"}, "The 1'th string (10;) does not have the proper format of GLID;Text"},
        {{"10;   ;x"}, "The 0'th string (10;   ;x) does not have the proper format of GLID;Text"},
        {{";Text"}, "The 0'th string (;Text) does not have the proper format of GLID;Text"},
        {{"abc;Next"},
         "The 0'th string (abc;Next) does not have the proper format of GLID;Text or .GLID;"},
        {{"99999999999;Big"},
         "The 0'th string (99999999999;Big) does not have the proper format of GLID;Text or "
         ".GLID;"},
        {{"", "#"}, "Found the end of memo marker # at line 1. Was not in a memo however"},
        {{"#x;"}, "The 0'th string (#x;) does not have the proper format of GLID;Text or .GLID;"},
        {{"#12"}, "The 0'th string (#12) does not have the proper format of .GLID;"},
        {{"#;"}, "The 0'th string (#;) does not have the proper format of .GLID;"},
    };
    for (auto& e : errors)
        EXPECT_EQ(ParseError(e.Lines), e.Error);
}

TEST(Translator, ListChangesParseDeleteShiftsAssignParsesOnce) {
    TTranslator t;
    TLanguage& en = t.lgEnglish();
    int before = en.ParseCount();
    SetLines(en, {"10;Next", "* c", "11;Back", "12;Cancel"});
    EXPECT_EQ(en.ParseCount(), before + 1); // Assign parses once
    EXPECT_EQ(en.StringEntries().size(), 3u);
    en.Strings().Delete(1); // no re-parse; positions after the line move up
    EXPECT_EQ(en.ParseCount(), before + 1);
    EXPECT_EQ(en.FindString(10)->Position, 0);
    EXPECT_EQ(en.FindString(11)->Position, 1);
    EXPECT_EQ(en.FindString(12)->Position, 2);
    en.Strings().Add("13;Finish"); // every other change re-parses
    EXPECT_EQ(en.ParseCount(), before + 2);
    EXPECT_EQ(en.FindString(13)->Position, 3);
    // An error leaves the language without entries.
    EXPECT_THROW(en.Strings().Add("#"), Exception);
    EXPECT_TRUE(en.StringEntries().empty());
    en.Strings().Delete(en.Strings().Count() - 1);
    en.Strings().Insert(0, "9;First");
    EXPECT_EQ(en.StringEntries().size(), 5u);

    // Setting a language property assigns its content.
    TTranslator other;
    other.SetlgGerman(en);
    EXPECT_EQ(other.lgGerman().FindString(9)->Text, "First");
    EXPECT_EQ(other.lgGerman().GetLanguageIdent(), clGerman);
    EXPECT_EQ(other.lgGerman().FileName(), "crviGerman.txt");
    EXPECT_EQ(other.lgVietnamese().ResourceName(), "BM_LANG_VIETNAMESE");
}

TEST(Translator, TranslateTextIdAndLines) {
    TTranslator t;
    SetLines(t.lgEnglish(), {"10;Next", "11;Back", "#20;", "Line one", "Line two", "#"});
    SetLines(t.lgGerman(), {"10;Weiter", "#20;", "Zeile eins", "Zeile zwei", "#"});
    t.SetTranslateIntoLanguage(clGerman);
    EXPECT_EQ(t.TranslateText(clEnglish, "next"), "Weiter"); // case ignored
    EXPECT_EQ(t.TranslateText(clEnglish, "Back"), "Back");   // no target entry
    EXPECT_EQ(t.TranslateText(clEnglish, "Other"), "Other");
    EXPECT_EQ(t.TranslateById(10, "x"), "Weiter");
    EXPECT_EQ(t.TranslateById(99, "x"), "x");
    std::vector<std::string> out;
    t.TranslateLines(clEnglish, {"Line one", "Line two"}, out);
    EXPECT_EQ(out, (std::vector<std::string>{"Zeile eins", "Zeile zwei"}));
    t.TranslateLines(clEnglish, {"line one", "Line two"}, out); // lines match exactly
    EXPECT_EQ(out, (std::vector<std::string>{"line one", "Line two"}));
}

TEST(Translator, UserLanguageTableAndFonts) {
    struct {
        uint16_t LangId;
        TCrvnLanguage Expected;
    } rows[] = {
        {4 | 1 << 10, clChineseTraditional}, {4 | 2 << 10, clChineseSimplified},
        {5, clCzech},    {6, clDanish},  {7 | 1 << 10, clGerman}, {8, clGreek},
        {10, clSpanish}, {12, clFrench}, {13, clHebrew},          {16, clItalian},
        {17, clJapanese}, {18, clKorean}, {19, clDutch},          {20 | 1 << 10, clNorwegianBokmal},
        {20 | 2 << 10, clNorwegianNynorsk}, {21, clPolish},       {22, clPortugese},
        {25, clRussian}, {29, clSwedish}, {42, clVietnamese},     {9, clEnglish},
        {0x41F, clEnglish},
    };
    for (auto& r : rows)
        EXPECT_EQ(LanguageOfLangID(r.LangId), r.Expected) << r.LangId;

    TSandbox box("translator_user");
    CurrentWinEnv().LangID = 20 | 2 << 10;
    TTranslator t;
    EXPECT_EQ(t.GetTranslateIntoLanguage(), clUser);
    EXPECT_EQ(t.TargetLanguage(), &t.lgNorwegianNynorsk());

    const int charsets[] = {134, 136, 238, 0, 0, 0, 0, 0, 0, 177, 0, 128, 129, 0, 0, 238, 238, 204, 0, 0};
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(LanguageCharset(static_cast<TCrvnLanguage>(i)), charsets[i]) << i;
    EXPECT_EQ(LanguageCharset(clVietnamese), 163);
    EXPECT_EQ(LanguageStandardFont(clChineseSimplified).Name.size(), 7u); // the bytes as given
    EXPECT_EQ(LanguageStandardFont(clKorean).Name, "\xB9\xD9\xC5\xC1");
    EXPECT_EQ(LanguageStandardFont(clGerman).Name, "MS Sans Serif");

    // Fonts: the language's charset and name, the size raised to its minimum.
    TFakeControl form(ckForm);
    form.Add(std::make_unique<TFakeControl>(ckLabel)).Font.Size = 7;
    form.Add(std::make_unique<TFakeControl>(ckLabel)).Font.Size = 12;
    SetLines(t.lgJapanese(), {"1;x"});
    t.SetControlFontIn(form, false, clJapanese);
    EXPECT_EQ(form.Kids[0]->Font.Charset, 128);
    EXPECT_EQ(form.Kids[0]->Font.Size, 9);
    EXPECT_EQ(form.Kids[1]->Font.Size, 12);
    EXPECT_EQ(t.GetTranslateIntoLanguage(), clUser); // restored
    // A language without lines falls back to English unless forced.
    t.SetControlFontIn(form, false, clRussian);
    EXPECT_EQ(form.Kids[0]->Font.Charset, 0);
    EXPECT_EQ(form.Kids[0]->Font.Name, "Arial");
    t.SetControlFontIn(form, true, clRussian);
    EXPECT_EQ(form.Kids[0]->Font.Charset, 204);
    // FontOverride sets the language's font as it is.
    t.lgRussian().SetFontOverride(true);
    t.lgRussian().Font() = TControlFont{"Custom", 14, 204};
    t.SetControlFontIn(form, true, clRussian);
    EXPECT_EQ(form.Kids[1]->Font, (TControlFont{"Custom", 14, 204}));
    EXPECT_EQ(MessageOf<Exception>([&] { t.SetControlFontIn(form, true, clHebrew); }),
              "Unrecognized language");
    EXPECT_EQ(MessageOf<Exception>([&] { t.Language(clUser); }), "Unrecognized language");
}

TEST(Translator, TranslateComponentTree) {
    TTranslator t;
    SetLines(t.lgEnglish(), {"1;Next", "2;Setup", "3;Red", "4;Blue", "#5;", "Hello", "#"});
    SetLines(t.lgFrench(), {"1;Suivant", "2;Installation", "3;Rouge", "4;Bleu", "7;Par id",
                            "#5;", "Bonjour", "#"});
    TFakeControl form(ckForm, {{"Caption", "Setup"}, {"Name", "Next"}});
    TFakeControl& label = form.Add(std::make_unique<TFakeControl>(
        ckTranslateLabel, std::map<std::string, std::string>{{"Caption", "Next"}}));
    label.GLID = 7;
    TFakeControl& plain = form.Add(std::make_unique<TFakeControl>(
        ckLabel, std::map<std::string, std::string>{{"Caption", "Next"}, {"Hint", "  "}}));
    plain.Visible = false;
    TFakeControl& memo = form.Add(std::make_unique<TFakeControl>(ckMemo));
    memo.Lines = {"Hello"};
    TFakeControl& combo = form.Add(std::make_unique<TFakeControl>(ckComboBox));
    combo.Items = {"Red", "Green", "Blue"};
    TFakeControl& panel = form.Add(std::make_unique<TFakeControl>(
        ckWinControl, std::map<std::string, std::string>{{"Caption", "Setup"}}));
    TFakeControl& inner = panel.Add(std::make_unique<TFakeControl>(
        ckTranslateBitBtn, std::map<std::string, std::string>{{"Caption", "Next"}}));
    TFakeControl& subForm = form.Add(std::make_unique<TFakeControl>(
        ckForm, std::map<std::string, std::string>{{"Caption", "Setup"}}));

    // Nothing happens while the target has no lines.
    EXPECT_EQ(t.TranslateComponentInto(clEnglish, form, clGerman), clEnglish);
    EXPECT_EQ(form.Props["Caption"], "Setup");

    EXPECT_EQ(t.TranslateComponentInto(clEnglish, form, clFrench), clFrench);
    EXPECT_EQ(form.Props["Caption"], "Installation");
    EXPECT_EQ(form.Props["Name"], "Next");        // Name is never translated
    EXPECT_EQ(label.Props["Caption"], "Par id");  // GLID wins
    EXPECT_EQ(plain.Props["Caption"], "Suivant");
    EXPECT_EQ(plain.Props["Hint"], "  ");
    EXPECT_FALSE(plain.Visible);                   // Visible restored, as it was
    EXPECT_TRUE(plain.WasHidden);
    EXPECT_TRUE(label.Visible);
    EXPECT_TRUE(plain.AutoSize);                   // AutoSize restored
    EXPECT_FALSE(form.WasHidden);                  // forms stay visible
    EXPECT_EQ(memo.Lines, (std::vector<std::string>{"Bonjour"}));
    EXPECT_EQ(combo.Items, (std::vector<std::string>{"Rouge", "Green", "Bleu"}));
    EXPECT_EQ(panel.Props["Caption"], "Installation");
    EXPECT_EQ(inner.Props["Caption"], "Suivant"); // GLID 0: translated as text
    EXPECT_EQ(subForm.Props["Caption"], "Setup"); // owned forms are not walked
}

TEST(Translator, GlobalTranslatorAndExceptionHook) {
    EXPECT_EQ(GlobalTranslator(), nullptr);
    EXPECT_EQ(TranslateText("Next"), "Next");
    {
        auto t = std::make_unique<TTranslator>();
        TTranslator second; // only the first becomes global
        EXPECT_EQ(GlobalTranslator(), t.get());
        SetLines(t->lgEnglish(), {"1;Cannot find %s", "2;Plain failure", "3;Count %d"});
        SetLines(t->lgGerman(), {"1;%s nicht gefunden", "2;Fehlschlag", "3;Anzahl %s"});
        t->SetTranslateIntoLanguage(clGerman);
        EXPECT_EQ(IException("plain failure").Message(), "Fehlschlag");
        EXPECT_EQ(IException("Cannot find %s", {"a.txt"}).Message(), "a.txt nicht gefunden");
        // A translated format that does not fit falls back to the English one.
        EXPECT_EQ(IException("Count %d", {5}).Message(), "Count 5");
        EXPECT_EQ(IException("No entry").Message(), "No entry");
        t.reset();
        EXPECT_EQ(IException("Plain failure").Message(), "Plain failure"); // hook removed
    }
    EXPECT_EQ(GlobalTranslator(), nullptr);
}
