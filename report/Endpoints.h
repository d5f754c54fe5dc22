// The web addresses the installer uses: two compiled-in sets, production
// and staging, one of which is chosen at start-up.
#pragma once
#include <atomic>

// Kinds of web address; the numbers are fixed because callers pass them.
enum EndpointKind { InstallBase = 1, SiteRoot = 2, Logger = 3, FaqPage = 4, FreeGoodiesPage = 5 };

class CEndpointSet {
public:
    // The address of the kind from the set in force; null outside 1 to 5.
    // Static storage, safe to call from any thread.
    const char* Url(int kind) const;

    // Set once at start-up by -staging; read at each call.
    std::atomic<bool> m_bStaging{false};
};

// Unit tests point the five kinds at their own loopback servers; the
// product never sets it.
extern const char* const* g_pTestEndpoints;
