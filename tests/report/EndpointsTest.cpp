#include <gtest/gtest.h>
#include <string>
#include "BuildConfig.h"
#include "app/InstallerApp.h"

// Every kind from each compiled-in set; the staging flag is read at each call.
TEST(EndpointUrl, KindsOfBothSetsAndNullOutsideOneToFive)
{
    CInstallerApp app;
    const std::string production[] = {
        ZEMBRIO_INSTALL_SERVER "/install", ZEMBRIO_INSTALL_SERVER, ZEMBRIO_LOGGING_SERVER "/Logger/Zembrio.aspx",
        ZEMBRIO_INSTALL_SERVER "/install/faq.htm", ZEMBRIO_WEB_SITE "/freegoodies"};
    const std::string staging[] = {ZEMBRIO_STAGING_INSTALL_SERVER "/install", ZEMBRIO_STAGING_INSTALL_SERVER,
                                   ZEMBRIO_STAGING_LOGGING_SERVER "/Logger/Zembrio.aspx",
                                   ZEMBRIO_STAGING_INSTALL_SERVER "/install/faq.htm",
                                   ZEMBRIO_WEB_SITE "/freegoodies"};
    for (bool stagingFlag : {false, true}) {
        app.m_bStaging = stagingFlag;
        const std::string* set = stagingFlag ? staging : production;
        for (int kind = 1; kind <= 5; kind++) {
            ASSERT_NE(nullptr, app.EndpointUrl(kind)) << kind;
            EXPECT_EQ(set[kind - 1], app.EndpointUrl(kind)) << kind;
        }
        for (int kind : {0, 6, -1, 256})
            EXPECT_EQ(nullptr, app.EndpointUrl(kind)) << kind;
    }
    // The public web site is one address in both sets; the servers differ.
    app.m_bStaging = false;
    std::string productionRoot = app.EndpointUrl(SiteRoot), goodies = app.EndpointUrl(FreeGoodiesPage);
    app.m_bStaging = true;
    EXPECT_EQ(goodies, app.EndpointUrl(FreeGoodiesPage));
    EXPECT_NE(productionRoot, app.EndpointUrl(SiteRoot));
}

TEST(EndpointUrl, PlainHttpAddressesWithoutTrailingSlash)
{
    CInstallerApp app;
    for (bool stagingFlag : {false, true}) {
        app.m_bStaging = stagingFlag;
        for (int kind = 1; kind <= 5; kind++) {
            std::string url = app.EndpointUrl(kind);
            EXPECT_EQ(0u, url.find("http://")) << url;
            EXPECT_NE('/', url.back()) << url;
        }
        // The root has no path: the install folder and the FAQ live below it.
        std::string root = app.EndpointUrl(SiteRoot);
        EXPECT_EQ(std::string::npos, root.find('/', 7)) << root;
        EXPECT_EQ(root + "/install", app.EndpointUrl(InstallBase));
        EXPECT_EQ(root + "/install/faq.htm", app.EndpointUrl(FaqPage));
    }
}
