// The device link: opening the driver's interface, timed transfers, reset.
#include "device/image_device.h"

#include <setupapi.h>

#include <memory>
#include <new>

#include "device/win_handle.h"

const GUID GUID_DEVINTERFACE_IMAGEDEV = {
    0x1B65BEDD, 0x1D6A, 0x11D6, {0x80, 0x7D, 0x82, 0xB3, 0xDA, 0xB6, 0xC6, 0x25}};

namespace {

// Waits until a cancelled (or otherwise pending) transfer has completed, so
// its OVERLAPPED, event and buffer can be released. Returns the bytes it
// moved: a transfer can finish in the instant between the time-out and the
// cancel, and those bytes are real.
DWORD FinishPendingTransfer(HANDLE hDevice, OVERLAPPED& overlapped)
{
    DWORD count = 0;
    if (overlapped.hEvent) {
        if (!GetOverlappedResult(hDevice, &overlapped, &count, TRUE))
            return 0;
        return count;
    }
    // Without an event the handle itself would be signalled by any transfer
    // on it; the OVERLAPPED's own status is the only reliable sign.
    while (!HasOverlappedIoCompleted(&overlapped))
        Sleep(1);
    const bool succeeded = static_cast<LONG>(overlapped.Internal) >= 0; // an NTSTATUS
    return succeeded ? static_cast<DWORD>(overlapped.InternalHigh) : 0;
}

} // namespace

CImageDevice::CImageDevice()
    : m_hDevice(INVALID_HANDLE_VALUE),
      m_bStop(0),
      m_hThread(nullptr),
      m_hStopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    InitializeSRWLock(&m_linkLock);
}

CImageDevice::~CImageDevice()
{
    if (m_hDevice != INVALID_HANDLE_VALUE)
        CloseHandle(m_hDevice);
    if (m_hThread)
        CloseHandle(m_hThread);
    if (m_hStopEvent)
        CloseHandle(m_hStopEvent);
}

BOOL CImageDevice::IsOpen() const
{
    CSharedLock lock(m_linkLock);
    return m_hDevice != INVALID_HANDLE_VALUE;
}

BOOL CImageDevice::Open(const GUID& interfaceClass, DWORD index)
{
    if (IsOpen())
        return TRUE;

    CDeviceInfoSet set(SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.IsValid())
        return FALSE;

    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &interfaceClass, index, &interfaceData))
        return FALSE;

    // Only sizes the detail record; its failure (insufficient buffer) is expected.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set.Get(), &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return FALSE;
    std::unique_ptr<BYTE[]> detailBuffer(new (std::nothrow) BYTE[required]);
    if (!detailBuffer)
        return FALSE;

    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set.Get(), &interfaceData, detail, required, nullptr, nullptr))
        return FALSE;

    HANDLE hDevice = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hDevice == INVALID_HANDLE_VALUE)
        return FALSE;

    CExclusiveLock lock(m_linkLock);
    m_hDevice = hDevice;
    return TRUE;
}

BOOL CImageDevice::Close()
{
    // Waits for transfers in flight (each ends within the transfer time-out),
    // so the handle is never released under one.
    CExclusiveLock lock(m_linkLock);
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return FALSE;
    const BOOL closed = CloseHandle(m_hDevice);
    m_hDevice = INVALID_HANDLE_VALUE;
    return closed;
}

DWORD CImageDevice::Read(void* buffer, WORD length)
{
    return Transfer(Direction::In, buffer, length);
}

DWORD CImageDevice::Write(const void* buffer, WORD length)
{
    return Transfer(Direction::Out, const_cast<void*>(buffer), length);
}

DWORD CImageDevice::Transfer(Direction direction, void* buffer, WORD length)
{
    CSharedLock lock(m_linkLock);
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return 0;

    CEventHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.Get();

    DWORD count = 0;
    const BOOL done = direction == Direction::In
                          ? ReadFile(m_hDevice, buffer, length, &count, &overlapped)
                          : WriteFile(m_hDevice, buffer, length, &count, &overlapped);
    if (done)
        return count;
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;

    if (event.IsValid() && WaitForSingleObject(event.Get(), TRANSFER_TIMEOUT_MS) == WAIT_OBJECT_0) {
        count = 0;
        GetOverlappedResult(m_hDevice, &overlapped, &count, FALSE);
        return count;
    }

    CancelIo(m_hDevice);
    return FinishPendingTransfer(m_hDevice, overlapped);
}

BOOL CImageDevice::Reset()
{
    CSharedLock lock(m_linkLock);
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return FALSE;

    // The handle is overlapped, so the request can return pending; it is
    // waited for here so that the device is reset when Reset returns.
    CEventHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.IsValid())
        return FALSE;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.Get();
    DWORD returned = 0;
    if (DeviceIoControl(m_hDevice, IOCTL_DEVICE_RESET, nullptr, 0, nullptr, 0, &returned, &overlapped))
        return TRUE;
    if (GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    return GetOverlappedResult(m_hDevice, &overlapped, &returned, TRUE);
}
