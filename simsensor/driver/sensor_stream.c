/*
 * sensor_stream.c - the sensor's output buffer and its picture generator.
 */
#include "sensor.h"

#include "simsensor/sim_pattern.h"

static const UCHAR kFrameMarker[SIM_MARKER_BYTES] = { 0xFF, 0xFF, 0x00, 0xFF, 0x80, 0x60 };

/* Above this the generator would spend its whole tick making bytes the
 * FIFO cannot hold anyway. */
#define STREAM_RATE_MAX 1000
#define MS_PER_SECOND 1000

ULONG FifoPush(SENSOR_FIFO* fifo, const UCHAR* bytes, ULONG length)
{
    ULONG pushed = 0;
    while (pushed < length && fifo->count < fifo->limit) {
        fifo->data[(fifo->head + fifo->count) % SIM_FIFO_BYTES] = bytes[pushed++];
        fifo->count++;
    }
    return pushed;
}

ULONG FifoPop(SENSOR_FIFO* fifo, UCHAR* out, ULONG length)
{
    ULONG popped = 0;
    while (popped < length && fifo->count > 0) {
        ULONG run = SIM_FIFO_BYTES - fifo->head;
        if (run > fifo->count)
            run = fifo->count;
        if (run > length - popped)
            run = length - popped;
        RtlCopyMemory(out + popped, fifo->data + fifo->head, run);
        popped += run;
        fifo->head = (fifo->head + run) % SIM_FIFO_BYTES;
        fifo->count -= run;
    }
    return popped;
}

void FifoClear(SENSOR_FIFO* fifo)
{
    fifo->head = 0;
    fifo->count = 0;
}

/* The oldest bytes stay; returns how many newer ones a smaller limit drops. */
ULONG FifoSetLimit(SENSOR_FIFO* fifo, ULONG limit)
{
    ULONG dropped = fifo->count > limit ? fifo->count - limit : 0;
    fifo->count -= dropped;
    fifo->limit = limit;
    return dropped;
}

BOOLEAN SensorIsSilent(const SENSOR* sensor)
{
    return (sensor->faultFlags & SIM_FAULT_GO_SILENT) && sensor->bytesSinceFaults >= sensor->stopAfterBytes;
}

BOOLEAN StreamIsFlatOut(const SENSOR* sensor)
{
    return sensor->status.streaming && sensor->rate == SIM_RATE_FLAT_OUT && !SensorIsSilent(sensor);
}

/* System time, for the log's request times only. */
ULONGLONG SensorNow100ns(void)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return (ULONGLONG)now.QuadPart;
}

/* The bus frame number: milliseconds of the performance counter, which
 * never steps (Wine's KeQueryInterruptTime counts ticks, not 100 ns).
 * Only differences are used; it wraps after 49 days. */
ULONG SensorNowMs(void)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    return (ULONG)((ULONGLONG)now.QuadPart * MS_PER_SECOND / (ULONGLONG)frequency.QuadPart);
}

void StreamRestartPacing(SENSOR* sensor)
{
    sensor->byteCredit = 0;
    sensor->busFrame = SensorNowMs();
}

void StreamStart(SENSOR* sensor)
{
    sensor->status.streaming = 1;
    sensor->streamPos = 0;
    sensor->status.replayPosition = 0;
    StreamRestartPacing(sensor);
}

/* Stale picture bytes are discarded with the stream, so that replies to the
 * commands that follow are the next bytes the host reads. */
void StreamStop(SENSOR* sensor)
{
    sensor->status.streaming = 0;
    sensor->status.bytesDropped += sensor->fifo.count;
    FifoClear(&sensor->fifo);
}

static ULONG MarkerBytes(const SENSOR* sensor)
{
    return (sensor->faultFlags & SIM_FAULT_NO_MARKERS) ? 0 : SIM_MARKER_BYTES;
}

/* The marker and the current picture, made once per picture. */
static const UCHAR* PreparedPicture(SENSOR* sensor)
{
    UCHAR gain1 = sensor->status.regs[0], gain2 = sensor->status.regs[1];

    if (!sensor->prepared || sensor->preparedFrame != sensor->frame || sensor->preparedGain1 != gain1 ||
        sensor->preparedGain2 != gain2) {
        RtlCopyMemory(sensor->picture, kFrameMarker, SIM_MARKER_BYTES);
        SimPatternPicture(sensor->frame, gain1, gain2, sensor->picture + SIM_MARKER_BYTES);
        sensor->prepared = TRUE;
        sensor->preparedFrame = sensor->frame;
        sensor->preparedGain1 = gain1;
        sensor->preparedGain2 = gain2;
    }
    return sensor->picture;
}

/* The next bytes of a replayed recording; fewer than asked for once a
 * recording that does not loop has run out. */
static ULONG ReplayGenerate(SENSOR* sensor, UCHAR* out, ULONG length)
{
    SIM_STATUS* status = &sensor->status;
    ULONG produced = 0;

    while (produced < length) {
        ULONG run = status->replayLength - status->replayPosition;
        if (run == 0) {
            if (!sensor->replayLoop)
                break;
            status->replayPosition = 0;
            continue;
        }
        if (run > length - produced)
            run = length - produced;
        if (out)
            RtlCopyMemory(out + produced, sensor->replay + status->replayPosition, run);
        status->replayPosition += run;
        produced += run;
    }
    return produced;
}

/* Produces up to `length` next stream bytes into `out`, or only advances
 * the stream past them when `out` is NULL (bytes a full FIFO drops).
 * Returns how many: fewer only when a replay has run out. */
ULONG StreamGenerate(SENSOR* sensor, UCHAR* out, ULONG length)
{
    ULONG markerBytes = MarkerBytes(sensor);
    ULONG pictureBytes = markerBytes + SIM_PICTURE_BYTES;
    ULONG done = 0;

    if (sensor->status.replayLength)
        return ReplayGenerate(sensor, out, length);
    while (done < length) {
        ULONG run = pictureBytes - sensor->streamPos;
        if (run > length - done)
            run = length - done;
        if (sensor->streamPos == 0)
            sensor->status.picturesStarted++;
        /* Without markers the picture starts past the prepared marker. */
        if (out)
            RtlCopyMemory(out + done, PreparedPicture(sensor) + (SIM_MARKER_BYTES - markerBytes) + sensor->streamPos,
                          run);
        done += run;
        sensor->streamPos += run;
        if (sensor->streamPos >= pictureBytes) {
            sensor->streamPos = 0;
            if (!(sensor->faultFlags & SIM_FAULT_STILL))
                sensor->frame++;
        }
    }
    return length;
}

/* Stream bytes the sensor makes in `ms` milliseconds at its rate; the
 * remainder carries over, so the long-run rate is exact. */
ULONG StreamBytesDue(SENSOR* sensor, ULONG ms)
{
    ULONG rate = sensor->rate > STREAM_RATE_MAX ? STREAM_RATE_MAX : sensor->rate;
    ULONG bytesPerSecond = rate * (MarkerBytes(sensor) + SIM_PICTURE_BYTES);
    ULONGLONG credit = sensor->byteCredit + (ULONGLONG)bytesPerSecond * ms;

    sensor->byteCredit = credit % MS_PER_SECOND;
    return (ULONG)(credit / MS_PER_SECOND);
}

BOOLEAN StreamIsPaced(const SENSOR* sensor)
{
    return sensor->status.streaming && sensor->rate != SIM_RATE_FLAT_OUT && !SensorIsSilent(sensor);
}

BOOLEAN StreamReplayRanOut(const SENSOR* sensor)
{
    const SIM_STATUS* status = &sensor->status;
    return status->replayLength && !sensor->replayLoop && status->replayPosition == status->replayLength;
}

/* Up to `length` next stream bytes into the FIFO, as many as it has room
 * for; fewer once a replay that does not loop has run out. */
static ULONG StreamFillFifo(SENSOR* sensor, ULONG length)
{
    SENSOR_FIFO* fifo = &sensor->fifo;
    ULONG filled = 0;

    while (filled < length && fifo->count < fifo->limit) {
        ULONG tail = (fifo->head + fifo->count) % SIM_FIFO_BYTES;
        ULONG run = tail >= fifo->head ? SIM_FIFO_BYTES - tail : fifo->head - tail;
        ULONG produced;
        if (run > fifo->limit - fifo->count)
            run = fifo->limit - fifo->count;
        if (run > length - filled)
            run = length - filled;
        produced = StreamGenerate(sensor, fifo->data + tail, run);
        fifo->count += produced;
        filled += produced;
        if (produced < run)
            break;
    }
    return filled;
}

/* The sensor never waits for the host: what it makes goes into its FIFO,
 * and what the FIFO has no room for is lost and counted. */
void StreamMake(SENSOR* sensor, ULONG length)
{
    ULONG kept = StreamFillFifo(sensor, length);
    ULONG overflow = kept < length ? StreamGenerate(sensor, NULL, length - kept) : 0;

    sensor->status.bytesMade += kept + overflow;
    sensor->status.overflowBytes += overflow;
}
