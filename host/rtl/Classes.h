// Root classes of the object model: TObject (framework-style class names) and TComponent
// (a named object that may own other components).
#pragma once

#include <string>

// Declares the framework-style class name of a class, e.g. ZAN_CLASS(TZanTable).
#define ZAN_CLASS(Name)                                                                            \
    const char* ClassName() const override { return #Name; }

class TObject {
public:
    virtual ~TObject() = default;
    // The class name as the system shows it in messages ("TZanTable", "TDiskMgr", ...).
    virtual const char* ClassName() const { return "TObject"; }
};

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr) : FOwner(owner) {}
    ZAN_CLASS(TComponent)

    const std::string& GetName() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    TComponent* GetOwner() const { return FOwner; }

private:
    TComponent* FOwner;
    std::string FName;
};
