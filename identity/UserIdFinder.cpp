#include "identity/UserIdFinder.h"

// Cookie discovery is not built yet: no id is ever found, so start-up makes
// one up.
bool CUserIdFinder::FindUserId(std::string&)
{
    return false;
}
