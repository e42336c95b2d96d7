// The entry point and the one straight sequence of a run.
#include "checkversion/checkversion.h"
#include "command_line.h"
#include "msi_engine.h"
#include "msiexec_command.h"
#include "res/resource.h"
#include "setup_base/paths.h"
#include "setup_base/setup_base.h"
#include "setup_base/system_library.h"

namespace {

WCHAR szMsiPackage[MAX_PATH];
WCHAR szEngineCommand[cchEngineCommand];
WCHAR szInstallLog[cchInstallLog];
WCHAR szExeDir[MAX_PATH];
WCHAR szMsiexecCommand[cchMsiexecCommand];

const WCHAR szTracePrefix[] = L"tw-setup";

const int nExitNoModulePath = -1;
const int nExitHelp = -4;

// What the run owns from the options on; released by both clean-ups.
struct RunBuffers
{
    HeapPtr<WCHAR> tokens;
    HeapPtr<WCHAR> properties;
};

void ShowMessage(UINT uMessageId)
{
    ShowStringBox(NULL, IDS_SETUP_TITLE, uMessageId, NULL, MB_OK);
}

// Splits the command line into the token buffer and interprets every token. Returns the
// result that ends the run early, or 0 to go on.
int ParseParameters(LPCWSTR pszCommandLine, RunBuffers* pBuffers,
                    SetupOptions* pOptions, bool* pbHelp)
{
    DWORD cchCommandLine = (DWORD)lstrlenW(pszCommandLine);
    DWORD cchTokens = TokenBufferCapacity(cchCommandLine);
    DWORD cchProperties = PropertiesCapacity(cchCommandLine);
    pBuffers->properties.reset(AllocText(cchProperties));
    pBuffers->tokens.reset(AllocText(cchTokens));
    LPWSTR pszTokens = pBuffers->tokens.get();
    LPWSTR pszProperties = pBuffers->properties.get();
    ClearOptions(pOptions, pszProperties, cchProperties);
    if (pszTokens == NULL || pszProperties == NULL)
    {
        TracePrint("*** Parse parameters: not enough memory ***");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    TokenCursor cursor = {pszTokens, SplitCommandLine(pszCommandLine, pszTokens)};

    LoadStringRow(IDS_MSI_PACKAGE, szMsiPackage, MAX_PATH);

    TracePrint("*** Parse parameters: start ***");
    for (LPWSTR pszToken = GetNextToken(&cursor); pszToken != NULL;
         pszToken = GetNextToken(&cursor))
    {
        OptionResult result = InterpretOption(pszToken, pOptions);
        if (result == OptionHelp)
        {
            *pbHelp = true;
            return nExitHelp;
        }
        if (result == OptionNoRoom)
        {
            TracePrint("*** Parse parameters: command line too long ***");
            return ERROR_INVALID_COMMAND_LINE;
        }
    }
    TracePrint("*** Parse parameters: end ***");
    return 0;
}

// Runs the redistributable when the engine is not usable. False when the run must end now
// (a restart is needed).
bool SettleEngine(const SetupOptions& options)
{
    TracePrint("*** Check msi version: start ***");
    if (!CheckMsiVersion())
    {
        DWORD dwExitCode = 0;
        if (UpdateMsiEngine(szExeDir, szEngineCommand, &dwExitCode) &&
            dwExitCode == ERROR_SUCCESS_REBOOT_REQUIRED)
        {
            if (!options.bSilent)
                ShowMessage(IDS_ENGINE_RESTART);
            return false;
        }
    }
    TracePrint("*** Check msi version: end ***");
    return true;
}

// msiexec by its full path in the system directory: one planted beside setup.exe or in the
// current directory must never run.
int RunMsiexec()
{
    WCHAR szMsiexec[MAX_PATH];
    DWORD dwExitCode = 0;
    if (!GetSystemFilePath(L"msiexec.exe", szMsiexec, MAX_PATH) ||
        !RunProcess(szMsiexec, szMsiexecCommand, szExeDir, true, &dwExitCode))
        return ERROR_DLL_NOT_FOUND;
    return (int)dwExitCode;
}

int Uninstall(const SetupOptions& options)
{
    int nResult = 0;
    TracePrint("*** Uninstall: start ***");
    if (ComposeUninstallCommand(options, szMsiexecCommand, cchMsiexecCommand))
        nResult = RunMsiexec();
    else
    {
        TracePrint("*** Uninstall: command line too long ***");
        nResult = ERROR_INVALID_COMMAND_LINE;
    }
    TracePrint("*** Uninstall: end ***");
    return nResult;
}

int Install(HINSTANCE hinst, const SetupOptions& options, CheckEnd& end)
{
    // What the update check checked stays held until msiexec has ended.
    PackageHolds holds;
    InitHolds(holds);
    if (!options.bSilent)
    {
        TracePrint("*** CheckForNewVersion: start ***");
        bool bNewer = CheckForNewVersion(hinst, szMsiPackage, MAX_PATH, holds, end);
        TracePrint("*** CheckForNewVersion: end: %d ***", bNewer ? 1 : 0);
    }
    int nResult = 0;
    TracePrint("*** Install: start ***");
    // A worker left suspended may own the loader lock: msi.dll is not loaded then, and the line
    // keeps REINSTALL as when the answer can't be had.
    bool bTail = end == checkLeftWorkerSuspended || NeedsReinstallTail(szExeDir, szMsiPackage);
    if (ComposeInstallCommand(options, szMsiPackage, bTail, szMsiexecCommand, cchMsiexecCommand))
        nResult = RunMsiexec();
    else
    {
        TracePrint("*** Install: command line too long ***");
        nResult = ERROR_INVALID_COMMAND_LINE;
    }
    ReleaseHolds(holds);
    TracePrint("*** Install: end ***");
    return nResult;
}

int RunSetup()
{
    RestrictDllSearch();
    HINSTANCE hinst = GetModuleHandleW(NULL);
    LPCWSTR pszCommandLine = GetCommandLineW();
    if (!GetExecutableDirectory(szExeDir))
        return nExitNoModulePath;

    LPWSTR pszTempDir = AllocTempDirectory();
    Tracer tracer(pszTempDir != NULL ? pszTempDir : szExeDir, szTracePrefix);
    SetTracer(&tracer);
    TracePrint("*** start ***");

    RunBuffers buffers;
    SetupOptions options;
    bool bHelp = false;
    bool bEarlyEnd = false;
    CheckEnd end = checkEndedNormally;
    int nResult = ParseParameters(pszCommandLine, &buffers, &options, &bHelp);
    if (bHelp)
    {
        ShowMessage(IDS_HELP);
        bEarlyEnd = true;
    }
    else if (nResult == 0 && !SettleEngine(options))
        bEarlyEnd = true;
    else if (nResult == 0)
    {
        if (options.pszLogPath == NULL)
            options.pszLogPath = MakeInstallLogPath(szInstallLog, options.bUninstall);
        nResult = options.bUninstall ? Uninstall(options) : Install(hinst, options, end);
    }

    // The early ends leave the trace without its end line; the process ends right after.
    if (!bEarlyEnd)
        TracePrint("*** end ***");
    // What the update check left may still run, and trace, inside a library, or have died in
    // one whose clean-up at exit would then wait for ever: the process ends here, holding the
    // trace lock, without the libraries' clean-up.
    if (end != checkEndedNormally)
    {
        LockTrace();
        TerminateProcess(GetCurrentProcess(), (UINT)nResult);
    }
    RemoveTracer(&tracer);
    buffers.tokens.reset();
    buffers.properties.reset();
    tracer.Close();
    if (pszTempDir != NULL)
        FreeBlock(pszTempDir);
    return nResult;
}

} // namespace

// The process starts here, without the C runtime's start-up code: nothing in the setup needs
// it (no constructors of globals, no arguments parsed by the runtime, no atexit).
extern "C" void WINAPI SetupEntry()
{
    ExitProcess((UINT)RunSetup());
}
