#include "setup/engine/cmp_TPathSpecifier.h"

#include <algorithm>

#include "host/win/WinPaths.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/routines_API.h"
#include "setup/engine/routines_Components.h"
#include "setup/engine/routines_Strings.h"
#include "setup/engine/specifiers_Office.h"
#include "setup/engine/specifiers_windows.h"

namespace zan {

namespace {

const char* NilSpecifierText = "Tried to add a nil object to the path specifier list";

std::string NameOf(TComponent* component) { return component ? component->GetName() : ""; }

// The install component; IEPathSpecifier naming the asker when there is none.
TCustomInstall* NeedInstall(TComponent* component) {
    TCustomInstall* install = CurrentInstall();
    if (!install)
        throw IEPathSpecifier(
            "There is no TInstall component so the path specifier could not be expanded for %s",
            {NameOf(component)});
    return install;
}

// The asker as an install object with a container (the container checks of two specifiers).
TInstallContainer* NeedContainer(TComponent* component, const std::string& identifier,
                                 const char* missingText) {
    auto* object = dynamic_cast<TInstallObject*>(component);
    if (!object)
        throw IEPathSpecifier("%s must be a %s to use the %s path specifier",
                              {NameOf(component), "TInstallObject", identifier});
    if (!object->GetContainerObject()) throw IEPathSpecifier(missingText, {NameOf(component)});
    return object->GetContainerObject();
}

} // namespace

// ---- TCustomPathSpecifier ----

TCustomPathSpecifier::TCustomPathSpecifier(TComponent* owner) : TComponent(owner) {
    PathSpecifierList().Add(this);
}

TCustomPathSpecifier::~TCustomPathSpecifier() { PathSpecifierList().Remove(this); }

void TCustomPathSpecifier::CheckUsable(TComponent*) {}

void TCustomPathSpecifier::GetDescription(std::string& text) { text = "Unspecified"; }

void TCustomPathSpecifier::GetDescriptionFor(TComponent*, std::string& text) {
    GetDescription(text);
}

void TCustomPathSpecifier::GetPath(TComponent* component, std::string& path) {
    path.clear();
    if (OnGetPath) OnGetPath(component, path);
}

void TCustomPathSpecifier::GetShortCaption(std::string& text) { GetDescription(text); }

void TCustomPathSpecifier::GetShortCaptionFor(TComponent* component, std::string& text) {
    GetDescriptionFor(component, text);
}

std::string TCustomPathSpecifier::PathFor(TComponent* component) {
    std::string path;
    GetPath(component, path);
    return path;
}

std::string TCustomPathSpecifier::DescriptionFor(TComponent* component) {
    std::string text;
    GetDescriptionFor(component, text);
    return text;
}

std::string TCustomPathSpecifier::ShortCaptionFor(TComponent* component) {
    std::string text;
    GetShortCaptionFor(component, text);
    return text;
}

TStandardPathSpecifier::TStandardPathSpecifier(TComponent* owner, const char* identifier,
                                               int32_t code, const char* description,
                                               const char* shortCaption)
    : TCustomPathSpecifier(owner), FIdentifier(identifier), FCode(code),
      FDescription(description), FShortCaption(shortCaption) {
    StandardPathSpecList().Add(this);
}

TStandardPathSpecifier::~TStandardPathSpecifier() { StandardPathSpecList().Remove(this); }

// ---- lists ----

TCustomPathSpecifier* TPathSpecifierList::Items(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return FItems[static_cast<size_t>(index)];
}

void TPathSpecifierList::Add(TCustomPathSpecifier* specifier) {
    if (!specifier) throw IEPathSpecifierList(NilSpecifierText);
    FItems.push_back(specifier);
}

void TPathSpecifierList::Remove(TCustomPathSpecifier* specifier) {
    auto it = std::find(FItems.begin(), FItems.end(), specifier);
    if (it != FItems.end()) FItems.erase(it);
}

TCustomPathSpecifier* TPathSpecifierList::Find(TPathSpecifierClass cls) const {
    if (!cls) return nullptr;
    for (TCustomPathSpecifier* s : FItems)
        if (cls->IsInstance(s)) return s;
    return nullptr;
}

TCustomPathSpecifier* TPathSpecifierList::FindByClass(TPathSpecifierClass cls) const {
    if (TCustomPathSpecifier* s = Find(cls)) return s;
    throw IEPathSpecifier("Could not find the path specifier");
}

TPathSpecifierClass TPathSpecifierClassList::Items(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return FItems[static_cast<size_t>(index)];
}

void TPathSpecifierClassList::Add(TPathSpecifierClass cls) {
    if (!cls) throw IEPathSpecifierClassList(NilSpecifierText);
    FItems.push_back(cls);
}

TPathSpecifierList& PathSpecifierList() {
    static TPathSpecifierList list;
    return list;
}

TPathSpecifierList& StandardPathSpecList() {
    static TPathSpecifierList list;
    return list;
}

TPathSpecifierClassList& PathSpecifierClassList() {
    static TPathSpecifierClassList list = [] {
        TPathSpecifierClassList l;
        for (TPathSpecifierClass cls :
             {TpsBDEDLL::Class(), TpsCommonFiles::Class(), TpsContainerArchiveFile::Class(),
              TpsContainerDestDir::Class(), TpsDesktopMenu::Class(), TpsInstallSource::Class(),
              TpsMainInstall::Class(), TpsProgramFiles::Class(), TpsProgramMenu::Class(),
              TpsStartMenu::Class(), TpsStartupMenu::Class(), TpsSystem::Class(),
              TpsMainArchiveFile::Class(), TpsWindow::Class()})
            l.Add(cls);
        RegisterWindowsSpecifiers(l);
        RegisterOfficeSpecifiers(l);
        return l;
    }();
    return list;
}

void EnsureStandardSpecifiers(TComponent* container, TComponent* owner, bool onlyMissing) {
    TPathSpecifierClassList& classes = PathSpecifierClassList();
    if (!owner) owner = container;
    for (int i = 0; i < classes.Count(); ++i) {
        TPathSpecifierClass cls = classes.Items(i);
        if (onlyMissing && PathSpecifierList().Find(cls)) continue;
        TStandardPathSpecifier* s = cls->Create(owner);
        MakeUniqueComponentName(s, s->GetIdentifier());
    }
}

std::string ExpandPathTemplate(const std::string& templ, const std::string& path) {
    std::string out;
    out.reserve(templ.size() + path.size());
    for (size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] != '%') {
            out += templ[i];
            continue;
        }
        if (++i == templ.size()) break;
        if (templ[i] == 'P' || templ[i] == 'p') out += path;
        else out += templ[i];
    }
    return out;
}

// ---- the standard specifiers ----

void TRoutinePathSpecifier::GetPath(TComponent*, std::string& path) {
    path = RemoveTrailingBackslash(FRoutine());
}

#define ZAN_ROUTINE_DEFINE(Name, ...)                                                              \
    Name::Name(TComponent* owner) : TRoutinePathSpecifier(owner, __VA_ARGS__) {}

ZAN_ROUTINE_DEFINE(TpsCommonFiles, "psCommonFiles", 1,
                   "Path of the common files directory under the program files directory",
                   "Common files", GetCommonFilesDir)
ZAN_ROUTINE_DEFINE(TpsDesktopMenu, "psDesktopMenu", 3,
                   "Path of the Desktop",
                   "Desktop", GetDesktopDir)
ZAN_ROUTINE_DEFINE(TpsProgramFiles, "psProgramFiles", 0,
                   "Path of the program files directory",
                   "Program files", GetProgramFilesDir)
ZAN_ROUTINE_DEFINE(TpsProgramMenu, "psProgramMenu", 0,
                   "Path of the Programs folder under the Start Menu",
                   "Program menu", GetProgramsMenuDir)
ZAN_ROUTINE_DEFINE(TpsStartMenu, "psStartMenu", 0,
                   "Path of Start Menu",
                   "Start menu", GetStartMenuDir)
ZAN_ROUTINE_DEFINE(TpsStartupMenu, "psStartupMenu", 0,
                   "Path of the Startup folder in the Programs folder under the Start Menu",
                   "Startup menu", GetStartupDir)
ZAN_ROUTINE_DEFINE(TpsSystem, "psSystem", 7, "Path of system directory", "System dir", GetSystemDir)
ZAN_ROUTINE_DEFINE(TpsWindow, "psWindow", 0,
                   "Path of the Windows directory",
                   "Windows dir", GetWindowsDir)

#undef ZAN_ROUTINE_DEFINE

TpsBDEDLL::TpsBDEDLL(TComponent* owner)
    : TStandardPathSpecifier(owner, "psBDEDLL", 145, "Borland Database Engine DLL Path",
                             "BDE DLL") {}

void TpsBDEDLL::GetPath(TComponent*, std::string& path) {
    path = RegReadString(hkLocalMachine, "\\Software\\Borland\\Database Engine", "DLLPath", "");
    if (path.empty()) path = GetProgramFilesDir() + "\\" + "Borland\\Common Files\\BDE";
    path = RemoveTrailingBackslash(path.substr(0, path.find(';')));
}

TpsContainerArchiveFile::TpsContainerArchiveFile(TComponent* owner)
    : TStandardPathSpecifier(owner, "psContainerArchiveFile", 2,
                             "Path to the archive file of the container", "Container archive file") {}

void TpsContainerArchiveFile::CheckUsable(TComponent* component) {
    TInstallContainer* container = NeedContainer(
        component, GetIdentifier(), "Cannot use ddContainerArchiveFile for %s unless you assign a Container");
    if (!dynamic_cast<TFileRelated*>(container))
        throw IEPathSpecifier("Cannot use the ddContainerArchiveFile path specifier for %s because "
                              "the Container is not a TFileRelated descendant",
                              {NameOf(component)});
}

void TpsContainerArchiveFile::GetPath(TComponent* component, std::string& path) {
    CheckUsable(component);
    auto* object = static_cast<TInstallObject*>(component);
    path = RemoveTrailingBackslash(
        static_cast<TFileRelated*>(object->GetContainerObject())->GetArchivePath());
}

TpsContainerDestDir::TpsContainerDestDir(TComponent* owner)
    : TStandardPathSpecifier(owner, "psContainerDestDir", 2, "Path of the group (container)", "") {}

void TpsContainerDestDir::CheckUsable(TComponent* component) {
    NeedContainer(component, GetIdentifier(),
                  "Cannot use ddContainerDestDir for %s unless you assign a Container");
}

void TpsContainerDestDir::GetDescriptionFor(TComponent* component, std::string& text) {
    try {
        CheckUsable(component);
    } catch (const IEPathSpecifier&) {
        GetDescription(text);
        return;
    }
    TInstallContainer* container = static_cast<TInstallObject*>(component)->GetContainerObject();
    if (dynamic_cast<TCustomInstall*>(container)) text = "Main installation directory";
    else if (dynamic_cast<TCustomInstallGroup*>(container))
        text = Format("Path of the <%s> group", {container->GetName()});
    else if (dynamic_cast<TFileContainer*>(container))
        text = Format("Path of the <%s> directory", {container->GetName()});
    else text = Format("Path of the <%s> group", {container->GetName()});
}

void TpsContainerDestDir::GetShortCaption(std::string& text) { GetDescription(text); }

void TpsContainerDestDir::GetShortCaptionFor(TComponent* component, std::string& text) {
    try {
        CheckUsable(component);
    } catch (const IEPathSpecifier&) {
        GetDescription(text);
        return;
    }
    TInstallContainer* container = static_cast<TInstallObject*>(component)->GetContainerObject();
    if (dynamic_cast<TCustomInstall*>(container)) text = "Main installation directory";
    else text = Format("<%s>", {container->GetName()});
}

void TpsContainerDestDir::GetPath(TComponent* component, std::string& path) {
    CheckUsable(component);
    path = RemoveTrailingBackslash(
        static_cast<TInstallObject*>(component)->GetContainerObject()->GetDestinationPath());
}

TpsInstallSource::TpsInstallSource(TComponent* owner)
    : TStandardPathSpecifier(owner, "psInstallSource", 4, "Path from which the user ran the install",
                             "Install source") {}

void TpsInstallSource::CheckUsable(TComponent* component) { NeedInstall(component); }

void TpsInstallSource::GetPath(TComponent* component, std::string& path) {
    path = RemoveTrailingBackslash(NeedInstall(component)->GetSourceDir());
}

TpsMainInstall::TpsMainInstall(TComponent* owner)
    : TStandardPathSpecifier(owner, "psMainInstall", 5, "Main installation directory",
                             "Main install dir") {}

void TpsMainInstall::CheckUsable(TComponent* component) {
    TCustomInstall* install = NeedInstall(component);
    if (component == install)
        throw IEPathSpecifier("Cannot use the ddMainInstallDir path specifier for a TInstall component");
}

void TpsMainInstall::GetPath(TComponent* component, std::string& path) {
    CheckUsable(component);
    path = RemoveTrailingBackslash(CurrentInstall()->GetDestinationPath());
}

TpsMainArchiveFile::TpsMainArchiveFile(TComponent* owner)
    : TStandardPathSpecifier(owner, "psMainArchiveFile", 6,
                             "Archive containing most or all non-internet installation files",
                             "Main archive") {}

void TpsMainArchiveFile::CheckUsable(TComponent* component) { NeedInstall(component); }

void TpsMainArchiveFile::GetPath(TComponent* component, std::string& path) {
    TCustomInstall* install = NeedInstall(component);
    if (install->HasSwitch('e')) {
        if (install->SwitchValue('e').empty())
            throw IEInstall("You forgot to pass in the name of the self-extracting executable. "
                            "Usage example: \"-eSetup.exe\"");
        path = install->GetSetupFileName();
    } else {
        std::string dir = ArchiveDir.empty() ? install->GetSourceDir() : ArchiveDir;
        path = WinJoin(RemoveTrailingBackslash(dir), "files.1");
    }
    path = RemoveTrailingBackslash(path);
}

} // namespace zan
