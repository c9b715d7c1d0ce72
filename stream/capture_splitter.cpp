#include "stream/capture_splitter.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

namespace inspect {

namespace {

constexpr BYTE MARKER_LAST = 0x60;        // the marker's last byte
constexpr BYTE MARKER_BEFORE_LAST = 0x80; // and the one before it
constexpr size_t VECTOR = 16;

// The build targets every i686 processor; SSE2 code is chosen at run time.
// 32-bit Windows keeps the stack only 4-byte aligned: realign it on entry
// so spilled vectors are safe.
#define SSE2_CODE __attribute__((target("sse2"), force_align_arg_pointer))

bool HasSse2()
{
    static const bool has = IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
    return has;
}

bool IsMarkerAt(const BYTE* data, size_t start)
{
    return std::memcmp(data + start, PICTURE_MARKER, MARKER_LENGTH) == 0;
}

size_t FindMarkerPlain(const BYTE* data, size_t from, size_t size)
{
    for (size_t at = from; at + MARKER_LENGTH <= size; ++at) {
        if (data[at + MARKER_LENGTH - 1] == MARKER_LAST && IsMarkerAt(data, at))
            return at;
    }
    return size;
}

// Tests 16 places at once for the marker's last two bytes, which grey data
// rarely has in that order, then compares the rest.
SSE2_CODE size_t FindMarkerSse2(const BYTE* data, size_t from, size_t size)
{
    const __m128i last = _mm_set1_epi8(static_cast<char>(MARKER_LAST));
    const __m128i beforeLast = _mm_set1_epi8(static_cast<char>(MARKER_BEFORE_LAST));
    size_t end = from + MARKER_LENGTH - 1; // where a marker's last byte can be
    for (; end + VECTOR <= size; end += VECTOR) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + end));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + end - 1));
        unsigned hits = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, last), _mm_cmpeq_epi8(b, beforeLast)));
        for (; hits; hits &= hits - 1) {
            const size_t start = end + __builtin_ctz(hits) - (MARKER_LENGTH - 1);
            if (IsMarkerAt(data, start))
                return start;
        }
    }
    return FindMarkerPlain(data, end - (MARKER_LENGTH - 1), size);
}

// Index of the first whole marker in data[from, size), or size.
size_t FindMarker(const BYTE* data, size_t from, size_t size)
{
    return HasSse2() ? FindMarkerSse2(data, from, size) : FindMarkerPlain(data, from, size);
}

void AddGreyPlain(const BYTE* bytes, size_t size, BYTE& lo, BYTE& hi, uint64_t& sum)
{
    for (size_t i = 0; i < size; ++i) {
        lo = std::min(lo, bytes[i]);
        hi = std::max(hi, bytes[i]);
        sum += bytes[i];
    }
}

SSE2_CODE void AddGreySse2(const BYTE* bytes, size_t size, BYTE& lo, BYTE& hi, uint64_t& sum)
{
    __m128i low = _mm_set1_epi8(static_cast<char>(lo));
    __m128i high = _mm_set1_epi8(static_cast<char>(hi));
    __m128i total = _mm_setzero_si128();
    const __m128i zero = _mm_setzero_si128();
    size_t i = 0;
    for (; i + VECTOR <= size; i += VECTOR) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        low = _mm_min_epu8(low, v);
        high = _mm_max_epu8(high, v);
        total = _mm_add_epi64(total, _mm_sad_epu8(v, zero)); // two sums of eight bytes
    }
    BYTE lows[VECTOR], highs[VECTOR];
    uint64_t sums[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lows), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(highs), high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums), total);
    lo = *std::min_element(lows, lows + VECTOR);
    hi = *std::max_element(highs, highs + VECTOR);
    sum += sums[0] + sums[1];
    AddGreyPlain(bytes + i, size - i, lo, hi, sum);
}

// Length of the longest end of data[from, size) that begins a marker
// (at most MARKER_LENGTH - 1 bytes).
size_t MarkerPrefixAtEnd(const BYTE* data, size_t from, size_t size)
{
    for (size_t length = std::min(MARKER_LENGTH - 1, size - from); length > 0; --length) {
        if (std::memcmp(data + size - length, PICTURE_MARKER, length) == 0)
            return length;
    }
    return 0;
}

} // namespace

const char* KindName(PictureKind kind)
{
    switch (kind) {
    case PictureKind::Complete:
        return "complete";
    case PictureKind::Short:
        return "short";
    case PictureKind::Long:
        return "long";
    case PictureKind::Unfinished:
        return "unfinished";
    }
    return "?";
}

void GreyStats::Add(const BYTE* bytes, size_t size)
{
    if (HasSse2())
        AddGreySse2(bytes, size, min, max, sum);
    else
        AddGreyPlain(bytes, size, min, max, sum);
    count += size;
}

void GreyStats::Merge(const GreyStats& other)
{
    if (other.count == 0)
        return;
    min = std::min(min, other.min);
    max = std::max(max, other.max);
    sum += other.sum;
    count += other.count;
}

CaptureSplitter::CaptureSplitter(PictureSink* sink) : m_sink(sink) {}

bool CaptureSplitter::Feed(const BYTE* data, size_t size)
{
    if (m_stopped)
        return false;
    m_summary.bytes += size;
    if (m_carryLength > 0 && !FeedCarry(data, size))
        return false;
    return size == 0 || FeedContiguous(data, size);
}

bool CaptureSplitter::Finish()
{
    if (m_stopped)
        return false;
    AddGrey(m_carry, m_carryLength);
    m_carryLength = 0;
    return !m_inPicture || EndPicture(false);
}

// Settles the carried bytes with the first bytes of the new piece: either
// a marker begins among them, or they are grey bytes. Advances past the
// bytes it used.
bool CaptureSplitter::FeedCarry(const BYTE*& data, size_t& size)
{
    BYTE joined[2 * (MARKER_LENGTH - 1)];
    const size_t carried = m_carryLength;
    const size_t taken = std::min(size, MARKER_LENGTH - 1);
    std::memcpy(joined, m_carry, carried);
    std::memcpy(joined + carried, data, taken);
    m_carryLength = 0;
    for (size_t start = 0; start < carried; ++start) {
        const size_t available = carried + taken - start;
        const size_t compared = std::min(available, MARKER_LENGTH);
        if (std::memcmp(joined + start, PICTURE_MARKER, compared) != 0)
            continue;
        AddGrey(joined, start);
        if (compared < MARKER_LENGTH) {
            // The whole piece still only begins a marker.
            KeepCarry(joined + start, available);
            size = 0;
            return true;
        }
        if (!AddMarker())
            return false;
        const size_t used = MARKER_LENGTH - (carried - start);
        data += used;
        size -= used;
        return true;
    }
    AddGrey(joined, carried);
    return true;
}

bool CaptureSplitter::FeedContiguous(const BYTE* data, size_t size)
{
    size_t from = 0;
    for (;;) {
        const size_t marker = FindMarker(data, from, size);
        if (marker == size)
            break;
        AddGrey(data + from, marker - from);
        if (!AddMarker())
            return false;
        from = marker + MARKER_LENGTH;
    }
    const size_t undecided = MarkerPrefixAtEnd(data, from, size);
    AddGrey(data + from, size - from - undecided);
    KeepCarry(data + size - undecided, undecided);
    return true;
}

void CaptureSplitter::KeepCarry(const BYTE* bytes, size_t size)
{
    std::memmove(m_carry, bytes, size);
    m_carryLength = size;
}

void CaptureSplitter::AddGrey(const BYTE* bytes, size_t size)
{
    if (size == 0)
        return;
    m_position += size;
    if (!m_inPicture) {
        m_summary.leadingBytes += size;
        return;
    }
    if (m_collect && m_current.length < PICTURE_BYTES) {
        const size_t room = PICTURE_BYTES - static_cast<size_t>(m_current.length);
        std::memcpy(m_pixels + m_current.length, bytes, std::min(room, size));
    }
    m_current.length += size;
    m_current.grey.Add(bytes, size);
}

bool CaptureSplitter::AddMarker()
{
    m_position += MARKER_LENGTH;
    ++m_summary.markers;
    if (m_inPicture && !EndPicture(true))
        return false;
    m_inPicture = true;
    m_current = PictureInfo();
    m_current.number = m_summary.markers;
    m_current.offset = m_position;
    m_collect = m_sink && m_sink->WantsPixels(m_current.number);
    return true;
}

bool CaptureSplitter::EndPicture(bool atMarker)
{
    PictureInfo& picture = m_current;
    if (picture.length == PICTURE_BYTES) {
        picture.kind = PictureKind::Complete;
        ++m_summary.complete;
        m_summary.completeGrey.Merge(picture.grey);
    } else if (picture.length > PICTURE_BYTES) {
        picture.kind = PictureKind::Long;
        ++m_summary.longPictures;
    } else if (atMarker) {
        picture.kind = PictureKind::Short;
        ++m_summary.shortPictures;
    } else {
        picture.kind = PictureKind::Unfinished;
        ++m_summary.unfinished;
    }
    m_inPicture = false;
    const BYTE* pixels = picture.kind == PictureKind::Complete && m_collect ? m_pixels : nullptr;
    if (m_sink && !m_sink->OnPicture(picture, pixels))
        m_stopped = true;
    return !m_stopped;
}

} // namespace inspect
