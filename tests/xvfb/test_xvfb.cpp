// Real windows on the FLTK backend under a virtual X server (run through run_xvfb.sh). Each test
// keeps its window as a PNG in $ZAN_XVFB_ARTEFACTS. Text is never compared pixel by pixel.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "engine/forms/zanPwDlgForm.h"
#include "host/forms/fltk/FltkBackend.h"
#include "setup/engine/AppServices.h"
#include "support/sandbox.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/wizard/StockPages.h"
#include "setup/wizard/VisualWidgets.h"

using namespace zan;

namespace {

class Xvfb : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FltkDisplayAvailable()) GTEST_SKIP() << "no X display";
        if (!Application().HasBackend()) {
            setenv("ZAN_FORMS", "fltk", 1);
            UseFltkBackend();
            Application().Initialize();
        }
        Application().SetSession(&Session);
    }
    void TearDown() override { Application().SetSession(nullptr); }
    static std::string Artefact(const std::string& name) {
        const char* dir = std::getenv("ZAN_XVFB_ARTEFACTS");
        return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
    }
    // Pumps until the form has a modal result (at most about 10 s).
    static void PumpUntilResult(TForm& form) {
        for (int i = 0; i < 500 && form.ModalResult == mrNone; ++i) Application().HandleMessage();
    }
    TSandbox Box{"xvfb"};
    THeadlessSession Session;
};

uint32_t Rgb(const TPicture& p, int x, int y) { return p.Pixel(x, y) & 0xFFFFFF; }

} // namespace

TEST_F(Xvfb, MaximisedBackdropWithRotatedLabel) {
    TForm form(nullptr);
    form.WindowState = wsMaximized;
    form.BorderStyle = bsBorderless;
    auto* backdrop = new TBackdrop(&form);
    backdrop->SetParent(&form);
    auto* label = new TRotate3DLabel(&form);
    label->Caption = "Orvex Demo";
    label->Font.Size = 24;
    label->Font.Color = clWhite;
    label->LabelStyle.SetAngle(20);
    label->SetBounds(300, 100, 400, 200);
    label->SetParent(&form);
    form.FinishCreate();
    form.Show();
    for (int i = 0; i < 5; ++i) Application().ProcessMessages();
    TPicture shot = Application().Backend().Capture(form);
    shot.SaveToFile(Artefact("backdrop.png"));
    ASSERT_EQ(shot.Width(), 1024);
    ASSERT_EQ(shot.Height(), 768);
    auto bands = GradientBands(bdUp, 16711680, 0, 1024, 768);
    EXPECT_EQ(Rgb(shot, 5, 0), 0x0000FFu);
    for (int n : {0, 100, 255}) {
        const TGradientBand& b = bands[n];
        TColor c = b.Color;
        uint32_t want = (uint32_t(GetRValue(c)) << 16) | (GetGValue(c) << 8) | GetBValue(c);
        EXPECT_EQ(Rgb(shot, 10, b.Rect.Top), want) << "band " << n;
    }
    EXPECT_LE(Rgb(shot, 5, 767) & 0xFF, 2u);
    int lit = 0;
    for (int y = 100; y < 300; ++y)
        for (int x = 300; x < 700; ++x)
            if (Rgb(shot, x, y) == 0xFFFFFF) ++lit;
    EXPECT_GT(lit, 50);
    form.Hide();
}

TEST_F(Xvfb, LoginFormCentredDisabledEditAndReturnPressesOk) {
    TZanPasswordDialog form(nullptr);
    TZanLoginCredentials in("", "guest", "");
    form.Prepare(MakeLoginRequest("/srv/Shop.zan", 1), in);
    form.Show();
    for (int i = 0; i < 5; ++i) Application().ProcessMessages();
    EXPECT_EQ(form.Left, (1024 - 336) / 2);
    EXPECT_EQ(form.Top, (768 - 174) / 2);
    TPicture shot = Application().Backend().Capture(form);
    shot.SaveToFile(Artefact("login.png"));
    EXPECT_EQ(Rgb(shot, 104 + 100, 42 + 10), 0xD4D0C8u); // ebUsername disabled: clMenu
    EXPECT_EQ(Rgb(shot, 104 + 100, 14 + 10), 0xFFFFFFu); // ebMasterKey enabled: clWindow
    ASSERT_EQ(std::system("xdotool mousemove 500 380 && xdotool type ab && xdotool key Return"), 0);
    PumpUntilResult(form);
    EXPECT_EQ(form.ModalResult, mrOk);
    EXPECT_EQ(form.ebMasterKey->Text(), "ab");
    form.Hide();
}

TEST_F(Xvfb, EveryControlKindRenders) {
    TForm form(nullptr);
    form.Caption = "Controls";
    form.Position = poScreenCenter;
    form.SetBounds(0, 0, 420, 300);
    auto add = [&](TControl* c, int x, int y, int w, int h, const char* caption) {
        c->SetBounds(x, y, w, h);
        c->Caption = caption;
        c->SetParent(&form);
        return c;
    };
    add(new TLabel(&form), 10, 10, 100, 13, "A label");
    add(new TEdit(&form), 10, 30, 150, 21, "edit text");
    auto* memo = new TMemo(&form);
    memo->Lines = {"line one", "line two"};
    add(memo, 10, 60, 150, 50, "");
    add(new TButton(&form), 10, 120, 75, 25, "&Button");
    auto* check = static_cast<TCheckBox*>(add(new TCheckBox(&form), 10, 155, 120, 17, "Check"));
    check->Checked = true;
    auto* group = new TRadioGroup(&form);
    group->Items = {"Yes", "No"};
    group->ItemIndex = 0;
    add(group, 200, 10, 180, 70, "Group");
    auto* bar = new TProgressBar(&form);
    add(bar, 200, 90, 180, 16, "");
    bar->SetPosition(60);
    add(new TPanel(&form), 200, 115, 180, 40, "Panel");
    add(new TGroupBox(&form), 200, 165, 180, 50, "Box");
    add(new TBevel(&form), 10, 230, 400, 2, "");
    auto* image = new TImage(&form);
    image->Picture.SetSize(20, 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) image->Picture.SetPixel(x, y, 0xFFFF0000);
    add(image, 10, 240, 20, 20, "");
    form.FinishCreate();
    form.Show();
    for (int i = 0; i < 5; ++i) Application().ProcessMessages();
    TPicture shot = Application().Backend().Capture(form);
    shot.SaveToFile(Artefact("controls.png"));
    EXPECT_EQ(Rgb(shot, 15, 245), 0xFF0000u);                 // the image
    EXPECT_EQ(Rgb(shot, 200 + 50, 90 + 8), 0x0A246Au);         // the bar's filled part
    EXPECT_EQ(Rgb(shot, 200 + 170, 90 + 8), 0xD4D0C8u);        // and its empty part
    int dark = 0;
    for (int x = 10; x < 110; ++x)
        for (int y = 10; y < 23; ++y) dark += (Rgb(shot, x, y) & 0x808080) == 0 ? 1 : 0;
    EXPECT_GT(dark, 20); // the label's text
    form.Hide();
}

TEST_F(Xvfb, ScriptedFrameAtItsPlaceWithStockPages) {
    std::string shot = Artefact("licence_page.png");
    THeadlessSession script("[TBaseFormContainer] screenshot " + shot + "\n"
                            "[TLicenseForm] click ProceedBtn\n"
                            "[TReadmeForm] click ProceedBtn\n",
                            "frame", "");
    Application().SetSession(&script);
    RegisterStockForms();
    TDataModule owner; // the install needs a form or data module as its owner
    auto* install = new TCustomInstall(&owner);
    auto* manager = new TDialogManager(&owner);
    manager->SetContainer(install);
    auto* licence = new TLicenseDlg(&owner);
    licence->LicenseAgreement.Add("You may use this software as you like.");
    licence->SetOrder(10);
    new TReadmeDlg(&owner);
    std::string geometry;
    manager->OnFrame = [&](TBaseFormContainer& f) {
        Application().Post([&] {
            Application().ProcessMessages();
            char line[256];
            FILE* p = popen("xdotool search --name 'Software license agreement' getwindowgeometry 2>/dev/null", "r");
            while (p && fgets(line, sizeof line, p)) geometry += line;
            if (p) pclose(p);
        });
        EXPECT_EQ(f.BoundsRect(), (TRect{273, 186, 273 + 478, 186 + 395}));
    };
    install->BroadcastEvent(install, ieBeforeInstall, nullptr);
    EXPECT_NE(geometry.find("Position: 273,186"), std::string::npos) << geometry;
    TPicture picture;
    picture.LoadFromFile(shot);
    EXPECT_EQ(picture.Width(), 478);
    EXPECT_EQ(script.Transcript().back(), "modal TBaseFormContainer -> 1");
    ClearInstallForms();
    Application().SetSession(&Session);
}

// Captions of 10,000 characters (one word, and words to wrap) and controls of zero size draw on a
// real window, turned or not, without harm; a form of zero size still gets a window.
TEST_F(Xvfb, HugeCaptionsAndZeroSizes) {
    std::string word(10000, 'W'), words;
    while (words.size() < 10000) words += "setup ";
    TForm form(nullptr);
    form.Caption = word;
    form.SetBounds(0, 0, 300, 200);
    int y = 0;
    auto add = [&](TControl* c, int w, int h, const std::string& caption) {
        c->SetBounds(0, y, w, h);
        y += h;
        c->Caption = caption;
        c->SetParent(&form);
    };
    auto* wrapped = new TLabel(&form);
    wrapped->WordWrap = true;
    add(wrapped, 280, 40, words);
    add(new TLabel(&form), 280, 13, word);
    add(new TButton(&form), 280, 25, word);
    add(new TEdit(&form), 280, 21, word);
    add(new TGroupBox(&form), 280, 30, word);
    auto* turned = new TRotate3DLabel(&form);
    turned->LabelStyle.SetAngle(45);
    turned->MyTransparent = false;
    add(turned, 280, 60, word);
    // Zero sizes: nothing to draw, nothing to break.
    for (TControl* c : std::initializer_list<TControl*>{new TLabel(&form), new TButton(&form), new TProgressBar(&form),
                                                        new TBackdrop(&form), new TRotate3DLabel(&form), new TMemo(&form)})
        add(c, 0, 0, word);
    form.FinishCreate();
    form.Show();
    for (int i = 0; i < 5; ++i) Application().ProcessMessages();
    TPicture shot = Application().Backend().Capture(form);
    shot.SaveToFile(Artefact("huge_captions.png"));
    EXPECT_EQ(shot.Width(), 300);
    TForm empty(nullptr);
    empty.FinishCreate();
    empty.Show();
    Application().ProcessMessages();
    EXPECT_EQ(Application().Backend().Capture(empty).Width(), 1);
    empty.Hide();
    form.Hide();
}
