// The program's entry point lives in the framework: the application
// defines only its global CWinApp object. Kept in a file of its own so
// that the linker can be told to pull it in (see CMakeLists.txt).
#include "afx/afxwin.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
