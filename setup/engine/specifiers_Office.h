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

ZAN_ROUTINE_SPECIFIER(TpsOfficeUserTemplates);
ZAN_ROUTINE_SPECIFIER(TpsOfficeWorkgroupTemplates);
ZAN_ROUTINE_SPECIFIER(TpsOfficeClipartDirectory);
ZAN_ROUTINE_SPECIFIER(TpsOfficeStartupDirectory);
ZAN_ROUTINE_SPECIFIER(TpsOfficeToolsDirectory);
ZAN_ROUTINE_SPECIFIER(TpsOfficeFavoritesDirectory);

// Adds the six Office classes in their registration order.
void RegisterOfficeSpecifiers(TPathSpecifierClassList& list);

} // namespace zan
