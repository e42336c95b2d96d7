// The update check before an interactive install.
#pragma once

#include <windows.h>

// True when a newer package was downloaded; its full path then stands in msipackage.
bool CheckForNewVersion(HINSTANCE hinst, LPWSTR msipackage, DWORD cchMsiPackage);
