// The two compiled-in sets of web addresses; -staging picks the second for
// every kind but the public web site.
#include "report/Endpoints.h"
#include "BuildConfig.h"

static const char* const kProduction[] = {
    ZEMBRIO_INSTALL_SERVER "/install",
    ZEMBRIO_INSTALL_SERVER,
    ZEMBRIO_LOGGING_SERVER "/Logger/Zembrio.aspx",
    ZEMBRIO_INSTALL_SERVER "/install/faq.htm",
    ZEMBRIO_WEB_SITE "/freegoodies",
};

static const char* const kStaging[] = {
    ZEMBRIO_STAGING_INSTALL_SERVER "/install",
    ZEMBRIO_STAGING_INSTALL_SERVER,
    ZEMBRIO_STAGING_LOGGING_SERVER "/Logger/Zembrio.aspx",
    ZEMBRIO_STAGING_INSTALL_SERVER "/install/faq.htm",
    ZEMBRIO_WEB_SITE "/freegoodies",
};

const char* const* g_pTestEndpoints = nullptr;

const char* CEndpointSet::Url(int kind) const
{
    if (kind < InstallBase || kind > FreeGoodiesPage)
        return nullptr;
    if (g_pTestEndpoints)
        return g_pTestEndpoints[kind - 1];
    return (m_bStaging ? kStaging : kProduction)[kind - 1];
}
