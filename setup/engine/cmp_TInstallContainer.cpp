#include "setup/engine/cmp_TInstallContainer.h"

#include <algorithm>
#include <bitset>

#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"
#include "setup/engine/AppServices.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "setup/engine/cmp_TInstall.h"
#include "setup/engine/cmp_TInstallFile.h"
#include "setup/engine/cmp_TNetInstallLocation.h"
#include "setup/engine/routines_Strings.h"

namespace zan {

namespace {

std::vector<TInstallContainer*>& Containers() {
    static std::vector<TInstallContainer*> list;
    return list;
}

std::vector<TCustomInstallFile*>& Files() {
    static std::vector<TCustomInstallFile*> list;
    return list;
}

std::bitset<MaxFileIds>& FileIds() {
    static std::bitset<MaxFileIds> ids;
    return ids;
}

std::string& RecordKey() {
    static std::string key;
    return key;
}

std::function<bool()>& AbortQuery() {
    static std::function<bool()> query;
    return query;
}

const char* UninstallKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

TInstallContainer* ContainerOf(TInstallContainer* c) {
    auto* object = dynamic_cast<TInstallObject*>(c);
    return object ? object->GetContainerObject() : nullptr;
}

bool IsInstallBDE(TInstallContainer* c) { return SameTextASCII(c->ClassName(), "TINSTALLBDE"); }

template <typename T>
T* StandardOrNull() {
    return static_cast<T*>(PathSpecifierList().Find(T::Class()));
}

// A new empty file "<temp>net<hex>.1".
std::string NewNetTempFile() {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string tmp = WinGetTempFileName(WinGetTempPath(), "net");
        std::string target = tmp.substr(0, tmp.size() - 4) + ".1";
        if (!WinPathExists(target)) {
            WinMoveFile(tmp, target);
            return target;
        }
        WinDeleteFile(tmp);
    }
    throw EAPIRoutines("Cannot create a temporary file");
}

} // namespace

bool IsPhaseType(int32_t type) {
    switch (type) {
    case 2750:
    case 2875:
    case 3000:
    case 4000:
    case 7000:
    case 8000:
    case rtRegistryWriter:
    case 8700:
    case 9050:
    case 9052:
    case 9054: return true;
    default: return false;
    }
}

int PercentOf(int64_t done, int64_t total, bool finished) {
    if (total <= 0) return finished ? 100 : 0;
    if (done <= 0) return 0;
    if (done >= total) return 100;
    return static_cast<int>(Round(static_cast<double>(done) * 100.0 / static_cast<double>(total)));
}

const std::vector<TInstallContainer*>& InstallContainerList() { return Containers(); }
const std::vector<TCustomInstallFile*>& InstallFileList() { return Files(); }
std::vector<TCustomInstallFile*>& RetryRegisterList() {
    static std::vector<TCustomInstallFile*> list;
    return list;
}
bool FileIdUsed(int id) { return id >= 0 && id < MaxFileIds && FileIds().test(static_cast<size_t>(id)); }
const std::string& InstallRecordKey() { return RecordKey(); }
void SetInstallRecordKey(const std::string& key) { RecordKey() = key; }
void SetArchiveAbortQuery(std::function<bool()> query) { AbortQuery() = std::move(query); }
bool ArchiveAborted() { return AbortQuery() && AbortQuery()(); }

// ---- TInstallContainer ----

TInstallContainer::TInstallContainer(TComponent* owner) : TComponent(owner) {
    Register();
    EnsureStandardSpecifiers(this, owner, true);
}

void TInstallContainer::Register() {
    auto& list = Containers();
    if (std::find(list.begin(), list.end(), this) == list.end()) list.push_back(this);
}

TInstallContainer::~TInstallContainer() {
    auto& list = Containers();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    for (TInstallContainer* c : std::vector<TInstallContainer*>(list))
        c->ContainerRemoved(this);
}

int TInstallContainer::GetContainerCount() const { return ChildCount(); }

TInstallContainer* TInstallContainer::GetContainer(int n) const { return GetChild(n); }

void TInstallContainer::SetDestDir(const std::string& dir) { FDestDir = dir; }

void TInstallContainer::SetDestDirType(TCustomPathSpecifier* specifier) {
    if (FDestDirType) RemoveFreeNotification(FDestDirType);
    FDestDirType = specifier;
    if (specifier) FreeNotification(specifier);
}

void TInstallContainer::ContainerRemoved(TInstallContainer* container) { RemoveChild(container); }

void TInstallContainer::ShowStatus(const std::string& text) {
    TMessageParameter parameter(text);
    BroadcastEvent(this, ieStatusText, &parameter);
}

void TInstallContainer::CloseStatus() { BroadcastEvent(this, ieStatusClosed, nullptr); }

void TInstallContainer::DoInformationEventControl(TObject*, int, TObject*) {}

void TInstallContainer::HandleEvent(TObject*, int, TObject*) {}

std::string TInstallContainer::JoinSpecifierPath(TCustomPathSpecifier* specifier,
                                                 const std::string& dir) {
    std::string base = specifier ? specifier->PathFor(this) : std::string();
    return RemoveTrailingBackslash(base + dir);
}

std::string TInstallContainer::GetDestinationPath() {
    return JoinSpecifierPath(FDestDirType, FDestDir);
}

int32_t TInstallContainer::RegisteredType() const {
    throw IEInstallContainer("Class must declare a registered type");
}

void TInstallContainer::AddChild(TInstallContainer* object) {
    if (!object)
        throw IEInstallContainer("Cannot add a blank base helper component to %s", {GetName()});
    for (TInstallContainer* c = this; c; c = ContainerOf(c))
        if (c == object) throw IEInstallContainer("Circular reference");
    if (std::find(FChildren.begin(), FChildren.end(), object) != FChildren.end()) return;
    if (IsInstallBDE(object)) {
        FChildren.insert(FChildren.begin(), object);
        return;
    }
    int32_t type = object->RegisteredType();
    auto it = FChildren.begin();
    while (it != FChildren.end() && IsInstallBDE(*it))
        ++it;
    it = std::find_if(it, FChildren.end(),
                      [type](TInstallContainer* c) { return c->RegisteredType() >= type; });
    FChildren.insert(it, object);
}

void TInstallContainer::RemoveChild(TInstallContainer* object) {
    FChildren.erase(std::remove(FChildren.begin(), FChildren.end(), object), FChildren.end());
}

TInstallContainer* TInstallContainer::GetChild(int index) const {
    if (index < 0 || index >= ChildCount())
        throw IEInstallContainer("Tried to reference a helper component in the following "
                                 "component: %s. The following index was used: %d",
                                 {GetName(), index});
    return FChildren[static_cast<size_t>(index)];
}

TInstallContainer* TInstallContainer::Comp(int index, int32_t componentType) const {
    int n = 0;
    for (TInstallContainer* c : FChildren)
        if (c->RegisteredType() == componentType && n++ == index) return c;
    throw IEInstallContainer("Bad call to the Comp procedure which returns a TInstallObject for a "
                             "TInstallContainer component. The parameters are probably reversed. "
                             "Index: %d, ComponentType: %d",
                             {index, componentType});
}

int TInstallContainer::CountOfClass(int32_t componentType) const {
    return static_cast<int>(std::count_if(FChildren.begin(), FChildren.end(),
                                          [componentType](TInstallContainer* c) {
                                              return c->RegisteredType() == componentType;
                                          }));
}

void TInstallContainer::SetInstallType(TInstallType type) {
    FRunningType = type;
    for (TInstallContainer* c : FChildren)
        c->SetInstallType(type);
}

int TInstallContainer::GetFileCount() const {
    return static_cast<int>(std::count_if(FChildren.begin(), FChildren.end(), [](TInstallContainer* c) {
        return dynamic_cast<TCustomInstallFile*>(c) != nullptr;
    }));
}

void TInstallContainer::SetInstallTypes(TInstallTypeSet types) {
    FInstallTypes = types.Empty() ? TInstallTypeSet{itFull} : types;
}

bool TInstallContainer::IsIncluded() const {
    return FInclude && (FRunningType == itCustom || FInstallTypes.Contains(FRunningType));
}

void TInstallContainer::Process() {
    try {
        if (!FOS.Contains(GetOSVerType())) FInclude = false;
        if (OnBeforeProcess) OnBeforeProcess(this);
        BroadcastEvent(this, ieBeforeProcess, nullptr);
        if (!FInclude) return;
        BeforeProcessHook();
        BroadcastEvent(this, ieProcess, nullptr);
        if (FRunningType == itCustom || FInstallTypes.Contains(FRunningType)) {
            // Marked first, so that the objects below see their container processed.
            FProcessed = true;
            ProcessChildren();
            TCustomInstall* install = CurrentInstall();
            if (install && FUninstall)
                WriteUninstallInformation(UninstallKey + install->Information.ProductName);
        }
        if (OnAfterProcess) OnAfterProcess(this);
        BroadcastEvent(this, ieAfterProcess, nullptr);
    } catch (const EAbort&) {
    }
}

void TInstallContainer::ProcessChildren() {
    // Objects of a phase type run in their phase, not here.
    for (size_t i = 0; i < FChildren.size(); ++i) {
        TInstallContainer* child = FChildren[i];
        if (!IsPhaseType(child->RegisteredType()) && dynamic_cast<TInstallObject*>(child))
            child->Process();
    }
}

void TInstallContainer::ContinueUnfinished() {}

void TInstallContainer::WriteUninstallInformation(const std::string&) {}

void TInstallContainer::BroadcastEvent(TObject* sender, int code, TObject* parameter) {
    for (size_t i = 0; i < FChildren.size(); ++i)
        if (FChildren[i]->RegisteredType() >= rtInstallFile)
            FChildren[i]->HandleEvent(sender, code, parameter);
}

std::string TInstallContainer::FindLibraryDirectory(bool raiseOnFailure) {
    const char* failure = "Cannot find the the Corvane directory on the VCL library search path";
    std::vector<std::string> candidates;
    if (IsDesigning()) {
        candidates.push_back(TCustomInstall::GetSetupDirectory());
    } else {
        std::string searchPath = RegReadString(
            hkCurrentUser, "\\Software\\Borland\\Delphi\\5.0\\Library", "Search Path", "");
        if (Trim(searchPath).empty()) {
            if (raiseOnFailure) throw IENoCorvanePath(failure);
            return "";
        }
        std::string root =
            RegReadString(hkLocalMachine, "\\Software\\Borland\\Delphi\\5.0", "RootDir", "");
        size_t start = 0;
        while (start <= searchPath.size()) {
            size_t end = searchPath.find(';', start);
            if (end == std::string::npos) end = searchPath.size();
            std::string entry = searchPath.substr(start, end - start);
            start = end + 1;
            for (const char* macro : {"$(DELPHI)", "$(BCB)"})
                if (size_t at = entry.find(macro); at != std::string::npos)
                    entry.replace(at, std::string(macro).size(), root);
            if (!Trim(entry).empty()) candidates.push_back(entry);
        }
    }
    for (const std::string& candidate : candidates) {
        std::string dir = RemoveTrailingBackslash(candidate);
        try {
            if (WinFileExists(dir + "\\Kovrix.TXT")) return dir;
        } catch (const EWinError&) {
            // A path the machine cannot have (another drive, a bad name) holds nothing.
        }
    }
    if (raiseOnFailure) throw IENoCorvanePath(failure);
    return "";
}

void TInstallContainer::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == FDestDirType) FDestDirType = nullptr;
}

// ---- TInstallObject ----

TInstallObject::~TInstallObject() {
    if (FContainer) FContainer->RemoveChild(this);
    FContainer = nullptr;
}

void TInstallObject::CheckContainer(TInstallContainer*) {}

void TInstallObject::ContainerRemoved(TInstallContainer* container) {
    TInstallContainer::ContainerRemoved(container);
    if (container == FContainer) FContainer = nullptr;
}

void TInstallObject::SetContainer(TInstallContainer* container) {
    if (container == FContainer) return;
    CheckContainer(container);
    // Joining first: a circular container is refused before anything changes.
    if (container) container->AddChild(this);
    if (FContainer) FContainer->RemoveChild(this);
    FContainer = container;
    if (IsLoading()) return;
    if (container) {
        SetDestDirType(StandardOrNull<TpsContainerDestDir>());
        SetDestDir("");
    } else if (dynamic_cast<TpsContainerDestDir*>(FDestDirType)) {
        SetDestDirType(nullptr);
    }
}

void TInstallObject::Process() {
    TCustomInstall* install = CurrentInstall();
    if (!install || !install->GetRunning()) return;
    if (FContainer && !FContainer->GetProcessed()) return;
    TInstallContainer::Process();
}

void TInstallObject::DoInformationEventControl(TObject* sender, int code, TObject* parameter) {
    if (FContainer) FContainer->DoInformationEventControl(sender, code, parameter);
}

void TInstallObject::Loaded() {
    TInstallContainer::Loaded();
    if (FContainer && !FDestDirType) SetDestDirType(StandardOrNull<TpsContainerDestDir>());
}

// ---- TFileRelated ----

void TFileRelated::SetContainer(TInstallContainer* container) {
    TInstallObject::SetContainer(container);
    if (!IsLoading() && dynamic_cast<TFileRelated*>(container)) {
        SetArchiveFileType(StandardOrNull<TpsContainerArchiveFile>());
        FArchiveFile.clear();
    }
}

void TFileRelated::Loaded() {
    TInstallObject::Loaded();
    if (dynamic_cast<TFileRelated*>(FContainer) && !FArchiveFileType)
        SetArchiveFileType(StandardOrNull<TpsContainerArchiveFile>());
}

void TFileRelated::SetArchiveFile(const std::string& file) {
    bool implicit = dynamic_cast<TpsContainerArchiveFile*>(FArchiveFileType) ||
                    dynamic_cast<TpsMainArchiveFile*>(FArchiveFileType);
    FArchiveFile = implicit ? std::string() : file;
}

void TFileRelated::SetArchiveFileType(TCustomPathSpecifier* specifier) {
    if (FArchiveFileType) RemoveFreeNotification(FArchiveFileType);
    FArchiveFileType = specifier;
    if (specifier) FreeNotification(specifier);
}

void TFileRelated::SetNetLocation(TCustomNetInstallLocation* location) {
    if (FNetLocation) RemoveFreeNotification(FNetLocation);
    FNetLocation = location;
    if (location) FreeNotification(location);
}

std::string TFileRelated::GetArchivePath() {
    if (HasLocalNetFile()) return FLocalNetFile;
    return JoinSpecifierPath(FArchiveFileType, FArchiveFile);
}

std::string TFileRelated::GetLocalNetFile() { return HasLocalNetFile() ? FLocalNetFile : ""; }

bool TFileRelated::HasLocalNetFile() {
    if (FLocalNetFile.empty() && !InstallRecordKey().empty() && !GetName().empty())
        FLocalNetFile = RegReadString(hkLocalMachine, InstallRecordKey() + "\\" + GetName(),
                                      "LocalFile", "");
    if (FLocalNetFile.empty()) return false;
    try {
        return WinFileExists(FLocalNetFile);
    } catch (const EWinError&) {
        return false;
    }
}

void TFileRelated::StoreLocalNetFile(const std::string& path) {
    FLocalNetFile = path;
    TCustomInstall* install = CurrentInstall();
    if (install && install->GetRunning() && !InstallRecordKey().empty())
        RegWriteString(hkLocalMachine, InstallRecordKey() + "\\" + GetName(), "LocalFile", path);
}

void TFileRelated::DoDataReceived(TObject* sender, const std::string& fileName, int64_t bytes,
                                  int64_t totalBytes, int64_t fileSize, const char* buffer) {
    if (OnDataReceived) OnDataReceived(sender, fileName, bytes, totalBytes, fileSize, buffer);
    TDownloadStatusParameter status;
    status.FileName = fileName;
    status.Received = totalBytes;
    status.Total = fileSize;
    status.Percent = PercentOf(totalBytes, fileSize, false);
    BroadcastEvent(this, ieDownloadStatus, &status);
    if (FContainer) FContainer->DoInformationEventControl(this, scDownload, &status);
}

std::string TFileRelated::DownloadFromNet() {
    TCustomNetInstallLocation* location = FNetLocation;
    bool own = location != nullptr;
    if (!location) {
        for (TInstallContainer* c = FContainer; c && !location; c = ContainerOf(c))
            if (auto* fc = dynamic_cast<TFileContainer*>(c)) {
                location = fc->GetNetLocation();
                break;
            }
    }
    if (!location && CurrentInstall()) location = CurrentInstall()->GetNetLocation();
    if (!location) throw IEFileRel_NoNetLocation("Could not find a net install location for %s", {GetName()});
    if (!location->LoginInformation().IsUsable()) {
        if (own)
            throw IEFileRelated("%s could not install itself because the TNetLocation component's "
                                "properties, in the NetLocation property, have not been filled in",
                                {GetName()});
        throw IEFileRelated("%s could not install itself because the LoginInformation property of "
                            "the TInstall component has not been properly filled in",
                            {GetName()});
    }
    std::string local = NewNetTempFile();
    TDataReceivedEvent saved = location->OnDataReceivedInternal;
    TScopeExit restore([&] { location->OnDataReceivedInternal = saved; });
    location->OnDataReceivedInternal = [this](TObject* sender, const std::string& name, int64_t bytes,
                                              int64_t total, int64_t size, const char* buffer) {
        DoDataReceived(sender, name, bytes, total, size, buffer);
    };
    location->GetFile(GetName() + ".1", local);
    StoreLocalNetFile(local);
    return local;
}

void TFileRelated::Notification(TComponent* component, TOperation operation) {
    TInstallObject::Notification(component, operation);
    if (operation != opRemove) return;
    if (component == FArchiveFileType) FArchiveFileType = nullptr;
    if (component == FNetLocation) FNetLocation = nullptr;
}

// ---- TFileContainer ----

TFileContainer::TFileContainer(TComponent* owner, bool createsSpecifier)
    : TFileRelated(owner), FCreatesSpecifier(createsSpecifier) {
    if (createsSpecifier) FPathSpecifier = new TpsFileContainer(this, this);
}

TFileContainer::~TFileContainer() {
    if (FPathSpecifier) FPathSpecifier->FFileContainer = nullptr;
}

void TFileContainer::ReportUp(int code, TObject* parameter) {
    if (FContainer) FContainer->DoInformationEventControl(this, code, parameter);
}

void TFileContainer::ProcessChildren() {
    FAction = faInstall;
    AppServices().SetHourglass(true);
    bool done = false;
    TScopeExit restore([&] {
        if (done) return;
        AppServices().SetHourglass(false);
        FAction = faIdle;
    });
    ReadArchiveInfo();
    BroadcastEvent(this, ieContainerInstallStart, nullptr);
    ReportUp(scContainerStart, nullptr);
    FTotal = GetFilesSize(false, true);
    FDone = 0;
    if (OnBeforeInstallObjects) OnBeforeInstallObjects(this);
    TFileRelated::ProcessChildren();
    ReportUp(scContainerEnd, nullptr);
    AppServices().SetHourglass(false);
    FAction = faIdle;
    done = true;
    BroadcastEvent(this, ieCopyEnded, nullptr);
    if (FiresAfterInstallObjects() && OnAfterInstallObjects)
        OnAfterInstallObjects(this, ArchiveAborted());
}

void TFileContainer::CheckStatusParameter(int code, TObject* parameter, TObject*& file,
                                          TObject*& second) {
    file = second = nullptr;
    if (!parameter) throw IEFileContainer("%s got a nil PO parameter", {GetName()});
    switch (code) {
    case scReplacing:
    case scFileSkipped:
    case scFileNotCopied:
        if (!dynamic_cast<TCustomInstallFile*>(parameter))
            throw IEFileContainer("DoInformationEventControl parameter is not TInstallFile");
        file = parameter;
        return;
    case scDownload:
        if (!dynamic_cast<TDownloadStatusParameter*>(parameter))
            throw IEFileContainer(
                "The PO object passed to %s is not a TDownloadStatusParameter object", {GetName()});
        second = parameter;
        return;
    default: break;
    }
    auto* list = dynamic_cast<TParameterList*>(parameter);
    if (!list) throw IEFileContainer("DoInformationEventControl--PO is not a TList object");
    if (list->Items.size() < 2)
        throw IEFileContainer("DoInformationEventControl--Not engouh parameters for status event");
    if (!dynamic_cast<TCustomInstallFile*>(list->Items[0]))
        throw IEFileContainer("DoInformationEventControl says bad first parameter");
    file = list->Items[0];
    second = list->Items[1];
    if (code == scNewDisk) {
        if (!dynamic_cast<TDiskParameter*>(second))
            throw IEFileContainer("DoInformationEventControl says bad %d parameter", {2});
    } else if (!dynamic_cast<TFileStatusParameter*>(second)) {
        throw IEFileContainer("DoInformationEventControl says bad second parameter");
    }
}

void TFileContainer::DoInformationEventControl(TObject* sender, int code, TObject* parameter) {
    if (FAction != faIdle) {
        TObject* file = nullptr;
        TObject* second = nullptr;
        switch (code) {
        case scReplacing:
            CheckStatusParameter(code, parameter, file, second);
            DoReplacing(file);
            break;
        case scStatusCopying:
        case scStatusPacking:
        case scStatusExtracting: {
            CheckStatusParameter(code, parameter, file, second);
            auto* status = static_cast<TFileStatusParameter*>(second);
            int64_t done = FDone + status->Bytes;
            int percent = PercentOf(done, FTotal, status->Finished);
            status->TotalDone = done;
            status->OverallPercent = percent;
            DoStatus(file, percent, status);
            if (status->Finished && FAction >= faCompress && FAction <= faHandOver)
                FDone += static_cast<TCustomInstallFile*>(file)->GetFileSize();
            break;
        }
        case scNewDisk:
            CheckStatusParameter(code, parameter, file, second);
            DoNewDisk(file, static_cast<TDiskParameter*>(second),
                      static_cast<TParameterList*>(parameter));
            break;
        case scDownload: {
            CheckStatusParameter(code, parameter, file, second);
            auto* status = static_cast<TDownloadStatusParameter*>(second);
            if (OnDataReceived) OnDataReceived(sender, "", 0, status->Received, status->Total, nullptr);
            BroadcastEvent(this, ieDownloadStatus, status);
            break;
        }
        case scFileSkipped:
        case scFileNotCopied: {
            CheckStatusParameter(code, parameter, file, second);
            auto* skipped = static_cast<TCustomInstallFile*>(file);
            FDone += skipped->GetFileSize();
            TFileStatusParameter status;
            status.FileName = skipped->GetName();
            status.Percent = 100;
            status.Bytes = skipped->GetFileSize();
            status.Finished = true;
            status.TotalDone = FDone;
            status.OverallPercent = PercentOf(FDone, FTotal, true);
            DoStatus(file, status.OverallPercent, &status);
            break;
        }
        default: break;
        }
    }
    TFileRelated::DoInformationEventControl(sender, code, parameter);
}

void TFileContainer::DoNewDisk(TObject*, TDiskParameter* disk, TParameterList* list) {
    if (OnNewDisk) OnNewDisk(this, disk->DiskNumber, disk->Path);
    BroadcastEvent(this, ieChangeDisk, list);
}

void TFileContainer::DoReplacing(TObject* file) {
    if (OnReplacing) OnReplacing(this, file);
    BroadcastEvent(this, ieReplacingFile, file);
}

void TFileContainer::DoStatus(TObject*, int percent, TFileStatusParameter* status) {
    if (OnStatus) OnStatus(this, percent, status);
    BroadcastEvent(this, ieFileStatus, status);
}

int64_t TFileContainer::GetFilesSize(bool all, bool deep) {
    int64_t total = 0;
    for (TInstallContainer* c : FChildren) {
        if (!all && !c->IsIncluded()) continue;
        if (auto* file = dynamic_cast<TCustomInstallFile*>(c)) total += file->GetFileSize();
        else if (auto* sub = dynamic_cast<TFileContainer*>(c); sub && deep)
            total += sub->GetFilesSize(all, deep);
    }
    return total;
}

int64_t TFileContainer::GetArchiveSize(bool all) {
    int64_t total = 0;
    for (TInstallContainer* c : FChildren) {
        if (!all && !c->IsIncluded()) continue;
        if (auto* file = dynamic_cast<TCustomInstallFile*>(c)) total += file->GetStoredSize();
        else if (auto* sub = dynamic_cast<TFileContainer*>(c)) total += sub->GetArchiveSize(all);
    }
    return total;
}

void TFileContainer::PerformAction(int action) {
    FAction = action;
    TScopeExit clear([this] { FAction = faIdle; });
    switch (action) {
    case faCompress: Compress(0); break;
    case faInstall: Process(); break;
    case faGather: GatherFileInformation(); break;
    default: break; // packing is the build side's; no handler object is set for action 4
    }
}

namespace {
// The settings of a child that the compress pass changes for its packing.
struct TSavedPackSettings {
    TFileRelated* Child;
    TlzhCommand Add;
    std::string ArchiveFile;
    TCustomPathSpecifier* ArchiveType;
    bool Include;
    explicit TSavedPackSettings(TFileRelated* c)
        : Child(c), Add(c->GetAddToArchive()), ArchiveFile(c->GetArchiveFile()),
          ArchiveType(c->GetArchiveFileType()), Include(c->GetInclude()) {}
    void Restore() {
        Child->SetAddToArchive(Add);
        Child->SetArchiveFileType(ArchiveType);
        Child->SetArchiveFile(ArchiveFile);
        Child->SetInclude(Include);
    }
};

// Points a child at an archive path of its own, without a specifier.
void PackInto(TFileRelated* child, TlzhCommand add, const std::string& archive) {
    child->SetAddToArchive(add);
    child->SetArchiveFileType(nullptr);
    child->SetArchiveFile(archive);
}
} // namespace

void TFileContainer::Compress(int options) {
    if ((options & 8) && (options & 16))
        throw IEFileContainer("Cannot pass both coForceNetFilesLocal and coForceFilesNet to Compress");
    FAction = faCompress;
    TScopeExit idle([this] { FAction = faIdle; });
    if (OnBeforeProcess) OnBeforeProcess(this);
    if (FInclude) {
        ReportUp(scContainerStart, nullptr);
        ReadFileInformation();
        FTotal = GetFilesSize((options & 32) != 0, true);
        FDone = 0;
        const bool forceLocal = (options & 8) != 0, forceNet = (options & 16) != 0;
        std::string archive = GetArchivePath();
        std::string archiveDir = RemoveTrailingBackslash(WinParentDir(NormalizeWinPath(archive)));
        auto ownArchive = [&](TComponent* c) { return archiveDir + "\\" + c->GetName() + ".1"; };
        // A net container packs into "<Name>.1", the name its download asks for; its
        // children joining it follow through the archive specifier.
        TCustomPathSpecifier* savedType = FArchiveFileType;
        std::string savedFile = FArchiveFile;
        TScopeExit restoreOwn([&] {
            SetArchiveFileType(savedType);
            FArchiveFile = savedFile;
        });
        if ((FNet || forceNet) && !forceLocal) {
            archive = ownArchive(this);
            SetArchiveFileType(nullptr);
            FArchiveFile = archive;
        }
        if (FAddToArchive != lzcOnlyAdd) {
            std::string old = archive.empty() ? archive : ChangeWinFileExt(archive, ".1");
            try {
                if (!old.empty() && WinFileExists(old)) WinDeleteFile(old);
            } catch (const EWinError&) {
                throw IEFileContainer("%s cannot delete the archive file %s", {GetName(), old});
            }
        }
        std::string installArchiveDir = archiveDir;
        if (TCustomInstall* install = CurrentInstall())
            installArchiveDir =
                RemoveTrailingBackslash(WinParentDir(NormalizeWinPath(install->GetArchivePath())));
        std::vector<TInstallContainer*> children = FChildren;
        for (TInstallContainer* c : children) {
            auto* child = dynamic_cast<TFileRelated*>(c);
            if (!child) continue;
            TSavedPackSettings saved(child);
            TScopeExit restore([&] { saved.Restore(); });
            if ((options & 32) && !child->GetInclude()) child->SetInclude(true);
            auto* file = dynamic_cast<TCustomInstallFile*>(child);
            bool net = (child->GetNet() || forceNet) && !forceLocal;
            TCustomPathSpecifier* type = child->GetArchiveFileType();
            if (net && child->GetNetLocation()) {
                PackInto(child, lzcOverwrite, ownArchive(child));
            } else if (net) {
                PackInto(child, lzcOnlyAdd,
                         file && file->KeepsOwnArchive() ? ownArchive(child) : archive);
            } else if (dynamic_cast<TpsContainerArchiveFile*>(type)) {
                child->SetAddToArchive(lzcOnlyAdd);
            } else if (dynamic_cast<TpsInstallSource*>(type)) {
                PackInto(child, lzcOverwrite, installArchiveDir + "\\" + child->GetArchiveFile());
            } else if ((options & 2) && !Trim(child->GetArchiveFile()).empty()) {
                PackInto(child, lzcOverwrite, archiveDir + "\\" + child->GetArchiveFile());
            } else if (Trim(child->GetArchivePath()).empty()) {
                PackInto(child, lzcOnlyAdd, archive);
            }
            if (file) file->Compress((options & 32) != 0);
            else if (auto* sub = dynamic_cast<TFileContainer*>(child)) sub->Compress(options);
        }
    }
    if (OnAfterProcess) OnAfterProcess(this);
    ReportUp(scContainerEnd, nullptr);
    FAction = faIdle;
    BroadcastEvent(this, ieCopyEnded, nullptr);
}

void TFileContainer::GatherFileInformation() {
    ReadFileInformation();
    for (size_t i = 0; i < FChildren.size(); ++i)
        if (auto* sub = dynamic_cast<TFileContainer*>(FChildren[i])) sub->GatherFileInformation();
}

void TFileContainer::ClearFiles() {
    for (size_t i = FChildren.size(); i-- > 0;)
        if (i < FChildren.size() && dynamic_cast<TCustomInstallFile*>(FChildren[i]))
            delete FChildren[i];
}

std::string TFileContainer::GetDownloadedArchivePath() {
    if (HasLocalNetFile()) return FLocalNetFile;
    return DownloadFromNet();
}

void TFileContainer::ReadArchiveInfo() {
    AppServices().SetHourglass(true);
    TScopeExit cursor([] { AppServices().SetHourglass(false); });
    for (size_t i = 0; i < FChildren.size(); ++i) {
        if (auto* file = dynamic_cast<TCustomInstallFile*>(FChildren[i])) file->ReadInfoFromArchive();
        else if (auto* sub = dynamic_cast<TFileContainer*>(FChildren[i])) sub->ReadArchiveInfo();
    }
}

void TFileContainer::ReadFileInformation() {
    for (size_t i = 0; i < FChildren.size(); ++i)
        if (auto* file = dynamic_cast<TCustomInstallFile*>(FChildren[i])) file->ReadFileInformation();
}

bool TFileContainer::NeedsNetArchive() {
    TCustomInstall* install = CurrentInstall();
    if (!install) return false;
    TDistributeType type = install->GetDistributeType();
    return type == dtWeb || (type == dtTraditionalNet && FNet);
}

void TpsFileContainer::GetDescription(std::string& text) {
    text = FFileContainer ? Format("Path of the <%s> directory", {FFileContainer->GetName()})
                          : std::string("Unspecified");
}

void TpsFileContainer::GetPath(TComponent*, std::string& path) {
    path = FFileContainer ? FFileContainer->GetDestinationPath() : std::string();
}

// ---- groups, directories, files ----

void TCustomInstallGroup::CheckContainer(TInstallContainer* container) {
    if (container && !dynamic_cast<TCustomInstall*>(container) &&
        !dynamic_cast<TCustomInstallGroup*>(container))
        throw IEInstallGroup("A TInstallGroup component can only be contained by a TInstall, or "
                             "another TInstallGroup component");
}

void TCustomInstallGroup::SetContainer(TInstallContainer* container) {
    TFileContainer::SetContainer(container ? container : CurrentInstall());
}

void TCustomInstallGroup::Loaded() {
    if (!FContainer && CurrentInstall()) TFileContainer::SetContainer(CurrentInstall());
    TFileContainer::Loaded();
}

void TInstallDirectory::RemoveMissingFiles() {
    for (size_t i = FChildren.size(); i-- > 0;) {
        if (i >= FChildren.size()) continue;
        auto* file = dynamic_cast<TCustomInstallFile*>(FChildren[i]);
        if (file && !file->SourceFileExists()) delete file;
    }
}

TCustomInstallFile::TCustomInstallFile(TComponent* owner) : TFileRelated(owner) {
    FNet = false;
    auto& ids = FileIds();
    int id = 0;
    while (id < MaxFileIds && ids.test(static_cast<size_t>(id)))
        ++id;
    // Every slot taken: a shared id would make two files one entry of the archive.
    if (id == MaxFileIds)
        throw IECustomInstallFile("No file id is free: a script holds at most %d files",
                                  {MaxFileIds});
    FUniqueID = id;
    ids.set(static_cast<size_t>(id));
    Files().push_back(this);
}

TCustomInstallFile::~TCustomInstallFile() {
    auto& files = Files();
    files.erase(std::remove(files.begin(), files.end(), this), files.end());
    auto& retry = RetryRegisterList();
    retry.erase(std::remove(retry.begin(), retry.end(), this), retry.end());
    bool shared = std::any_of(files.begin(), files.end(),
                              [this](TCustomInstallFile* f) { return f->FUniqueID == FUniqueID; });
    if (!shared && FUniqueID >= 0 && FUniqueID < MaxFileIds)
        FileIds().reset(static_cast<size_t>(FUniqueID));
}

void TCustomInstallFile::SetUniqueID(int id) {
    if (id < 0 || id >= MaxFileIds)
        throw IECustomInstallFile(Format("The file id %d of %s is outside 0..1999", {id, GetName()}));
    if (!IsLoading()) return;
    if (FUniqueID == id) return;
    bool shared = std::any_of(Files().begin(), Files().end(), [this](TCustomInstallFile* f) {
        return f != this && f->FUniqueID == FUniqueID;
    });
    if (!shared) FileIds().reset(static_cast<size_t>(FUniqueID));
    FUniqueID = id;
    FileIds().set(static_cast<size_t>(id));
}

void TCustomInstallFile::Loaded() {
    TFileRelated::Loaded();
    // Two files under one id would be one entry of the archive.
    for (TCustomInstallFile* f : Files())
        if (f != this && f->FUniqueID == FUniqueID)
            throw IECustomInstallFile("The file id %d of %s is already taken by %s",
                                      {FUniqueID, GetName(), f->GetName()});
}

void TCustomInstallFile::CheckContainer(TInstallContainer* container) {
    if (container && !dynamic_cast<TFileContainer*>(container))
        throw IECustomInstallFile("The following TInstallFile component %s requires the Container "
                                  "property to be a component descended from the TFileContainer "
                                  "component",
                                  {GetName()});
}

} // namespace zan
