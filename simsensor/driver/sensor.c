/*
 * sensor.c - the simulated sensor's state: the command protocol, resets,
 * plugging, the fault script, the log and the control device's settings.
 * Every function here runs with the sensor's lock held.
 */
#include "sensor.h"

#include "simsensor/sim_pattern.h"

#define CMD_STOP_STREAM 0x11
#define CMD_QUERY 0x9A
#define CMD_WRITE_REG 0x10
#define CMD_SYNC 0x3F
#define CMD_START_STREAM 0xA1

#define STOP_STREAM_LENGTH 3
#define WRITE_REG_SHORT 3
#define WRITE_REG_LONG 4
#define ACK_GOOD 0x10
#define ACK_BAD 0x11
#define SYNC_ECHO_BAD 0x3E

/* What the sensor answers to a query: its model and picture size. */
static const UCHAR kQueryReply[] = { 0x49, 0x44, 0x80, 0x60 };
static const UCHAR kStopStream[STOP_STREAM_LENGTH] = { CMD_STOP_STREAM, 0x00, 0x01 };

void SensorInit(SENSOR* sensor, ULONG index)
{
    RtlZeroMemory(sensor, sizeof(*sensor));
    sensor->kind = DEVICE_KIND_SENSOR;
    sensor->index = index;
    sensor->plugGeneration = 1;
    KeInitializeSpinLock(&sensor->lock);
    InitializeListHead(&sensor->pendingReads);
    InitializeListHead(&sensor->heldRequests);
    InitializeListHead(&sensor->busyReads);
    SensorPowerOn(sensor, NULL);
}

/* What the sensor holds at that moment counts as made afterwards, so the
 * counters still add up. */
static void ClearTraffic(SENSOR* sensor)
{
    sensor->status.bytesReceived = 0;
    sensor->status.bytesMade = sensor->fifo.count + sensor->inFlightBytes;
    sensor->status.bytesReplied = 0;
    sensor->status.bytesDelivered = 0;
    sensor->status.deliveredHash = SIM_FNV_OFFSET;
    sensor->status.overflowBytes = 0;
    sensor->status.bytesLost = 0;
    sensor->status.bytesDropped = 0;
    sensor->status.resetCount = 0;
    sensor->status.openCount = 0;
    sensor->status.refusedRequests = 0;
    sensor->status.readRequests = 0;
    sensor->status.readLengthMin = 0;
    sensor->status.readLengthMax = 0;
    sensor->status.flakyReads = 0;
    sensor->status.busyReads = 0;
}

void SensorClearLog(SENSOR* sensor)
{
    sensor->log.first = 0;
    sensor->log.count = 0;
    ClearTraffic(sensor);
}

#define REPLAY_POOL_TAG 0x6C705952u /* "Rypl" in a pool dump */

static void FreeReplay(SENSOR* sensor)
{
    if (sensor->replay)
        ExFreePoolWithTag(sensor->replay, REPLAY_POOL_TAG);
    sensor->replay = NULL;
    sensor->replayCapacity = 0;
    sensor->replayLoaded = 0;
    sensor->status.replayLength = 0;
    sensor->status.replayPosition = 0;
}

/* Nonpaged pool may be had and given back with the sensor's lock held. */
NTSTATUS SensorSetReplay(SENSOR* sensor, ULONG length, BOOLEAN loop)
{
    FreeReplay(sensor);
    if (length == 0)
        return STATUS_SUCCESS;
    if (length > SIM_REPLAY_MAX_BYTES)
        return STATUS_INVALID_PARAMETER;
    sensor->replay = ExAllocatePoolWithTag(NonPagedPool, length, REPLAY_POOL_TAG);
    if (!sensor->replay)
        return STATUS_INSUFFICIENT_RESOURCES;
    sensor->replayCapacity = length;
    sensor->replayLoop = loop;
    return STATUS_SUCCESS;
}

/* Pieces come in order; the replay starts to count once the last has. */
NTSTATUS SensorReplayData(SENSOR* sensor, ULONG offset, const UCHAR* bytes, ULONG length)
{
    if (!sensor->replay || offset != sensor->replayLoaded || length > sensor->replayCapacity - offset)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(sensor->replay + offset, bytes, length);
    sensor->replayLoaded += length;
    if (sensor->replayLoaded == sensor->replayCapacity)
        sensor->status.replayLength = sensor->replayCapacity;
    return STATUS_SUCCESS;
}

/* Open handles survive a power-on reset (they are the host's, not the
 * device's); an unplugged device comes back, its old handles stay dead. */
void SensorPowerOn(SENSOR* sensor, PLIST_ENTRY done)
{
    ULONG openHandles = sensor->status.openHandles;

    if (done) {
        SensorCancelAllReads(sensor, STATUS_CANCELLED, NULL, done);
        SensorReleaseHeld(sensor, done);
        SensorRefuseBusy(sensor, done);
    }
    FreeReplay(sensor);
    StreamStop(sensor);
    RtlZeroMemory(&sensor->status, sizeof(sensor->status));
    sensor->status.openHandles = openHandles;
    sensor->status.plugged = 1;
    SensorSetFifoSize(sensor, SIM_FIFO_BYTES);
    sensor->rate = SIM_RATE_DEFAULT;
    sensor->faultFlags = 0;
    sensor->badAckEntry = 0;
    sensor->stopAfterBytes = 0;
    sensor->flakyEvery = 0;
    sensor->bytesSinceFaults = 0;
    sensor->oddReadNext = FALSE;
    sensor->readsSinceFlaky = 0;
    sensor->frame = 0;
    sensor->streamPos = 0;
    SensorClearLog(sensor);
}

void SensorSetPlugged(SENSOR* sensor, BOOLEAN plugged, PLIST_ENTRY done)
{
    if (plugged == (BOOLEAN)(sensor->status.plugged != 0))
        return;
    sensor->status.plugged = plugged;
    if (plugged)
        return;
    sensor->plugGeneration++;
    StreamStop(sensor);
    SensorCancelAllReads(sensor, STATUS_DEVICE_NOT_CONNECTED, NULL, done);
}

void SensorSetRate(SENSOR* sensor, ULONG picturesPerSecond)
{
    sensor->rate = picturesPerSecond;
    StreamRestartPacing(sensor);
}

/* A script the sensor cannot follow (a flaky read every 0th) changes nothing. */
NTSTATUS SensorSetFaults(SENSOR* sensor, const SIM_FAULT_ARG* faults, PLIST_ENTRY done)
{
    if ((faults->flags & SIM_FAULT_FLAKY_READS) && faults->flakyEvery == 0)
        return STATUS_INVALID_PARAMETER;
    SensorReleaseHeld(sensor, done);
    sensor->oddReadNext = FALSE;
    sensor->readsSinceFlaky = 0;
    sensor->faultFlags = faults->flags;
    sensor->badAckEntry = faults->badAckEntry;
    sensor->stopAfterBytes = faults->stopAfterBytes;
    sensor->flakyEvery = faults->flakyEvery;
    sensor->bytesSinceFaults = 0;
    return STATUS_SUCCESS;
}

/* A sensor with a smaller buffer: what it held beyond the new size is
 * lost, as bytes it had no room for. */
NTSTATUS SensorSetFifoSize(SENSOR* sensor, ULONG bytes)
{
    if (bytes < SIM_FIFO_MIN_BYTES || bytes > SIM_FIFO_BYTES)
        return STATUS_INVALID_PARAMETER;
    sensor->status.overflowBytes += FifoSetLimit(&sensor->fifo, bytes);
    sensor->status.fifoBytes = bytes;
    return STATUS_SUCCESS;
}

void SensorLogRecord(SENSOR* sensor, ULONG type, const UCHAR* bytes, ULONG length)
{
    SENSOR_LOG* log = &sensor->log;
    SIM_LOG_RECORD* record;
    ULONG kept = length < SIM_LOG_MAX_BYTES ? length : SIM_LOG_MAX_BYTES;

    if (log->count == SIM_LOG_CAPACITY) {
        log->first = (log->first + 1) % SIM_LOG_CAPACITY;
        log->count--;
    }
    record = &log->records[(log->first + log->count) % SIM_LOG_CAPACITY];
    log->count++;
    RtlZeroMemory(record, sizeof(*record));
    record->type = type;
    record->time = (ULONG)SensorNow100ns();
    record->length = length;
    if (bytes)
        RtlCopyMemory(record->bytes, bytes, kept);
}

ULONG SensorCopyLog(const SENSOR* sensor, SIM_LOG_RECORD* out, ULONG maxRecords)
{
    const SENSOR_LOG* log = &sensor->log;
    ULONG n = log->count < maxRecords ? log->count : maxRecords;
    ULONG i;

    for (i = 0; i < n; ++i)
        out[i] = log->records[(log->first + i) % SIM_LOG_CAPACITY];
    return n;
}

/* Pixel by pixel, independently of the prepared picture the stream uses. */
void SensorCurrentPicture(const SENSOR* sensor, UCHAR* picture)
{
    ULONG x, y;
    for (y = 0; y < SIM_PICTURE_HEIGHT; ++y)
        for (x = 0; x < SIM_PICTURE_WIDTH; ++x)
            picture[y * SIM_PICTURE_WIDTH + x] =
                SimPatternPixel(sensor->frame, x, y, sensor->status.regs[0], sensor->status.regs[1]);
}

/* The reset request: the device stops and forgets its output, keeps its
 * registers. */
void SensorDeviceReset(SENSOR* sensor)
{
    StreamStop(sensor);
    sensor->status.regWrites = 0;
    sensor->status.resetCount++;
    SensorLogRecord(sensor, SIM_LOG_RESET, NULL, 0);
}

static void Reply(SENSOR* sensor, const UCHAR* bytes, ULONG length)
{
    sensor->status.bytesReplied += length;
    sensor->status.bytesDropped += length - FifoPush(&sensor->fifo, bytes, length);
}

static void ReplyByte(SENSOR* sensor, UCHAR byte)
{
    Reply(sensor, &byte, 1);
}

static BOOLEAN IsStopStream(const UCHAR* bytes, ULONG length)
{
    return length == STOP_STREAM_LENGTH && RtlCompareMemory(bytes, kStopStream, length) == length;
}

static void WriteRegister(SENSOR* sensor, const UCHAR* bytes)
{
    BOOLEAN badAck = (sensor->faultFlags & SIM_FAULT_BAD_ACK) && sensor->status.regWrites == sensor->badAckEntry;
    BOOLEAN noAck = (sensor->faultFlags & SIM_FAULT_NO_ACK) && sensor->status.regWrites == sensor->badAckEntry;

    sensor->status.regs[bytes[1]] = bytes[2];
    sensor->status.regWrites++;
    if (!noAck)
        ReplyByte(sensor, badAck ? ACK_BAD : ACK_GOOD);
    if (badAck && (sensor->faultFlags & SIM_FAULT_BAD_ACK_ONCE))
        sensor->faultFlags &= ~(SIM_FAULT_BAD_ACK | SIM_FAULT_BAD_ACK_ONCE);
}

/* One write is one command. Anything the device does not know is taken
 * and ignored, as the real device does; the log still shows it. */
static void ExecuteCommand(SENSOR* sensor, const UCHAR* bytes, ULONG length)
{
    if (length == 0)
        return;
    if (IsStopStream(bytes, length)) {
        StreamStop(sensor);
    } else if (bytes[0] == CMD_QUERY && length == 1) {
        sensor->status.regWrites = 0;
        if (!(sensor->faultFlags & SIM_FAULT_NO_QUERY_REPLY))
            Reply(sensor, kQueryReply, (sensor->faultFlags & SIM_FAULT_SHORT_QUERY) ? 1 : sizeof(kQueryReply));
    } else if (bytes[0] == CMD_WRITE_REG && (length == WRITE_REG_SHORT || length == WRITE_REG_LONG)) {
        WriteRegister(sensor, bytes);
    } else if (bytes[0] == CMD_SYNC && length == 1) {
        if (!(sensor->faultFlags & SIM_FAULT_NO_SYNC_ECHO))
            ReplyByte(sensor, (sensor->faultFlags & SIM_FAULT_BAD_SYNC_ECHO) ? SYNC_ECHO_BAD : CMD_SYNC);
    } else if (bytes[0] == CMD_START_STREAM && length == 1) {
        sensor->status.regWrites = 0;
        StreamStart(sensor);
    }
}

/* A silenced device still takes every write; it answers a command only
 * when all of its bytes came before the silence began. */
void SensorTakeWrite(SENSOR* sensor, const UCHAR* bytes, ULONG length)
{
    SensorLogRecord(sensor, SIM_LOG_WRITE, bytes, length);
    sensor->status.bytesReceived += length;
    sensor->bytesSinceFaults += length;
    if ((sensor->faultFlags & SIM_FAULT_GO_SILENT) && sensor->bytesSinceFaults > sensor->stopAfterBytes)
        return;
    ExecuteCommand(sensor, bytes, length);
}

/* The write fails as a whole: nothing of it reaches the device. */
BOOLEAN SensorRefusesWrite(const SENSOR* sensor, const UCHAR* bytes, ULONG length)
{
    return (sensor->faultFlags & SIM_FAULT_REFUSE_START) && length == 1 && bytes[0] == CMD_START_STREAM;
}

/* The counters as reported: what is buffered is read off the FIFO and
 * the waiting reads. */
void SensorRefreshStatus(SENSOR* sensor)
{
    sensor->status.bytesBuffered = (ULONGLONG)sensor->fifo.count + sensor->inFlightBytes;
}
