// The dataset framework: definitions shared by every dataset of the system.
#pragma once

#include <string>

#include "host/rtl/Classes.h"
#include "host/rtl/Exceptions.h"

// A failure of a dataset or a database.
ZAN_EXCEPTION_CLASS(EDatabaseError, Exception);

// Raises EDatabaseError; the message is prefixed "Name: " when the component has a name.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);
