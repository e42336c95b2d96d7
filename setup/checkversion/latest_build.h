// The update decision: is a newer build listed, does the person want it, where is it saved.
#pragma once

#include "update_check.h"

#include <wininet.h>

// The local package's full path (MAX_PATH characters): beside the executable, not in the
// current directory, unless the name is a path itself; false when it can't be had whole.
bool GetLocalPackagePath(LPCWSTR pszMsiPackage, LPWSTR pszPath);

// True only when a newer build was accepted, saved, downloaded completely and its companion
// files copied; the own BuildInfo's URL list is then the chosen local path. The session is
// opened into hSession, which stays the caller's to close: a transfer left behind after a
// Cancel may still use it.
bool CheckLatestBuild(CallbackParam& param, HINTERNET& hSession, BuildInfo& own,
                      ConfirmCallback* pConfirm);

// The Yes/No question of string 1104 with the latest version in it.
bool ConfirmNewBuild(HWND hDialog, const BuildInfo& latest);

// The question's text: pszMessage with its first '%' replaced by pszVersion and the installer
// engine's bracket escapes "[\[]" and "[\]]" shown as "[" and "]", as a new heap text; none
// when the message has no '%' or the text cannot be allocated.
LPWSTR ComposeQuestion(LPCWSTR pszMessage, LPCWSTR pszVersion);

// The default file name of the Save As dialog: the last part of the path of the list's first
// URL, decoded. Left empty (MAX_PATH zero characters) when it cannot be had or does not fit.
void SuggestFileName(LPCWSTR pszUrlList, LPWSTR pszName);
