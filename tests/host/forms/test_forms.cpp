#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "host/forms/Dialogs.h"
#include "host/forms/Forms.h"
#include "host/win/WinFs.h"
#include "support/sandbox.h"
#include "support/scripted_forms.h"

using namespace zan;

namespace {

using Scripted = TScriptedForms;

struct Probe : TComponent {
    Probe(TComponent* owner, std::vector<std::string>& log, std::string name)
        : TComponent(owner), Log(log), Tag(std::move(name)) {}
    void Loaded() override {
        TComponent::Loaded();
        Log.push_back("loaded " + Tag);
    }
    std::vector<std::string>& Log;
    std::string Tag;
};

// A form with an edit, a check box, a radio group and OK/Cancel buttons.
struct TestForm : TForm {
    TestForm() : TForm(nullptr) {
        Caption = "Test form";
        SetBounds(0, 0, 300, 200);
        Edit = Add<TEdit>("Edit");
        Edit->MaxLength = 5;
        Check = Add<TCheckBox>("Check");
        Group = Add<TRadioGroup>("Group");
        Group->Items = {"&Yes", "No"};
        Ok = Add<TButton>("OkBtn");
        Ok->Caption = "&OK";
        Ok->ModalResult = mrOk;
        Ok->Default = true;
        Hidden = Add<TButton>("HiddenBtn");
        Hidden->Visible = false;
        Off = Add<TButton>("OffBtn");
        Off->Caption = "Off";
        Off->Enabled = false;
    }
    template <typename T>
    T* Add(const char* name) {
        T* c = new T(this);
        c->SetName(name);
        c->SetBounds(10, 10, 80, 20);
        c->SetParent(this);
        return c;
    }
    TEdit* Edit;
    TCheckBox* Check;
    TRadioGroup* Group;
    TButton *Ok, *Hidden, *Off;
};

} // namespace

TEST(Forms, LoadingRunsLoadedInCreationOrderThenOnCreate) {
    std::vector<std::string> log;
    TForm form(nullptr);
    for (const char* n : {"a", "b", "c"}) (new Probe(&form, log, n))->SetLoading(true);
    form.OnCreate = [&](TObject*) { log.push_back("create"); };
    form.FinishCreate();
    EXPECT_EQ(log, (std::vector<std::string>{"loaded a", "loaded b", "loaded c", "create"}));
    EXPECT_FALSE(form.GetComponentState().Contains(csLoading));
}

TEST(Forms, ModalLoopVetoNestingAndGoldenTranscript) {
    Scripted s("[Test form] type Edit abc\n"
               "[Test form] check Check\n"
               "[Test form] choose Group 1\n"
               "[Test form] click OkBtn\n"   // vetoed once
               "[*] wait 2\n"
               "[Test form] click OkBtn\n"   // opens the inner form
               "[Inner] close\n"
               "Sure? => Yes\n");
    TestForm form;
    form.FinishCreate();
    int queries = 0;
    form.OnCloseQuery = [&](TObject*, bool& can) { can = ++queries > 1; };
    bool inner = false;
    form.Ok->OnClick = [&](TObject*) {
        if (queries == 0) return;
        TForm f(nullptr);
        f.Caption = "Inner";
        f.FinishCreate();
        EXPECT_EQ(f.ShowModal(), mrCancel);
        inner = MessageDlg("Sure? really", mtConfirmation, pbYesNo) == mrYes;
    };
    int activated = 0;
    form.OnActivate = [&](TObject*) { ++activated; };
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_TRUE(inner);
    EXPECT_EQ(activated, 1);
    EXPECT_EQ(form.Edit->Text(), "abc");
    EXPECT_TRUE(form.Check->Checked);
    EXPECT_EQ(form.Group->ItemIndex, 1);
    std::vector<std::string> golden = {
        "form TForm \"Test form\" [OK, Off]",
        "type TForm.Edit",
        "check TForm.Check",
        "choose TForm.Group 1",
        "click TForm.OkBtn",
        "click TForm.OkBtn",
        "form TForm \"Inner\" []",
        "close TForm",
        "modal TForm -> 2",
        "message Yes+No \"Sure? really\" -> Yes",
        "modal TForm -> 1"};
    EXPECT_EQ(s.Session.Transcript(), golden);
}

TEST(Forms, HandlerExceptionsGoToOnExceptionAndAbortIsSilent) {
    Scripted s("");
    TestForm form;
    std::vector<std::string> seen;
    Application().OnException = [&](TObject*, const std::exception& e) { seen.push_back(e.what()); };
    form.Ok->OnClick = [](TObject*) { throw Exception("boom"); };
    form.Check->OnClick = [](TObject*) { Abort(); };
    form.Ok->Click();
    form.Check->Click();
    EXPECT_EQ(seen, std::vector<std::string>{"boom"});
    EXPECT_EQ(form.ModalResult, mrOk); // the modal result is still handed over
    Application().OnException = nullptr;
    form.Ok->Click();
    EXPECT_EQ(s.Session.Transcript().back(), "exception \"boom\"");
}

TEST(Forms, ProcessMessagesRunsPostedActionsAndStepsOfShownForms) {
    Scripted s("[Test form] click OkBtn\n");
    TestForm form;
    int clicks = 0, posted = 0;
    form.Ok->OnClick = [&](TObject*) { ++clicks; };
    Application().Post([&] { ++posted; });
    Application().ProcessMessages(); // the form is not shown yet: the step waits
    EXPECT_EQ(posted, 1);
    EXPECT_EQ(clicks, 0);
    form.Show();
    Application().ProcessMessages();
    EXPECT_EQ(clicks, 1);
    form.Hide();
}

TEST(Forms, ScriptFailuresNameTheLine) {
    struct Row {
        std::string Script, Error;
    };
    const Row rows[] = {
        {"[Test form] click Nope\n", "script(1): [Test form] click Nope: no control Nope"},
        {"[Test form] click HiddenBtn\n", "HiddenBtn is hidden"},
        {"[Test form] click OffBtn\n", "OffBtn is disabled"},
        {"[Test form] type Edit abcdef\n", "the text is longer than 5 characters"},
        {"[Test form] type Check x\n", "Check takes no text"},
        {"[Test form] choose Group 5\n", "no item 5"},
        {"[Other] click OkBtn\n", "script(1): [Other] click OkBtn: the form is not shown"},
        {"[Test form] type Edit ab\n", "no script step for the modal form TForm \"Test form\""},
    };
    for (const Row& row : rows) {
        Scripted s(row.Script);
        TestForm form;
        form.FinishCreate();
        try {
            form.ShowModal();
            ADD_FAILURE() << row.Script;
        } catch (const EHeadlessPrompt& e) {
            EXPECT_NE(std::string(e.what()).find(row.Error), std::string::npos) << e.what();
        }
        EXPECT_TRUE(Application().ModalStack().empty());
    }
    const Row malformed[] = {{"[Form click X\n", "s(1): \"]\" expected"},
                             {"[F] jump X\n", "s(1): unknown form step"},
                             {"# c\n[F] wait x\n", "s(2): pump count expected"},
                             {"[F] choose G x\n", "s(1): index expected"}};
    for (const Row& row : malformed) {
        try {
            ParsePromptScript(row.Script, "s");
            ADD_FAILURE() << row.Script;
        } catch (const EHeadlessPrompt& e) {
            EXPECT_EQ(std::string(e.what()), row.Error);
        }
    }
}

TEST(Forms, UnexpectedBoxFailsWithItsTextAndNoScriptAnswersCancel) {
    {
        Scripted s("Other => OK\n");
        EXPECT_THROW(
            try { MessageDlg("Disk full", mtError, pbOK); } catch (const EHeadlessPrompt& e) {
                EXPECT_STREQ(e.what(), "Disk full");
                throw;
            },
            EHeadlessPrompt);
    }
    TSandbox box("forms_noscript");
    THeadlessSession none;
    Application().SetSession(&none);
    Application().SetBackend(std::make_unique<THeadlessBackend>());
    TestForm form;
    form.FinishCreate();
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(MessageDlg("Continue?", mtConfirmation, pbYesNo), mrNo);
    EXPECT_EQ(none.Transcript()[1], "modal TForm \"Test form\" -> Cancel (default, no script)");
    Application().SetSession(nullptr);
}

TEST(Forms, TypingStopsAtMaxLengthButProgramTextDoesNot) {
    Scripted s("");
    TEdit edit(nullptr);
    edit.MaxLength = 3;
    edit.TypeText("ab");
    edit.TypeText("\xC3\xA9xyz");
    EXPECT_EQ(edit.Text(), "ab\xC3\xA9");
    edit.KeyDown("BackSpace");
    EXPECT_EQ(edit.Text(), "ab");
    edit.SetText("longer text");
    EXPECT_EQ(edit.Text(), "longer text");
}

TEST(Forms, TranslatableStringsReachCaptionsLinesAndItems) {
    TestForm form;
    TMemo memo(nullptr);
    memo.Lines = {"one", "two"};
    for (std::string* s : memo.TranslatableStrings()) *s += "!";
    EXPECT_EQ(memo.Lines, (std::vector<std::string>{"one!", "two!"}));
    auto items = form.Group->TranslatableStrings();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(*items[2], "&Yes");
}

TEST(Forms, ReturnAndEscapePressDefaultAndCancelButtons) {
    Scripted s("");
    std::unique_ptr<TForm> box(CreateMessageForm("Go on?", mtConfirmation, pbOKCancel));
    box->Show();
    box->KeyDown("Return");
    EXPECT_EQ(box->ModalResult, mrOk);
    box->ModalResult = mrNone;
    box->KeyDown("Escape");
    EXPECT_EQ(box->ModalResult, mrCancel);
    EXPECT_EQ(box->VisibleButtons(), (std::vector<std::string>{"OK", "Cancel"}));
}

// A frame holding an embedded page: the frame's window gets the keys, the page's buttons answer.
TEST(Forms, KeysReachTheButtonsOfAnEmbeddedPage) {
    struct Row {
        const char* Case;
        const char* Key;
        const char* Focus;        // the control given the focus first, or ""
        bool PageShown, DefaultOn;
        const char* Pressed;      // the button clicked, or ""
    };
    const Row rows[] = {
        {"default button of the page", "Return", "", true, true, "Next"},
        {"focused button before the default", "Return", "Back", true, true, "Back"},
        {"focused edit leaves Return to the default", "Return", "Edit", true, true, "Next"},
        {"disabled default ignored", "Return", "", true, false, ""},
        {"hidden page ignored", "Return", "", false, true, ""},
        {"cancel button of the page", "Escape", "Back", true, true, "Cancel"},
        {"hidden page: no cancel", "Escape", "", false, true, ""},
    };
    for (const Row& r : rows) {
        Scripted s("");
        TForm frame(nullptr);
        frame.BorderStyle = bsDialog;
        frame.SetBounds(0, 0, 300, 200);
        auto* panel = new TPanel(&frame);
        panel->Align = alClient;
        panel->SetParent(&frame);
        auto* page = new TForm(&frame);
        page->SetParent(panel);
        std::string pressed;
        std::map<std::string, TControl*> controls;
        for (const char* name : {"Back", "Next", "Cancel"}) {
            auto* b = new TButton(page);
            b->SetName(name);
            b->SetParent(page);
            b->OnClick = [&pressed, name](TObject*) { pressed = name; };
            controls[name] = b;
        }
        auto* edit = new TEdit(page);
        edit->SetParent(page);
        controls["Edit"] = edit;
        static_cast<TButton*>(controls["Next"])->Default = true;
        controls["Next"]->Enabled = r.DefaultOn;
        static_cast<TButton*>(controls["Cancel"])->Cancel = true;
        page->Visible = r.PageShown;
        frame.Show();
        if (*r.Focus) controls[r.Focus]->SetFocus();
        frame.KeyDown(r.Key);
        EXPECT_EQ(pressed, r.Pressed) << r.Case;
        EXPECT_EQ(frame.ModalResult, mrNone) << r.Case;
        frame.Hide();
    }
}

TEST(Graphics, MulDivColoursAndText) {
    struct Row {
        int32_t A, B, C, R;
    };
    const Row rows[] = {{1, 1, 2, 1},   {-1, 1, 2, -1},  {3, -1, 2, -2},   {5, 0, 3, 0},
                        {1, 1, 0, -1},  {255, 100, 256, 100}, {INT32_MAX, 2, 1, -1}, {7, 3, -2, -11}};
    for (const Row& r : rows) EXPECT_EQ(MulDiv(r.A, r.B, r.C), r.R) << r.A << "*" << r.B << "/" << r.C;
    EXPECT_EQ(ColorToRGB(clBtnFace), RGBColor(212, 208, 200));
    EXPECT_EQ(ColorToRGB(clMenu), RGBColor(212, 208, 200));
    EXPECT_EQ(ColorToRGB(clWindow), clWhite);
    EXPECT_EQ(GetBValue(16711680), 255);
    EXPECT_EQ(FontPixels(8), 11);
    EXPECT_EQ(SanitizeUTF8("a\xFF" "b\xC3"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    TFont big5;
    big5.Name = "\xB7\x73\xB2\xD3\xA9\xFA\xC5\xE9";
    big5.Charset = 136;
    EXPECT_EQ(FontNameUTF8(big5), "\xE6\x96\xB0\xE7\xB4\xB0\xE6\x98\x8E\xE9\xAB\x94");
}

// A long line of text is cut to the characters that can land in the window: 1,000 characters of
// 10 px over a 100 x 50 window, from several starts and at several angles.
TEST(Graphics, VisibleTextRunOfALongLine) {
    struct Row {
        double X, Y;
        int Angle, Margin;
        size_t First, Count;
        double Offset;
    };
    const Row rows[] = {
        {0, 20, 0, 0, 0, 11, 0},        // left aligned: the first 100 px (the 11th touches the edge)
        {-500, 20, 0, 0, 49, 12, 490},  // right aligned past the left edge: the end that shows
        {0, 200, 0, 0, 0, 0, 0},        // below the window
        {0, 55, 0, 10, 0, 12, 0},       // just below, but within the margin (10 px more each side)
        {-20000, 20, 0, 0, 0, 0, 0},    // ends before the window starts
        {50, 40, 90, 0, 0, 5, 0},       // upwards from inside: 40 px to the top
        {100, 20, 180, 0, 0, 11, 0},    // upside down from the right edge
        {0, 50, 45, 0, 0, 8, 0},        // diagonal from the bottom-left corner
        {-300, 400, 45, 0, 49, 8, 490}, // diagonal from far off, entering at the bottom
        {50, 25, 270, 0, 0, 3, 0},      // downwards from the middle: 25 px
    };
    std::vector<double> advances(1000, 10.0);
    for (const Row& r : rows) {
        TTextRun run = VisibleTextRun(advances, r.X, r.Y, r.Angle, {0, 0, 100, 50}, r.Margin);
        EXPECT_EQ(run.Count, r.Count) << r.X << "," << r.Y << " at " << r.Angle;
        if (run.Count == 0) continue;
        EXPECT_EQ(run.First, r.First) << r.X << "," << r.Y << " at " << r.Angle;
        EXPECT_NEAR(run.Offset, r.Offset, 1e-6) << r.X << "," << r.Y << " at " << r.Angle;
    }
    EXPECT_EQ(VisibleTextRun({}, 0, 20, 0, {0, 0, 100, 50}, 0).Count, 0u);
}

TEST(Graphics, PngRoundTripAndBadInput) {
    TPicture p;
    p.SetSize(3, 2);
    p.SetPixel(2, 1, 0xFF102030);
    TPicture q;
    q.LoadFromPNG(p.SaveToPNG());
    EXPECT_EQ(q.Width(), 3);
    EXPECT_EQ(q.Pixel(2, 1), 0xFF102030u);
    std::string png = p.SaveToPNG();
    EXPECT_THROW(q.LoadFromPNG(png.substr(0, png.size() / 2)), EFormsError);
    EXPECT_THROW(q.LoadFromPNG("not a png at all"), EFormsError);
    std::string huge = png;
    huge[16] = 0, huge[17] = 0, huge[18] = 0x20, huge[19] = 0x01; // width 8193 in the header
    EXPECT_THROW(q.LoadFromPNG(huge), EFormsError);
    EXPECT_THROW(q.SetSize(8193, 1), EFormsError);
}

TEST(Forms, BackendChoiceAndFormsServices) {
    setenv("ZAN_FORMS", "bogus", 1);
    try {
        Application().Initialize();
        ADD_FAILURE();
    } catch (const EFormsError& e) {
        EXPECT_STREQ(e.what(), "ZAN_FORMS=bogus: unknown forms backend (headless or fltk)");
    }
    setenv("ZAN_FORMS", "headless", 1);
    Application().Initialize();
    EXPECT_STREQ(Application().Backend().Name(), "headless");
    unsetenv("ZAN_FORMS");
    Scripted s("Go on? => Yes\nName: Who => input Ann\nBrowse => folder C:\\X\n");
    UseFormsServices();
    std::string name = "Bob";
    EXPECT_EQ(UserPrompts().Message("Go on?", pbYesNo), prYes);
    EXPECT_TRUE(UserPrompts().InputQuery("Name", "Who", name));
    EXPECT_EQ(name, "Ann");
    EXPECT_EQ(UserPrompts().ChooseFolder("Browse", "C:\\").Path, "C:\\X");
    AppServices().SetHourglass(true);
    EXPECT_EQ(Screen().Cursor, crHourGlass);
    SetAppServices(nullptr);
    SetUserPrompts(nullptr);
}

TEST(Forms, WordWrappedLabelBreaksAtBlanks) {
    TLabel label(nullptr);
    label.Caption = "one two three four";
    label.SetBounds(0, 0, 6 * 9, 40); // room for "one two" (7) but not "one two three" (13)
    label.WordWrap = true;
    TRecordingCanvas canvas;
    label.Paint(canvas);
    EXPECT_EQ(canvas.Ops, (std::vector<std::string>{"fill 0,0,54,40 #D4D0C8", "text 0,0 a=0 #000000 one two",
                                                    "text 0,13 a=0 #000000 three",
                                                    "text 0,26 a=0 #000000 four"}));
}

TEST(Forms, FolderDialogTreeAndEditFollowEachOther) {
    TSandbox box("folders");
    for (const char* dir : {"C:\\Program Files\\Orvex\\bin", "C:\\Program Files\\Orvex\\doc"})
        WinForceDirectories(dir);
    Scripted s("[Browse for Folder] choose Tree 3\n"
               "[Browse for Folder] click OK\n");
    // The start is the nearest existing folder; the edit keeps the path asked for.
    std::unique_ptr<TForm> form(CreateFolderForm("Choose", "C:\\Program Files\\Orvex\\New\\Deeper"));
    auto* tree = static_cast<TFolderTree*>(form->FindControl("Tree"));
    auto* edit = static_cast<TEdit*>(form->FindControl("PathEdit"));
    TControl* ok = form->FindControl("OK");
    TControl* create = form->FindControl("NewFolder");
    EXPECT_EQ(tree->Items, (std::vector<std::string>{"C:\\", "  Program Files", "    Orvex", "      bin", "      doc"}));
    EXPECT_EQ(tree->SelectedPath(), "C:\\Program Files\\Orvex");
    EXPECT_EQ(edit->Text(), "C:\\Program Files\\Orvex\\New\\Deeper");
    EXPECT_TRUE(ok->Enabled);
    EXPECT_TRUE(create->Visible);
    // The geometry: the edit 15 px below the tree, the create button left of OK with its size.
    EXPECT_EQ(edit->Top, tree->Top + tree->Height + 15);
    EXPECT_EQ(create->BoundsRect(), (TRect{ok->Left - ok->Width - 8, ok->Top, ok->Left - 8, ok->Top + ok->Height}));
    // Typing an existing folder selects it; another path leaves the selection alone.
    edit->SetText("c:\\program files\\orvex\\DOC");
    EXPECT_EQ(tree->SelectedPath(), "C:\\Program Files\\Orvex\\doc");
    EXPECT_EQ(edit->Text(), "c:\\program files\\orvex\\DOC");
    edit->SetText("C:\\nowhere");
    EXPECT_EQ(tree->SelectedPath(), "C:\\Program Files\\Orvex\\doc");
    // Up from the selection moves to its parent; the edit follows the tree.
    tree->KeyDown("Up");
    EXPECT_EQ(tree->SelectedPath(), "C:\\Program Files\\Orvex");
    EXPECT_EQ(edit->Text(), "C:\\Program Files\\Orvex");
    // Scripted: choose the subfolder "bin", then OK.
    EXPECT_EQ(form->ShowModal(), mrOk);
    EXPECT_EQ(edit->Text(), "C:\\Program Files\\Orvex\\bin");
    EXPECT_EQ(tree->Items.size(), 4u);
}
