#include "recording/picture_files.h"

#include <vfw.h>

#include <cstring>

#include "device/win_handle.h"
#include "recording/capture_splitter.h"

using Microsoft::WRL::ComPtr;

namespace inspect {

namespace {

constexpr UINT GREY_LEVELS = 256;

// The AVI 1.0 index and chunk sizes are 32-bit and many players stop at
// 1 GB; a frame is added only while the file stays below that.
constexpr uint64_t AVI_MAX_BYTES = 1ull << 30;
constexpr uint64_t AVI_FRAME_OVERHEAD = 8 + 16; // chunk header and index entry

struct GreyBitmapFormat {
    BITMAPINFOHEADER header;
    RGBQUAD palette[GREY_LEVELS];
};

GreyBitmapFormat MakeGreyFormat()
{
    GreyBitmapFormat format = {};
    format.header.biSize = sizeof(format.header);
    format.header.biWidth = PICTURE_WIDTH;
    format.header.biHeight = PICTURE_HEIGHT; // bottom-up, as players expect
    format.header.biPlanes = 1;
    format.header.biBitCount = 8;
    format.header.biCompression = BI_RGB;
    format.header.biSizeImage = PICTURE_BYTES;
    format.header.biClrUsed = GREY_LEVELS;
    for (UINT level = 0; level < GREY_LEVELS; ++level) {
        RGBQUAD& entry = format.palette[level];
        entry.rgbRed = entry.rgbGreen = entry.rgbBlue = static_cast<BYTE>(level);
    }
    return format;
}

std::wstring Wide(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(wide.size() - 1);
    return wide;
}

// Wine's AVIFile writes the main header's frame period inverted (seconds
// per frame times a million squared); players that time by it then show one
// picture for hours. Sets it from the rate, which the stream header has right.
void SetFramePeriod(const std::string& path, UINT framesPerSecond)
{
    constexpr DWORD HEADER_BYTES = 64;
    CFileHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    BYTE header[HEADER_BYTES];
    DWORD got = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), header, HEADER_BYTES, &got, nullptr))
        return;
    for (DWORD at = 0; at + 12 <= got; ++at) {
        if (std::memcmp(header + at, "avih", 4) != 0)
            continue;
        const DWORD period = 1000000 / framesPerSecond;
        DWORD written = 0;
        SetFilePointer(file.Get(), at + 8, nullptr, FILE_BEGIN);
        WriteFile(file.Get(), &period, sizeof(period), &written, nullptr);
        return;
    }
}

} // namespace

std::vector<BYTE> ScalePicture(const BYTE* pixels, UINT scale)
{
    const size_t width = PICTURE_WIDTH * scale;
    std::vector<BYTE> scaled(width * PICTURE_HEIGHT * scale);
    BYTE* out = scaled.data();
    for (size_t y = 0; y < PICTURE_HEIGHT; ++y) {
        const BYTE* row = pixels + y * PICTURE_WIDTH;
        BYTE* first = out;
        for (size_t x = 0; x < PICTURE_WIDTH; ++x, out += scale)
            std::memset(out, row[x], scale);
        for (UINT copy = 1; copy < scale; ++copy, out += width)
            std::memcpy(out, first, width);
    }
    return scaled;
}

PngWriter::PngWriter(UINT scale) : m_scale(scale)
{
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(m_factory.GetAddressOf()))))
        m_factory.Reset();
}

HRESULT PngWriter::Write(const std::string& path, const BYTE* pixels)
{
    const std::vector<BYTE> scaled = m_scale > 1 ? ScalePicture(pixels, m_scale) : std::vector<BYTE>();
    const BYTE* image = m_scale > 1 ? scaled.data() : pixels;
    const UINT width = PICTURE_WIDTH * m_scale, height = PICTURE_HEIGHT * m_scale;

    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    HRESULT hr = m_factory->CreateStream(&stream);
    if (SUCCEEDED(hr))
        hr = stream->InitializeFromFilename(Wide(path).c_str(), GENERIC_WRITE);
    if (SUCCEEDED(hr))
        hr = m_factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(hr))
        hr = encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr))
        hr = encoder->CreateNewFrame(&frame, &options);
    if (SUCCEEDED(hr))
        hr = frame->Initialize(options.Get());
    if (SUCCEEDED(hr))
        hr = frame->SetSize(width, height);
    WICPixelFormatGUID format = GUID_WICPixelFormat8bppGray;
    if (SUCCEEDED(hr))
        hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && format != GUID_WICPixelFormat8bppGray)
        hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(hr))
        hr = frame->WritePixels(height, width, width * height, const_cast<BYTE*>(image));
    if (SUCCEEDED(hr))
        hr = frame->Commit();
    if (SUCCEEDED(hr))
        hr = encoder->Commit();
    return hr;
}

HRESULT AviWriter::Open(const char* path, UINT framesPerSecond)
{
    Close();
    m_path = path;
    m_fps = framesPerSecond;
    AVIFileInit();
    // AVIFile appends to an existing file's streams: start from nothing.
    DeleteFileA(path);
    HRESULT hr = AVIFileOpenA(&m_file, path, OF_CREATE | OF_WRITE, nullptr);
    if (FAILED(hr)) {
        m_file = nullptr;
        AVIFileExit();
        return hr;
    }
    AVISTREAMINFOA info = {};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
    info.dwScale = 1;
    info.dwRate = framesPerSecond;
    info.dwSuggestedBufferSize = PICTURE_BYTES;
    SetRect(&info.rcFrame, 0, 0, PICTURE_WIDTH, PICTURE_HEIGHT);
    hr = AVIFileCreateStreamA(m_file, &m_stream, &info);
    if (SUCCEEDED(hr)) {
        GreyBitmapFormat format = MakeGreyFormat();
        hr = AVIStreamSetFormat(m_stream, 0, &format, sizeof(format));
    }
    if (FAILED(hr))
        Close();
    m_frame.resize(PICTURE_BYTES);
    return hr;
}

HRESULT AviWriter::Add(const BYTE* pixels)
{
    const uint64_t frameBytes = PICTURE_BYTES + AVI_FRAME_OVERHEAD;
    if ((m_frames + 1) * frameBytes > AVI_MAX_BYTES - sizeof(GreyBitmapFormat))
        return S_FALSE;
    for (size_t y = 0; y < PICTURE_HEIGHT; ++y)
        std::memcpy(&m_frame[(PICTURE_HEIGHT - 1 - y) * PICTURE_WIDTH], pixels + y * PICTURE_WIDTH, PICTURE_WIDTH);
    const HRESULT hr = AVIStreamWrite(m_stream, static_cast<LONG>(m_frames), 1, m_frame.data(), PICTURE_BYTES,
                                      AVIIF_KEYFRAME, nullptr, nullptr);
    if (SUCCEEDED(hr))
        ++m_frames;
    return hr;
}

void AviWriter::Close()
{
    if (m_stream)
        AVIStreamRelease(m_stream);
    m_stream = nullptr;
    if (m_file) {
        AVIFileRelease(m_file);
        AVIFileExit();
        SetFramePeriod(m_path, m_fps);
    }
    m_file = nullptr;
}

std::string ErrorText(DWORD code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : std::string();
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    if (message.empty()) {
        char number[32];
        wsprintfA(number, "error 0x%08lX", code);
        message = number;
    }
    return message;
}

} // namespace inspect
