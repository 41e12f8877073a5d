// Exception hierarchy of the run-time layer. Every failure in the system is a C++ exception
// derived from Exception; EAbort is the silent one that callers swallow without a message.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace zan {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    ~Exception() override = default;

    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }
    const char* what() const noexcept override { return FMessage.c_str(); }
    // The framework-style class name ("Exception", "EConvertError", ...).
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string FMessage;
};

#define ZAN_EXCEPTION_CLASS(Name, Base)                                                            \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        const char* ClassName() const noexcept override { return #Name; }                          \
    }

// A silent abort: callers stop what they do without reporting anything.
ZAN_EXCEPTION_CLASS(EAbort, Exception);
// Text that does not convert to the requested type, or a format that does not fit its arguments.
ZAN_EXCEPTION_CLASS(EConvertError, Exception);
// A broken internal invariant; raised in every build, never compiled out.
ZAN_EXCEPTION_CLASS(EAssertionFailed, Exception);

// Raises EAbort.
[[noreturn]] void Abort();

// Raises EAssertionFailed "<message> (<file>, line <n>)".
[[noreturn]] void AssertionFailed(std::string_view message, const char* file, unsigned line);

// Raises EAssertionFailed when the condition is false.
inline void Assert(bool condition, std::string_view message = "Assertion failed",
                   std::source_location where = std::source_location::current()) {
    if (!condition) AssertionFailed(message, where.file_name(), where.line());
}

} // namespace zan
