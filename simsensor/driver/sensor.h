/*
 * sensor.h - the simulated image sensor inside the stand-in driver.
 *
 * Every device object of the driver carries a DEVICE_KIND first in its
 * extension, so a dispatch routine can tell the sensors from the control
 * device. A sensor's whole state is guarded by its spin lock; IRPs are
 * gathered on a local list under the lock and completed after it is
 * released, so no completion ever runs with the lock held.
 */
#ifndef SENSOR_H
#define SENSOR_H

#include <ntifs.h> /* ntddk.h plus the Zw wait the unload needs */

#include "simsensor/sim_ioctl.h"

typedef enum DEVICE_KIND {
    DEVICE_KIND_SENSOR = 1,
    DEVICE_KIND_CONTROL = 2
} DEVICE_KIND;

typedef struct CONTROL_EXTENSION {
    DEVICE_KIND kind;
} CONTROL_EXTENSION;

/* The sensor's output buffer: command replies and picture bytes share it,
 * in the order the device produced them. The storage is always the largest
 * buffer; a smaller sensor holds no more than `limit` bytes of it. */
typedef struct SENSOR_FIFO {
    UCHAR data[SIM_FIFO_BYTES];
    ULONG head;  /* index of the oldest byte */
    ULONG count;
    ULONG limit;
} SENSOR_FIFO;

typedef struct SENSOR_LOG {
    SIM_LOG_RECORD records[SIM_LOG_CAPACITY];
    ULONG first; /* index of the oldest record */
    ULONG count;
} SENSOR_LOG;

typedef struct SENSOR {
    DEVICE_KIND kind;
    ULONG index;
    KSPIN_LOCK lock;
    LIST_ENTRY pendingReads;  /* read IRPs, linked through Tail.Overlay.ListEntry */
    LIST_ENTRY heldRequests;  /* IRPs a HOLD fault keeps, without a cancel routine */
    LIST_ENTRY busyReads;     /* reads BUSY_LATE refuses at the next tick, without a cancel routine */
    BOOLEAN oddReadNext;      /* ZERO_READS, OVERLONG_READS: the next read is the faulty one */
    ULONG readsSinceFlaky;    /* FLAKY_READS: reads served since the last one it failed */

    /* A handle works only while the device is plugged and was opened in the
     * current plug generation: unplugging outdates every open handle. */
    ULONG plugGeneration;

    ULONG rate;               /* pictures per second, or SIM_RATE_FLAT_OUT */
    ULONG faultFlags;
    ULONG badAckEntry;
    ULONG stopAfterBytes;
    ULONG flakyEvery;
    ULONG bytesSinceFaults;   /* received since the fault script was set */

    ULONG frame;              /* picture being produced, or the next one */
    /* The marker and picture `preparedFrame` at the gains it was made with,
     * so that the stream is copied rather than computed byte by byte. */
    BOOLEAN prepared;
    ULONG preparedFrame;
    UCHAR preparedGain1, preparedGain2;
    UCHAR picture[SIM_MARKER_BYTES + SIM_PICTURE_BYTES];
    ULONG streamPos;          /* offset within the current picture's bytes */
    ULONG busFrame;           /* the last 1 ms bus frame the stream was made and moved up to */
    ULONGLONG byteCredit;     /* stream bytes owed, in thousandths */
    ULONG inFlightBytes;      /* moved by the bus into reads still waiting */
    BOOLEAN pacerStalled;     /* the pacer leaves the sensor alone until pacerStallEnd */
    ULONG pacerStallEnd;

    UCHAR* replay;            /* a recording streamed instead of the pattern, or NULL */
    ULONG replayCapacity;     /* its size */
    ULONG replayLoaded;       /* bytes of it received so far */
    BOOLEAN replayLoop;

    SIM_STATUS status;        /* counters and registers, as reported */
    SENSOR_FIFO fifo;
    SENSOR_LOG log;
} SENSOR;

/* A waiting read's progress, kept in the IRP while the driver owns it: the
 * bus frame it was issued in, and how many bytes the bus moved into it. */
static __inline ULONG ReadIssuedFrame(PIRP irp)
{
    return (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[0];
}

static __inline ULONG ReadFilled(PIRP irp)
{
    return (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[1];
}

static __inline void SetReadProgress(PIRP irp, ULONG issuedFrame, ULONG filled)
{
    irp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)issuedFrame;
    irp->Tail.Overlay.DriverContext[1] = (PVOID)(ULONG_PTR)filled;
}

/* sensor.c: state changes. Callers hold the sensor's lock; IRPs that become
 * complete are moved to `done` with their status already set. */
void SensorInit(SENSOR* sensor, ULONG index);
void SensorPowerOn(SENSOR* sensor, PLIST_ENTRY done);
void SensorSetPlugged(SENSOR* sensor, BOOLEAN plugged, PLIST_ENTRY done);
void SensorSetRate(SENSOR* sensor, ULONG picturesPerSecond);
NTSTATUS SensorSetFaults(SENSOR* sensor, const SIM_FAULT_ARG* faults, PLIST_ENTRY done);
NTSTATUS SensorSetFifoSize(SENSOR* sensor, ULONG bytes);
void SensorClearLog(SENSOR* sensor);
NTSTATUS SensorSetReplay(SENSOR* sensor, ULONG length, BOOLEAN loop);
NTSTATUS SensorReplayData(SENSOR* sensor, ULONG offset, const UCHAR* bytes, ULONG length);
ULONG SensorCopyLog(const SENSOR* sensor, SIM_LOG_RECORD* out, ULONG maxRecords);
void SensorCurrentPicture(const SENSOR* sensor, UCHAR* picture);
void SensorLogRecord(SENSOR* sensor, ULONG type, const UCHAR* bytes, ULONG length);
void SensorTakeWrite(SENSOR* sensor, const UCHAR* bytes, ULONG length);
BOOLEAN SensorRefusesWrite(const SENSOR* sensor, const UCHAR* bytes, ULONG length);
void SensorDeviceReset(SENSOR* sensor);
void SensorRefreshStatus(SENSOR* sensor);
NTSTATUS SensorStallPacer(SENSOR* sensor, ULONG ms);

/* sensor_io.c: the sensor's IRP handlers and its queue of waiting reads
 * (the queue functions are called with the lock held). */
void SensorServeReads(SENSOR* sensor, PLIST_ENTRY done);
BOOLEAN SensorTakesFlakyRead(SENSOR* sensor, ULONG length);
NTSTATUS SensorFlakyStatus(const SENSOR* sensor);
void SensorEndRead(SENSOR* sensor, PIRP irp, NTSTATUS status);
void SensorCancelAllReads(SENSOR* sensor, NTSTATUS status, PFILE_OBJECT onlyFile, PLIST_ENTRY done);
void SensorReleaseHeld(SENSOR* sensor, PLIST_ENTRY done);
void SensorRefuseBusy(SENSOR* sensor, PLIST_ENTRY done);
NTSTATUS SensorCreate(SENSOR* sensor, PIRP irp);
NTSTATUS SensorClose(SENSOR* sensor, PIRP irp);
NTSTATUS SensorCleanup(SENSOR* sensor, PIRP irp);
NTSTATUS SensorRead(SENSOR* sensor, PIRP irp);
NTSTATUS SensorWrite(SENSOR* sensor, PIRP irp);
NTSTATUS SensorDeviceControl(SENSOR* sensor, PIRP irp);
void CompleteIrpList(PLIST_ENTRY done);

/* sensor_stream.c: the output FIFO and the picture generator. */
ULONG FifoPush(SENSOR_FIFO* fifo, const UCHAR* bytes, ULONG length);
ULONG FifoPop(SENSOR_FIFO* fifo, UCHAR* out, ULONG length);
void FifoClear(SENSOR_FIFO* fifo);
ULONG FifoSetLimit(SENSOR_FIFO* fifo, ULONG limit);
ULONGLONG SensorNow100ns(void);
ULONG SensorNowMs(void);
void StreamRestartPacing(SENSOR* sensor);
void StreamStart(SENSOR* sensor);
void StreamStop(SENSOR* sensor);
BOOLEAN SensorIsSilent(const SENSOR* sensor);
BOOLEAN StreamIsFlatOut(const SENSOR* sensor);
BOOLEAN StreamIsPaced(const SENSOR* sensor);
BOOLEAN StreamReplayRanOut(const SENSOR* sensor);
ULONG StreamGenerate(SENSOR* sensor, UCHAR* out, ULONG length);
ULONG StreamBytesDue(SENSOR* sensor, ULONG ms);
void StreamMake(SENSOR* sensor, ULONG length);

/* sensor_bus.c: the pacer's tick, which makes the paced stream and moves
 * it over the bus into the waiting reads. */
void SensorTick(SENSOR* sensor, PLIST_ENTRY done);

#endif /* SENSOR_H */
