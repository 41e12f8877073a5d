// The login window on the headless backend: layout by option bits, OK and Cancel, typing limits,
// and a real connect to an encrypted database answered by a prompt script.
#include <gtest/gtest.h>

#include <memory>

#include "engine/dataset/dataset_test_support.h"
#include "engine/forms/zanPwDlgForm.h"
#include "support/scripted_forms.h"

using namespace zan;

using Scripted = TScriptedForms;

TEST(LoginForm, OptionBitsEnableEditsColourAndFocus) {
    struct Row {
        int32_t Options;
        bool Key, User;
        const char* Focus;
    };
    const Row rows[] = {{1, true, false, "ebMasterKey"}, {2, false, true, "ebPassword"},
                        {3, true, true, "ebMasterKey"},  {7, true, true, "ebMasterKey"}};
    for (const Row& r : rows) {
        TZanPasswordDialog form(nullptr);
        TZanLoginCredentials in("k", "u", "p");
        form.Prepare(MakeLoginRequest("/data/Shop.zan", r.Options), in);
        EXPECT_EQ(form.Caption, "Database Login - Shop.zan");
        EXPECT_EQ(form.lblMasterKey->Caption, "Database Password:");
        EXPECT_EQ(form.ebMasterKey->Enabled, r.Key) << r.Options;
        EXPECT_EQ(form.ebUsername->Enabled, r.User) << r.Options;
        EXPECT_EQ(form.ebPassword->Color, r.User ? clWindow : clMenu) << r.Options;
        EXPECT_EQ(form.ebMasterKey->Color, r.Key ? clWindow : clMenu) << r.Options;
        EXPECT_EQ(form.ActiveControl->GetName(), r.Focus) << r.Options;
        EXPECT_EQ(form.ebUsername->Text(), "u");
    }
    TZanPasswordDialog form(nullptr);
    EXPECT_EQ(form.BoundsRect(), (TRect{0, 0, 336, 174}));
    EXPECT_EQ(form.OKButton->BoundsRect(), (TRect{118, 106, 183, 127}));
    EXPECT_EQ(form.VisibleButtons(), (std::vector<std::string>{"OK", "Cancel"}));
}

TEST(LoginForm, OkCopiesBackCancelLeavesValuesAndTypingStopsAtLimits) {
    TZanFormLoginPrompt prompt;
    {
        Scripted s("[TZanPasswordDialog] type ebUsername admin\n"
                   "[TZanPasswordDialog] type ebPassword secret\n"
                   "[Database Login - a.zan] click OKButton\n");
        std::string key = "old", user = "x", password = "y";
        EXPECT_TRUE(ShowZanLoginDialog(prompt, "a.zan", 2, key, user, password));
        EXPECT_EQ(user, "admin");
        EXPECT_EQ(password, "secret");
        EXPECT_EQ(key, "old");
        EXPECT_EQ(s.Session.Transcript().front(),
                  "form TZanPasswordDialog \"Database Login - a.zan\" [OK, Cancel]");
    }
    {
        Scripted s("[*] type ebPassword changed\n[*] click CancelButton\n");
        std::string key, user = "x", password = "y";
        EXPECT_FALSE(ShowZanLoginDialog(prompt, "a.zan", 3, key, user, password));
        EXPECT_EQ(password, "y");
    }
    {
        Scripted s("[*] type ebPassword " + std::string(41, 'p') + "\n");
        std::string key, user, password;
        EXPECT_THROW(ShowZanLoginDialog(prompt, "a.zan", 2, key, user, password), EHeadlessPrompt);
        Scripted typing("[*] type ebMasterKey " + std::string(100, 'k') + "\n[*] click ebUsername\n");
        EXPECT_THROW(ShowZanLoginDialog(prompt, "a.zan", 1, key, user, password), EHeadlessPrompt);
    }
    // Typed keys stop at 40 characters; a longer pre-filled value is kept as it is.
    TZanPasswordDialog form(nullptr);
    TZanLoginCredentials in("", "", std::string(50, 'q'));
    form.Prepare(MakeLoginRequest("a.zan", 2), in);
    EXPECT_EQ(form.ebPassword->Text().size(), 50u);
    form.ebUsername->TypeText(std::string(45, 'u'));
    EXPECT_EQ(form.ebUsername->Text().size(), 40u);
}

TEST(LoginForm, EncryptedDatabaseOpensWithScriptedKeyAndCancelGives10015) {
    TTempFile file("login_form.zan");
    CreateDatabaseFile(file.Path, 1);
    TZanLoginPrompt& prompt = ZanUseLoginForm();
    EXPECT_EQ(&GetDefaultLoginPrompt(), &prompt);
    {
        Scripted s("[*] type ebMasterKey " + C_TEST_KEY + "\n[*] click OKButton\n");
        TZanDataBase db;
        db.SetDataBaseName(file.Path);
        db.Open();
        EXPECT_TRUE(db.GetConnected());
        db.Close();
    }
    {
        Scripted s("[*] click CancelButton\n");
        TZanDataBase db;
        db.SetDataBaseName(file.Path);
        EXPECT_EQ(ErrorCodeOf([&] { db.Open(); }), 10015);
    }
    SetDefaultLoginPrompt(nullptr);
}
