// The main thread's wait for the update check's worker, and the worker's forced end.
#pragma once

#include "update_check.h"

// Waits for the worker while the dialog lives on, and closes its handle. A worker that has not
// ended within 10 s is ended by force, or left suspended when it can't be ended safely; then
// nothing it could still write may be read or freed.
CheckEnd WaitAndClose(HANDLE hThread, HWND hwndDialog = NULL);
