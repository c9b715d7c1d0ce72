// win_handle.h - small owners of Win32 resources used by the device link.
#pragma once

#include <windows.h>

#include <setupapi.h>

// Owns a kernel handle whose "none" value is `Invalid` (NULL for events and
// threads, INVALID_HANDLE_VALUE for files).
template <HANDLE (*Invalid)()>
class CScopedHandle {
public:
    explicit CScopedHandle(HANDLE handle = Invalid()) : m_handle(handle) {}
    ~CScopedHandle() { Reset(); }
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;

    HANDLE Get() const { return m_handle; }
    bool IsValid() const { return m_handle != Invalid(); }
    void Reset(HANDLE handle = Invalid())
    {
        if (IsValid())
            CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle;
};

inline HANDLE NullHandle() { return nullptr; }
inline HANDLE InvalidFileHandle() { return INVALID_HANDLE_VALUE; }

using CEventHandle = CScopedHandle<NullHandle>;
using CFileHandle = CScopedHandle<InvalidFileHandle>;

// Destroys a SetupDi device information set on every path.
class CDeviceInfoSet {
public:
    explicit CDeviceInfoSet(HDEVINFO set) : m_set(set) {}
    ~CDeviceInfoSet()
    {
        if (IsValid())
            SetupDiDestroyDeviceInfoList(m_set);
    }
    CDeviceInfoSet(const CDeviceInfoSet&) = delete;
    CDeviceInfoSet& operator=(const CDeviceInfoSet&) = delete;

    HDEVINFO Get() const { return m_set; }
    bool IsValid() const { return m_set != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO m_set;
};

// Holds an SRW lock shared (transfers) or exclusive (opening, closing).
class CSharedLock {
public:
    explicit CSharedLock(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockShared(&m_lock); }
    ~CSharedLock() { ReleaseSRWLockShared(&m_lock); }
    CSharedLock(const CSharedLock&) = delete;
    CSharedLock& operator=(const CSharedLock&) = delete;

private:
    SRWLOCK& m_lock;
};

class CExclusiveLock {
public:
    explicit CExclusiveLock(SRWLOCK& lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ~CExclusiveLock() { ReleaseSRWLockExclusive(&m_lock); }
    CExclusiveLock(const CExclusiveLock&) = delete;
    CExclusiveLock& operator=(const CExclusiveLock&) = delete;

private:
    SRWLOCK& m_lock;
};
