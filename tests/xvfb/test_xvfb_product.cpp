// OrvexDemoInstall on the FLTK backend under the virtual X server, as a real process: the happy
// path driven by the script with a PNG of every page and of the main window (kept in
// $ZAN_XVFB_ARTEFACTS).
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/forms/fltk/FltkBackend.h"
#include "setup/product/product_machine.h"
#include "setup/wizard/VCLInstall.h"

using namespace zan;
using namespace product_e2e;

namespace {

std::string ProductArtefact(const std::string& name) {
    const char* dir = std::getenv("ZAN_XVFB_ARTEFACTS");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

uint32_t Rgb(const TPicture& p, int x, int y) { return p.Pixel(x, y) & 0xFFFFFF; }

} // namespace

TEST(XvfbProduct, HappyPathUnderFltkWithAPictureOfEveryPage) {
    if (!FltkDisplayAvailable()) GTEST_SKIP() << "no X display";
    std::string script;
    const char* pages[][2] = {{"TWelcomeForm", "ProceedBtn"},     {"TLicenseForm", "ProceedBtn"},
                              {"TSelectDestinationForm", "ProceedBtn"}, {"TConfirmInstall", "ProceedBtn"},
                              {"TReadmeForm", "ProceedBtn"},      {"TAfterGoodInstallDlg", "FinishBtn"}};
    for (const auto& p : pages) {
        script += std::string("[") + p[0] + "] wait 3\n";
        script += std::string("[TBaseFormContainer] screenshot ") + ProductArtefact(std::string("product_") + p[0] + ".png") + "\n";
        // The main window behind the first page, maximised by then.
        if (&p == &pages[0]) script += "[TMainForm] screenshot " + ProductArtefact("product_main.png") + "\n";
        script += std::string("[") + p[0] + "] click " + p[1] + "\n";
    }
    TProductMachine m("xvfb_product", script);
    setenv("ZAN_FORMS", "fltk", 1);
    SeedDelphi7Installation();
    int status = RunSetupProgram({});
    setenv("ZAN_FORMS", "headless", 1);
    ASSERT_EQ(status, 0) << TSandbox::ReadHostFile(m.Transcript);
    EXPECT_TRUE(WinFileExists(Dest + "\\Delphi7\\dclzan14d7.bpl"));

    TPicture main;
    main.LoadFromFile(ProductArtefact("product_main.png"));
    ASSERT_EQ(main.Width(), 1024);
    ASSERT_EQ(main.Height(), 768);
    EXPECT_EQ(Rgb(main, 5, 0), 0x0000FFu);         // the backdrop's top row
    EXPECT_LE(Rgb(main, 5, 767) & 0xFFu, 2u);      // near black at the bottom
    int lit = 0;                                   // the white product label at the top
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 1024; ++x) lit += Rgb(main, x, y) == 0xFFFFFF;
    EXPECT_GT(lit, 50);
    for (const auto& p : pages) {
        TPicture page;
        page.LoadFromFile(ProductArtefact(std::string("product_") + p[0] + ".png"));
        EXPECT_EQ(page.Width(), 478) << p[0];
        EXPECT_EQ(page.Height(), 395) << p[0];
    }
    std::string transcript = TSandbox::ReadHostFile(m.Transcript);
    EXPECT_NE(transcript.find("screenshot TBaseFormContainer"), std::string::npos);
}
