// The mirror-list opener: the first node of a ';'-separated URL list that opens, tried in list
// or random order, FTP passive then active, with a proxy log-on where a proxy asks for one.
#include "InetCopy.h"
#include "../setup_base/setup_base.h"
#include "../WinInet/WinInet.h"

namespace {

const DWORD dwActiveFlags = dwOpenUrlFlags;
const DWORD dwPassiveFlags = dwActiveFlags | INTERNET_FLAG_PASSIVE;
static_assert(dwActiveFlags == 0x80400310 && dwPassiveFlags == 0x88400310, "flag words");

const int nMaxLogonDialogs = 3;
const DWORD dwAuthDialogFlags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS
                              | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS
                              | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;
// Only a success answer carries the file: an error page, a redirection that WinInet did not
// follow, or "no content" saved as the package would be handed to msiexec.
const DWORD dwFirstSuccessStatus = 200;
const DWORD dwFirstRedirectionStatus = 300;

const DWORD dwRandomMultiplier = 214013;
const DWORD dwRandomIncrement = 2531011;

// ---------------------------------------------------------------------------------------------
// NodeList: the nodes of one URL list, pointing into the list's text. The sentinel always
// ends the list, so a node is linked in before it without special cases at the tail.

struct Node
{
    LPCWSTR pBegin;
    LPCWSTR pEnd;       // the ';' or the terminator after the node's last character
    Node* pPrev;
    Node* pNext;
};

struct NodeList
{
    Node* pFirst;
    Node* pSentinel;
};

// False, with the allocation's report, when not even the sentinel can be had; the list is
// then empty and safe to destroy.
bool CreateNodeList(NodeList& list)
{
    list.pSentinel = AllocItems<Node>(1);
    list.pFirst = list.pSentinel;
    return list.pSentinel != NULL;
}

bool IsNodeListEmpty(const NodeList& list)
{
    return list.pFirst == list.pSentinel;
}

bool AppendNode(NodeList& list, LPCWSTR pBegin, LPCWSTR pEnd)
{
    Node* pNode = AllocItems<Node>(1);
    if (pNode == NULL)
        return false;
    pNode->pBegin = pBegin;
    pNode->pEnd = pEnd;
    pNode->pPrev = list.pSentinel->pPrev;
    pNode->pNext = list.pSentinel;
    if (pNode->pPrev != NULL)
        pNode->pPrev->pNext = pNode;
    else
        list.pFirst = pNode;
    list.pSentinel->pPrev = pNode;
    return true;
}

// The sentinel when the list has no more than dwIndex nodes.
Node* NodeAt(const NodeList& list, DWORD dwIndex)
{
    Node* pNode = list.pFirst;
    for (; dwIndex > 0 && pNode != list.pSentinel; --dwIndex)
        pNode = pNode->pNext;
    return pNode;
}

void RemoveNode(NodeList& list, Node* pNode)
{
    pNode->pNext->pPrev = pNode->pPrev;
    if (pNode->pPrev != NULL)
        pNode->pPrev->pNext = pNode->pNext;
    else
        list.pFirst = pNode->pNext;
    FreeBlock(pNode);
}

void DestroyNodeList(NodeList& list)
{
    Node* pNode = list.pFirst;
    while (pNode != NULL)
    {
        Node* pNext = pNode->pNext;
        FreeBlock(pNode);
        pNode = pNext;
    }
    list.pFirst = NULL;
    list.pSentinel = NULL;
}

// Every segment becomes a node, empty ones included, so that node numbers in the trace match
// positions in the list. False when a node could not be allocated.
bool ParseNodes(NodeList& list, LPCWSTR pszUrlList, DWORD& dwCount)
{
    dwCount = 0;
    if (!CreateNodeList(list))
        return false;
    for (LPCWSTR pBegin = pszUrlList; pBegin != NULL; )
    {
        LPCWSTR pEnd = NULL;
        LPCWSTR pNext = NextListItem(pBegin, &pEnd);
        if (!AppendNode(list, pBegin, pEnd))
            return false;
        ++dwCount;
        pBegin = pNext;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Trying the nodes

DWORD NextRandom(DWORD& dwState)
{
    dwState = dwState * dwRandomMultiplier + dwRandomIncrement;
    return (dwState >> 16) & 0x7FFF;
}

enum NodeOutcome
{
    NODE_FAILED,        // go on with the next node
    NODE_OPENED,
    NODE_REFUSED,       // proxy authentication failed: the rest of the list is abandoned
    NODE_STOPPED,       // the callback asked to stop
};

HINTERNET OpenNodeUrl(HINTERNET hSession, LPCWSTR pszUrl)
{
    bool bFtp = IsFtpUrl(pszUrl);
    HINTERNET hDest = NULL;
    if (bFtp)
    {
        TracePrint("*** Try open URL procedure: try passive FTP mode ***");
        hDest = WinInetApi.InternetOpenUrlW(hSession, pszUrl, NULL, 0, dwPassiveFlags, 0);
        VERIFY_WININET_CALL(hDest != NULL);
    }
    if (hDest == NULL)
    {
        if (bFtp)
            TracePrint("*** Try open URL procedure: passive FTP mode failed, try active FTP mode ***");
        hDest = WinInetApi.InternetOpenUrlW(hSession, pszUrl, NULL, 0, dwActiveFlags, 0);
        VERIFY_WININET_CALL(hDest != NULL);
    }
    return hDest;
}

NodeOutcome OpenNode(const TryOpenUrlParams& params, LPCWSTR pszUrl, OpenUrlProgress& progress,
                     HINTERNET& hDest)
{
    InternetHandle dest(OpenNodeUrl(params.hSession, pszUrl));
    if (dest.IsOpen())
    {
        StatusCheck status = CheckStatusCode(params.hSession, dest.get(), params.hwndParent,
                                             params.plCancelled);
        if (status == STATUS_OPENED)
        {
            TracePrint("*** Try open URL procedure: node %S successfully opened ***", pszUrl);
            if (params.pszOpenedUrl != NULL)
                lstrcpyW(params.pszOpenedUrl, pszUrl);
            hDest = dest.release();
            return NODE_OPENED;
        }
        if (status == STATUS_UNAUTHORIZED)
        {
            TracePrint("*** Try open URL procedure: Authorization is failed ***");
            return NODE_REFUSED;
        }
        dest.reset();
    }

    TracePrint("*** Try open URL procedure: can't open node %S ***", pszUrl);
    if (!SendEvent(params.pfnCallback, PROGRESS_STEP, &progress, params.pCallbackData))
        return NODE_STOPPED;
    return NODE_FAILED;
}

// An empty node, or one whose text can't be had, is passed over without a line or an event.
NodeOutcome TryNode(const TryOpenUrlParams& params, const Node& node, OpenUrlProgress& progress,
                    HINTERNET& hDest)
{
    DWORD cchNode = (DWORD)(node.pEnd - node.pBegin);
    if (cchNode == 0)
        return NODE_FAILED;
    LPWSTR pszUrl = AllocText(cchNode + 1);
    if (pszUrl == NULL)
        return NODE_FAILED;
    CopyChars(pszUrl, node.pBegin, cchNode);
    TracePrint("*** Try open URL procedure: node #%d: %S ***", progress.dwCurrentNode, pszUrl);

    NodeOutcome outcome = OpenNode(params, pszUrl, progress, hDest);
    FreeBlock(pszUrl);
    return outcome;
}

// Nodes that failed leave the list, so none is tried twice and the random index is taken
// among those that are left.
bool TryNodes(const TryOpenUrlParams& params, NodeList& list, OpenUrlProgress& progress,
              HINTERNET& hDest)
{
    DWORD dwRandomState = GetTickCount();
    hDest = NULL;
    TracePrint("*** Try open URL procedure: try nodes: start ***");
    progress.dwCurrentNode = 1;

    bool bOpened = false;
    for (DWORD dwCount = progress.dwNodesTotal; !IsNodeListEmpty(list) && dwCount > 0; --dwCount)
    {
        DWORD dwIndex = params.bRandom ? NextRandom(dwRandomState) % dwCount : 0;
        Node* pNode = NodeAt(list, dwIndex);
        if (pNode == list.pSentinel)
            break;
        NodeOutcome outcome = TryNode(params, *pNode, progress, hDest);
        if (outcome != NODE_FAILED)
        {
            bOpened = outcome == NODE_OPENED;
            if (bOpened)
            {
                progress.opened.ichBegin = (DWORD)(pNode->pBegin - params.szUrlList);
                progress.opened.cch = (DWORD)(pNode->pEnd - pNode->pBegin);
            }
            break;
        }
        RemoveNode(list, pNode);
        ++progress.dwCurrentNode;
    }

    TracePrint("*** Try open URL procedure: try nodes: end ***");
    return bOpened;
}

bool IsProxyInUse(HINTERNET hSession)
{
    DWORD cbInfo = 0;
    WinInetApi.InternetQueryOptionW(hSession, INTERNET_OPTION_PROXY, NULL, &cbInfo);
    if (cbInfo < sizeof(INTERNET_PROXY_INFO))
        return false;
    HeapPtr<INTERNET_PROXY_INFO> info(static_cast<INTERNET_PROXY_INFO*>(AllocBlock(cbInfo)));
    const INTERNET_PROXY_INFO* pInfo = info.get();
    if (pInfo == NULL ||
        !WinInetApi.InternetQueryOptionW(hSession, INTERNET_OPTION_PROXY, info.get(), &cbInfo))
        return false;
    return pInfo->dwAccessType == INTERNET_OPEN_TYPE_PROXY && pInfo->lpszProxy != NULL &&
           pInfo->lpszProxy[0] != 0;
}

// True when the proxy log-on was given and the request sent again.
bool AskForProxyLogon(HINTERNET hDest, HWND hwndParent)
{
    TracePrint("*** Check status code: authorization is required ***");
    DWORD dwDialog = WinInetApi.InternetErrorDlg(hwndParent, hDest,
                                                 ERROR_INTERNET_INCORRECT_PASSWORD,
                                                 dwAuthDialogFlags, NULL);
    if (dwDialog != ERROR_INTERNET_FORCE_RETRY)
    {
        TracePrint("*** Check status code: authorization is cancelled: %d ***", (int)dwDialog);
        return false;
    }
    TracePrint("*** Check status code: send authorization information ***");
    // A failed resend shows up as the next status query's answer.
    BOOL resSR = WinInetApi.HttpSendRequestW(hDest, NULL, 0, NULL, 0);
    VERIFY_WININET_CALL(resSR != FALSE);
    return true;
}

// Copies a list that fits whole; a longer one is cut after its last URL that fits, never
// inside one, which would send the mirror a URL it never listed. The block is zero-filled, so
// the copy is terminated already.
void CopyWholeUrls(LPWSTR pszDest, LPCWSTR pszUrlList)
{
    DWORD cchList = (DWORD)lstrlenW(pszUrlList);
    DWORD cchCopy = cchList;
    if (cchList > cchUrlListMax)
    {
        cchCopy = 0;
        if (pszUrlList[cchUrlListMax] == chListSeparator)
            cchCopy = cchUrlListMax;
        for (DWORD i = cchUrlListMax; i > 0 && cchCopy == 0; --i)
        {
            if (pszUrlList[i - 1] == chListSeparator)
                cchCopy = i - 1;
        }
    }
    CopyChars(pszDest, pszUrlList, cchCopy);
}

} // namespace

StatusCheck CheckStatusCode(HINTERNET hSession, HINTERNET hDest, HWND hwndParent,
                            const volatile LONG* plCancelled)
{
    for (int nAttempt = 0;; )
    {
        DWORD dwStatus = 0;
        DWORD cbStatus = sizeof(dwStatus);
        if (!WinInetApi.HttpQueryInfoW(hDest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                       &dwStatus, &cbStatus, NULL))
        {
            TracePrint("*** Check status code: can't get status code, no proxy is used ***");
            return STATUS_OPENED;
        }
        TracePrint("*** Check status code: status code = %d ***", (int)dwStatus);

        // A server that is no proxy has no business asking for a proxy log-on, and WinInet's
        // log-on dialog has no proxy to name then (Wine's fails on the missing name).
        if (dwStatus == HTTP_STATUS_PROXY_AUTH_REQ && !IsProxyInUse(hSession))
        {
            TracePrint("*** Check status code: no proxy is used ***");
            return STATUS_ERROR;
        }
        if (dwStatus != HTTP_STATUS_PROXY_AUTH_REQ)
        {
            // Wine reports 0 for a server that closed before its headers. Part of a file (this
            // open never asks for a range) is not the file either.
            bool bUsable = dwStatus >= dwFirstSuccessStatus && dwStatus < dwFirstRedirectionStatus
                           && dwStatus != HTTP_STATUS_NO_CONTENT
                           && dwStatus != HTTP_STATUS_RESET_CONTENT
                           && dwStatus != HTTP_STATUS_PARTIAL_CONTENT;
            return bUsable ? STATUS_OPENED : STATUS_ERROR;
        }
        // A transfer left behind after a Cancel must not put a dialog before the person.
        if (plCancelled != NULL && __atomic_load_n(plCancelled, __ATOMIC_SEQ_CST) != 0)
        {
            TracePrint("*** Check status code: cancelled ***");
            return STATUS_UNAUTHORIZED;
        }
        if (nAttempt < nMaxLogonDialogs && !AskForProxyLogon(hDest, hwndParent))
            return STATUS_UNAUTHORIZED;
        if (++nAttempt > nMaxLogonDialogs)
            return STATUS_UNAUTHORIZED;
    }
}

bool TryOpenUrl(HINTERNET hSession, HWND hwndParent, LPCWSTR pszUrlList, bool bRandom,
                ProgressCallback pfnCallback, void* pCallbackData, HINTERNET* phDest,
                LPWSTR pszOpenedUrl, const volatile LONG* plCancelled)
{
    TracePrint("*** Try open URL: start ***");
    TryOpenUrlParams* pParams = AllocItems<TryOpenUrlParams>(1);
    if (pParams == NULL)
        return false;

    TracePrint("*** Try open URL: setup parameters ***");
    pParams->hSession = hSession;
    pParams->hwndParent = hwndParent;
    if (pszUrlList != NULL)
        CopyWholeUrls(pParams->szUrlList, pszUrlList);
    pParams->bRandom = bRandom;
    pParams->pfnCallback = pfnCallback;
    pParams->pCallbackData = pCallbackData;
    pParams->phDest = phDest;
    pParams->pszOpenedUrl = pszOpenedUrl;
    pParams->plCancelled = plCancelled;

    TracePrint("*** Try open URL: start procedure synchronously ***");
    return TryOpenUrlProc(pParams) == 0;
}

int WINAPI TryOpenUrlProc(void* pvParams)
{
    if (pvParams == NULL)
        return -1;
    HeapPtr<TryOpenUrlParams> ptrParams(static_cast<TryOpenUrlParams*>(pvParams));
    const TryOpenUrlParams& params = *ptrParams.get();

    TracePrint("*** Try open URL procedure: start ***");
    NodeList list;
    OpenUrlProgress progress;
    ZeroBytes(&progress, sizeof(progress));
    TracePrint("*** Try open URL procedure: parse nodes: start ***");
    // Without a whole list there is nothing sound to try; the allocation has reported itself.
    bool bParsed = ParseNodes(list, params.szUrlList, progress.dwNodesTotal);

    HINTERNET hDest = NULL;
    bool bOpened = false;
    if (bParsed)
    {
        if (!SendEvent(params.pfnCallback, PROGRESS_STARTED, &progress, params.pCallbackData))
        {
            DestroyNodeList(list);
            return -1;
        }
        TracePrint("*** Try open URL procedure: parse nodes: end ***");
        bOpened = TryNodes(params, list, progress, hDest);
    }

    if (params.phDest != NULL)
        *params.phDest = hDest;
    else if (hDest != NULL)
        CloseInternetHandle(hDest);    // nobody to hand it to
    SendEvent(params.pfnCallback, bOpened ? PROGRESS_COMPLETED : PROGRESS_FAILED, &progress,
              params.pCallbackData);
    TracePrint("*** Try open URL procedure: end ***");
    DestroyNodeList(list);
    return bOpened ? 0 : -1;
}
