// link_check - a console check of the device link against whatever device
// is attached: connect, start the stream with the default settings, read
// for a second through CImageDevice, count pictures, stop.
#include <cstdio>

#include "device/chunk_notice.h"
#include "device/image_device.h"
#include "display/frame_painter.h"

namespace {

constexpr DWORD READ_PERIOD_MS = 1000;

} // namespace

int main()
{
    CImageDevice device;
    if (!device.Connect()) {
        std::printf("link check: connect failed (is the device attached?)\n");
        return 1;
    }
    std::printf("link check: connected\n");

    if (!device.StartImaging(DEFAULT_SENSOR_SETTINGS)) {
        std::printf("link check: the start sequence failed\n");
        return 1;
    }
    std::printf("link check: sensor programmed (32 registers), stream started\n");

    BYTE chunk[CHUNK_SIZE];
    DWORD bytes = 0, markers = 0;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < READ_PERIOD_MS) {
        const DWORD count = device.Read(chunk, CHUNK_SIZE);
        for (DWORD o = 0; o + FRAME_MARKER_LENGTH <= count; ++o)
            markers += IsFrameMarker(chunk + o) ? 1 : 0;
        bytes += count;
    }
    device.Write(CMD_STOP_STREAM, STOP_STREAM_LENGTH);
    std::printf("link check: streamed %lu bytes, %lu frame markers in %lu ms; stream stopped\n",
                static_cast<unsigned long>(bytes), static_cast<unsigned long>(markers),
                static_cast<unsigned long>(READ_PERIOD_MS));
    return bytes > 0 && markers > 0 ? 0 : 1;
}
