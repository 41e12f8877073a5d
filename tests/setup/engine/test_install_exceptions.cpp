// The installer's exception family: the catch tree, translation through the text hook, and a
// translated format that does not fit its arguments.
#include <gtest/gtest.h>

#include "host/rtl/ScopeExit.h"
#include "setup/engine/InstallExceptions.h"

using namespace zan;

namespace {

enum TCaught { cNone, cAbort, cAbnormal, cCustom, cOther };

template <typename E>
TCaught CatchAs(const E& raised) {
    try {
        throw raised;
    } catch (const EAI&) {
        return cAbort;
    } catch (const ECorvaneAbnormal&) {
        return cAbnormal;
    } catch (const ECustomCorvaneAbnormal&) {
        return cCustom;
    } catch (const Exception&) {
        return cOther;
    }
    return cNone;
}

} // namespace

TEST(InstallExceptions, CatchTree) {
    EXPECT_EQ(CatchAs(EAIUserAbort()), cAbort);
    EXPECT_EQ(CatchAs(ECrvnCompress("Cannot open the compressed file x")), cAbnormal);
    EXPECT_EQ(CatchAs(EccDiskFull("The disk is full")), cAbnormal);
    EXPECT_EQ(CatchAs(EccAborted("Operation aborted by user")), cAbnormal);
    EXPECT_EQ(CatchAs(EAPIRoutines("Cannot create a temporary file")), cAbnormal);
    EXPECT_EQ(CatchAs(EProgramLauncherFailed("File not found", 2)), cAbnormal);
    EXPECT_EQ(CatchAs(IEInstall("x")), cCustom);
    EXPECT_EQ(CatchAs(IEfcDuplicateFile("x")), cCustom);
    EXPECT_EQ(CatchAs(IEFileRel_NoNetLocation("x")), cCustom);
    EXPECT_EQ(CatchAs(IEUninstallEXE("x")), cCustom);
    EXPECT_EQ(CatchAs(Exception("plain")), cOther);

    EXPECT_EQ(EAIUserAbort().Message(), "Installation aborted by the user");
    EXPECT_STREQ(IEfcSetAttributes("x").ClassName(), "IEfcSetAttributes");
    try {
        throw IEInstallNetLocNil("x");
    } catch (const IEInstall& e) {
        EXPECT_STREQ(e.ClassName(), "IEInstallNetLocNil");
    }
    try {
        throw EccDiskFull("The disk is full");
    } catch (const ECrvnCompress& e) {
        EXPECT_EQ(e.Message(), "The disk is full");
    }
}

TEST(InstallExceptions, ComponentTextsAreTranslatedOthersAreNot) {
    SetExceptionTextHook([](const std::string& english) -> std::string {
        if (english == "Cannot add a blank base helper component to %s")
            return "Kann keine leere Basiskomponente zu %s hinzufügen";
        if (english == "Disk full") return "Diskette voll";
        if (english == "Bad %s") return "Schlecht %d"; // a translation that does not fit
        if (english == "Broken %d") return "Kaputt %d";
        return english;
    });
    TScopeExit restore([] { SetExceptionTextHook(nullptr); });

    struct {
        std::string Got, Expected;
    } rows[] = {
        {IEInstallGroup("Cannot add a blank base helper component to %s", {"psMain"}).Message(),
         "Kann keine leere Basiskomponente zu psMain hinzufügen"},
        {IEInstall("Disk full").Message(), "Diskette voll"},
        {IEInstall("No entry for this").Message(), "No entry for this"},
        {IEInstall("Unknown %s here", {"x"}).Message(), "Unknown x here"},
        // Translated format with the wrong specifier: the English format is used.
        {IEInstall("Bad %s", {"name"}).Message(), "Bad name"},
        // Neither fits: the English format as it is, never an exception.
        {IEInstall("Broken %d", {"text"}).Message(), "Broken %d"},
        {IEInstall("Too few %s %s", {"one"}).Message(), "Too few %s %s"},
        // Classes outside IException keep their text.
        {ECrvnCompress("Disk full").Message(), "Disk full"},
        {EAPIRoutines("Disk full").Message(), "Disk full"},
    };
    for (auto& row : rows)
        EXPECT_EQ(row.Got, row.Expected);

    // A throwing translator does not hide the error either.
    SetExceptionTextHook([](const std::string&) -> std::string { throw Exception("broken"); });
    EXPECT_EQ(IEInstall("Plain %s", {"text"}).Message(), "Plain text");
    SetExceptionTextHook(nullptr);
    EXPECT_EQ(IEInstall("Disk full").Message(), "Disk full");
}
