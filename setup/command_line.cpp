// Splitting, walking and interpreting the command line. Nothing here reports a wrong option:
// whatever does not match the table is passed over.
#include "command_line.h"
#include "setup_base/setup_base.h"

namespace {

enum SplitState { StateBetween, StateUnquoted, StateQuoted, StateEscape };

const WCHAR chSpace = L' ';
const WCHAR chQuote = L'"';
const WCHAR chBackslash = L'\\';

// Appends pszText to the properties string; false, with nothing written, when it does not fit.
bool AppendProperty(SetupOptions* pOptions, LPCWSTR pszText)
{
    DWORD cchUsed = (DWORD)lstrlenW(pOptions->pszProperties);
    DWORD cchText = (DWORD)lstrlenW(pszText);
    if (cchUsed + cchText >= pOptions->cchProperties)
        return false;
    lstrcpyW(pOptions->pszProperties + cchUsed, pszText);
    return true;
}

OptionResult TakeProperty(LPWSTR pszValue, SetupOptions* pOptions)
{
    LPWSTR pszEquals = (LPWSTR)FindChar(pszValue, L'=');
    if (pszEquals == NULL)
        return OptionTaken;

    // Check the whole property first: a half-appended one would run as a different property.
    DWORD cchNeeded = 1 + (DWORD)lstrlenW(pszValue) + 2;
    DWORD cchUsed = (DWORD)lstrlenW(pOptions->pszProperties);
    if (cchUsed + cchNeeded >= pOptions->cchProperties)
        return OptionNoRoom;

    *pszEquals = L'\0';
    LPCWSTR pszPropertyValue = pszEquals + 1;
    AppendProperty(pOptions, L" ");
    AppendProperty(pOptions, pszValue);
    AppendProperty(pOptions, L"=\"");
    AppendProperty(pOptions, pszPropertyValue);
    AppendProperty(pOptions, L"\"");
    return OptionTaken;
}

} // namespace

void ClearOptions(SetupOptions* pOptions, LPWSTR pszProperties, DWORD cchProperties)
{
    pOptions->bSilent = false;
    pOptions->bAdminInstall = false;
    pOptions->bUninstall = false;
    pOptions->pszProductCode = NULL;
    pOptions->pszLogPath = NULL;
    pOptions->pszMsiexecArgs = NULL;
    pOptions->pszProperties = pszProperties;
    pOptions->cchProperties = cchProperties;
    if (pszProperties != NULL && cchProperties > 0)
        pszProperties[0] = L'\0';
}

DWORD TokenBufferCapacity(DWORD cchCommandLine)
{
    return cchCommandLine + 1;
}

// Each property token of n characters becomes n + 1 characters, so a command line made of
// property tokens and single spaces alone needs one character more than the token buffer.
DWORD PropertiesCapacity(DWORD cchCommandLine)
{
    return cchCommandLine + 2;
}

int SplitCommandLine(LPCWSTR pszCommandLine, LPWSTR pszTokens)
{
    int cchInput = lstrlenW(pszCommandLine);
    LPWSTR pszOut = pszTokens;
    SplitState state = StateBetween;
    for (int i = 0; i < cchInput; ++i)
    {
        WCHAR ch = pszCommandLine[i];
        switch (state)
        {
        case StateBetween:
            if (ch == chQuote)
                state = StateQuoted;
            else if (ch != chSpace)
            {
                *pszOut++ = ch;
                state = StateUnquoted;
            }
            break;
        case StateUnquoted:
            if (ch == chSpace)
            {
                *pszOut++ = L'\0';
                state = StateBetween;
            }
            else if (ch == chQuote)
                state = StateQuoted;
            else
                *pszOut++ = ch;
            break;
        case StateQuoted:
            if (ch == chBackslash)
                state = StateEscape;
            else if (ch == chQuote)
                state = StateUnquoted;
            else
                *pszOut++ = ch;
            break;
        case StateEscape:
            // Only a quote can be escaped; any other character keeps the backslash before it.
            if (ch != chQuote)
                *pszOut++ = chBackslash;
            *pszOut++ = ch;
            state = StateQuoted;
            break;
        }
    }
    *pszOut++ = L'\0';
    return (int)(pszOut - pszTokens);
}

LPWSTR GetNextToken(TokenCursor* pCursor)
{
    if (pCursor->cchLeft <= 0)
        return NULL;
    LPWSTR pszToken = pCursor->pszNext;
    while (*pCursor->pszNext != L'\0')
    {
        ++pCursor->pszNext;
        if (--pCursor->cchLeft == 0)
            break;
    }
    if (pCursor->cchLeft > 0)
    {
        ++pCursor->pszNext;
        --pCursor->cchLeft;
    }
    return pszToken;
}

OptionResult InterpretOption(LPWSTR pszToken, SetupOptions* pOptions)
{
    if (pszToken[0] != L'-' && pszToken[0] != L'/')
        return OptionTaken;
    LPWSTR pszValue = pszToken[1] != L'\0' ? pszToken + 2 : pszToken + 1;
    switch (pszToken[1])
    {
    case L'?': case L'h': case L'H':
        return OptionHelp;
    case L's': case L'S':
        pOptions->bSilent = true;
        break;
    case L'a': case L'A':
        pOptions->bAdminInstall = true;
        break;
    case L'x': case L'X':
        pOptions->bUninstall = true;
        pOptions->pszProductCode = pszValue;
        break;
    case L'p': case L'P':
        return TakeProperty(pszValue, pOptions);
    case L'l': case L'L':
        pOptions->pszLogPath = pszValue;
        break;
    case L'v': case L'V':
        pOptions->pszMsiexecArgs = pszValue;
        break;
    default:
        break;
    }
    return OptionTaken;
}
