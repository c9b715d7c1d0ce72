// afxwin.h - a small MFC-shaped application layer over the ANSI Win32 API:
// message maps (CCmdTarget), window wrappers (CWnd), modal dialogs from
// resource templates (CDialog), the paint DC (CPaintDC) and the application
// object (CWinApp) with its entry point. Only what the application uses;
// everything runs on the UI thread except AfxGetApp/AfxGetMainWnd/
// CWinApp::GetMainWnd, which any thread may call.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <type_traits>

// Marks message handlers in class declarations; expands to nothing.
#define afx_msg

// The framework's "Help" command. Commands the application handles have
// ids from 0x8000 up to 0xEFFF; control ids lie below.
#define ID_HELP 0xE146

class CCmdTarget;
class CWnd;
class CWinApp;

// ---------------------------------------------------------------------------
// Message maps

// Calls one handler on a target and returns the message's result.
typedef LRESULT (*AFX_PMSGCALL)(CCmdTarget* pTarget, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;        // window message; WM_COMMAND for commands
    UINT nCode;           // notification code of a command (BN_CLICKED = 0)
    UINT nID;             // command or control id of a command, else 0
    AFX_PMSGCALL pfnCall; // null ends the table
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)(); // null for the root of the chain
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// Handler adapters: one per handler signature. The member pointer is a
// template argument of exactly the expected type, so a handler with another
// signature fails to compile instead of being called wrongly.
template <class TMap, class TOwner, void (TOwner::*pfn)()>
LRESULT AfxCallVoid(CCmdTarget* pTarget, WPARAM, LPARAM)
{
    (static_cast<TMap*>(pTarget)->*pfn)();
    return 0;
}

template <class TMap, class TOwner, HCURSOR (TOwner::*pfn)()>
LRESULT AfxCallCursor(CCmdTarget* pTarget, WPARAM, LPARAM)
{
    return reinterpret_cast<LRESULT>((static_cast<TMap*>(pTarget)->*pfn)());
}

template <class TMap, class TOwner, BOOL (TOwner::*pfn)()>
LRESULT AfxCallBool(CCmdTarget* pTarget, WPARAM, LPARAM)
{
    return (static_cast<TMap*>(pTarget)->*pfn)();
}

template <class TMap, class TOwner, void (TOwner::*pfn)(BOOL)>
LRESULT AfxCallVoidBool(CCmdTarget* pTarget, WPARAM wParam, LPARAM)
{
    (static_cast<TMap*>(pTarget)->*pfn)(wParam != 0);
    return 0;
}

template <class TMap, class TOwner, LRESULT (TOwner::*pfn)(WPARAM, LPARAM)>
LRESULT AfxCallMessage(CCmdTarget* pTarget, WPARAM wParam, LPARAM lParam)
{
    return (static_cast<TMap*>(pTarget)->*pfn)(wParam, lParam);
}

// The class that declares a member function (a base class for inherited
// handlers such as CWinApp::OnHelp).
template <class T> struct AfxMemberOwner;
template <class R, class C, class... A> struct AfxMemberOwner<R (C::*)(A...)> {
    using type = C;
};

#define AFX_OWNER_OF(memberFxn) \
    typename AfxMemberOwner<decltype(&ThisClass::memberFxn)>::type

// Handlers are named as in MFC 4.2: the bare member name (OnShowImage) or a
// base-class member (CWinApp::OnHelp), without '&'.
#define AFX_CALL(adapter, memberFxn) \
    &adapter<ThisClass, AFX_OWNER_OF(memberFxn), &ThisClass::memberFxn>

// In a class declaration: the class has a message map of its own.
#define DECLARE_MESSAGE_MAP()                           \
protected:                                              \
    static const AFX_MSGMAP* GetThisMessageMap();       \
    const AFX_MSGMAP* GetMessageMap() const override;

// In the class's source file: BEGIN_MESSAGE_MAP, entries, END_MESSAGE_MAP.
// Messages no entry handles go to the base class's map, then to the
// default handling.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                  \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                             \
    {                                                                           \
        typedef theClass ThisClass;                                             \
        typedef baseClass TheBaseClass;                                         \
        static_assert(std::is_base_of<TheBaseClass, ThisClass>::value,          \
            "BEGIN_MESSAGE_MAP: the second argument must be a base class");     \
        static const AFX_MSGMAP_ENTRY s_entries[] = {

#define END_MESSAGE_MAP()                                                       \
            { 0, 0, 0, nullptr }                                                \
        };                                                                      \
        static const AFX_MSGMAP s_map = { &TheBaseClass::GetThisMessageMap, s_entries }; \
        return &s_map;                                                          \
    }

// afx_msg void OnPaint()
#define ON_WM_PAINT() { WM_PAINT, 0, 0, AFX_CALL(AfxCallVoid, OnPaint) },
// afx_msg HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON() \
    { WM_QUERYDRAGICON, 0, 0, AFX_CALL(AfxCallCursor, OnQueryDragIcon) },
// afx_msg BOOL OnQueryEndSession()
#define ON_WM_QUERYENDSESSION() \
    { WM_QUERYENDSESSION, 0, 0, AFX_CALL(AfxCallBool, OnQueryEndSession) },
// afx_msg void OnEndSession(BOOL bEnding)
#define ON_WM_ENDSESSION() { WM_ENDSESSION, 0, 0, AFX_CALL(AfxCallVoidBool, OnEndSession) },
// afx_msg void OnDestroy()
#define ON_WM_DESTROY() { WM_DESTROY, 0, 0, AFX_CALL(AfxCallVoid, OnDestroy) },
// afx_msg void memberFxn() - a click of push button id
#define ON_BN_CLICKED(id, memberFxn) \
    { WM_COMMAND, BN_CLICKED, static_cast<UINT>(id), AFX_CALL(AfxCallVoid, memberFxn) },
// afx_msg void memberFxn() - command id from a button, menu or accelerator
#define ON_COMMAND(id, memberFxn) \
    { WM_COMMAND, 0, static_cast<UINT>(id), AFX_CALL(AfxCallVoid, memberFxn) },
// afx_msg LRESULT memberFxn(WPARAM wParam, LPARAM lParam) - any message
#define ON_MESSAGE(msg, memberFxn) \
    { static_cast<UINT>(msg), 0, 0, AFX_CALL(AfxCallMessage, memberFxn) },

// Base of every class with a message map.
class CCmdTarget {
public:
    CCmdTarget() = default;
    virtual ~CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;

    // Runs the first matching entry of this object's map chain; TRUE and
    // *pResult if one ran, FALSE if no entry handles the message.
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

// ---------------------------------------------------------------------------
// Windows

// Wraps a window handle. A CWnd does not own its window.
class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;

    HWND GetSafeHwnd() const;

    // The wrapper of a child control, or nullptr if there is none. The
    // wrapper belongs to this CWnd and lives as long as this object does.
    CWnd* GetDlgItem(int nID) const;

    int GetWindowText(LPSTR lpszString, int nMaxCount) const;
    void SetWindowText(LPCSTR lpszString);
    int GetDlgItemText(int nID, LPSTR lpStr, int nMaxCount) const;
    // The value in decimal, with a '-' for a negative one when bSigned.
    void SetDlgItemInt(int nID, UINT nValue, BOOL bSigned = TRUE);

    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    void GetClientRect(LPRECT lpRect) const;
    BOOL IsIconic() const;

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    int MessageBox(LPCSTR lpszText, LPCSTR lpszCaption, UINT nType = MB_OK);
    // Returns the previous icon of that size.
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);

    // Routes the messages of pParent's control nID through this object's
    // message map from now on, as in MFC: what the map leaves, and what a
    // handler hands to Default(), go on to the control's own procedure.
    // Called on the control's thread; FALSE if there is no such control or
    // this object routes a live window already.
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    // Gives the control its own procedure back (its owner calls it from
    // OnDestroy; the object's destruction does too) and forgets it. Returns
    // the control, or nullptr if none was routed.
    HWND UnsubclassWindow();

    HWND m_hWnd = nullptr;

protected:
    // Asks for the default handling of the message being handled. In a
    // dialog that handling runs after the handler returns; the result is 0.
    LRESULT Default();

    // Base handler for derived OnDestroy handlers to call, as in MFC.
    afx_msg void OnDestroy();

    // Called on the window's last message: forgets the handle.
    void DetachWindow();

    BOOL* m_pbDefaultRequested = nullptr; // flag of the message in handling

private:
    static LRESULT CALLBACK SubclassWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleSubclassedMessage(UINT message, WPARAM wParam, LPARAM lParam);

    mutable std::map<int, std::unique_ptr<CWnd>> m_itemWrappers;
    WNDPROC m_pfnSuper = nullptr; // the routed control's own procedure
};

// A modal dialog from a dialog template of the application's resources.
// Its owner is the main window, or the dialog that is modal over it, so it
// is modal over the whole application; pParentWnd is there for MFC's
// constructor shape and must be null (no dialog here has another parent).
class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Runs the dialog; returns the EndDialog result, or -1 if the dialog
    // could not be created.
    virtual INT_PTR DoModal();
    // Called before the dialog shows; TRUE lets the system set the focus.
    virtual BOOL OnInitDialog();
    void EndDialog(int nResult);

protected:
    afx_msg virtual void OnOK();     // IDOK: ends with IDOK
    afx_msg virtual void OnCancel(); // IDCANCEL: ends with IDCANCEL

    DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL Dispatch(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    BOOL IsOwnLifecycle(UINT message) const;
    HWND FindOwner() const;

    UINT m_nIDTemplate;
    BOOL m_bInitialized = FALSE; // WM_INITDIALOG has been handled
    BOOL m_bEnding = FALSE;      // EndDialog called: the window's destruction follows
    BOOL m_bRunInsideSend = FALSE; // DoModal called while handling a message sent from elsewhere
};

// ---------------------------------------------------------------------------
// Device contexts: scoped, non-copyable.

class CDC {
public:
    CDC() = default;
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC GetSafeHdc() const;
    BOOL DrawIcon(int x, int y, HICON hIcon);

    HDC m_hDC = nullptr;
};

// BeginPaint in the constructor, EndPaint in the destructor.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC();

    PAINTSTRUCT m_ps = {};

private:
    HWND m_hWnd;
};

// ---------------------------------------------------------------------------
// The application

// The one application object, a global of the program. Its constructor
// registers it, so AfxGetApp works from then on.
class CWinApp : public CCmdTarget {
public:
    CWinApp();
    ~CWinApp() override;

    // Runs the program: the main window is a modal dialog run from here,
    // and the program ends when this returns. FALSE, as in MFC for such an
    // application; there is no message loop to run on TRUE.
    virtual BOOL InitInstance();

    CWnd* GetMainWnd();
    HICON LoadIcon(UINT nIDResource) const;
    BOOL Enable3dControls(); // controls are always 3-D today: no-op

    afx_msg void OnHelp(); // there is no help file: does nothing

    HINSTANCE m_hInstance;
    CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
void AfxEnableControlContainer(); // no OLE controls here: no-op
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
