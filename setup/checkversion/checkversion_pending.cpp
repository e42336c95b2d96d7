// Temporary stand-in for the update check until it is built: never finds a newer build and
// shows nothing, so an interactive install goes on with the local package.
#include "checkversion.h"

bool CheckForNewVersion(HINSTANCE, LPWSTR, DWORD)
{
    return false;
}
