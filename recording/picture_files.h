// picture_files.h - writes pictures out through the system's own codecs:
// PNG through the Windows Imaging Component, AVI through the AVIFile
// library, so any viewer or player reads them.
#pragma once

#include <windows.h>

#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

// From <vfw.h>, which this header need not pull in.
struct IAVIFile;
struct IAVIStream;

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
    // The picture (PICTURE_BYTES grey bytes) as `path`; the error is kept.
    HRESULT Write(const std::string& path, const BYTE* pixels);

private:
    Microsoft::WRL::ComPtr<IWICImagingFactory> m_factory;
    UINT m_scale;
};

// An uncompressed 8-bit grey video, one picture per frame.
class AviWriter {
public:
    AviWriter() = default;
    ~AviWriter() { Close(); }
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    HRESULT Open(const char* path, UINT framesPerSecond);
    // S_FALSE once the file is as large as an AVI file safely gets: the
    // frame was not added.
    HRESULT Add(const BYTE* pixels);
    // Ends the file; the frames written so far stay playable.
    void Close();
    uint64_t Frames() const { return m_frames; }

private:
    IAVIFile* m_file = nullptr;
    IAVIStream* m_stream = nullptr;
    std::string m_path;
    UINT m_fps = 0;
    uint64_t m_frames = 0;
    std::vector<BYTE> m_frame; // rows bottom-up, as a DIB stores them
};

// The system's text for an error code (a Win32 error or an HRESULT).
std::string ErrorText(DWORD code);

} // namespace inspect
