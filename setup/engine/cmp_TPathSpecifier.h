// Path specifiers: small components that turn a symbolic location (the main installation
// directory, the Windows directory, the archive of a container) into a directory path at run
// time. Every live specifier is in a process-wide list; the standard specifier classes are
// registered once, in a fixed order, and EnsureStandardSpecifiers gives a script one instance
// of each, named by its identifier ("psWindow", "psSystem", ...). Every path a standard
// specifier answers has no trailing "\".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"

namespace zan {

// Asks a handler for a path: the component that asks and the path to fill in.
using TGetPathEvent = std::function<void(TComponent* sender, std::string& path)>;

class TCustomPathSpecifier : public TComponent {
public:
    explicit TCustomPathSpecifier(TComponent* owner);
    ~TCustomPathSpecifier() override;
    ZAN_CLASS(TCustomPathSpecifier)

    // Raises IEPathSpecifier when this specifier cannot serve component (nothing here).
    virtual void CheckUsable(TComponent* component);
    virtual void GetDescription(std::string& text);
    virtual void GetDescriptionFor(TComponent* component, std::string& text);
    // The OnGetPath handler's answer; empty without one.
    virtual void GetPath(TComponent* component, std::string& path);
    virtual void GetShortCaption(std::string& text);
    virtual void GetShortCaptionFor(TComponent* component, std::string& text);

    // Shorthands answering the text.
    std::string PathFor(TComponent* component);
    std::string DescriptionFor(TComponent* component);
    std::string ShortCaptionFor(TComponent* component);

    TGetPathEvent OnGetPath;
};

// A user-defined location: its path comes from OnGetPath.
class TPathSpecifier : public TCustomPathSpecifier {
public:
    explicit TPathSpecifier(TComponent* owner) : TCustomPathSpecifier(owner) {}
    ZAN_CLASS(TPathSpecifier)
    void GetDescription(std::string& text) override { text = Description; }

    std::string Description = "My cool new path specifier";
};

class TStandardPathSpecifier : public TCustomPathSpecifier {
public:
    TStandardPathSpecifier(TComponent* owner, const char* identifier, int32_t code,
                           const char* description, const char* shortCaption);
    ~TStandardPathSpecifier() override;
    ZAN_CLASS(TStandardPathSpecifier)

    const std::string& GetIdentifier() const { return FIdentifier; }
    int32_t GetCode() const { return FCode; }
    void GetDescription(std::string& text) override { text = FDescription; }
    void GetShortCaption(std::string& text) override { text = FShortCaption; }

private:
    std::string FIdentifier;
    int32_t FCode;
    std::string FDescription;
    std::string FShortCaption;
};

// A registered specifier class: its name, a factory and a membership test (the class or a
// descendant).
struct TPathSpecifierClassInfo {
    const char* Name;
    std::function<TStandardPathSpecifier*(TComponent* owner)> Create;
    std::function<bool(const TCustomPathSpecifier*)> IsInstance;
};
using TPathSpecifierClass = const TPathSpecifierClassInfo*;

// The class reference of a specifier class T.
template <typename T>
TPathSpecifierClass PathSpecifierClassOf(const char* name) {
    static const TPathSpecifierClassInfo info{
        name, [](TComponent* owner) -> TStandardPathSpecifier* { return new T(owner); },
        [](const TCustomPathSpecifier* s) { return dynamic_cast<const T*>(s) != nullptr; }};
    return &info;
}

// Every live specifier, in creation order.
class TPathSpecifierList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    TCustomPathSpecifier* Items(int index) const;
    // IEPathSpecifierList "Tried to add a nil object to the path specifier list" for nil.
    void Add(TCustomPathSpecifier* specifier);
    void Remove(TCustomPathSpecifier* specifier);
    // The first live specifier of the class or a descendant; IEPathSpecifier "Could not find
    // the path specifier" when there is none.
    TCustomPathSpecifier* FindByClass(TPathSpecifierClass cls) const;
    // As FindByClass, nullptr when there is none.
    TCustomPathSpecifier* Find(TPathSpecifierClass cls) const;

private:
    std::vector<TCustomPathSpecifier*> FItems;
};

class TPathSpecifierClassList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    TPathSpecifierClass Items(int index) const;
    // IEPathSpecifierClassList "Tried to add a nil object to the path specifier list" for nil.
    void Add(TPathSpecifierClass cls);

private:
    std::vector<TPathSpecifierClass> FItems;
};

TPathSpecifierList& PathSpecifierList();
TPathSpecifierList& StandardPathSpecList();
// The registered classes: the standard ones, then the shell-folder and Office ones.
TPathSpecifierClassList& PathSpecifierClassList();

// For each registered class in order, unless onlyMissing and one exists already: an instance
// owned by owner, named by its identifier. container is the script object asking.
void EnsureStandardSpecifiers(TComponent* container, TComponent* owner, bool onlyMissing);

// The template with "%P"/"%p" replaced by path, "%%" by "%", "%x" by "x"; a "%" at the very end
// is dropped.
std::string ExpandPathTemplate(const std::string& templ, const std::string& path);

// The standard specifier of class T (the first live one); IEPathSpecifier when none lives.
template <typename T>
T* StandardSpecifier() {
    return static_cast<T*>(PathSpecifierList().FindByClass(T::Class()));
}

#define ZAN_PATH_SPECIFIER(Name)                                                                   \
    ZAN_CLASS(Name)                                                                                \
    static TPathSpecifierClass Class() { return PathSpecifierClassOf<Name>(#Name); }

// A specifier whose path is a folder routine's answer without its trailing "\".
class TRoutinePathSpecifier : public TStandardPathSpecifier {
public:
    TRoutinePathSpecifier(TComponent* owner, const char* identifier, int32_t code,
                          const char* description, const char* shortCaption,
                          std::string (*routine)())
        : TStandardPathSpecifier(owner, identifier, code, description, shortCaption),
          FRoutine(routine) {}
    ZAN_CLASS(TRoutinePathSpecifier)
    void GetPath(TComponent* component, std::string& path) override;

private:
    std::string (*FRoutine)();
};

#define ZAN_ROUTINE_SPECIFIER(Name)                                                                \
    class Name : public TRoutinePathSpecifier {                                                    \
    public:                                                                                        \
        explicit Name(TComponent* owner);                                                          \
        ZAN_PATH_SPECIFIER(Name)                                                                   \
    }

// The fourteen standard specifiers.
ZAN_ROUTINE_SPECIFIER(TpsCommonFiles);
ZAN_ROUTINE_SPECIFIER(TpsDesktopMenu);
ZAN_ROUTINE_SPECIFIER(TpsProgramFiles);
ZAN_ROUTINE_SPECIFIER(TpsProgramMenu);
ZAN_ROUTINE_SPECIFIER(TpsStartMenu);
ZAN_ROUTINE_SPECIFIER(TpsStartupMenu);
ZAN_ROUTINE_SPECIFIER(TpsSystem);
ZAN_ROUTINE_SPECIFIER(TpsWindow);

class TpsBDEDLL : public TStandardPathSpecifier {
public:
    explicit TpsBDEDLL(TComponent* owner);
    ZAN_PATH_SPECIFIER(TpsBDEDLL)
    void GetPath(TComponent* component, std::string& path) override;
};

class TpsContainerArchiveFile : public TStandardPathSpecifier {
public:
    explicit TpsContainerArchiveFile(TComponent* owner);
    ZAN_PATH_SPECIFIER(TpsContainerArchiveFile)
    void CheckUsable(TComponent* component) override;
    void GetPath(TComponent* component, std::string& path) override;
};

class TpsContainerDestDir : public TStandardPathSpecifier {
public:
    explicit TpsContainerDestDir(TComponent* owner);
    ZAN_PATH_SPECIFIER(TpsContainerDestDir)
    void CheckUsable(TComponent* component) override;
    void GetDescriptionFor(TComponent* component, std::string& text) override;
    // Without an asker (or one it cannot serve): the description.
    void GetShortCaption(std::string& text) override;
    void GetShortCaptionFor(TComponent* component, std::string& text) override;
    void GetPath(TComponent* component, std::string& path) override;
};

class TpsInstallSource : public TStandardPathSpecifier {
public:
    explicit TpsInstallSource(TComponent* owner);
    ZAN_PATH_SPECIFIER(TpsInstallSource)
    void CheckUsable(TComponent* component) override;
    void GetPath(TComponent* component, std::string& path) override;
};

class TpsMainInstall : public TStandardPathSpecifier {
public:
    explicit TpsMainInstall(TComponent* owner);
    ZAN_PATH_SPECIFIER(TpsMainInstall)
    void CheckUsable(TComponent* component) override;
    void GetPath(TComponent* component, std::string& path) override;
};

class TpsMainArchiveFile : public TStandardPathSpecifier {
public:
    explicit TpsMainArchiveFile(TComponent* owner);
    ZAN_PATH_SPECIFIER(TpsMainArchiveFile)
    void CheckUsable(TComponent* component) override;
    void GetPath(TComponent* component, std::string& path) override;
    // The directory of "files.1" without the self-extractor (empty: the install source).
    std::string ArchiveDir;
};

} // namespace zan
