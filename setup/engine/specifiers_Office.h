// Path specifiers of an installed Office: template, clipart, startup, tools and favourites
// folders read from the user's Office keys of the installed Word version, with defaults below
// the program files directory.
#pragma once

#include <string>

#include "setup/engine/cmp_TPathSpecifier.h"

namespace zan {

// The installed Word version: the number after the second "." of HKCR "\Word.Document\CurVer"
// when its server file exists; -1 otherwise or on any registry failure.
int OfficeVersion();

#define ZAN_OFFICE_SPECIFIER(Name)                                                                 \
    class Name : public TStandardPathSpecifier {                                                   \
    public:                                                                                        \
        explicit Name(TComponent* owner);                                                          \
        ZAN_PATH_SPECIFIER(Name)                                                                   \
        void GetPath(TComponent* component, std::string& path) override;                          \
    }

ZAN_OFFICE_SPECIFIER(TpsOfficeUserTemplates);
ZAN_OFFICE_SPECIFIER(TpsOfficeWorkgroupTemplates);
ZAN_OFFICE_SPECIFIER(TpsOfficeClipartDirectory);
ZAN_OFFICE_SPECIFIER(TpsOfficeStartupDirectory);
ZAN_OFFICE_SPECIFIER(TpsOfficeToolsDirectory);
ZAN_OFFICE_SPECIFIER(TpsOfficeFavoritesDirectory);

#undef ZAN_OFFICE_SPECIFIER

// Adds the six Office classes in their registration order.
void RegisterOfficeSpecifiers(TPathSpecifierClassList& list);

} // namespace zan
