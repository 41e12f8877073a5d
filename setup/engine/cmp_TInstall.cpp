#include "setup/engine/cmp_TInstall.h"

#include <cctype>

#include "host/rtl/SysUtils.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TNetInstallLocation.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

TCustomInstall*& Slot() {
    static TCustomInstall* install = nullptr;
    return install;
}

const std::string NoValue;

} // namespace

TCustomInstall* CurrentInstall() { return Slot(); }

TCustomInstall::TCustomInstall(TComponent* owner) : TFileContainer(owner, false) {
    if (Slot())
        throw IEInstall("The TInstall component does not currently support the use of 2 TInstall "
                        "components in the same project");
    Slot() = this;
    FDestDir = "\\MyApplication";
    FInstallTypes = {itFull};
    SetDestDirType(PathSpecifierList().Find(TpsProgramFiles::Class()));
}

TCustomInstall::~TCustomInstall() {
    if (Slot() == this) Slot() = nullptr;
}

void TCustomInstall::Loaded() { TFileContainer::Loaded(); }

int TCustomInstall::SwitchIndex(char letter) {
    char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    for (int i = 0; i < 8; ++i)
        if ("bfdersnc"[i] == lower) return i;
    return -1;
}

bool TCustomInstall::HasSwitch(char letter) const {
    int i = SwitchIndex(letter);
    return i >= 0 && FSwitches[static_cast<size_t>(i)];
}

const std::string& TCustomInstall::SwitchValue(char letter) const {
    int i = SwitchIndex(letter);
    return i >= 0 ? FSwitchValues[static_cast<size_t>(i)] : NoValue;
}

void TCustomInstall::SetSwitch(char letter, bool on, const std::string& value) {
    int i = SwitchIndex(letter);
    if (i < 0) return;
    FSwitches[static_cast<size_t>(i)] = on;
    FSwitchValues[static_cast<size_t>(i)] = on ? value : std::string();
}

void TCustomInstall::ClearSwitches() {
    FSwitches.fill(false);
    for (std::string& v : FSwitchValues)
        v.clear();
}

std::string TCustomInstall::GetSetupDirectory() {
    return WinParentDir(NormalizeWinPath(WinGetModuleFileName()));
}

std::string TCustomInstall::GetSourceDir() const {
    std::string dir = SwitchValue('s');
    if (Trim(dir).empty()) return RemoveTrailingBackslash(GetSetupDirectory());
    if (dir[0] == '/') dir = HostPathToWin(dir);
    return RemoveTrailingBackslash(dir);
}

void TCustomInstall::SetDistributeType(TDistributeType type) {
    if (type != dtTraditional && !FNetLocation)
        throw IEInstallNetLocNil("Must assign a net location via the NetLocation property before "
                                 "you can set the distribute type");
    FDistributeType = type;
}

void TCustomInstall::SetNetLocation(TCustomNetInstallLocation* location) {
    TFileContainer::SetNetLocation(location);
    if (!location) FDistributeType = dtTraditional;
}

} // namespace zan
