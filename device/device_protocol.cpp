// The command protocol: the connect handshake and the start sequence.
#include "device/device_protocol.h"

#include "device/image_device.h"

namespace {

constexpr BYTE SensorSettings::*SETTINGS_FIELDS[SensorSettings::COUNT] = {
    &SensorSettings::Gain1, &SensorSettings::Gain2, &SensorSettings::Lpf,
    &SensorSettings::NY,    &SensorSettings::Np_H,  &SensorSettings::Np_L,
};

// Index into SensorSettings of the setting that entry `index` takes, or
// SensorSettings::COUNT when the entry is written as stored.
size_t SettingForEntry(size_t index)
{
    for (size_t k = 0; k < SensorSettings::COUNT; ++k) {
        if (SETTINGS_ENTRIES[k] == index)
            return k;
    }
    return SensorSettings::COUNT;
}

} // namespace

BYTE& SensorSettings::operator[](size_t k)
{
    return this->*SETTINGS_FIELDS[k];
}

BYTE SensorSettings::operator[](size_t k) const
{
    return this->*SETTINGS_FIELDS[k];
}

// Registers 0x05 and 0x06 carry two value bytes (640 and 480, high byte
// first); 0x12 and 0x13 are the picture's width and height (128 x 96), as
// the frame marker repeats them. Register 0x19 is not written, and 0x02 goes
// last. The value bytes of entries 0-3, 28 and 29 are placeholders.
const RegisterEntry RegisterTable[REGISTER_COUNT] = {
    {3, 0x00, 0x0A, 0x00}, // Gain1
    {3, 0x01, 0x00, 0x00}, // Gain2
    {3, 0x03, 0x6E, 0x00}, // Lpf
    {3, 0x04, 0x6D, 0x00}, // NY
    {4, 0x05, 0x02, 0x80},
    {4, 0x06, 0x01, 0xE0},
    {3, 0x07, 0x80, 0x00},
    {3, 0x08, 0x28, 0x00},
    {3, 0x09, 0x28, 0x00},
    {3, 0x0A, 0x50, 0x00},
    {3, 0x0B, 0x20, 0x00},
    {3, 0x0C, 0x40, 0x00},
    {3, 0x0D, 0x00, 0x00},
    {3, 0x0E, 0x00, 0x00},
    {3, 0x0F, 0x7F, 0x00},
    {3, 0x10, 0x06, 0x00},
    {3, 0x11, 0x08, 0x00},
    {3, 0x12, 0x80, 0x00},
    {3, 0x13, 0x60, 0x00},
    {3, 0x14, 0x10, 0x00},
    {3, 0x15, 0x00, 0x00},
    {3, 0x16, 0x00, 0x00},
    {3, 0x17, 0x0A, 0x00},
    {3, 0x18, 0x34, 0x00},
    {3, 0x1A, 0x32, 0x00},
    {3, 0x1B, 0x03, 0x00},
    {3, 0x1C, 0x64, 0x00},
    {3, 0x1D, 0x42, 0x00},
    {3, 0x1E, 0x00, 0x00}, // Np_H
    {3, 0x1F, 0xBD, 0x00}, // Np_L
    {3, 0x92, 0x7F, 0x00},
    {3, 0x02, 0x01, 0x00},
};

WORD BuildRegisterPacket(size_t index, const SensorSettings& settings, BYTE (&packet)[REGISTER_PACKET_MAX])
{
    const RegisterEntry& entry = RegisterTable[index];
    if (entry.length == 1) {
        packet[0] = entry.b0;
        return 1;
    }
    packet[0] = CMD_WRITE_REG;
    packet[1] = entry.b0;
    packet[2] = entry.b1;
    packet[3] = entry.b2;
    const size_t setting = SettingForEntry(index);
    if (setting < SensorSettings::COUNT)
        packet[2] = settings[setting];
    return entry.length;
}

// A device unplugged and plugged back is a new device object: the handle
// kept from before fails every request for good. A handshake whose first
// write fails on a handle opened earlier therefore closes it and tries
// once more on the device opened anew.
BOOL CImageDevice::Connect()
{
    const BOOL bOpenBefore = IsOpen();
    BOOL bRefused = FALSE;
    if (Handshake(bRefused))
        return TRUE;
    return bOpenBefore && bRefused && Handshake(bRefused);
}

// Leaves the link closed when it fails; bRefused tells that the first
// write failed, so the device took nothing.
BOOL CImageDevice::Handshake(BOOL& bRefused)
{
    bRefused = FALSE;
    if (!IsOpen())
        Open(GUID_DEVINTERFACE_IMAGEDEV, 0);
    if (!IsOpen())
        return FALSE;

    BYTE buffer[QUERY_REPLY_MAX] = {};
    CopyMemory(buffer, CMD_STOP_STREAM, STOP_STREAM_LENGTH);
    if (Write(buffer, STOP_STREAM_LENGTH) != STOP_STREAM_LENGTH) {
        bRefused = TRUE;
        Close();
        return FALSE;
    }

    buffer[0] = CMD_QUERY;
    if (Write(buffer, 1) == 1 && Read(buffer, QUERY_REPLY_MAX) >= 1)
        return TRUE;

    // The device took the stop command but does not answer: reset it so the
    // next connect finds it in a known state.
    Reset();
    Close();
    return FALSE;
}

BOOL CImageDevice::WriteRegisters(const SensorSettings& settings)
{
    for (size_t index = 0; index < REGISTER_COUNT; ++index) {
        BYTE packet[REGISTER_PACKET_MAX] = {};
        const WORD length = BuildRegisterPacket(index, settings, packet);
        if (Write(packet, length) != length)
            return FALSE;
        Sleep(REGISTER_SETTLE_MS);
        if (Read(packet, 1) != 1 || packet[0] != CMD_WRITE_REG)
            return FALSE;
    }
    return TRUE;
}

BOOL CImageDevice::Synchronize()
{
    BYTE reply = CMD_SYNC;
    if (Write(&reply, 1) != 1)
        return FALSE;
    Sleep(REGISTER_SETTLE_MS);
    reply = 0;
    return Read(&reply, 1) == 1 && reply == CMD_SYNC;
}

BOOL CImageDevice::StartImaging(const SensorSettings& settings)
{
    if (!IsOpen())
        return FALSE;

    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            // Sent even when the last failure closed the link: it then fails
            // harmlessly and the connect below reopens the device.
            Reset();
            if (!Connect())
                continue;
        }
        if (!WriteRegisters(settings))
            continue;
        if (!Synchronize())
            continue;
        const BYTE start = CMD_START_STREAM;
        return Write(&start, 1) == 1;
    }
    return FALSE;
}
