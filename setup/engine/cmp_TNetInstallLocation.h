// The network install location: downloads one remote file at a time into a local file over FTP
// or HTTP. The internet library is libcurl, loaded by name at first use (the machine's setting
// "Library" of [Network], default "libcurl.so.4"), so that the setup program starts without it;
// its entry points are reported under the names of the Windows internet calls they stand for.
//
// One curl handle per location is kept across files, so the connection is reused. Host names
// resolve through a resolver of our own (a literal address; the machine's [Resolver] table when
// it has entries; else the system's resolver) and the answer is handed to curl, which never
// resolves a name itself and never uses a proxy. Hostname may carry ":port". HTTP redirects are
// followed (5 at most, to http only, each new host resolved the same way). A status of 400 and
// above is "file not found". A failed download deletes its local file.
//
// Failures raise the ENIL family; their messages name the Windows internet error, the host and
// the server's last response.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "setup/engine/InstallExceptions.h"
#include "setup/engine/cmp_TInstallContainer.h"

namespace zan {

ZAN_EXCEPTION_CLASS(ENIL, Exception);
ZAN_EXCEPTION_CLASS(ENIL_OpenSession, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_OpenService, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_FailDataQuery, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_ReadFile, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_FileNotFound, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_FTP, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_FTPSetDir, ENIL_FTP);
ZAN_EXCEPTION_CLASS(ENIL_FTPOpenFile, ENIL_FTP);
ZAN_EXCEPTION_CLASS(ENIL_FTPCloseFile, ENIL_FTP);
ZAN_EXCEPTION_CLASS(ENIL_HTTP, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_HTTPOpenFile, ENIL_HTTP);
ZAN_EXCEPTION_CLASS(ENIL_HTTPSendRequest, ENIL_HTTP);
ZAN_EXCEPTION_CLASS(IENetList, ENIL);
ZAN_EXCEPTION_CLASS(ENIL_WriteDestFile, Exception);
ZAN_EXCEPTION_CLASS(ENIL_FailLoadWININET, Exception);
ZAN_EXCEPTION_CLASS(ENIL_FailLoadDLLProc, Exception);

// Windows internet error codes the location reports.
enum : uint32_t {
    ERROR_INVALID_HANDLE = 6,
    ERROR_INTERNET_TIMEOUT = 12002,
    ERROR_INTERNET_EXTENDED_ERROR = 12003,
    ERROR_INTERNET_INTERNAL_ERROR = 12004,
    ERROR_INTERNET_INVALID_URL = 12005,
    ERROR_INTERNET_NAME_NOT_RESOLVED = 12007,
    ERROR_INTERNET_INCORRECT_PASSWORD = 12014,
    ERROR_INTERNET_LOGIN_FAILURE = 12015,
    ERROR_INTERNET_OPERATION_CANCELLED = 12017,
    ERROR_INTERNET_CANNOT_CONNECT = 12029,
    ERROR_INTERNET_CONNECTION_ABORTED = 12030,
    ERROR_INTERNET_CONNECTION_RESET = 12031,
    ERROR_HTTP_HEADER_NOT_FOUND = 12150,
    ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152,
};

// The published constant name of a Windows internet error code; "Unregistered error code" for
// any other.
std::string NetErrorName(uint32_t code);

enum TInternetProtocol : uint8_t { ipFTP, ipHTTP };

class TCustomLoginInformation : public TObject {
public:
    ZAN_CLASS(TCustomLoginInformation)
    void Assign(const TCustomLoginInformation& source);
    // Anonymous: a host is given; named: any of host, password and user name is given.
    bool IsUsable() const;

    bool Anonymous = true;
    std::string Directory;
    std::string Hostname;
    std::string Password;
    TInternetProtocol Protocol = ipHTTP;
    std::string Username;
};

class TLoginInformation : public TCustomLoginInformation {
public:
    ZAN_CLASS(TLoginInformation)
};

using TNotifyEvent = std::function<void(TObject* sender)>;
using TAfterDownloadEvent = std::function<void(TObject* sender, bool aborted)>;

// Resolves a host name to an address; false when it cannot.
using TNameResolver = std::function<bool(const std::string& host, std::string& address)>;
// Installs a resolver (an empty function restores the default one).
void SetNameResolver(TNameResolver resolver);
// The default resolver: a literal IPv4 or IPv6 address as it is; the machine's [Resolver]
// table when it has entries (a name not listed does not resolve); else the system's resolver.
bool DefaultResolveName(const std::string& host, std::string& address);

class TCustomNetInstallLocation : public TComponent {
public:
    explicit TCustomNetInstallLocation(TComponent* owner);
    ~TCustomNetInstallLocation() override;
    ZAN_CLASS(TCustomNetInstallLocation)

    // Loads the internet library and its entry points (once).
    virtual void LoadLibrary();
    virtual void AssignLoginInformation(const TCustomLoginInformation& source);
    // Opens the session and the connection when not open; FTP changes to Directory.
    virtual void Connect();
    // Downloads RemoteName (relative to Directory) into LocalName, replacing it.
    virtual void GetFile(const std::string& remoteName, const std::string& localName);
    void Disconnect();

    TLoginInformation& LoginInformation() { return FLogin; }
    bool GetLibraryLoaded() const;
    bool GetConnected() const;
    // The last server response ("" when none).
    std::string LastResponse() const;

    TNotifyEvent OnBeforeConnect;
    TNotifyEvent OnAfterConnect;
    TNotifyEvent OnBeforeDownload;
    TAfterDownloadEvent OnAfterDownload;
    TDataReceivedEvent OnDataReceived;
    // The second data event: the install object downloading through this location.
    TDataReceivedEvent OnDataReceivedInternal;

private:
    struct TImpl;
    friend struct TImpl;
    TLoginInformation FLogin;
    std::unique_ptr<TImpl> FImpl;
};

class TNetInstallLocation : public TCustomNetInstallLocation {
public:
    explicit TNetInstallLocation(TComponent* owner) : TCustomNetInstallLocation(owner) {}
    ZAN_CLASS(TNetInstallLocation)
};

class TCustomNetInstallLocationList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    TCustomNetInstallLocation* Items(int index) const;
    // IENetList "Cannot add a blank location to the global net location list" for nil.
    void Add(TCustomNetInstallLocation* location);
    void Remove(TCustomNetInstallLocation* location);

private:
    std::vector<TCustomNetInstallLocation*> FItems;
};

// Every live location, and the location whose connection is being made or used.
TCustomNetInstallLocationList& NetLocationList();
TCustomNetInstallLocation* CurrentNetLocation();

} // namespace zan
