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
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= count.dwBackoffMs)
        {
            count.dwBackoffMs = count.dwBackoffMs * 2 < dwLastBackoffMs ? count.dwBackoffMs * 2
                                                                        : dwLastBackoffMs;
            return true;
        }
        // Polled, so that a Cancel ends the wait within a poll; the last poll no longer.
        DWORD dwLeft = count.dwBackoffMs - dwElapsed;
        Sleep(dwLeft < dwBackoffPollMs ? dwLeft : dwBackoffPollMs);
    }
    return false;
}

bool NextMirror(LPWSTR pszList, LPWSTR pszUrl)
{
    DWORD cchUrl = (DWORD)lstrlenW(pszUrl);
    bool bDropped = false;
    LPCWSTR pFirst = NULL;
    DWORD cchFirst = 0;
    for (LPWSTR pNode = pszList; ; )
    {
        DWORD cchNode = NodeLength(pNode);
        LPWSTR pEnd = pNode + cchNode;
        if (!bDropped && cchNode == cchUrl && CompareChars(pNode, pszUrl, cchUrl) == 0)
        {
            // Left as empty nodes, which every walk of a list passes over.
            for (; pNode < pEnd; ++pNode)
                *pNode = chListSeparator;
            bDropped = true;
        }
        else if (pFirst == NULL && cchNode > 0 && cchNode <= cchUrlListMax)
        {
            pFirst = pNode;
            cchFirst = cchNode;
        }
        if (*pEnd == L'\0')
            break;
        pNode = pEnd + 1;
    }
    if (pFirst == NULL)
        return false;
    CopyChars(pszUrl, pFirst, cchFirst);
    pszUrl[cchFirst] = L'\0';
    return true;
}
