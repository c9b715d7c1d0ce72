// sim_client.cpp - installs, starts and steers the simulated image sensor.
#include "simsensor/sim_client.h"

#include <setupapi.h>

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

const GUID kImageDeviceInterface = {0x1b65bedd, 0x1d6a, 0x11d6, {0x80, 0x7d, 0x82, 0xb3, 0xda, 0xb6, 0xc6, 0x25}};

const char kDeviceClassesKey[] =
    "System\\CurrentControlSet\\Control\\DeviceClasses\\{1B65BEDD-1D6A-11D6-807D-82B3DAB6C625}";
const char kInterfaceGuidText[] = "{1b65bedd-1d6a-11d6-807d-82b3dab6c625}";

const DWORD kStartPollMs = 50;
const DWORD kStopWaitMs = 5000;
const DWORD kHexDigitsPerByte = 3; // "XX "

std::string InstanceId(DWORD device)
{
    char id[32];
    std::snprintf(id, sizeof(id), "ROOT\\IMAGEDEV\\%04lu", static_cast<unsigned long>(device));
    return id;
}

// The key SetupDi keeps for the interface; its "#\Control" subkey carries
// the Linked value that DIGCF_PRESENT looks at.
std::string InterfaceKey(DWORD device)
{
    char name[160];
    std::snprintf(name, sizeof(name), "%s\\##?#root#imagedev#%04lu#%s", kDeviceClassesKey,
                  static_cast<unsigned long>(device), kInterfaceGuidText);
    return name;
}

bool KeyExists(const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool OpenOrCreateDeviceInfo(HDEVINFO set, const std::string& id, SP_DEVINFO_DATA& info)
{
    info.cbSize = sizeof(info);
    if (SetupDiCreateDeviceInfoA(set, id.c_str(), &kImageDeviceInterface, nullptr, nullptr, 0, &info))
        return SetupDiRegisterDeviceInfo(set, &info, 0, nullptr, nullptr, nullptr) != FALSE;
    return GetLastError() == ERROR_DEVINST_ALREADY_EXISTS &&
           SetupDiOpenDeviceInfoA(set, id.c_str(), nullptr, 0, &info);
}

bool RegisterInterface(DWORD device)
{
    if (KeyExists(InterfaceKey(device)))
        return true;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kImageDeviceInterface, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA info = {};
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    bool ok = OpenOrCreateDeviceInfo(set, InstanceId(device), info) &&
              SetupDiCreateDeviceInterfaceA(set, &info, &kImageDeviceInterface, nullptr, 0, &iface);
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool SetLinked(DWORD device, DWORD linked)
{
    const std::string path = InterfaceKey(device) + "\\#\\Control";
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG result = RegSetValueExA(key, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked),
                                 sizeof(linked));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// A fresh prefix has no drivers folder on the 32-bit side (syswow64).
std::string DriversFolder()
{
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, MAX_PATH);
    const std::string drivers = std::string(folder) + "\\drivers";
    CreateDirectoryA(drivers.c_str(), nullptr);
    return drivers;
}

bool ReadFileBytes(const std::string& path, std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD size = GetFileSize(file, nullptr);
    bytes.resize(size);
    DWORD got = 0;
    BOOL ok = size == INVALID_FILE_SIZE ? FALSE
                                        : (size == 0 || ReadFile(file, bytes.data(), size, &got, nullptr));
    CloseHandle(file);
    return ok && got == size;
}

bool SameContent(const std::string& a, const std::string& b)
{
    std::vector<BYTE> first, second;
    return ReadFileBytes(a, first) && ReadFileBytes(b, second) && first == second;
}

// Service handles, closed on scope exit.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : m_handle(handle) {}
    ~ServiceHandle()
    {
        if (m_handle)
            CloseServiceHandle(m_handle);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

SC_HANDLE OpenDriverService(DWORD access)
{
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    return manager ? OpenServiceA(manager.get(), SIM_SERVICE_NAME, access) : nullptr;
}

bool EnsureService(const std::string& binaryPath)
{
    ServiceHandle existing(OpenDriverService(SERVICE_QUERY_STATUS));
    if (existing)
        return true;
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        return false;
    ServiceHandle created(CreateServiceA(manager.get(), SIM_SERVICE_NAME, SIM_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                         SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return created || GetLastError() == ERROR_SERVICE_EXISTS;
}

// A loaded driver keeps its file busy and its old code running: a new
// build can only go in with the service stopped.
void StopService()
{
    ServiceHandle service(OpenDriverService(SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service)
        return;
    SERVICE_STATUS status = {};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        return;
    const DWORD start = GetTickCount();
    while (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED &&
           GetTickCount() - start < kStopWaitMs)
        Sleep(kStartPollMs);
}

bool CopyDriver(const char* driverPath, const std::string& installed)
{
    if (SameContent(driverPath, installed))
        return true;
    StopService();
    return CopyFileA(driverPath, installed.c_str(), FALSE) != FALSE;
}

void TryStartService()
{
    ServiceHandle service(OpenDriverService(SERVICE_START));
    if (service)
        StartServiceA(service.get(), 0, nullptr);
}

bool ControlDeviceOpens()
{
    HANDLE control = CreateFileA(SIM_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(control);
    return true;
}

std::string DescribeRecord(const LogRecord& record)
{
    switch (record.type) {
    case SIM_LOG_RESET:
        return "RESET";
    case SIM_LOG_OPEN:
        return "OPEN";
    case SIM_LOG_CLOSE:
        return "CLOSE";
    default:
        break;
    }
    std::string text;
    text.reserve(record.bytes.size() * kHexDigitsPerByte);
    for (BYTE b : record.bytes) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%02X", b);
        if (!text.empty())
            text += ' ';
        text += hex;
    }
    return text;
}

} // namespace

BOOL Install(const char* driverPath)
{
    const std::string installed = DriversFolder() + "\\" + SIM_DRIVER_FILE;
    if (!CopyDriver(driverPath, installed) || !EnsureService(installed))
        return FALSE;
    return SetInterfacePresent(0, TRUE) && SetInterfacePresent(1, FALSE);
}

BOOL Start(DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (ControlDeviceOpens())
            return TRUE;
        if (GetTickCount() - start >= timeoutMs)
            return FALSE;
        TryStartService();
        Sleep(kStartPollMs);
    }
}

BOOL SetInterfacePresent(DWORD device, BOOL present)
{
    return RegisterInterface(device) && SetLinked(device, present ? 1 : 0);
}

Control::Control()
    : m_hControl(CreateFileA(SIM_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr))
{
}

Control::~Control()
{
    if (IsOpen())
        CloseHandle(m_hControl);
}

BOOL Control::Call(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned)
{
    DWORD ignored = 0;
    if (!IsOpen())
        return FALSE;
    return DeviceIoControl(m_hControl, code, const_cast<void*>(in), inSize, out, outSize,
                           returned ? returned : &ignored, nullptr);
}

BOOL Control::ResetState(DWORD device)
{
    SIM_DEVICE_ARG arg = {device};
    return Call(IOCTL_SIM_RESET_STATE, &arg, sizeof(arg), nullptr, 0, nullptr);
}

BOOL Control::SetRate(DWORD device, DWORD picturesPerSecond)
{
    SIM_RATE_ARG arg = {device, picturesPerSecond};
    return Call(IOCTL_SIM_SET_RATE, &arg, sizeof(arg), nullptr, 0, nullptr);
}

BOOL Control::SetFaults(DWORD device, DWORD flags, DWORD badAckEntry, DWORD stopAfterBytes, DWORD flakyEvery)
{
    SIM_FAULT_ARG arg = {device, flags, badAckEntry, stopAfterBytes, flakyEvery};
    return Call(IOCTL_SIM_SET_FAULTS, &arg, sizeof(arg), nullptr, 0, nullptr);
}

BOOL Control::SetFifoSize(DWORD device, DWORD bytes)
{
    SIM_FIFO_ARG arg = {device, bytes};
    return Call(IOCTL_SIM_SET_FIFO, &arg, sizeof(arg), nullptr, 0, nullptr);
}

BOOL Control::StallPacer(DWORD device, DWORD ms)
{
    SIM_STALL_ARG arg = {device, ms};
    return Call(IOCTL_SIM_STALL_PACER, &arg, sizeof(arg), nullptr, 0, nullptr);
}

BOOL Control::SetPlugged(DWORD device, BOOL plugged)
{
    SIM_PLUG_ARG arg = {device, plugged ? 1UL : 0UL};
    return Call(IOCTL_SIM_SET_PLUGGED, &arg, sizeof(arg), nullptr, 0, nullptr) &&
           SetInterfacePresent(device, plugged);
}

BOOL Control::GetStatus(DWORD device, SIM_STATUS& status)
{
    SIM_DEVICE_ARG arg = {device};
    DWORD returned = 0;
    return Call(IOCTL_SIM_GET_STATUS, &arg, sizeof(arg), &status, sizeof(status), &returned) &&
           returned == sizeof(status);
}

BOOL Control::GetLog(DWORD device, std::vector<LogRecord>& records)
{
    SIM_DEVICE_ARG arg = {device};
    std::vector<SIM_LOG_RECORD> raw(SIM_LOG_CAPACITY);
    DWORD returned = 0;
    records.clear();
    if (!Call(IOCTL_SIM_GET_LOG, &arg, sizeof(arg), raw.data(), sizeof(SIM_LOG_RECORD) * SIM_LOG_CAPACITY,
              &returned))
        return FALSE;
    for (DWORD i = 0; i < returned / sizeof(SIM_LOG_RECORD); ++i) {
        LogRecord record;
        record.type = raw[i].type;
        record.time = raw[i].time;
        record.length = raw[i].length;
        if (record.type == SIM_LOG_WRITE) {
            const DWORD kept = record.length < SIM_LOG_MAX_BYTES ? record.length : SIM_LOG_MAX_BYTES;
            record.bytes.assign(raw[i].bytes, raw[i].bytes + kept);
        }
        records.push_back(record);
    }
    return TRUE;
}

BOOL Control::ClearLog(DWORD device)
{
    SIM_DEVICE_ARG arg = {device};
    return Call(IOCTL_SIM_CLEAR_LOG, &arg, sizeof(arg), nullptr, 0, nullptr);
}

BOOL Control::GetPicture(DWORD device, std::vector<BYTE>& picture)
{
    SIM_DEVICE_ARG arg = {device};
    DWORD returned = 0;
    picture.assign(SIM_PICTURE_BYTES, 0);
    return Call(IOCTL_SIM_GET_PICTURE, &arg, sizeof(arg), picture.data(), SIM_PICTURE_BYTES, &returned) &&
           returned == SIM_PICTURE_BYTES;
}

BOOL Control::SetReplay(DWORD device, const std::vector<BYTE>& recording, BOOL loop)
{
    if (recording.size() > SIM_REPLAY_MAX_BYTES)
        return FALSE;
    const DWORD length = static_cast<DWORD>(recording.size());
    SIM_REPLAY_ARG arg = {device, length, loop ? 1UL : 0UL};
    if (!Call(IOCTL_SIM_SET_REPLAY, &arg, sizeof(arg), nullptr, 0, nullptr))
        return FALSE;
    std::vector<BYTE> piece(sizeof(SIM_REPLAY_DATA_ARG) + SIM_REPLAY_PIECE_BYTES);
    for (DWORD offset = 0; offset < length;) {
        const DWORD n = std::min<DWORD>(SIM_REPLAY_PIECE_BYTES, length - offset);
        const SIM_REPLAY_DATA_ARG header = {device, offset};
        CopyMemory(piece.data(), &header, sizeof(header));
        CopyMemory(piece.data() + sizeof(header), recording.data() + offset, n);
        if (!Call(IOCTL_SIM_REPLAY_DATA, piece.data(), static_cast<DWORD>(sizeof(header) + n), nullptr, 0, nullptr))
            return FALSE;
        offset += n;
    }
    return TRUE;
}

std::vector<std::string> DescribeLog(const std::vector<LogRecord>& records)
{
    std::vector<std::string> lines;
    lines.reserve(records.size());
    for (const LogRecord& record : records)
        lines.push_back(DescribeRecord(record));
    return lines;
}

} // namespace sim
