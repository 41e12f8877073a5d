#include "setup/engine/cmp_TNetInstallLocation.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <curl/curl.h>
#include <dlfcn.h>
#include <exception>
#include <netdb.h>
#include <sys/socket.h>

#include "host/rtl/ScopeExit.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "setup/engine/AppServices.h"

namespace zan {

namespace {

struct TErrorName {
    uint32_t Code;
    const char* Name;
};

constexpr TErrorName ErrorNames[] = {
    {6, "ERROR_INVALID_HANDLE"},
    {12001, "ERROR_INTERNET_OUT_OF_HANDLES"},
    {12002, "ERROR_INTERNET_TIMEOUT"},
    {12003, "ERROR_INTERNET_EXTENDED_ERROR"},
    {12004, "ERROR_INTERNET_INTERNAL_ERROR"},
    {12005, "ERROR_INTERNET_INVALID_URL"},
    {12006, "ERROR_INTERNET_UNRECOGNIZED_SCHEME"},
    {12007, "ERROR_INTERNET_NAME_NOT_RESOLVED"},
    {12008, "ERROR_INTERNET_PROTOCOL_NOT_FOUND"},
    {12009, "ERROR_INTERNET_INVALID_OPTION"},
    {12010, "ERROR_INTERNET_BAD_OPTION_LENGTH"},
    {12011, "ERROR_INTERNET_OPTION_NOT_SETTABLE"},
    {12012, "ERROR_INTERNET_SHUTDOWN"},
    {12013, "ERROR_INTERNET_INCORRECT_USER_NAME"},
    {12014, "ERROR_INTERNET_INCORRECT_PASSWORD"},
    {12015, "ERROR_INTERNET_LOGIN_FAILURE"},
    {12016, "ERROR_INTERNET_INVALID_OPERATION"},
    {12017, "ERROR_INTERNET_OPERATION_CANCELLED"},
    {12018, "ERROR_INTERNET_INCORRECT_HANDLE_TYPE"},
    {12019, "ERROR_INTERNET_INCORRECT_HANDLE_STATE"},
    {12020, "ERROR_INTERNET_NOT_PROXY_REQUEST"},
    {12021, "ERROR_INTERNET_REGISTRY_VALUE_NOT_FOUND"},
    {12022, "ERROR_INTERNET_BAD_REGISTRY_PARAMETER"},
    {12023, "ERROR_INTERNET_NO_DIRECT_ACCESS"},
    {12024, "ERROR_INTERNET_NO_CONTEXT"},
    {12025, "ERROR_INTERNET_NO_CALLBACK"},
    {12026, "ERROR_INTERNET_REQUEST_PENDING"},
    {12027, "ERROR_INTERNET_INCORRECT_FORMAT"},
    {12028, "ERROR_INTERNET_ITEM_NOT_FOUND"},
    {12029, "ERROR_INTERNET_CANNOT_CONNECT"},
    {12030, "ERROR_INTERNET_CONNECTION_ABORTED"},
    {12031, "ERROR_INTERNET_CONNECTION_RESET"},
    {12036, "ERROR_INTERNET_HANDLE_EXISTS"},
    {12041, "ERROR_INTERNET_MIXED_SECURITY"},
    {12110, "ERROR_FTP_TRANSFER_IN_PROGRESS"},
    {12111, "ERROR_FTP_DROPPED"},
    {12130, "ERROR_GOPHER_PROTOCOL_ERROR"},
    {12131, "ERROR_GOPHER_NOT_FILE"},
    {12132, "ERROR_GOPHER_DATA_ERROR"},
    {12133, "ERROR_GOPHER_END_OF_DATA"},
    {12134, "ERROR_GOPHER_INVALID_LOCATOR"},
    {12135, "ERROR_GOPHER_INCORRECT_LOCATOR_TYPE"},
    {12136, "ERROR_GOPHER_NOT_GOPHER_PLUS"},
    {12137, "ERROR_GOPHER_ATTRIBUTE_NOT_FOUND"},
    {12138, "ERROR_GOPHER_UNKNOWN_LOCATOR"},
    {12150, "ERROR_HTTP_HEADER_NOT_FOUND"},
    {12151, "ERROR_HTTP_DOWNLEVEL_SERVER"},
    {12152, "ERROR_HTTP_INVALID_SERVER_RESPONSE"},
    {12153, "ERROR_HTTP_INVALID_HEADER"},
    {12154, "ERROR_HTTP_INVALID_QUERY_REQUEST"},
    {12155, "ERROR_HTTP_HEADER_ALREADY_EXISTS"},
};

constexpr uint32_t ERROR_INTERNET_OUT_OF_HANDLES = 12001;
constexpr uint32_t ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
constexpr size_t ResponseCap = 3000;
constexpr long ChunkSize = 8192;
constexpr int MaxRedirects = 5;

TNameResolver& Resolver() {
    static TNameResolver resolver;
    return resolver;
}

TCustomNetInstallLocation*& CurrentSlot() {
    static TCustomNetInstallLocation* location = nullptr;
    return location;
}

bool IsUnreserved(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Percent-encodes every byte outside the unreserved set; "\" and "/" become "/".
std::string EncodePath(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (c == '\\' || c == '/') out += '/';
        else if (IsUnreserved(c)) out += static_cast<char>(c);
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string Slashed(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// The WinInet code of a curl failure.
uint32_t WinInetCode(CURLcode code, bool ftp) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_LOGIN_DENIED: return ERROR_INTERNET_INCORRECT_PASSWORD;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_ABORTED_BY_CALLBACK: return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR: return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_GOT_NOTHING: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_WEIRD_SERVER_REPLY:
        return ftp ? ERROR_INTERNET_EXTENDED_ERROR : ERROR_HTTP_INVALID_SERVER_RESPONSE;
    default: return ftp ? ERROR_INTERNET_EXTENDED_ERROR : ERROR_INTERNET_INTERNAL_ERROR;
    }
}

bool IsConnectFailure(CURLcode code) {
    return code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT ||
           code == CURLE_LOGIN_DENIED;
}

// Splits "host[:port]"; false when the host holds anything but letters, digits, "-" and "."
// or the port is no number from 1 to 65535.
bool SplitHost(const std::string& hostname, bool ftp, std::string& host, long& port) {
    host = hostname;
    port = ftp ? 21 : 80;
    if (size_t colon = hostname.rfind(':'); colon != std::string::npos) {
        host = hostname.substr(0, colon);
        std::string digits = hostname.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) return false;
        long value = 0;
        for (char c : digits) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return false;
        port = value;
    }
    if (host.empty()) return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    });
}

} // namespace

std::string NetErrorName(uint32_t code) {
    for (const TErrorName& e : ErrorNames)
        if (e.Code == code) return e.Name;
    return "Unregistered error code";
}

void SetNameResolver(TNameResolver resolver) { Resolver() = std::move(resolver); }

bool DefaultResolveName(const std::string& host, std::string& address) {
    unsigned char buffer[sizeof(in6_addr)];
    if (inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1) {
        address = host;
        return true;
    }
    const TWinEnv& env = CurrentWinEnv();
    if (!env.Resolver.empty()) {
        for (const auto& [name, value] : env.Resolver)
            if (SameName(name, host)) {
                address = value;
                return true;
            }
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
    TScopeExit release([result] { freeaddrinfo(result); });
    char text[INET6_ADDRSTRLEN] = {};
    for (addrinfo* ai = result; ai; ai = ai->ai_next) {
        const void* where = ai->ai_family == AF_INET
                                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr)
                                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr);
        if (inet_ntop(ai->ai_family, where, text, sizeof text)) {
            address = text;
            return true;
        }
    }
    return false;
}

void TCustomLoginInformation::Assign(const TCustomLoginInformation& source) {
    Anonymous = source.Anonymous;
    Directory = source.Directory;
    Hostname = source.Hostname;
    Password = source.Password;
    Protocol = source.Protocol;
    Username = source.Username;
}

bool TCustomLoginInformation::IsUsable() const {
    if (Anonymous) return !Trim(Hostname).empty();
    return !Trim(Hostname).empty() || !Trim(Password).empty() || !Trim(Username).empty();
}

// ---- the library and one transfer ----

struct TCustomNetInstallLocation::TImpl {
    explicit TImpl(TCustomNetInstallLocation* owner) : Owner(owner) {}
    ~TImpl() { Unload(); }

    TCustomNetInstallLocation* Owner;
    void* Library = nullptr;
    bool GlobalInit = false;
    CURLcode (*GlobalInitFn)(long) = nullptr;
    void (*GlobalCleanupFn)() = nullptr;
    CURL* (*EasyInit)() = nullptr;
    CURLcode (*EasySetopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*EasyPerform)(CURL*) = nullptr;
    void (*EasyCleanup)(CURL*) = nullptr;
    CURLcode (*EasyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
    curl_slist* (*SlistAppend)(curl_slist*, const char*) = nullptr;
    void (*SlistFreeAll)(curl_slist*) = nullptr;

    CURL* Session = nullptr;
    bool Connected = false;
    std::string Host;      // without the port
    long Port = 0;
    std::string BaseUrl;   // scheme://host:port
    curl_slist* ResolveList = nullptr;
    curl_slist* Headers = nullptr;
    uint32_t LastError = 0;
    std::string Response;
    std::string RemoteName, LocalName;

    // Per transfer.
    TWinFsFile* Out = nullptr;
    int64_t Total = 0;
    int64_t FileSize = 0;
    bool SizeKnown = false;
    bool Discard = false;
    bool BodyStarted = false;
    std::exception_ptr Failure;

    bool Ftp() const { return Owner->FLogin.Protocol == ipFTP; }

    template <typename T>
    void Symbol(T& fn, const char* winInetName, const char* symbol) {
        fn = reinterpret_cast<T>(dlsym(Library, symbol));
        if (!fn)
            throw ENIL_FailLoadDLLProc(
                Format("Failed to load the procedure %s from WININET.DLL", {winInetName}));
    }

    void Load() {
        if (Library) return;
        // Kept mapped after dlclose: unmapping the library and its TLS-using dependencies
        // leaves dangling thread-local blocks behind (the leak checker's exit scan crashed on
        // them).
        Library = dlopen(CurrentWinEnv().InternetLibrary.c_str(),
                         RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!Library)
            throw ENIL_FailLoadWININET(
                "Failed to load the Wininet.dll. If this is a hybrid installation, you might want "
                "to include the WININET.DLL file in the PresetupFiles property of the TInstall "
                "component");
        try {
            // Each Windows internet call and the curl functions that stand in for it.
            Symbol(EasyGetinfo, "InternetGetLastResponseInfo", "curl_easy_getinfo");
            Symbol(GlobalInitFn, "InternetOpen", "curl_global_init");
            Symbol(EasyInit, "InternetOpen", "curl_easy_init");
            Symbol(EasySetopt, "InternetConnect", "curl_easy_setopt");
            Symbol(SlistAppend, "InternetConnect", "curl_slist_append");
            Symbol(EasyPerform, "FtpSetCurrentDirectory", "curl_easy_perform");
            Symbol(EasyCleanup, "InternetCloseHandle", "curl_easy_cleanup");
            Symbol(SlistFreeAll, "InternetCloseHandle", "curl_slist_free_all");
            Symbol(GlobalCleanupFn, "InternetCloseHandle", "curl_global_cleanup");
            Symbol(EasyGetinfo, "InternetQueryDataAvailable", "curl_easy_getinfo");
            Symbol(EasyPerform, "InternetReadFile", "curl_easy_perform");
            Symbol(EasySetopt, "FtpOpenFile", "curl_easy_setopt");
            Symbol(EasySetopt, "HttpOpenRequest", "curl_easy_setopt");
            Symbol(EasyPerform, "HttpSendRequest", "curl_easy_perform");
            Symbol(EasyGetinfo, "HttpQueryInfo", "curl_easy_getinfo");
        } catch (...) {
            dlclose(Library);
            Library = nullptr;
            throw;
        }
    }

    void Disconnect() {
        if (Session) EasyCleanup(Session);
        Session = nullptr;
        Connected = false;
        if (ResolveList) SlistFreeAll(ResolveList);
        ResolveList = nullptr;
        if (Headers) SlistFreeAll(Headers);
        Headers = nullptr;
    }

    void Unload() {
        if (!Library) return;
        Disconnect();
        if (GlobalInit) GlobalCleanupFn();
        GlobalInit = false;
        dlclose(Library);
        Library = nullptr;
    }

    // The ENIL text expanded with the error name, the host and the server's last response.
    std::string Decorate(const std::string& text, uint32_t code) {
        LastError = code;
        TCustomNetInstallLocation* current = CurrentSlot() ? CurrentSlot() : Owner;
        std::string response = Response.empty() ? std::string("No server response") : Response;
        return Format("%s. Error message %s. Server %s. Response from server %s",
                      {text, NetErrorName(code), current->FLogin.Hostname, response});
    }

    template <typename E>
    [[noreturn]] void Fail(const std::string& text, uint32_t code) {
        throw E(Decorate(text, code));
    }

    [[noreturn]] void FailConnect(uint32_t code) {
        Fail<ENIL_OpenService>(Format("Cannot connect to host %s", {Owner->FLogin.Hostname}), code);
    }

    void Set(CURLoption option, long value) { EasySetopt(Session, option, value); }
    void Set(CURLoption option, const std::string& value) {
        EasySetopt(Session, option, value.c_str());
    }
    void SetPointer(CURLoption option, const void* value) { EasySetopt(Session, option, value); }

    // Resolves host through the resolver and tells curl its address for port.
    void AddResolved(const std::string& host, long port) {
        std::string address;
        const TNameResolver& resolver = Resolver();
        bool ok = resolver ? resolver(host, address) : DefaultResolveName(host, address);
        if (!ok) FailConnect(ERROR_INTERNET_NAME_NOT_RESOLVED);
        if (address.find(':') != std::string::npos) address = "[" + address + "]";
        std::string entry = host + ":" + IntToStr(port) + ":" + address;
        if (curl_slist* list = SlistAppend(ResolveList, entry.c_str())) ResolveList = list;
        SetPointer(CURLOPT_RESOLVE, ResolveList);
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<TImpl*>(user);
        try {
            std::string line(data, std::min(size * count, ResponseCap - 1));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            // HTTP: the status line of each response; FTP: each reply line of the server.
            if (!line.empty() && (self->Ftp() || line.rfind("HTTP/", 0) == 0)) self->Response = line;
            return size * count;
        } catch (...) {
            self->Failure = std::current_exception();
            return 0;
        }
    }

    static size_t OnData(char* data, size_t size, size_t count, void* user) {
        auto* self = static_cast<TImpl*>(user);
        size_t n = size * count;
        try {
            self->Chunk(data, n);
            return n;
        } catch (...) {
            self->Failure = std::current_exception();
            return 0;
        }
    }

    // One chunk: the running total, both data events, the message pump, the write.
    void Chunk(const char* data, size_t n) {
        if (!SizeKnown) {
            SizeKnown = true;
            long status = 0;
            EasyGetinfo(Session, CURLINFO_RESPONSE_CODE, &status);
            // The body of a redirect is not the file.
            Discard = !Ftp() && status >= 300 && status < 400;
            curl_off_t length = -1;
            EasyGetinfo(Session, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
            FileSize = length > 0 ? static_cast<int64_t>(length) : 0;
        }
        if (Discard || n == 0) return;
        BodyStarted = true;
        Total += static_cast<int64_t>(n);
        int64_t chunk = static_cast<int64_t>(n);
        if (Owner->OnDataReceived)
            Owner->OnDataReceived(Owner, RemoteName, chunk, Total, FileSize, data);
        if (Owner->OnDataReceivedInternal)
            Owner->OnDataReceivedInternal(Owner, RemoteName, chunk, Total, FileSize, data);
        AppServices().ProcessMessages();
        size_t written = 0;
        try {
            written = Out->Write(data, n);
        } catch (const EWinError&) {
        }
        if (written != n)
            throw ENIL_WriteDestFile(Format("%s could not write to the local dest file %s",
                                            {Owner->GetName(), LocalName}));
    }

    void OpenSession() {
        if (Session) return;
        if (!GlobalInit) {
            if (GlobalInitFn(CURL_GLOBAL_DEFAULT) != CURLE_OK)
                Fail<ENIL_OpenSession>("Cannot open internet connection", ERROR_INTERNET_INTERNAL_ERROR);
            GlobalInit = true;
        }
        Session = EasyInit();
        if (!Session) Fail<ENIL_OpenSession>("Cannot open internet connection", ERROR_INTERNET_OUT_OF_HANDLES);
        const TWinEnv& env = CurrentWinEnv();
        Set(CURLOPT_NOSIGNAL, 1L);
        Set(CURLOPT_BUFFERSIZE, ChunkSize);
        Set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(env.ConnectTimeout));
        Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
        Set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(env.StallTimeout));
        // A server that drips a byte now and then never stalls: the whole transfer is bounded.
        Set(CURLOPT_TIMEOUT, static_cast<long>(env.TransferTimeout));
        Set(CURLOPT_NOPROXY, std::string("*"));
        Set(CURLOPT_PROXY, std::string(""));
        Set(CURLOPT_PROTOCOLS_STR, std::string("http,ftp"));
        Set(CURLOPT_FOLLOWLOCATION, 0L);
        Set(CURLOPT_FAILONERROR, 1L);
        EasySetopt(Session, CURLOPT_HEADERFUNCTION, &OnHeader);
        SetPointer(CURLOPT_HEADERDATA, this);
        EasySetopt(Session, CURLOPT_WRITEFUNCTION, &OnData);
        SetPointer(CURLOPT_WRITEDATA, this);
        for (const char* header : {"Accept: */*", "Cache-Control: no-cache", "Pragma: no-cache"})
            if (curl_slist* list = SlistAppend(Headers, header)) Headers = list;
        SetPointer(CURLOPT_HTTPHEADER, Headers);
    }

    void OpenConnection() {
        const TCustomLoginInformation& login = Owner->FLogin;
        if (!SplitHost(login.Hostname, Ftp(), Host, Port)) FailConnect(ERROR_INTERNET_INVALID_URL);
        AddResolved(Host, Port);
        BaseUrl = std::string(Ftp() ? "ftp://" : "http://") + Host + ":" + IntToStr(Port);
        if (!login.Anonymous) {
            Set(CURLOPT_USERNAME, login.Username);
            Set(CURLOPT_PASSWORD, login.Password);
            if (!Ftp()) Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
        Connected = true;
    }

    // The FTP directory URL: "/" when Directory is empty; an absolute directory starts with
    // "%2F" so that the server is asked for it as it is.
    std::string FtpDirUrl() {
        std::string dir = Slashed(Owner->FLogin.Directory.empty() ? "/" : Owner->FLogin.Directory);
        std::string path;
        if (dir[0] == '/') {
            path = "%2F";
            path += EncodePath(dir.substr(1));
        } else {
            path = EncodePath(dir);
        }
        if (!path.empty() && path.back() != '/') path += '/';
        return BaseUrl + "/" + path;
    }

    std::string HttpUrl(const std::string& remoteName) {
        std::string object = Slashed(Owner->FLogin.Directory + "\\") + remoteName;
        std::string path = EncodePath(object);
        if (path.empty() || path[0] != '/') path = "/" + path;
        return BaseUrl + path;
    }

    CURLcode Perform(const std::string& url, bool noBody) {
        Set(CURLOPT_URL, url);
        Set(CURLOPT_NOBODY, noBody ? 1L : 0L);
        if (!noBody && !Ftp()) Set(CURLOPT_HTTPGET, 1L);
        SizeKnown = false;
        Discard = false;
        Failure = nullptr;
        return EasyPerform(Session);
    }

    void ChangeDirectory() {
        CURLcode code = Perform(FtpDirUrl(), true);
        if (Failure) std::rethrow_exception(Failure);
        if (code == CURLE_OK) return;
        // Only a refused CWD is the directory's fault; anything before it is the connection's.
        if (code != CURLE_REMOTE_ACCESS_DENIED) {
            Connected = false;
            FailConnect(WinInetCode(code, true));
        }
        std::string dir = Slashed(Owner->FLogin.Directory);
        Fail<ENIL_FTPSetDir>(Format("Cannot set directory on server to %s", {dir.empty() ? "/" : dir}),
                             WinInetCode(code, true));
    }

    // Downloads into the open local file; raises the ENIL failures.
    void Transfer() {
        bool ftp = Ftp();
        std::string url = ftp ? FtpDirUrl() + EncodePath(RemoteName) : HttpUrl(RemoteName);
        for (int redirects = 0;; ++redirects) {
            CURLcode code = Perform(url, false);
            if (Failure) std::rethrow_exception(Failure);
            if (code != CURLE_OK) FailTransfer(code);
            long status = 0;
            EasyGetinfo(Session, CURLINFO_RESPONSE_CODE, &status);
            char* location = nullptr;
            if (!ftp && status >= 300 && status < 400 &&
                EasyGetinfo(Session, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location) {
                if (redirects >= MaxRedirects)
                    Fail<ENIL_HTTPSendRequest>(
                        Format("Cannot send request for file %s to the server", {RemoteName}),
                        ERROR_HTTP_INVALID_SERVER_RESPONSE);
                url = location;
                FollowTo(url);
                continue;
            }
            return;
        }
    }

    // Checks a redirect target (http only) and resolves its host.
    void FollowTo(const std::string& url) {
        const std::string scheme = "http://";
        if (url.size() <= scheme.size() || !SameTextASCII(url.substr(0, scheme.size()), scheme))
            Fail<ENIL_HTTPSendRequest>(
                Format("Cannot send request for file %s to the server", {RemoteName}),
                ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        std::string rest = url.substr(scheme.size());
        std::string authority = rest.substr(0, rest.find_first_of("/?#"));
        if (size_t at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
        std::string host;
        long port = 0;
        if (!SplitHost(authority, false, host, port))
            Fail<ENIL_HTTPSendRequest>(
                Format("Cannot send request for file %s to the server", {RemoteName}),
                ERROR_INTERNET_INVALID_URL);
        AddResolved(host, port);
    }

    [[noreturn]] void FailTransfer(CURLcode code) {
        bool ftp = Ftp();
        uint32_t winCode = WinInetCode(code, ftp);
        if (code == CURLE_HTTP_RETURNED_ERROR)
            Fail<ENIL_FileNotFound>(Format("Could not find the file %s on the server", {RemoteName}),
                                    ERROR_INTERNET_EXTENDED_ERROR);
        if (IsConnectFailure(code)) {
            Connected = false;
            FailConnect(winCode);
        }
        if (BodyStarted || code == CURLE_PARTIAL_FILE)
            Fail<ENIL_ReadFile>(Format("Could not read from file %s on the server", {RemoteName}),
                                winCode);
        if (ftp)
            Fail<ENIL_FTPOpenFile>(Format("Cannot open file %s on server", {RemoteName}), winCode);
        Fail<ENIL_HTTPSendRequest>(Format("Cannot send request for file %s to the server", {RemoteName}),
                                   winCode);
    }
};

// ---- TCustomNetInstallLocation ----

TCustomNetInstallLocation::TCustomNetInstallLocation(TComponent* owner)
    : TComponent(owner), FImpl(std::make_unique<TImpl>(this)) {
    NetLocationList().Add(this);
}

TCustomNetInstallLocation::~TCustomNetInstallLocation() {
    FImpl->Unload();
    NetLocationList().Remove(this);
    if (CurrentSlot() == this) CurrentSlot() = nullptr;
}

bool TCustomNetInstallLocation::GetLibraryLoaded() const { return FImpl->Library != nullptr; }
bool TCustomNetInstallLocation::GetConnected() const { return FImpl->Connected; }
std::string TCustomNetInstallLocation::LastResponse() const { return FImpl->Response; }

void TCustomNetInstallLocation::LoadLibrary() { FImpl->Load(); }

void TCustomNetInstallLocation::AssignLoginInformation(const TCustomLoginInformation& source) {
    FLogin.Assign(source);
}

void TCustomNetInstallLocation::Connect() {
    CurrentSlot() = this;
    FImpl->Load();
    FImpl->OpenSession();
    if (!FImpl->Connected) {
        if (OnBeforeConnect) OnBeforeConnect(this);
        FImpl->OpenConnection();
        if (FLogin.Protocol == ipFTP) FImpl->ChangeDirectory();
        if (OnAfterConnect) OnAfterConnect(this);
    } else if (FLogin.Protocol == ipFTP) {
        FImpl->ChangeDirectory();
    }
}

void TCustomNetInstallLocation::Disconnect() { FImpl->Disconnect(); }

void TCustomNetInstallLocation::GetFile(const std::string& remoteName, const std::string& localName) {
    Connect();
    TImpl& impl = *FImpl;
    impl.RemoteName = remoteName;
    impl.LocalName = localName;
    if (OnBeforeDownload) OnBeforeDownload(this);
    TWinFsFile out;
    try {
        out.Create(localName);
    } catch (const EWinError&) {
        throw ENIL_WriteDestFile(
            Format("%s could not write to the local dest file %s", {GetName(), localName}));
    }
    impl.Out = &out;
    impl.Total = 0;
    impl.FileSize = 0;
    impl.BodyStarted = false;
    bool ok = false;
    // A failed download leaves no partial file behind.
    TScopeExit cleanup([&] {
        impl.Out = nullptr;
        out.Close();
        if (!ok) {
            try {
                WinDeleteFile(localName);
            } catch (const EWinError&) {
            }
        }
    });
    impl.Transfer();
    if (impl.Total == 0)
        impl.Fail<ENIL_FileNotFound>(Format("Could not find the file %s on the server", {remoteName}),
                                     ERROR_INTERNET_EXTENDED_ERROR);
    out.Close();
    ok = true;
    if (OnAfterDownload) OnAfterDownload(this, false);
}

// ---- the list ----

TCustomNetInstallLocation* TCustomNetInstallLocationList::Items(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return FItems[static_cast<size_t>(index)];
}

void TCustomNetInstallLocationList::Add(TCustomNetInstallLocation* location) {
    if (!location) throw IENetList("Cannot add a blank location to the global net location list");
    FItems.push_back(location);
}

void TCustomNetInstallLocationList::Remove(TCustomNetInstallLocation* location) {
    FItems.erase(std::remove(FItems.begin(), FItems.end(), location), FItems.end());
}

TCustomNetInstallLocationList& NetLocationList() {
    static TCustomNetInstallLocationList list;
    return list;
}

TCustomNetInstallLocation* CurrentNetLocation() { return CurrentSlot(); }

} // namespace zan
