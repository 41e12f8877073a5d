// The install component: the outermost file container of a script, whose archive is the main
// archive. Declared here with the data the script model and the path specifiers read; the run
// itself (command line, install record, phases, reboot) builds on it.
#pragma once

#include <array>
#include <string>

#include "setup/engine/cmp_TInstallContainer.h"

namespace zan {

struct TInstallInformation {
    std::string CompanyName = "My Company";
    std::string ProductName = "My product";
    std::string Version = "1.0";
};

class TCustomInstall : public TFileContainer {
public:
    // Becomes the current install; a second one raises IEInstall.
    explicit TCustomInstall(TComponent* owner);
    ~TCustomInstall() override;
    ZAN_CLASS(TCustomInstall)

    void Loaded() override;

    // The command-line switches b f d e r s c n (case ignored) and their values.
    bool HasSwitch(char letter) const;
    const std::string& SwitchValue(char letter) const;
    void SetSwitch(char letter, bool on, const std::string& value = "");
    void ClearSwitches();

    // The install source: the -s value, else the setup program's directory (no trailing "\").
    std::string GetSourceDir() const;
    // The directory of the setup program.
    static std::string GetSetupDirectory();

    TDistributeType GetDistributeType() const { return FDistributeType; }
    // A network distribution without a net location raises IEInstallNetLocNil.
    void SetDistributeType(TDistributeType type);
    // Clearing the location sets dtTraditional.
    void SetNetLocation(TCustomNetInstallLocation* location) override;
    bool GetRunning() const { return FRunning; }
    void SetRunning(bool running) { FRunning = running; }

    TInstallInformation Information;

protected:
    bool FiresAfterInstallObjects() const override { return false; }

private:
    static int SwitchIndex(char letter);
    TDistributeType FDistributeType = dtTraditional;
    bool FRunning = false;
    std::array<bool, 8> FSwitches{};
    std::array<std::string, 8> FSwitchValues;
};

// The one install component of the process (nullptr when none lives).
TCustomInstall* CurrentInstall();

} // namespace zan
