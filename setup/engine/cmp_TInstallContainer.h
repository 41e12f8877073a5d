// The install script model. An installation is a tree of install containers under the one
// install component: directories and groups (file containers), files, registry writers, dialog
// components and managers. Children are kept sorted by their registered type, which also selects
// the install phase an object runs in. Install events travel down the tree (BroadcastEvent, to
// children of type 2000 and above); status reports travel up the container chain
// (DoInformationEventControl, codes 1001-1016) and are acted on by the file containers that are
// busy.
//
// Scripts are C++ code: a builder creates the components with their design values while they
// are loading (SetLoading(true)), then calls Loaded on each in creation order. Every live
// container is in a process-wide list in creation order; every live file in the file list.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/StringList.h"
#include "setup/engine/cmp_TCrvnCompress.h"
#include "setup/engine/cmp_TPathSpecifier.h"
#include "setup/engine/routines_API.h"

namespace zan {

class TCustomPathSpecifier;
class TCustomNetInstallLocation;
class TFileContainer;
class TCustomInstallFile;
class TpsFileContainer;

enum TInstallType : uint8_t { itFull, itDefault, itCompact, itCustom };

// A small set of enumeration values, one bit each.
template <typename E, typename B>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> items) {
        for (E e : items)
            FBits = static_cast<B>(FBits | (B(1) << e));
    }
    constexpr B Bits() const { return FBits; }
    constexpr bool Contains(E e) const { return (FBits >> e) & 1u; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool operator==(const TEnumSet&) const = default;

private:
    B FBits = 0;
};

// Install types, stored as the bits itFull 1, itDefault 2, itCompact 4, itCustom 8.
using TInstallTypeSet = TEnumSet<TInstallType, uint8_t>;
// Windows versions (TOSVerType members).
using TOSVerSet = TEnumSet<TOSVerType, uint16_t>;

inline constexpr TOSVerSet AllWindowsVersions{oswin95, oswinNT, oswin2K, oswin98, oswinME, oswinXP};

enum TDistributeType : uint8_t { dtTraditional, dtWeb, dtTraditionalNet };

// Registered types: the order of children and the install phase of an object kind.
enum : int32_t {
    rtInstallGroup = 500,
    rtFileContainer = 1000,
    rtInstallFile = 2000,
    rtRegistryWriter = 8500,
    rtDialog = 9000,
};
// True for the type codes of the typed install phases (2750 ... 9054): objects of these types
// run in their phase, never in the file pass.
bool IsPhaseType(int32_t type);

// Install event codes (BroadcastEvent).
enum : int {
    ieStartOfRun = -986,
    ieBeforeReadArchiveInfo = -984,
    ieAfterReadArchiveInfo = -983,
    ieBeforeInstall = -980,
    ieGoodInstallNotify = -995,
    ieGoodInstallPages = -979,
    ieBadInstallNotify = -994,
    ieBadInstallPages = -978,
    ieRebootNeeded = -987,
    ieReplacingFile = -997,
    ieFileStatus = -998,
    ieCopyEnded = -996,
    ieChangeDisk = -993,
    ieContainerInstallStart = -992,
    ieDownloadStatus = -988,
    ieStatusText = -974,
    ieStatusClosed = -973,
    ieBeforeProcess = -990,
    ieProcess = -999,
    ieAfterProcess = -989,
};

// Status report codes (DoInformationEventControl, upward).
enum : int {
    scFileInstalled = 1001,
    scBeforeInstall = 1002,
    scReplacing = 1003,
    scBeforePacking = 1004,
    scAfterPacking = 1005,
    scBeforeCopy = 1006,
    scAfterCopy = 1007,
    scStatusCopying = 1008,
    scStatusPacking = 1009,
    scStatusExtracting = 1010,
    scNewDisk = 1011,
    scContainerStart = 1012,
    scContainerEnd = 1013,
    scDownload = 1014,
    scFileSkipped = 1015,
    scFileNotCopied = 1016,
};

// File container actions.
enum : int { faIdle = 0, faCompress = 1, faInstall = 2, faGather = 3, faHandOver = 4 };

// Event parameter objects.
class TMessageParameter : public TObject {
public:
    explicit TMessageParameter(std::string text = "") : Text(std::move(text)) {}
    ZAN_CLASS(TMessageParameter)
    std::string Text;
};

class TDiskParameter : public TObject {
public:
    ZAN_CLASS(TDiskParameter)
    int DiskNumber = 0;
    std::string Path;
    bool Answered = false; // set by the page (or handler) that asked for the disk
};

// The status of one file while the archive works on it. The archive statistics of the file
// join these values with the archive component.
class TFileStatusParameter : public TObject {
public:
    ZAN_CLASS(TFileStatusParameter)
    std::string FileName;
    int Percent = 0;          // of this file
    int64_t Bytes = 0;        // of this file done
    int64_t TotalDone = 0;    // of the container done
    int OverallPercent = 0;   // of the container
    bool Finished = false;    // the file is complete
};

class TDownloadStatusParameter : public TObject {
public:
    ZAN_CLASS(TDownloadStatusParameter)
    std::string FileName; // the remote file being downloaded
    int64_t Received = 0;
    int64_t Total = 0;
    int Percent = 0;
};

// A list of parameters ([file, parameter] for the status and new-disk reports).
class TParameterList : public TObject {
public:
    ZAN_CLASS(TParameterList)
    std::vector<TObject*> Items;
};

// The percentage of done in total, rounded half to even; 0 of 0 is 100 when finished, else 0.
int PercentOf(int64_t done, int64_t total, bool finished);

class TInstallContainer;
using TInstallContainerNotifyEvent = std::function<void(TInstallContainer* sender)>;

class TInstallContainer : public TComponent {
public:
    explicit TInstallContainer(TComponent* owner);
    ~TInstallContainer() override;
    ZAN_CLASS(TInstallContainer)

    virtual int GetContainerCount() const;
    virtual TInstallContainer* GetContainer(int n) const;
    virtual void SetDestDir(const std::string& dir);
    virtual void SetDestDirType(TCustomPathSpecifier* specifier);
    // Another container is going away: drop it from the children.
    virtual void ContainerRemoved(TInstallContainer* container);
    virtual void ShowStatus(const std::string& text);
    virtual void DoInformationEventControl(TObject* sender, int code, TObject* parameter);
    virtual void HandleEvent(TObject* sender, int code, TObject* parameter);
    // The specifier's path for this object followed by DestDir, without a trailing "\".
    virtual std::string GetDestinationPath();
    // IEInstallContainer "Class must declare a registered type" here.
    virtual int32_t RegisteredType() const;
    virtual void AddChild(TInstallContainer* object);
    virtual void Process();
    virtual void BeforeProcessHook() {}
    virtual void ProcessChildren();
    virtual bool IsIncluded() const;
    virtual void ContinueUnfinished();
    virtual void RemoveChild(TInstallContainer* object);
    virtual void WriteUninstallInformation(const std::string& key);

    // HandleEvent of every child of type 2000 and above.
    void BroadcastEvent(TObject* sender, int code, TObject* parameter);
    void CloseStatus();
    // The index-th child of that registered type; IEInstallContainer when there is none.
    TInstallContainer* Comp(int index, int32_t componentType) const;
    int CountOfClass(int32_t componentType) const;
    // IEInstallContainer for an index outside 0..count-1.
    TInstallContainer* GetChild(int index) const;
    int ChildCount() const { return static_cast<int>(FChildren.size()); }
    // Sets the running install type on this object and the whole tree below it.
    void SetInstallType(TInstallType type);
    TInstallType GetRunningType() const { return FRunningType; }
    int GetFileCount() const;
    // The first directory of the library search path holding "Kovrix.TXT"; with raiseOnFailure
    // IENoCorvanePath when none does, else "".
    std::string FindLibraryDirectory(bool raiseOnFailure);
    bool IsDesigning() const { return GetComponentState().Contains(csDesigning); }
    bool IsLoading() const { return GetComponentState().Contains(csLoading); }

    const std::string& GetDestDir() const { return FDestDir; }
    TCustomPathSpecifier* GetDestDirType() const { return FDestDirType; }
    bool GetInclude() const { return FInclude; }
    void SetInclude(bool include) { FInclude = include; }
    TInstallTypeSet GetInstallTypes() const { return FInstallTypes; }
    // An empty set stores {itFull}.
    void SetInstallTypes(TInstallTypeSet types);
    int GetOrder() const { return FOrder; }
    void SetOrder(int order) { FOrder = order; }
    TOSVerSet GetOS() const { return FOS; }
    void SetOS(TOSVerSet os) { FOS = os; }
    bool GetUninstall() const { return FUninstall; }
    void SetUninstall(bool uninstall) { FUninstall = uninstall; }
    bool GetProcessed() const { return FProcessed; }
    void SetProcessed(bool processed) { FProcessed = processed; }

    TStringList Description;
    TInstallContainerNotifyEvent OnBeforeProcess;
    TInstallContainerNotifyEvent OnAfterProcess;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    // The path of specifier for this object followed by dir, without a trailing "\".
    std::string JoinSpecifierPath(TCustomPathSpecifier* specifier, const std::string& dir);
    // Joins the global container list (creation order); a second call changes nothing.
    void Register();
    std::vector<TInstallContainer*> FChildren;
    std::string FDestDir;
    TCustomPathSpecifier* FDestDirType = nullptr;
    bool FInclude = true;
    TInstallTypeSet FInstallTypes{itFull, itDefault, itCompact, itCustom};
    int FOrder = -1;
    TOSVerSet FOS = AllWindowsVersions;
    bool FUninstall = true;
    bool FProcessed = false;
    TInstallType FRunningType = itFull;
};

// Every live container in creation order.
const std::vector<TInstallContainer*>& InstallContainerList();

class TInstallObject : public TInstallContainer {
public:
    explicit TInstallObject(TComponent* owner) : TInstallContainer(owner) {}
    ~TInstallObject() override;
    ZAN_CLASS(TInstallObject)

    TInstallContainer* GetContainerObject() const { return FContainer; }
    virtual void SetContainer(TInstallContainer* container);
    // Runs only during a run of the install component and once the container was processed.
    void Process() override;
    // Also forgets a container that goes away.
    void ContainerRemoved(TInstallContainer* container) override;
    // Reports go on to the container.
    void DoInformationEventControl(TObject* sender, int code, TObject* parameter) override;
    // Settles the specifiers left unset by the script.
    void Loaded() override;

protected:
    // The group and file rules on a new container (nothing here).
    virtual void CheckContainer(TInstallContainer* container);
    TInstallContainer* FContainer = nullptr;
};

// (Sender, remote file name, chunk size, running total, file size, chunk).
using TDataReceivedEvent = std::function<void(TObject* sender, const std::string& fileName,
                                              int64_t bytes, int64_t totalBytes,
                                              int64_t fileSize, const char* buffer)>;

class TFileRelated : public TInstallObject {
public:
    explicit TFileRelated(TComponent* owner) : TInstallObject(owner) {}
    ZAN_CLASS(TFileRelated)

    void SetContainer(TInstallContainer* container) override;
    void Loaded() override;

    virtual void DoDataReceived(TObject* sender, const std::string& fileName, int64_t bytes,
                                int64_t totalBytes, int64_t fileSize, const char* buffer);
    // Fetches "<Name>.1" through the nearest net location into a new temp file "*.1" and
    // records it; answers its path.
    virtual std::string DownloadFromNet();
    // A recorded local copy that exists.
    virtual bool HasLocalNetFile();
    virtual void StoreLocalNetFile(const std::string& path);
    // Stores an empty name while the specifier is the container's or the main archive.
    virtual void SetArchiveFile(const std::string& file);
    virtual void SetArchiveFileType(TCustomPathSpecifier* specifier);
    virtual void SetNet(bool net) { FNet = net; }
    virtual void SetNetLocation(TCustomNetInstallLocation* location);
    virtual std::string GetArchivePath();

    // How packing treats the archive: written anew, or added to.
    TlzhCommand GetAddToArchive() const { return FAddToArchive; }
    void SetAddToArchive(TlzhCommand mode) { FAddToArchive = mode; }
    const std::string& GetArchiveFile() const { return FArchiveFile; }
    TCustomPathSpecifier* GetArchiveFileType() const { return FArchiveFileType; }
    bool GetNet() const { return FNet; }
    TCustomNetInstallLocation* GetNetLocation() const { return FNetLocation; }
    // The recorded local copy ("" when none).
    std::string GetLocalNetFile();

    TDataReceivedEvent OnDataReceived;

protected:
    void Notification(TComponent* component, TOperation operation) override;
    std::string FArchiveFile;
    TlzhCommand FAddToArchive = lzcOverwrite;
    TCustomPathSpecifier* FArchiveFileType = nullptr;
    bool FNet = true;
    TCustomNetInstallLocation* FNetLocation = nullptr;
    std::string FLocalNetFile;
};

using TAfterInstallObjectsEvent = std::function<void(TObject* sender, bool aborted)>;
using TFileContainerStatusEvent =
    std::function<void(TObject* sender, int percent, TFileStatusParameter* status)>;
using TFileContainerReplacingEvent = std::function<void(TObject* sender, TObject* file)>;
using TFileContainerNewDiskEvent =
    std::function<void(TObject* sender, int diskNumber, std::string& path)>;

// Whether the run's archive work was aborted (the shared archive component's Abort flag; false
// until the archive component answers it).
void SetArchiveAbortQuery(std::function<bool()> query);
bool ArchiveAborted();

class TFileContainer : public TFileRelated {
public:
    explicit TFileContainer(TComponent* owner) : TFileContainer(owner, true) {}
    ~TFileContainer() override;
    ZAN_CLASS(TFileContainer)

    int32_t RegisteredType() const override { return rtFileContainer; }
    // The install pass: the children installed from the container's archive.
    void ProcessChildren() override;
    void DoInformationEventControl(TObject* sender, int code, TObject* parameter) override;

    virtual bool CreatesPathSpecifier() const { return FCreatesSpecifier; }
    virtual void DoNewDisk(TObject* file, TDiskParameter* disk, TParameterList* list);
    virtual void DoReplacing(TObject* file);
    virtual void DoStatus(TObject* file, int percent, TFileStatusParameter* status);
    // Sizes of the (included, unless all) files, with deep those of included sub-containers.
    virtual int64_t GetFilesSize(bool all, bool deep);
    virtual void PerformAction(int action);
    virtual void GatherFileInformation();
    virtual void ClearFiles();
    // Build side: packs the files into their archives. Options: 8 keeps net files local, 16
    // makes every file a net file (not both), 32 packs excluded files too; 2 and 4 are always
    // set by a build.
    virtual void Compress(int options);
    virtual int64_t GetArchiveSize(bool all);
    // The local copy of the container's archive, downloaded when there is none yet.
    virtual std::string GetDownloadedArchivePath();
    int64_t FilesSize() { return GetFilesSize(false, false); }
    int64_t DeepFilesSize() { return GetFilesSize(false, true); }
    virtual void ReadArchiveInfo();
    virtual void ReadFileInformation();
    // A file of this container fetches the container's archive from the net.
    virtual bool NeedsNetArchive();

    int GetAction() const { return FAction; }
    int64_t GetTotal() const { return FTotal; }
    int64_t GetDone() const { return FDone; }
    TpsFileContainer* GetPathSpecifier() const { return FPathSpecifier; }

    TInstallContainerNotifyEvent OnBeforeInstallObjects;
    TAfterInstallObjectsEvent OnAfterInstallObjects;
    TFileContainerStatusEvent OnStatus;
    TFileContainerReplacingEvent OnReplacing;
    TFileContainerNewDiskEvent OnNewDisk;

protected:
    TFileContainer(TComponent* owner, bool createsSpecifier);
    // Every file container but the install component fires OnAfterInstallObjects.
    virtual bool FiresAfterInstallObjects() const { return true; }
    void ReportUp(int code, TObject* parameter);
    void CheckStatusParameter(int code, TObject* parameter, TObject*& file, TObject*& second);
    int FAction = faIdle;
    int64_t FTotal = 0;
    int64_t FDone = 0;
    bool FCreatesSpecifier;
    bool FArchiveInfoRead = false;
    TpsFileContainer* FPathSpecifier = nullptr;
};

// Names the destination of one file container: its path is the container's destination path.
class TpsFileContainer : public TCustomPathSpecifier {
public:
    TpsFileContainer(TComponent* owner, TFileContainer* container)
        : TCustomPathSpecifier(owner), FFileContainer(container) {}
    ZAN_CLASS(TpsFileContainer)
    void GetDescription(std::string& text) override;
    void GetPath(TComponent* component, std::string& path) override;
    TFileContainer* GetFileContainer() const { return FFileContainer; }

private:
    friend class TFileContainer;
    TFileContainer* FFileContainer;
};

struct TInstallGroupDialogOptions {
    bool AllowChangeDir = true;
    bool AllowExcludeInclude = true;
    TStringList Description;
    bool DisplayDirectory = true;
    std::string SmallIcon;
    bool ShowRegardlessOfInclude = true;
};

class TCustomInstallGroup : public TFileContainer {
public:
    explicit TCustomInstallGroup(TComponent* owner) : TFileContainer(owner) {}
    ZAN_CLASS(TCustomInstallGroup)
    int32_t RegisteredType() const override { return rtInstallGroup; }
    // A missing container means the install component.
    void SetContainer(TInstallContainer* container) override;
    void Loaded() override;
    TInstallGroupDialogOptions DialogOptions;

protected:
    void CheckContainer(TInstallContainer* container) override;
};

class TInstallDirectory : public TFileContainer {
public:
    explicit TInstallDirectory(TComponent* owner) : TFileContainer(owner) {}
    ZAN_CLASS(TInstallDirectory)
    // Frees every file component whose source file does not exist.
    virtual void RemoveMissingFiles();
};

// Every live file, and the files whose self-registration is tried again after the file pass.
const std::vector<TCustomInstallFile*>& InstallFileList();
std::vector<TCustomInstallFile*>& RetryRegisterList();
inline constexpr int MaxFileIds = 2000;
bool FileIdUsed(int id);

// The install component's records of the script model: the registry key of this run's install
// record ("" when none is known).
const std::string& InstallRecordKey();
void SetInstallRecordKey(const std::string& key);

} // namespace zan
