// Acts as the person in front of the screen: waits for a dialog, reads it, fills it, presses a
// button, the Escape key or the close box.
//   ui_driver.exe click "<caption>" <button id> [<filter> ...] [--timeout ms]
//   ui_driver.exe fill "<caption>" <button id> <control id>=<text> ... [<filter> ...] [...]
//   ui_driver.exe escape|close|wait "<caption>" [<filter> ...] [--timeout ms]
//   ui_driver.exe list
// Two dialogs may share a caption (a message box owned by a progress dialog): the filters
// --with-control <id>, --without-control <id> and --with-text <part of a static text> tell
// them apart, and --with-text also waits for a dialog to reach a stage.
// Prints "text: ..." for every static text of the dialog (UTF-8), then "clicked <id>",
// "escaped", "closed" or "found". When no such dialog comes in time, it prints what it waited
// for and the windows that are up instead ("window: ...", as list does).
// Exit code 0 when the dialog was found and acted on, 1 when no such dialog came in time, 2 for
// misuse, 3 when the dialog closed before it could be acted on (its program ended it).
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

bool HasText(HWND hwndDialog, const std::wstring& part)
{
    for (HWND hwnd : Descendants(hwndDialog))
    {
        if (ClassOf(hwnd) == L"Static" && TextOf(hwnd).find(part) != std::wstring::npos)
            return true;
    }
    return false;
}

struct Search
{
    std::wstring caption;
    std::vector<int> withControls;
    std::vector<int> withoutControls;
    std::vector<std::wstring> withTexts;
    HWND hwndFound;
};

std::wstring Describe(const Search& search)
{
    std::wstring text = L"\"" + search.caption + L"\"";
    for (int nId : search.withControls)
        text += L" --with-control " + std::to_wstring(nId);
    for (int nId : search.withoutControls)
        text += L" --without-control " + std::to_wstring(nId);
    for (const std::wstring& part : search.withTexts)
        text += L" --with-text \"" + part + L"\"";
    return text;
}

bool Matches(HWND hwnd, const Search& search)
{
    if (!IsWindowVisible(hwnd) || ClassOf(hwnd) != L"#32770" || TextOf(hwnd) != search.caption)
        return false;
    for (int nId : search.withControls)
    {
        if (FindControl(hwnd, nId) == NULL)
            return false;
    }
    for (int nId : search.withoutControls)
    {
        if (FindControl(hwnd, nId) != NULL)
            return false;
    }
    for (const std::wstring& part : search.withTexts)
    {
        if (!HasText(hwnd, part))
            return false;
    }
    return true;
}

BOOL CALLBACK MatchDialog(HWND hwnd, LPARAM lParam)
{
    Search* p = (Search*)lParam;
    if (!Matches(hwnd, *p))
        return TRUE;
    p->hwndFound = hwnd;
    return FALSE;
}

// NULL when no such dialog came in time; *pbClosed tells a dialog that was found but closed
// while the driver let it settle.
HWND WaitForDialog(Search& search, DWORD dwTimeoutMs, bool* pbClosed)
{
    DWORD dwStart = GetTickCount();
    *pbClosed = false;
    for (;;)
    {
        search.hwndFound = NULL;
        EnumWindows(MatchDialog, (LPARAM)&search);
        if (search.hwndFound != NULL)
        {
            Sleep(dwSettleMs);
            if (IsWindow(search.hwndFound) && IsWindowVisible(search.hwndFound))
                return search.hwndFound;
            *pbClosed = true;
            return NULL;
        }
        if (GetTickCount() - dwStart > dwTimeoutMs)
            return NULL;
        Sleep(dwPollMs);
    }
}

void PrintTexts(HWND hwndDialog, const std::wstring& indent = L"")
{
    for (HWND hwnd : Descendants(hwndDialog))
    {
        if (ClassOf(hwnd) == L"Static" && IsWindowVisible(hwnd))
        {
            std::wstring text = TextOf(hwnd);
            if (!text.empty())
                Print(indent + L"text: " + text);
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

// The key goes where a keyboard would send it, the control with the focus in the dialog's
// thread, so that it takes the way of a real key press through the dialog's message loop.
bool PressEscape(HWND hwndDialog)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    HWND hwndTarget = hwndDialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(hwndDialog, NULL), &info) &&
        info.hwndFocus != NULL && IsChild(hwndDialog, info.hwndFocus))
        hwndTarget = info.hwndFocus;
    return PostMessageW(hwndTarget, WM_KEYDOWN, VK_ESCAPE, 1) != FALSE &&
           PostMessageW(hwndTarget, WM_KEYUP, VK_ESCAPE, 0xC0000001) != FALSE;
}

// What a click on the close box sends.
bool PressCloseBox(HWND hwndDialog)
{
    return PostMessageW(hwndDialog, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
}

// With the texts of the dialogs, so that a test that waited in vain can say what came instead.
BOOL CALLBACK ListDialog(HWND hwnd, LPARAM)
{
    if (!IsWindowVisible(hwnd))
        return TRUE;
    std::wstring name = ClassOf(hwnd);
    Print(L"window: class=" + name + L" caption=" + TextOf(hwnd));
    if (name == L"#32770")
        PrintTexts(hwnd, L"  ");
    return TRUE;
}

int Usage()
{
    Print(L"usage: ui_driver click|fill \"<caption>\" <button id> [<id>=<text> ...] "
          L"[filters] [--timeout ms] | escape|close|wait \"<caption>\" [filters] "
          L"[--timeout ms] | list | keep-desktop; filters: --with-control <id>, "
          L"--without-control <id>, --with-text <text>");
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
    if (argc < 3)
        return Usage();

    std::wstring action = argv[1];
    bool bButton = action == L"click" || action == L"fill";
    if (!bButton && action != L"escape" && action != L"close" && action != L"wait")
        return Usage();
    if (bButton && argc < 4)
        return Usage();
    Search search;
    search.caption = argv[2];
    int nButton = bButton ? _wtoi(argv[3]) : 0;
    DWORD dwTimeoutMs = dwDefaultTimeoutMs;
    std::vector<std::pair<int, std::wstring>> fills;
    for (int i = bButton ? 4 : 3; i < argc; ++i)
    {
        std::wstring arg = argv[i];
        size_t equals = arg.find(L'=');
        bool bValue = i + 1 < argc;
        if (arg == L"--timeout" && bValue)
            dwTimeoutMs = (DWORD)_wtoi(argv[++i]);
        else if (arg == L"--with-control" && bValue)
            search.withControls.push_back(_wtoi(argv[++i]));
        else if (arg == L"--without-control" && bValue)
            search.withoutControls.push_back(_wtoi(argv[++i]));
        else if (arg == L"--with-text" && bValue)
            search.withTexts.push_back(argv[++i]);
        else if (action == L"fill" && equals != std::wstring::npos)
            fills.push_back({_wtoi(arg.substr(0, equals).c_str()), arg.substr(equals + 1)});
        else
            return Usage();
    }

    bool bClosed = false;
    HWND hwndDialog = WaitForDialog(search, dwTimeoutMs, &bClosed);
    if (bClosed)
    {
        Print(L"closed by its program: " + Describe(search));
        return 3;
    }
    if (hwndDialog == NULL)
    {
        Print(L"timed out after " + std::to_wstring(dwTimeoutMs) + L" ms waiting for " +
              Describe(search) + L"; up instead:");
        EnumWindows(ListDialog, 0);
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
    bool bPosted = true;
    std::wstring done = L"found";
    if (action == L"escape")
    {
        bPosted = PressEscape(hwndDialog);
        done = L"escaped";
    }
    else if (action == L"close")
    {
        bPosted = PressCloseBox(hwndDialog);
        done = L"closed";
    }
    else if (bButton)
    {
        bPosted = Press(hwndDialog, nButton);
        done = L"clicked " + std::to_wstring(nButton);
    }
    // Posting fails when the window is gone: its program closed it after it was found.
    if (!bPosted && !IsWindow(hwndDialog))
    {
        Print(L"closed by its program: " + Describe(search));
        return 3;
    }
    if (!bPosted)
        return 1;
    Print(done);
    return 0;
}
