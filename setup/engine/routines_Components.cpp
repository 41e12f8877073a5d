#include "setup/engine/routines_Components.h"

#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

std::string Reduce(const std::string& s) {
    std::string out;
    for (char c : s)
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_')
            out += c;
    return out;
}

bool IsIdentifier(const std::string& s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    return Reduce(s) == s;
}

} // namespace

void MakeUniqueComponentName(TComponent* component, const std::string& name) {
    // A name that is no identifier is refused whatever number follows it.
    if (!IsIdentifier(name)) {
        component->SetName(name);
        return;
    }
    constexpr int Limit = 100000;
    for (int n = 0;; ++n) {
        try {
            component->SetName(n == 0 ? name : name + IntToStr(n));
            return;
        } catch (const Exception&) {
            if (n >= Limit) throw;
        }
    }
}

std::string InstallFileComponentBaseName(const std::string& fileName) {
    std::string name = fileName;
    size_t slash = name.find_last_of("\\/:");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    size_t dot = name.find_last_of('.');
    std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    return "IF" + Reduce(base) + "_" + Reduce(ext);
}

} // namespace zan
