// The installer's exception family. The class tells the kind of failure: a user abort (EAI and
// below), an archive, routine or launcher error (ECorvaneAbnormal and below) or a failure of one
// of the install components (IException and below). Catching ECorvaneAbnormal does not catch
// IException descendants; ECustomCorvaneAbnormal catches both.
//
// IException translates its English text through the exception text hook (the translator
// installs it; identity until then). With a format and arguments the format is translated first,
// then formatted; a translated format that does not fit its arguments falls back to the English
// one, so building the exception never throws and never hides the real error.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

#include "host/rtl/Exceptions.h"
#include "host/rtl/Format.h"

namespace zan {

// English text -> text of the target language (unchanged when there is no match).
using TExceptionTextHook = std::function<std::string(const std::string&)>;
// Installs the hook (an empty function restores the identity); answers the previous one.
TExceptionTextHook SetExceptionTextHook(TExceptionTextHook hook);
std::string TranslateExceptionText(const std::string& text);
// The translated format with the arguments; the English format when the translated one does
// not fit them; the English format as it is when neither fits.
std::string FormatTranslated(const std::string& format, std::initializer_list<TVarRec> args);

ZAN_EXCEPTION_CLASS(EAI, Exception);

class EAIUserAbort : public EAI {
public:
    EAIUserAbort() : EAI("Installation aborted by the user") {}
    using EAI::EAI;
    const char* ClassName() const noexcept override { return "EAIUserAbort"; }
};

ZAN_EXCEPTION_CLASS(ECustomCorvaneAbnormal, Exception);
ZAN_EXCEPTION_CLASS(ECorvaneAbnormal, ECustomCorvaneAbnormal);
ZAN_EXCEPTION_CLASS(ECrvnCompress, ECorvaneAbnormal);
ZAN_EXCEPTION_CLASS(EccDiskFull, ECrvnCompress);
ZAN_EXCEPTION_CLASS(EccAborted, ECrvnCompress);
ZAN_EXCEPTION_CLASS(EAPIRoutines, ECorvaneAbnormal);
ZAN_EXCEPTION_CLASS(EProgramLauncher, ECorvaneAbnormal);

// A program that could not be started; ErrorCode is the launch code.
class EProgramLauncherFailed : public EProgramLauncher {
public:
    EProgramLauncherFailed(const std::string& message, int errorCode)
        : EProgramLauncher(message), ErrorCode(errorCode) {}
    const char* ClassName() const noexcept override { return "EProgramLauncherFailed"; }
    int ErrorCode;
};

// A registry write of the installer routines that failed.
ZAN_EXCEPTION_CLASS(EIRCannotWriteValue, ECorvaneAbnormal);

class IException : public ECustomCorvaneAbnormal {
public:
    explicit IException(const std::string& message)
        : ECustomCorvaneAbnormal(TranslateExceptionText(message)) {}
    IException(const std::string& format, std::initializer_list<TVarRec> args)
        : ECustomCorvaneAbnormal(FormatTranslated(format, args)) {}
    const char* ClassName() const noexcept override { return "IException"; }
};

ZAN_EXCEPTION_CLASS(IEInstall, IException);
ZAN_EXCEPTION_CLASS(IEInstallNetLocNil, IEInstall);
ZAN_EXCEPTION_CLASS(IEPathSpecifier, IException);
ZAN_EXCEPTION_CLASS(IEPathSpecifierList, IException);
ZAN_EXCEPTION_CLASS(IEPathSpecifierClassList, IException);
ZAN_EXCEPTION_CLASS(IEInstallContainer, IException);
ZAN_EXCEPTION_CLASS(IEContainerList, IException);
ZAN_EXCEPTION_CLASS(IEInstallGroup, IException);
ZAN_EXCEPTION_CLASS(IEFileRelated, IException);
ZAN_EXCEPTION_CLASS(IEFileRel_NoNetLocation, IEFileRelated);
ZAN_EXCEPTION_CLASS(IEFileContainer, IException);
ZAN_EXCEPTION_CLASS(IEfcDuplicateFile, IEFileContainer);
ZAN_EXCEPTION_CLASS(IEfcSetAttributes, IEFileContainer);
ZAN_EXCEPTION_CLASS(IENoCorvanePath, IException);
ZAN_EXCEPTION_CLASS(IECustomInstallFile, IException);
ZAN_EXCEPTION_CLASS(IECustomInstallFileList, IException);
ZAN_EXCEPTION_CLASS(IERegistryEntry, IException);
ZAN_EXCEPTION_CLASS(IERegistryEntries, IException);
ZAN_EXCEPTION_CLASS(IEInstallRegistry, IException);
ZAN_EXCEPTION_CLASS(IEInstallRegistryList, IException);
ZAN_EXCEPTION_CLASS(IEUninstallEXE, IException);

} // namespace zan
