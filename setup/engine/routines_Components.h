// Unique component names for install objects.
#pragma once

#include <string>

#include "host/rtl/Classes.h"

namespace zan {

// Gives component the first of name, name1, name2, ... that SetName accepts. A name that is
// no identifier raises SetName's refusal at once; so does the 100000th refusal.
void MakeUniqueComponentName(TComponent* component, const std::string& name);

// The base name of an install file's component: "IF" + the file name without extension + "_" +
// the extension, both reduced to 0-9, A-Z, a-z and "_" ("readme.txt" -> "IFreadme_txt").
std::string InstallFileComponentBaseName(const std::string& fileName);

} // namespace zan
