// config_dlg.h - CConfigDlg, the sensor settings dialog: six decimal
// values, the settings the next "Show Image" writes into the sensor.
#pragma once

#include "afx/afxwin.h"
#include "device/device_protocol.h"
#include "res/resource.h"

class CConfigDlg : public CDialog {
public:
    explicit CConfigDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_CONFIG };

    SensorSettings GetSettings() const { return m_settings; }

protected:
    BOOL OnInitDialog() override; // always opens with the defaults
    void OnOK() override;

private:
    SensorSettings m_settings;
};

// Edit text as a setting byte: the low 8 bits of the decimal number, read
// as atoi reads it (leading blanks, an optional sign, digits up to the
// first other character; nothing readable gives 0). Numbers of any length
// keep their low 8 bits, so "300" gives 44 and "4294967596" gives 44 too.
BYTE SettingFromText(const char* text);
