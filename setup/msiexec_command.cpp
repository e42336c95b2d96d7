// Composing the msiexec command lines, bounded by the command buffer, and the install log name.
#include "msiexec_command.h"
#include "msi_engine.h"
#include "setup_base/setup_base.h"
#include "setup_base/paths.h"

namespace {

const WCHAR szInstallHead[] = L"msiexec /i \"";
const WCHAR szAdminInstallHead[] = L"msiexec /a \"";
const WCHAR szUninstallHead[] = L"msiexec /x";
const WCHAR szReinstallTail[] = L"\" REINSTALL=\"ALL\" REINSTALLMODE=\"voums\"";
const WCHAR szPackageQuoteEnd[] = L"\"";
const WCHAR szSilentSwitch[] = L" /qn";
const WCHAR szArgsSeparator[] = L" ";
const WCHAR szLogHead[] = L" /l*v \"";
const WCHAR szLogTail[] = L"\"";

const int cchDigitsMax = 4;

bool Start(LPWSTR pszBuffer, DWORD cchBuffer, LPCWSTR pszText)
{
    if (cchBuffer == 0)
        return false;
    pszBuffer[0] = L'\0';
    return AppendBounded(pszBuffer, cchBuffer, pszText);
}

bool AppendDigits(LPWSTR pszBuffer, DWORD cchBuffer, LPCWSTR pszSeparator, DWORD n, int width)
{
    WCHAR szDigits[cchDigitsMax + 1];
    return AppendBounded(pszBuffer, cchBuffer, pszSeparator) &&
           AppendBounded(pszBuffer, cchBuffer, FormatDigits(n, width, szDigits));
}

// Leaves an empty buffer behind a failure, so a half line can never be mistaken for a whole.
bool Finish(bool bFits, LPWSTR pszBuffer, DWORD cchBuffer)
{
    if (!bFits && cchBuffer > 0)
        pszBuffer[0] = L'\0';
    return bFits;
}

} // namespace

LPWSTR FormatDigits(DWORD n, int width, LPWSTR pszOut)
{
    int i = 0;
    if (width >= 1 && width <= cchDigitsMax)
    {
        DWORD dwPower = 1;
        for (int k = 1; k < width; ++k)
            dwPower *= 10;
        for (; dwPower > 0; dwPower /= 10)
            pszOut[i++] = (WCHAR)(L'0' + (n / dwPower) % 10);
    }
    pszOut[i] = L'\0';
    return pszOut;
}

bool FormatInstallLogPath(LPWSTR pszLog, DWORD cchLog, LPCWSTR pszTempPath, bool bUninstall,
                          const SYSTEMTIME& st)
{
    bool bFits = Start(pszLog, cchLog, pszTempPath) &&
                 AppendBounded(pszLog, cchLog, bUninstall ? L"tw-uninstall-" : L"tw-install-") &&
                 AppendDigits(pszLog, cchLog, L"", st.wYear, 4) &&
                 AppendDigits(pszLog, cchLog, L"-", st.wMonth, 2) &&
                 AppendDigits(pszLog, cchLog, L"-", st.wDay, 2) &&
                 AppendDigits(pszLog, cchLog, L"-", st.wHour, 2) &&
                 AppendDigits(pszLog, cchLog, L"-", st.wMinute, 2) &&
                 AppendDigits(pszLog, cchLog, L"-", st.wSecond, 2) &&
                 AppendBounded(pszLog, cchLog, L".log");
    return Finish(bFits, pszLog, cchLog);
}

LPWSTR MakeInstallLogPath(LPWSTR pszInstallLog, bool bUninstall)
{
    HeapPtr<WCHAR> tempPath(AllocTempDirectory());
    if (tempPath.get() == NULL)
        return NULL;
    SYSTEMTIME st;
    GetLocalTime(&st);
    if (!FormatInstallLogPath(pszInstallLog, cchInstallLog, tempPath.get(), bUninstall, st))
        return NULL;
    return pszInstallLog;
}

bool ComposeInstallCommand(const SetupOptions& options, LPCWSTR pszMsiPackage,
                           bool bReinstallTail, LPWSTR pszCommand, DWORD cchCommand)
{
    LPCWSTR pszHead = options.bAdminInstall ? szAdminInstallHead : szInstallHead;
    LPCWSTR pszTail = bReinstallTail ? szReinstallTail : szPackageQuoteEnd;
    bool bFits = Start(pszCommand, cchCommand, pszHead) &&
                 AppendBounded(pszCommand, cchCommand, pszMsiPackage) &&
                 AppendBounded(pszCommand, cchCommand, pszTail) &&
                 (!options.bSilent || AppendBounded(pszCommand, cchCommand, szSilentSwitch)) &&
                 AppendCommonArguments(options, pszCommand, cchCommand);
    return Finish(bFits, pszCommand, cchCommand);
}

bool ComposeUninstallCommand(const SetupOptions& options, LPWSTR pszCommand, DWORD cchCommand)
{
    LPCWSTR pszProductCode = options.pszProductCode != NULL ? options.pszProductCode : L"";
    bool bFits = Start(pszCommand, cchCommand, szUninstallHead) &&
                 AppendBounded(pszCommand, cchCommand, pszProductCode) &&
                 (!options.bSilent || AppendBounded(pszCommand, cchCommand, szSilentSwitch)) &&
                 AppendCommonArguments(options, pszCommand, cchCommand);
    return Finish(bFits, pszCommand, cchCommand);
}

bool AppendCommonArguments(const SetupOptions& options, LPWSTR pszCommand, DWORD cchCommand)
{
    if (options.pszProperties != NULL && !AppendBounded(pszCommand, cchCommand, options.pszProperties))
        return Finish(false, pszCommand, cchCommand);
    if (options.pszMsiexecArgs != NULL &&
        !(AppendBounded(pszCommand, cchCommand, szArgsSeparator) &&
          AppendBounded(pszCommand, cchCommand, options.pszMsiexecArgs)))
        return Finish(false, pszCommand, cchCommand);
    if (options.pszLogPath != NULL &&
        !(AppendBounded(pszCommand, cchCommand, szLogHead) &&
          AppendBounded(pszCommand, cchCommand, options.pszLogPath) &&
          AppendBounded(pszCommand, cchCommand, szLogTail)))
        return Finish(false, pszCommand, cchCommand);
    return true;
}
