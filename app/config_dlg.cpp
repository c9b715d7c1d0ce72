#include "app/config_dlg.h"

namespace {

// Edits IDC_GAIN1 .. IDC_GAIN1 + 5 hold the settings in SensorSettings order.
constexpr int SETTING_EDIT_FIRST = IDC_GAIN1;
constexpr int SETTING_TEXT_BUFFER = 20;

bool IsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

BYTE SettingFromText(const char* text)
{
    while (IsBlank(*text))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    // Only the low 8 bits are kept, so the number is accumulated modulo
    // 256: no overflow, whatever its length.
    unsigned int value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = (value * 10 + static_cast<unsigned int>(*text - '0')) & 0xFF;
    return static_cast<BYTE>(negative ? (0x100 - value) & 0xFF : value);
}

CConfigDlg::CConfigDlg(CWnd* pParent) : CDialog(CConfigDlg::IDD, pParent), m_settings() {}

BOOL CConfigDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    m_settings = SensorSettings();
    for (size_t k = 0; k < SensorSettings::COUNT; ++k)
        SetDlgItemInt(SETTING_EDIT_FIRST + static_cast<int>(k), DEFAULT_SENSOR_SETTINGS[k], FALSE);
    return TRUE;
}

void CConfigDlg::OnOK()
{
    for (size_t k = 0; k < SensorSettings::COUNT; ++k) {
        char text[SETTING_TEXT_BUFFER] = {};
        GetDlgItemText(SETTING_EDIT_FIRST + static_cast<int>(k), text, SETTING_TEXT_BUFFER);
        m_settings[k] = SettingFromText(text);
    }
    CDialog::OnOK();
}
