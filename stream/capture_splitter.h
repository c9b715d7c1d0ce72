// capture_splitter.h - splits a recorded sensor stream into pictures.
//
// The stream is fed in pieces of any size; a marker FF FF 00 FF 80 60 may
// fall anywhere, across pieces too. Every stretch after a marker is a
// picture, numbered from 1. A picture ends at the next marker or at the end
// of the stream, and is then handed to the sink with its kind and its grey
// statistics. Bytes before the first marker belong to no picture.
#pragma once

#include <windows.h>

#include <cstdint>

#include "stream/stream_format.h"

namespace inspect {

using stream_format::PICTURE_WIDTH;
using stream_format::PICTURE_HEIGHT;
using stream_format::PICTURE_BYTES;
using stream_format::MARKER_LENGTH;
constexpr const BYTE* PICTURE_MARKER = stream_format::MARKER;

enum class PictureKind {
    Complete,   // exactly PICTURE_BYTES, then a marker or the end
    Short,      // fewer, then a marker
    Long,       // more, then a marker or the end
    Unfinished, // fewer, at the end
};

const char* KindName(PictureKind kind);

// Grey statistics of a run of bytes; empty when count is 0.
struct GreyStats {
    BYTE min = 255;
    BYTE max = 0;
    uint64_t sum = 0;
    uint64_t count = 0;

    void Add(const BYTE* bytes, size_t size);
    void Merge(const GreyStats& other);
    double Mean() const { return count ? static_cast<double>(sum) / static_cast<double>(count) : 0.0; }
};

struct PictureInfo {
    uint64_t number = 0;
    uint64_t offset = 0; // of the first grey byte in the stream
    uint64_t length = 0;
    PictureKind kind = PictureKind::Complete;
    GreyStats grey;
};

// Receives each picture once it has ended.
class PictureSink {
public:
    virtual ~PictureSink() = default;
    // Whether OnPicture should get the grey bytes of picture `number` when
    // it is complete (collecting them costs a copy).
    virtual bool WantsPixels(uint64_t number) const = 0;
    // pixels: PICTURE_BYTES grey bytes if the picture is complete and they
    // were wanted, otherwise nullptr. Returns false to stop the stream.
    virtual bool OnPicture(const PictureInfo& picture, const BYTE* pixels) = 0;
};

struct CaptureSummary {
    uint64_t bytes = 0;
    uint64_t markers = 0;
    uint64_t leadingBytes = 0; // before the first marker
    uint64_t complete = 0;
    uint64_t shortPictures = 0;
    uint64_t longPictures = 0;
    uint64_t unfinished = 0;
    GreyStats completeGrey; // over the complete pictures only
};

class CaptureSplitter {
public:
    explicit CaptureSplitter(PictureSink* sink = nullptr);

    // Returns false once the sink has asked to stop.
    bool Feed(const BYTE* data, size_t size);
    // The end of the stream: ends the last picture. Call once.
    bool Finish();

    const CaptureSummary& Summary() const { return m_summary; }
    // Bytes of the picture still open (or leading bytes if none).
    uint64_t OpenLength() const { return m_inPicture ? m_current.length : m_summary.leadingBytes; }

private:
    void AddGrey(const BYTE* bytes, size_t size);
    bool AddMarker();
    bool EndPicture(bool atMarker);
    bool FeedCarry(const BYTE*& data, size_t& size);
    bool FeedContiguous(const BYTE* data, size_t size);
    void KeepCarry(const BYTE* bytes, size_t size);

    PictureSink* m_sink;
    CaptureSummary m_summary;
    uint64_t m_position = 0; // stream bytes settled so far
    bool m_inPicture = false;
    bool m_stopped = false;
    PictureInfo m_current;
    bool m_collect = false;
    BYTE m_pixels[PICTURE_BYTES];
    // Undecided bytes at the end of what was fed: they begin a marker if
    // the next bytes complete it.
    BYTE m_carry[MARKER_LENGTH - 1];
    size_t m_carryLength = 0;
};

} // namespace inspect
