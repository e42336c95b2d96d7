// The update check before an interactive install: the progress dialog on the main thread and
// the worker thread that does the network work.
#include "checkversion.h"

bool CheckForNewVersion(HINSTANCE, LPWSTR, DWORD)
{
    return false;
}
