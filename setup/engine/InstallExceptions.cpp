#include "setup/engine/InstallExceptions.h"

#include <mutex>

namespace zan {

namespace {

std::mutex& HookGuard() {
    static std::mutex m;
    return m;
}
TExceptionTextHook& Hook() {
    static TExceptionTextHook hook;
    return hook;
}

} // namespace

TExceptionTextHook SetExceptionTextHook(TExceptionTextHook hook) {
    std::lock_guard<std::mutex> lock(HookGuard());
    TExceptionTextHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

std::string TranslateExceptionText(const std::string& text) {
    TExceptionTextHook hook;
    {
        std::lock_guard<std::mutex> lock(HookGuard());
        hook = Hook();
    }
    if (!hook) return text;
    try {
        return hook(text);
    } catch (...) {
        // A failing translator must not replace the error being raised.
        return text;
    }
}

std::string FormatTranslated(const std::string& format, std::initializer_list<TVarRec> args) {
    std::span<const TVarRec> list(args.begin(), args.size());
    std::string translated = TranslateExceptionText(format);
    try {
        return FormatV(translated, list);
    } catch (const EConvertError&) {
    }
    try {
        return FormatV(format, list);
    } catch (const EConvertError&) {
        return format;
    }
}

} // namespace zan
