#include "host/db/DB.h"

void DatabaseError(const std::string& message, const TComponent* component) {
    if (component && !component->GetName().empty())
        throw EDatabaseError(component->GetName() + ": " + message);
    throw EDatabaseError(message);
}
