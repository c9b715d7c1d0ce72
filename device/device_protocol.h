// device_protocol.h - the image sensor's command bytes and the register
// table that programs it.
//
// Every command is one write. Register writes are acknowledged with
// CMD_WRITE_REG (0x10) and the sync command is echoed; the stop, query and
// start commands are not acknowledged (the query is answered with a short
// reply whose content does not matter).
#pragma once

#include <windows.h>

#include <cstddef>

constexpr BYTE CMD_STOP_STREAM[] = {0x11, 0x00, 0x01};
constexpr BYTE CMD_QUERY = 0x9A;
constexpr BYTE CMD_WRITE_REG = 0x10;
constexpr BYTE CMD_SYNC = 0x3F;
constexpr BYTE CMD_START_STREAM = 0xA1;

constexpr WORD STOP_STREAM_LENGTH = sizeof(CMD_STOP_STREAM);
constexpr WORD QUERY_REPLY_MAX = 12;

// Pause after each register write and after the sync command, before the
// one-byte reply is read: the sensor needs it to apply the write.
constexpr DWORD REGISTER_SETTLE_MS = 20;
constexpr int START_ATTEMPTS = 5;

// The six operator settings, in the order the start sequence writes them.
struct SensorSettings {
    BYTE Gain1;
    BYTE Gain2;
    BYTE Lpf;
    BYTE NY;
    BYTE Np_H;
    BYTE Np_L;

    static constexpr size_t COUNT = 6;

    BYTE& operator[](size_t k);
    BYTE operator[](size_t k) const;
};

// The values a new main window and a freshly opened settings dialog start from.
constexpr SensorSettings DEFAULT_SENSOR_SETTINGS = {10, 10, 111, 110, 8, 0};

// One register-table entry: `length` bytes are written. A length of 1 is
// the single byte b0; otherwise the first `length` bytes of
// [CMD_WRITE_REG, b0, b1, b2], that is register b0 and its value byte(s).
struct RegisterEntry {
    BYTE length;
    BYTE b0;
    BYTE b1;
    BYTE b2;
};

constexpr size_t REGISTER_COUNT = 32;
extern const RegisterEntry RegisterTable[REGISTER_COUNT];

// Table entries whose value byte comes from SensorSettings, in settings order.
constexpr size_t SETTINGS_ENTRIES[SensorSettings::COUNT] = {0, 1, 2, 3, 28, 29};

constexpr size_t REGISTER_PACKET_MAX = 4;

// Builds the packet written for table entry `index`, with the entry's
// setting in place where the entry takes one. Returns the length to write.
WORD BuildRegisterPacket(size_t index, const SensorSettings& settings, BYTE (&packet)[REGISTER_PACKET_MAX]);
