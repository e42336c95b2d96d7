// Runs with a wininet.dll planted beside this executable and Wine told to prefer it.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include "WinInet/WinInet.h"
#include "setup_base/setup_base.h"

TEST_CASE("A wininet.dll planted beside the executable is not the one bound")
{
    // The plant is real: a plain load by name picks it up here.
    HMODULE hByName = LoadLibraryW(L"wininet.dll");
    REQUIRE(hByName != NULL);
    REQUIRE(GetProcAddress(hByName, "PlantedMarker") != NULL);
    FreeLibrary(hByName);

    REQUIRE(InitializeInternet());
    CHECK(GetProcAddress(WinInetApi.hWinInet, "PlantedMarker") == NULL);
    CHECK(WinInetApi.InternetOpenW != NULL);
    UninitializeInternet();
}
