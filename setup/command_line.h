// The setup's own command-line rules: splitting into tokens, walking them, and the option table.
#pragma once

#include <windows.h>

// The interpreted command line. The pointers point into the token buffer, which outlives the
// record; pszProperties is a heap string of cchProperties characters owned by the run.
struct SetupOptions
{
    bool bSilent;
    bool bAdminInstall;
    bool bUninstall;
    LPCWSTR pszProductCode;     // NULL: not given
    LPCWSTR pszLogPath;         // NULL: not given; "" still names a (empty) log path
    LPCWSTR pszMsiexecArgs;     // NULL: not given
    LPWSTR pszProperties;       // each property as ' NAME="VALUE"'
    DWORD cchProperties;        // capacity, terminator included
};

struct TokenCursor
{
    LPWSTR pszNext;
    LONG cchLeft;               // characters of the token buffer not yet consumed
};

enum OptionResult
{
    OptionTaken,                // the record was updated, or the token ignored
    OptionHelp,                 // the help exit ends the run
    OptionNoRoom,               // the properties string has no room left
};

void ClearOptions(SetupOptions* pOptions, LPWSTR pszProperties, DWORD cchProperties);

// Capacities for a command line of cchCommandLine characters.
DWORD TokenBufferCapacity(DWORD cchCommandLine);
DWORD PropertiesCapacity(DWORD cchCommandLine);

// Writes the tokens of the command line into pszTokens, which must hold
// TokenBufferCapacity(length) characters; returns the characters written, the final
// terminator included.
int SplitCommandLine(LPCWSTR pszCommandLine, LPWSTR pszTokens);

// The next token, or NULL when the cursor is used up.
LPWSTR GetNextToken(TokenCursor* pCursor);

// Interprets one token; may write into the token (a property's '=' becomes its terminator).
OptionResult InterpretOption(LPWSTR pszToken, SetupOptions* pOptions);
