// The rules of resuming a package download: the count, the back-off and the next mirror.
#include "resume.h"
#include "../InetCopy/InetCopy.h"

namespace {

const DWORD dwBackoffPollMs = 50;

// A node of a list: from pNode to the separator or the terminator.
DWORD NodeLength(LPCWSTR pNode)
{
    LPCWSTR pEnd = FindChar(pNode, chListSeparator);
    return pEnd != NULL ? (DWORD)(pEnd - pNode) : (DWORD)lstrlenW(pNode);
}

} // namespace

void InitResumeCount(ResumeCount& count)
{
    count.nCharged = 0;
    count.dwBackoffMs = dwFirstBackoffMs;
}

bool ChargeResume(ResumeCount& count, bool bGained)
{
    int nCharged = count.nCharged + (bGained ? 1 : 2);
    if (nCharged > nResumesMax)
        return false;
    count.nCharged = nCharged;
    return true;
}

bool WaitBackoff(ResumeCount& count, const CallbackParam& param)
{
    DWORD dwStart = GetTickCount();
    while (LoadState(param) == stateRunning && !IsCancelled(param))
    {
        if (GetTickCount() - dwStart >= count.dwBackoffMs)
        {
            count.dwBackoffMs = count.dwBackoffMs * 2 < dwLastBackoffMs ? count.dwBackoffMs * 2
                                                                        : dwLastBackoffMs;
            return true;
        }
        Sleep(dwBackoffPollMs);
    }
    return false;
}

bool NextMirror(LPWSTR pszList, LPWSTR pszUrl)
{
    DWORD cchUrl = (DWORD)lstrlenW(pszUrl);
    for (LPWSTR pNode = pszList; ; pNode += NodeLength(pNode) + 1)
    {
        DWORD cchNode = NodeLength(pNode);
        bool bLast = pNode[cchNode] == L'\0';
        if (cchNode == cchUrl && CompareChars(pNode, pszUrl, cchUrl) == 0)
        {
            // The rest of the list moves up over the node and its separator.
            LPCWSTR pRest = pNode + cchNode + (bLast ? 0 : 1);
            for (LPWSTR pTo = pNode; (*pTo++ = *pRest++) != L'\0'; )
            {
            }
            break;
        }
        if (bLast)
            break;
    }
    for (LPCWSTR pNode = pszList; ; pNode += NodeLength(pNode) + 1)
    {
        DWORD cchNode = NodeLength(pNode);
        if (cchNode > 0 && cchNode <= cchUrlListMax)
        {
            CopyChars(pszUrl, pNode, cchNode);
            pszUrl[cchNode] = L'\0';
            return true;
        }
        if (pNode[cchNode] == L'\0')
            return false;
    }
}
