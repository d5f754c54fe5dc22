#include <gtest/gtest.h>
#include <string>
#include "BuildConfig.h"
#include "report/Endpoints.h"

// Every kind from each compiled-in set; the staging flag is read at each call.
TEST(EndpointUrl, KindsOfBothSetsAndNullOutsideOneToFive)
{
    CEndpointSet endpoints;
    const std::string production[] = {
        ZEMBRIO_INSTALL_SERVER "/install", ZEMBRIO_INSTALL_SERVER, ZEMBRIO_LOGGING_SERVER "/Logger/Zembrio.aspx",
        ZEMBRIO_INSTALL_SERVER "/install/faq.htm", ZEMBRIO_WEB_SITE "/freegoodies"};
    const std::string staging[] = {ZEMBRIO_STAGING_INSTALL_SERVER "/install", ZEMBRIO_STAGING_INSTALL_SERVER,
                                   ZEMBRIO_STAGING_LOGGING_SERVER "/Logger/Zembrio.aspx",
                                   ZEMBRIO_STAGING_INSTALL_SERVER "/install/faq.htm",
                                   ZEMBRIO_WEB_SITE "/freegoodies"};
    for (bool stagingFlag : {false, true}) {
        endpoints.m_bStaging = stagingFlag;
        const std::string* set = stagingFlag ? staging : production;
        for (int kind = 1; kind <= 5; kind++) {
            ASSERT_NE(nullptr, endpoints.Url(kind)) << kind;
            EXPECT_EQ(set[kind - 1], endpoints.Url(kind)) << kind;
        }
        for (int kind : {0, 6, -1, 256})
            EXPECT_EQ(nullptr, endpoints.Url(kind)) << kind;
    }
    // The public web site is one address in both sets; the servers differ.
    endpoints.m_bStaging = false;
    std::string productionRoot = endpoints.Url(SiteRoot), goodies = endpoints.Url(FreeGoodiesPage);
    endpoints.m_bStaging = true;
    EXPECT_EQ(goodies, endpoints.Url(FreeGoodiesPage));
    EXPECT_NE(productionRoot, endpoints.Url(SiteRoot));
}

TEST(EndpointUrl, PlainHttpAddressesWithoutTrailingSlash)
{
    CEndpointSet endpoints;
    for (bool stagingFlag : {false, true}) {
        endpoints.m_bStaging = stagingFlag;
        for (int kind = 1; kind <= 5; kind++) {
            std::string url = endpoints.Url(kind);
            EXPECT_EQ(0u, url.find("http://")) << url;
            EXPECT_NE('/', url.back()) << url;
        }
        // The root has no path: the install folder and the FAQ live below it.
        std::string root = endpoints.Url(SiteRoot);
        EXPECT_EQ(std::string::npos, root.find('/', 7)) << root;
        EXPECT_EQ(root + "/install", endpoints.Url(InstallBase));
        EXPECT_EQ(root + "/install/faq.htm", endpoints.Url(FaqPage));
    }
}
