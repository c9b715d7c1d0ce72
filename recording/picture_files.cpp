#include "recording/picture_files.h"

#include <cstring>

#include "stream/capture_splitter.h"
#include "recording/staged_outputs.h"

using Microsoft::WRL::ComPtr;

namespace inspect {

namespace {

constexpr UINT GREY_LEVELS = 256;

// The AVI 1.0 index and chunk sizes are 32-bit and many players stop at
// 1 GB; a frame is added only while the file stays below that.
constexpr uint64_t AVI_MAX_BYTES = 1ull << 30;

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

// Appends little-endian fields, as RIFF stores them.
class RiffBytes {
public:
    void FourCC(const char* code) { m_bytes.insert(m_bytes.end(), code, code + 4); }
    void U16(WORD value) { Raw(&value, sizeof(value)); }
    void U32(DWORD value) { Raw(&value, sizeof(value)); }
    void Raw(const void* data, size_t count)
    {
        const BYTE* bytes = static_cast<const BYTE*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + count);
    }
    std::vector<BYTE>& Bytes() { return m_bytes; }

private:
    std::vector<BYTE> m_bytes;
};

// The layout: RIFF 'AVI ' { LIST 'hdrl' { avih, LIST 'strl' { strh, strf } },
// LIST 'movi' { '00db' frame ... }, idx1 }. All frames have one size, so
// every offset follows from the frame count.
constexpr DWORD CHUNK_HEADER = 8;
constexpr DWORD LIST_HEADER = 12;
constexpr DWORD AVIH_BYTES = 56;
constexpr DWORD STRH_BYTES = 56;
constexpr DWORD STRF_BYTES = sizeof(GreyBitmapFormat);
constexpr DWORD STRL_BYTES = 4 + CHUNK_HEADER + STRH_BYTES + CHUNK_HEADER + STRF_BYTES;
constexpr DWORD HDRL_BYTES = 4 + CHUNK_HEADER + AVIH_BYTES + CHUNK_HEADER + STRL_BYTES;
constexpr DWORD HEADER_BYTES = LIST_HEADER + CHUNK_HEADER + HDRL_BYTES + LIST_HEADER; // to the first frame
constexpr DWORD FRAME_CHUNK = CHUNK_HEADER + PICTURE_BYTES; // even: no padding
constexpr DWORD INDEX_ENTRY = 16;
constexpr DWORD AVIF_HASINDEX_FLAG = 0x10;
constexpr DWORD AVIIF_KEYFRAME_FLAG = 0x10;

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

    // Encoded in memory, then written and flushed as one piece: the file is
    // whole on the disk before it may replace another.
    ComPtr<IStream> stream;
    ComPtr<IWICBitmapEncoder> encoder;
    ComPtr<IWICBitmapFrameEncode> frame;
    ComPtr<IPropertyBag2> options;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
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
    HGLOBAL memory = nullptr;
    ULARGE_INTEGER size = {};
    const LARGE_INTEGER zero = {};
    if (SUCCEEDED(hr))
        hr = stream->Seek(zero, STREAM_SEEK_CUR, &size);
    if (SUCCEEDED(hr))
        hr = GetHGlobalFromStream(stream.Get(), &memory);
    if (FAILED(hr))
        return hr;
    const void* bytes = GlobalLock(memory);
    if (!bytes)
        return HRESULT_FROM_WIN32(GetLastError());
    const BOOL written = WriteFlushedFile(path, bytes, static_cast<size_t>(size.QuadPart));
    const DWORD error = GetLastError();
    GlobalUnlock(memory);
    return written ? S_OK : HRESULT_FROM_WIN32(error);
}

BOOL AviWriter::Open(const std::string& path, UINT framesPerSecond)
{
    Abandon();
    m_file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE)
        return FALSE;
    m_fps = framesPerSecond;
    m_frames = 0;
    m_frame.resize(PICTURE_BYTES);
    const std::vector<BYTE> headers = Headers();
    return WriteAll(headers.data(), headers.size());
}

bool AviWriter::IsFull() const
{
    const uint64_t total = HEADER_BYTES + (m_frames + 1) * (FRAME_CHUNK + INDEX_ENTRY) + CHUNK_HEADER;
    return total > AVI_MAX_BYTES;
}

BOOL AviWriter::Add(const BYTE* pixels)
{
    for (size_t y = 0; y < PICTURE_HEIGHT; ++y)
        std::memcpy(&m_frame[(PICTURE_HEIGHT - 1 - y) * PICTURE_WIDTH], pixels + y * PICTURE_WIDTH, PICTURE_WIDTH);
    RiffBytes chunk;
    chunk.FourCC("00db");
    chunk.U32(PICTURE_BYTES);
    if (!WriteAll(chunk.Bytes().data(), chunk.Bytes().size()) || !WriteAll(m_frame.data(), m_frame.size()))
        return FALSE;
    ++m_frames;
    return TRUE;
}

BOOL AviWriter::Close()
{
    if (m_file == INVALID_HANDLE_VALUE)
        return TRUE;
    RiffBytes index;
    index.FourCC("idx1");
    index.U32(static_cast<DWORD>(m_frames * INDEX_ENTRY));
    for (uint64_t i = 0; i < m_frames; ++i) {
        index.FourCC("00db");
        index.U32(AVIIF_KEYFRAME_FLAG);
        index.U32(static_cast<DWORD>(4 + i * FRAME_CHUNK)); // from the 'movi' code
        index.U32(PICTURE_BYTES);
    }
    const std::vector<BYTE> headers = Headers();
    BOOL ok = WriteAll(index.Bytes().data(), index.Bytes().size()) &&
              SetFilePointer(m_file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
              WriteAll(headers.data(), headers.size()) && FlushFileBuffers(m_file);
    const DWORD error = GetLastError();
    const BOOL closed = CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    if (!ok)
        SetLastError(error);
    return ok && closed;
}

void AviWriter::Abandon()
{
    if (m_file != INVALID_HANDLE_VALUE)
        CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
}

// The headers as they stand with the frames written so far.
std::vector<BYTE> AviWriter::Headers() const
{
    const DWORD frames = static_cast<DWORD>(m_frames);
    const DWORD moviBytes = 4 + frames * FRAME_CHUNK;
    const DWORD fileBytes = HEADER_BYTES - 4 + moviBytes + CHUNK_HEADER + frames * INDEX_ENTRY;
    RiffBytes h;
    h.FourCC("RIFF");
    h.U32(fileBytes - CHUNK_HEADER);
    h.FourCC("AVI ");
    h.FourCC("LIST");
    h.U32(HDRL_BYTES);
    h.FourCC("hdrl");
    h.FourCC("avih");
    h.U32(AVIH_BYTES);
    h.U32(1000000 / m_fps); // microseconds per frame
    h.U32(PICTURE_BYTES * m_fps);
    h.U32(0); // padding granularity
    h.U32(AVIF_HASINDEX_FLAG);
    h.U32(frames);
    h.U32(0); // initial frames
    h.U32(1); // streams
    h.U32(PICTURE_BYTES);
    h.U32(PICTURE_WIDTH);
    h.U32(PICTURE_HEIGHT);
    for (int i = 0; i < 4; ++i)
        h.U32(0);
    h.FourCC("LIST");
    h.U32(STRL_BYTES);
    h.FourCC("strl");
    h.FourCC("strh");
    h.U32(STRH_BYTES);
    h.FourCC("vids");
    h.FourCC("DIB ");
    h.U32(0); // flags
    h.U16(0); // priority
    h.U16(0); // language
    h.U32(0); // initial frames
    h.U32(1); // scale: the rate is in frames per second
    h.U32(m_fps);
    h.U32(0); // start
    h.U32(frames);
    h.U32(PICTURE_BYTES);
    h.U32(0xFFFFFFFF); // quality: the default
    h.U32(0);          // sample size: one frame per chunk
    h.U16(0);
    h.U16(0);
    h.U16(PICTURE_WIDTH);
    h.U16(PICTURE_HEIGHT);
    h.FourCC("strf");
    h.U32(STRF_BYTES);
    const GreyBitmapFormat format = MakeGreyFormat();
    h.Raw(&format, sizeof(format));
    h.FourCC("LIST");
    h.U32(moviBytes);
    h.FourCC("movi");
    return std::move(h.Bytes());
}

BOOL AviWriter::WriteAll(const void* bytes, size_t count)
{
    DWORD written = 0;
    if (!WriteFile(m_file, bytes, static_cast<DWORD>(count), &written, nullptr))
        return FALSE;
    if (written != count) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return TRUE;
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
