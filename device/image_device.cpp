// The device link: opening the driver's interface, timed transfers, reset.
#include "device/image_device.h"

#include <setupapi.h>

#include <memory>
#include <new>

#include "device/capture_session.h"
#include "device/device_request.h"
#include "device/win_handle.h"

const GUID GUID_DEVINTERFACE_IMAGEDEV = {
    0x1B65BEDD, 0x1D6A, 0x11D6, {0x80, 0x7D, 0x82, 0xB3, 0xDA, 0xB6, 0xC6, 0x25}};

CImageDevice::CImageDevice()
    : m_hDevice(INVALID_HANDLE_VALUE),
      m_bClosing(0),
      m_hLinkEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_hwndTarget(nullptr)
{
    InitializeSRWLock(&m_linkLock);
    InitializeSRWLock(&m_problemLock);
}

// No reader may outlive the object it works for, whatever ended the window.
CImageDevice::~CImageDevice()
{
    StopCapture();
    if (m_hDevice != INVALID_HANDLE_VALUE)
        CloseHandle(m_hDevice);
    if (m_hLinkEvent)
        CloseHandle(m_hLinkEvent);
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

    {
        CExclusiveLock lock(m_linkLock);
        m_hDevice = hDevice;
    }
    if (m_hLinkEvent)
        SetEvent(m_hLinkEvent); // a paused reader reads from the new handle at once
    return TRUE;
}

BOOL CImageDevice::Close()
{
    // The reader sees the flag, cancels its queued reads and waits for them
    // (parking any the driver keeps), then gives the lock up; transfers of
    // this thread end within their bounded waits. Only then is the handle
    // released, so no request is ever on it or issued to it afterwards.
    m_bClosing.store(1);
    if (m_hLinkEvent)
        SetEvent(m_hLinkEvent);
    BOOL closed = FALSE;
    {
        CExclusiveLock lock(m_linkLock);
        if (m_hDevice != INVALID_HANDLE_VALUE) {
            closed = CloseHandle(m_hDevice);
            m_hDevice = INVALID_HANDLE_VALUE;
        }
    }
    m_bClosing.store(0);
    return closed;
}

DWORD CImageDevice::Read(void* buffer, WORD length)
{
    DWORD count = 0;
    Transfer(Direction::In, buffer, length, count);
    return count;
}

DWORD CImageDevice::Write(const void* buffer, WORD length)
{
    DWORD count = 0;
    Transfer(Direction::Out, const_cast<void*>(buffer), length, count);
    return count;
}

// The driver works on the request's own copy of the data, never on the
// caller's buffer: a request that outlives this call (parked) can then
// write nothing the caller reuses.
BOOL CImageDevice::Transfer(Direction direction, void* buffer, WORD length, DWORD& count)
{
    count = 0;
    CSharedLock lock(m_linkLock);
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return FALSE;
    DeviceRequestPtr request = NewDeviceRequest(length);
    if (!request)
        return FALSE;

    BOOL issued;
    if (direction == Direction::In) {
        issued = ReadFile(m_hDevice, request->Buffer(), length, nullptr, request->Overlapped());
    } else {
        CopyMemory(request->Buffer(), buffer, length);
        issued = WriteFile(m_hDevice, request->Buffer(), length, nullptr, request->Overlapped());
    }
    if (!issued && GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    if (!FinishOrPark(m_hDevice, request, TRANSFER_TIMEOUT_MS))
        return FALSE;
    const BOOL succeeded = request->Result(m_hDevice, count);
    if (direction == Direction::In)
        CopyMemory(buffer, request->Buffer(), count);
    return succeeded;
}

BOOL CImageDevice::Reset()
{
    CSharedLock lock(m_linkLock);
    if (m_hDevice == INVALID_HANDLE_VALUE)
        return FALSE;
    DeviceRequestPtr request = NewDeviceRequest(0);
    if (!request)
        return FALSE;

    // The handle is overlapped, so the request can return pending; it is
    // waited for here so that the device is reset when Reset returns.
    if (!DeviceIoControl(m_hDevice, IOCTL_DEVICE_RESET, nullptr, 0, nullptr, 0, nullptr, request->Overlapped()) &&
        GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    if (!FinishOrPark(m_hDevice, request, RESET_TIMEOUT_MS))
        return FALSE;
    DWORD returned = 0;
    return request->Result(m_hDevice, returned);
}
