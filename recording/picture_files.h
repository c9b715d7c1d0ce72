// picture_files.h - writes pictures out: PNG through the Windows Imaging
// Component, AVI as uncompressed grey frames in the plain AVI 1.0 layout
// that every player reads. Both write the path they are given (a temporary
// file of StagedOutputs) and flush it to the disk before they close it.
#pragma once

#include <windows.h>

#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

namespace inspect {

// Holds COM for the calling thread while it lives.
class ComScope {
public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Ok() const { return SUCCEEDED(m_hr); }

private:
    HRESULT m_hr;
};

// The picture enlarged `scale` times, each grey byte a scale x scale block.
std::vector<BYTE> ScalePicture(const BYTE* pixels, UINT scale);

// 8-bit greyscale PNG files. Needs COM on the thread (ComScope).
class PngWriter {
public:
    explicit PngWriter(UINT scale);
    bool Ok() const { return m_factory != nullptr; }
    // The picture (PICTURE_BYTES grey bytes) as the whole content of the
    // existing file `path`, flushed to the disk; the error is kept.
    HRESULT Write(const std::string& path, const BYTE* pixels);

private:
    Microsoft::WRL::ComPtr<IWICImagingFactory> m_factory;
    UINT m_scale;
};

// An uncompressed 8-bit grey video, one picture per frame. Every write is
// checked; a file that could not be written whole fails Close.
class AviWriter {
public:
    AviWriter() = default;
    ~AviWriter() { Abandon(); }
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Creates or empties the file; FALSE with GetLastError.
    BOOL Open(const std::string& path, UINT framesPerSecond);
    // True once another frame would take the file past the size an AVI
    // file safely gets (1 GB).
    bool IsFull() const;
    // FALSE with GetLastError.
    BOOL Add(const BYTE* pixels);
    // Writes the index and the final headers, flushes the file to the disk
    // and closes it; FALSE with GetLastError if any of it failed.
    BOOL Close();
    // Closes the file as it stands.
    void Abandon();
    uint64_t Frames() const { return m_frames; }

private:
    std::vector<BYTE> Headers() const;
    BOOL WriteAll(const void* bytes, size_t count);

    HANDLE m_file = INVALID_HANDLE_VALUE;
    UINT m_fps = 0;
    uint64_t m_frames = 0;
    std::vector<BYTE> m_frame; // rows bottom-up, as a DIB stores them
};

// The system's text for an error code (a Win32 error or an HRESULT).
std::string ErrorText(DWORD code);

} // namespace inspect
