// Message-map look-up and dispatch.
#include "afx/afxwin.h"

namespace {

// Menu and accelerator commands (lParam 0) carry codes 0 and 1; both are
// plain commands to the map.
UINT CommandCode(WPARAM wParam, LPARAM lParam)
{
    return lParam == 0 ? 0 : HIWORD(wParam);
}

BOOL EntryMatches(const AFX_MSGMAP_ENTRY& entry, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (entry.nMessage != message)
        return FALSE;
    if (message != WM_COMMAND)
        return TRUE;
    return entry.nID == LOWORD(wParam) && entry.nCode == CommandCode(wParam, lParam);
}

const AFX_MSGMAP_ENTRY* FindEntry(const AFX_MSGMAP* pMap, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Derived maps come first, so a class can override a base's entry.
    for (; pMap != nullptr; pMap = pMap->pfnGetBaseMap ? pMap->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* pEntry = pMap->lpEntries; pEntry->pfnCall; ++pEntry) {
            if (EntryMatches(*pEntry, message, wParam, lParam))
                return pEntry;
        }
    }
    return nullptr;
}

const AFX_MSGMAP_ENTRY g_rootEntries[] = { { 0, 0, 0, nullptr } };
const AFX_MSGMAP g_rootMap = { nullptr, g_rootEntries };

} // namespace

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    return &g_rootMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

BOOL CCmdTarget::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    const AFX_MSGMAP_ENTRY* pEntry = FindEntry(GetMessageMap(), message, wParam, lParam);
    if (pEntry == nullptr)
        return FALSE;
    *pResult = pEntry->pfnCall(this, wParam, lParam);
    return TRUE;
}
