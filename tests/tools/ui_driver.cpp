// Acts as the person in front of the screen: waits for a dialog, reads it, fills it, presses a
// button.
//   ui_driver.exe click "<caption>" <button id> [--timeout ms]
//   ui_driver.exe fill "<caption>" <button id> <control id>=<text> ... [--timeout ms]
//   ui_driver.exe list
// Prints "text: ..." for every static text of the dialog (UTF-8), then "clicked <id>".
// Exit code 0 when the button was pressed, 1 when no such dialog came in time, 2 for misuse.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

const DWORD dwPollMs = 50;
const DWORD dwSettleMs = 150;    // a click sent at once after the window shows can be lost
const DWORD dwDefaultTimeoutMs = 30000;

void Print(const std::wstring& text)
{
    std::wstring line = text + L"\n";
    int cb = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), NULL, 0, NULL, NULL);
    std::string bytes(cb, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), &bytes[0], cb, NULL, NULL);
    DWORD cbWritten = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), cb, &cbWritten, NULL);
}

std::wstring TextOf(HWND hwnd)
{
    wchar_t sz[4096];
    sz[0] = 0;
    // WM_GETTEXT works across processes, GetWindowText does not for controls.
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, (LPARAM)sz, SMTO_ABORTIFHUNG, 2000, NULL);
    return sz;
}

std::wstring ClassOf(HWND hwnd)
{
    wchar_t sz[256];
    GetClassNameW(hwnd, sz, 256);
    return sz;
}

struct Search
{
    const wchar_t* pszCaption;
    HWND hwndFound;
};

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM lParam)
{
    Search* p = (Search*)lParam;
    if (IsWindowVisible(hwnd) && ClassOf(hwnd) == L"#32770" && TextOf(hwnd) == p->pszCaption)
    {
        p->hwndFound = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForDialog(const wchar_t* pszCaption, DWORD dwTimeoutMs)
{
    DWORD dwStart = GetTickCount();
    for (;;)
    {
        Search search = {pszCaption, NULL};
        EnumWindows(MatchDialog, (LPARAM)&search);
        if (search.hwndFound != NULL)
        {
            Sleep(dwSettleMs);
            return search.hwndFound;
        }
        if (GetTickCount() - dwStart > dwTimeoutMs)
            return NULL;
        Sleep(dwPollMs);
    }
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM lParam)
{
    ((std::vector<HWND>*)lParam)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> Descendants(HWND hwnd)
{
    std::vector<HWND> children;
    EnumChildWindows(hwnd, CollectChild, (LPARAM)&children);
    return children;
}

// Several nested controls may share an id (the Save As file name: ComboBoxEx32, ComboBox and
// Edit); the edit field is the one that takes text.
HWND FindControl(HWND hwndDialog, int nId)
{
    HWND hwndFirst = NULL;
    for (HWND hwnd : Descendants(hwndDialog))
    {
        if (GetDlgCtrlID(hwnd) != nId)
            continue;
        if (ClassOf(hwnd) == L"Edit")
            return hwnd;
        if (hwndFirst == NULL)
            hwndFirst = hwnd;
    }
    return hwndFirst;
}

void PrintTexts(HWND hwndDialog)
{
    for (HWND hwnd : Descendants(hwndDialog))
    {
        if (ClassOf(hwnd) == L"Static" && IsWindowVisible(hwnd))
        {
            std::wstring text = TextOf(hwnd);
            if (!text.empty())
                Print(L"text: " + text);
        }
    }
}

bool Press(HWND hwndDialog, int nButton)
{
    HWND hwndButton = FindControl(hwndDialog, nButton);
    // Posted, not sent: a prompt that the press opens would block a sent message.
    return PostMessageW(hwndDialog, WM_COMMAND, MAKEWPARAM(nButton, BN_CLICKED),
                        (LPARAM)hwndButton) != FALSE;
}

BOOL CALLBACK ListDialog(HWND hwnd, LPARAM)
{
    if (IsWindowVisible(hwnd))
        Print(L"window: class=" + ClassOf(hwnd) + L" caption=" + TextOf(hwnd));
    return TRUE;
}

int Usage()
{
    Print(L"usage: ui_driver click|fill \"<caption>\" <button id> [<id>=<text> ...] "
          L"[--timeout ms] | list | keep-desktop");
    return 2;
}

} // namespace

int wmain()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc >= 2 && lstrcmpW(argv[1], L"list") == 0)
    {
        EnumWindows(ListDialog, 0);
        return 0;
    }
    // Wine closes its desktop a second after the last program that uses it has ended, and the
    // next one starts it again, handing it its own handles. Using it for ever keeps it up.
    if (argc >= 2 && lstrcmpW(argv[1], L"keep-desktop") == 0)
    {
        EnumWindows(ListDialog, 0);
        Sleep(INFINITE);
    }
    if (argc < 4)
        return Usage();

    std::wstring action = argv[1];
    const wchar_t* pszCaption = argv[2];
    int nButton = _wtoi(argv[3]);
    DWORD dwTimeoutMs = dwDefaultTimeoutMs;
    std::vector<std::pair<int, std::wstring>> fills;
    for (int i = 4; i < argc; ++i)
    {
        std::wstring arg = argv[i];
        size_t equals = arg.find(L'=');
        if (arg == L"--timeout" && i + 1 < argc)
            dwTimeoutMs = (DWORD)_wtoi(argv[++i]);
        else if (action == L"fill" && equals != std::wstring::npos)
            fills.push_back({_wtoi(arg.substr(0, equals).c_str()), arg.substr(equals + 1)});
        else
            return Usage();
    }
    if (action != L"click" && action != L"fill")
        return Usage();

    HWND hwndDialog = WaitForDialog(pszCaption, dwTimeoutMs);
    if (hwndDialog == NULL)
    {
        Print(L"timed out waiting for \"" + std::wstring(pszCaption) + L"\"");
        return 1;
    }
    PrintTexts(hwndDialog);
    for (const auto& fill : fills)
    {
        HWND hwndControl = FindControl(hwndDialog, fill.first);
        if (hwndControl == NULL)
        {
            Print(L"no control " + std::to_wstring(fill.first));
            return 1;
        }
        // Bounded: a dialog whose thread is busy must not hold the driver past its time-out.
        if (!SendMessageTimeoutW(hwndControl, WM_SETTEXT, 0, (LPARAM)fill.second.c_str(),
                                 SMTO_ABORTIFHUNG, 5000, NULL))
        {
            Print(L"control " + std::to_wstring(fill.first) + L" did not take its text");
            return 1;
        }
    }
    if (!Press(hwndDialog, nButton))
        return 1;
    Print(L"clicked " + std::to_wstring(nButton));
    return 0;
}
