// resource.h - identifiers of the program's resources and dialog controls.
// Shared by the resource script and the C++ code. The two dialogs number
// their controls independently, so some control ids repeat.
#pragma once

// Dialog templates
#define IDD_MAIN         102
#define IDD_CONFIG       103

// Icon and bitmap
#define IDR_MAINFRAME    128
#define IDB_LOGO         129

// Main window (IDD_MAIN) controls
#define IDC_PICTURE      1000
#define IDC_INITIAL_MODE 1001
#define IDC_SHOW_IMAGE   1002

// Settings dialog (IDD_CONFIG) edits, one per setting byte, in order
#define IDC_GAIN1        1000
#define IDC_GAIN2        1001
#define IDC_LPF          1002
#define IDC_NY           1003
#define IDC_NP_H         1004
#define IDC_NP_L         1005

#ifndef IDC_STATIC
#define IDC_STATIC       (-1) // controls the code never addresses
#endif
