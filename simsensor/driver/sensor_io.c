/*
 * sensor_io.c - the sensor devices' IRP handlers and their queue of
 * waiting reads.
 *
 * A waiting read is owned by whoever clears its cancel routine first:
 * the queue (to complete it with bytes) or the I/O manager's cancel
 * (which then calls CancelRead). A read whose cancel routine is already
 * gone stays in the queue until CancelRead takes it out under the lock.
 */
#include "sensor.h"

static DRIVER_CANCEL CancelRead;

static void AddToHash(SIM_STATUS* status, const UCHAR* bytes, ULONG length)
{
    ULONGLONG hash = status->deliveredHash;
    ULONG i;
    for (i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= SIM_FNV_PRIME;
    }
    status->deliveredHash = hash;
    status->bytesDelivered += length;
}

static BOOLEAN HasOutput(const SENSOR* sensor)
{
    return sensor->fifo.count > 0 || (StreamIsFlatOut(sensor) && !StreamReplayRanOut(sensor));
}

/* Every flakyEvery-th read that takes output, counted over the reads
 * served since the fault script was set. */
BOOLEAN SensorTakesFlakyRead(SENSOR* sensor, ULONG length)
{
    if (!(sensor->faultFlags & SIM_FAULT_FLAKY_READS) || length == 0)
        return FALSE;
    if (++sensor->readsSinceFlaky < sensor->flakyEvery)
        return FALSE;
    sensor->readsSinceFlaky = 0;
    sensor->status.flakyReads++;
    return TRUE;
}

NTSTATUS SensorFlakyStatus(const SENSOR* sensor)
{
    return (sensor->faultFlags & SIM_FAULT_FLAKY_CARRIES) ? STATUS_BUFFER_OVERFLOW : STATUS_DEVICE_DATA_ERROR;
}

/* A read ends with the bytes moved into it, also with a warning status;
 * failed with an error, without them: they are gone from the device all
 * the same. The caller owns the IRP and has taken it off the queue. */
void SensorEndRead(SENSOR* sensor, PIRP irp, NTSTATUS status)
{
    ULONG filled = ReadFilled(irp);

    sensor->inFlightBytes -= filled;
    irp->IoStatus.Status = status;
    if (!NT_ERROR(status)) {
        AddToHash(&sensor->status, irp->AssociatedIrp.SystemBuffer, filled);
        irp->IoStatus.Information = filled;
    } else {
        sensor->status.bytesLost += filled;
        irp->IoStatus.Information = 0;
    }
}

/* Outside a paced stream a read takes at once what the FIFO holds
 * (replies), and a flat-out stream fills the rest as fast as the host
 * asks. A transfer error strikes after its first packet has moved. */
static void ServeRead(SENSOR* sensor, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG filled = ReadFilled(irp);
    BOOLEAN flaky = SensorTakesFlakyRead(sensor, length);
    ULONG want = length - filled;
    ULONG got;

    if (flaky && want > SIM_BUS_PACKET_BYTES)
        want = SIM_BUS_PACKET_BYTES;
    got = FifoPop(&sensor->fifo, buffer + filled, want);
    if (got < want && StreamIsFlatOut(sensor)) {
        ULONG made = StreamGenerate(sensor, buffer + filled + got, want - got);
        sensor->status.bytesMade += made;
        got += made;
    }
    sensor->inFlightBytes += got;
    SetReadProgress(irp, ReadIssuedFrame(irp), filled + got);
    SensorEndRead(sensor, irp, flaky ? SensorFlakyStatus(sensor) : STATUS_SUCCESS);
}

/* Oldest first, so the FIFO's bytes go out in order. A paced stream's
 * reads are the bus's to fill (sensor_bus.c). A read being cancelled
 * stops the walk: its cancel routine completes it, and nothing may
 * overtake it. */
void SensorServeReads(SENSOR* sensor, PLIST_ENTRY done)
{
    if (StreamIsPaced(sensor))
        return;
    while (!IsListEmpty(&sensor->pendingReads) && HasOutput(sensor)) {
        PLIST_ENTRY entry = sensor->pendingReads.Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) == NULL)
            break;
        RemoveEntryList(entry);
        sensor->status.pendingReads--;
        ServeRead(sensor, irp);
        InsertTailList(done, entry);
    }
}

/* onlyFile NULL: every waiting read; otherwise those of one handle. */
void SensorCancelAllReads(SENSOR* sensor, NTSTATUS status, PFILE_OBJECT onlyFile, PLIST_ENTRY done)
{
    PLIST_ENTRY entry = sensor->pendingReads.Flink;

    while (entry != &sensor->pendingReads) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        BOOLEAN mine = !onlyFile || IoGetCurrentIrpStackLocation(irp)->FileObject == onlyFile;
        if (mine && IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            sensor->status.pendingReads--;
            SensorEndRead(sensor, irp, status);
            InsertTailList(done, entry);
        }
        entry = next;
    }
}

/* Requests on a list of the driver's own, with no cancel routine: nobody
 * else can complete them. */
static void EndAll(PLIST_ENTRY list, NTSTATUS status, PLIST_ENTRY done)
{
    while (!IsListEmpty(list)) {
        PLIST_ENTRY entry = RemoveHeadList(list);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        InsertTailList(done, entry);
    }
}

void SensorReleaseHeld(SENSOR* sensor, PLIST_ENTRY done)
{
    EndAll(&sensor->heldRequests, STATUS_CANCELLED, done);
    sensor->status.heldRequests = 0;
}

/* The refusal of a read BUSY_LATE left pending, as its completion. */
void SensorRefuseBusy(SENSOR* sensor, PLIST_ENTRY done)
{
    EndAll(&sensor->busyReads, STATUS_DEVICE_BUSY, done);
}

void CompleteIrpList(PLIST_ENTRY done)
{
    while (!IsListEmpty(done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A cancelled transfer ends short with the packets the bus already moved
 * into it, as a bulk transfer reports its actual length. */
static void NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp)
{
    SENSOR* sensor = device->DeviceExtension;
    KIRQL irql;

    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&sensor->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    sensor->status.pendingReads--;
    SensorEndRead(sensor, irp, ReadFilled(irp) > 0 ? STATUS_SUCCESS : STATUS_CANCELLED);
    KeReleaseSpinLock(&sensor->lock, irql);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* A handle opened before the last unplug stays dead even after replug,
 * as a handle on a removed device does: the host has to open anew. */
static BOOLEAN HandleWorks(const SENSOR* sensor, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return sensor->status.plugged && file && file->FsContext2 == (PVOID)(ULONG_PTR)sensor->plugGeneration;
}

/* Under Wine the open has already succeeded when this runs (see
 * SyncSensorLink); a handle made while unplugged is simply never marked
 * with a generation, so all its I/O fails. */
NTSTATUS SensorCreate(SENSOR* sensor, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    BOOLEAN plugged;
    KIRQL irql;

    KeAcquireSpinLock(&sensor->lock, &irql);
    sensor->status.openCount++;
    plugged = sensor->status.plugged != 0;
    if (plugged) {
        sensor->status.openHandles++;
        SensorLogRecord(sensor, SIM_LOG_OPEN, NULL, 0);
        if (file)
            file->FsContext2 = (PVOID)(ULONG_PTR)sensor->plugGeneration;
    }
    KeReleaseSpinLock(&sensor->lock, irql);
    return CompleteNow(irp, plugged ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED, 0);
}

NTSTATUS SensorClose(SENSOR* sensor, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&sensor->lock, &irql);
    SensorCancelAllReads(sensor, STATUS_CANCELLED, file, &done);
    if (file && file->FsContext2) {
        sensor->status.openHandles--;
        SensorLogRecord(sensor, SIM_LOG_CLOSE, NULL, 0);
    }
    KeReleaseSpinLock(&sensor->lock, irql);
    CompleteIrpList(&done);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

NTSTATUS SensorCleanup(SENSOR* sensor, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&sensor->lock, &irql);
    SensorCancelAllReads(sensor, STATUS_CANCELLED, file, &done);
    KeReleaseSpinLock(&sensor->lock, irql);
    CompleteIrpList(&done);
    return CompleteNow(irp, STATUS_SUCCESS, 0);
}

/* A stuck device: the request stays pending, and cancelling it does nothing. */
static NTSTATUS HoldRequest(SENSOR* sensor, PIRP irp, KIRQL irql)
{
    IoMarkIrpPending(irp);
    InsertTailList(&sensor->heldRequests, &irp->Tail.Overlay.ListEntry);
    sensor->status.heldRequests++;
    KeReleaseSpinLock(&sensor->lock, irql);
    return STATUS_PENDING;
}

static void CountRead(SIM_STATUS* status, ULONG length)
{
    if (status->readRequests == 0 || length < status->readLengthMin)
        status->readLengthMin = length;
    if (length > status->readLengthMax)
        status->readLengthMax = length;
    status->readRequests++;
}

static BOOLEAN IsHeldRead(PLIST_ENTRY entry)
{
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ;
}

/* SINGLE_READ, BUSY_LATE: a read the driver keeps, waiting or held, bars
 * the next. */
static BOOLEAN RefusesAsBusy(const SENSOR* sensor)
{
    PLIST_ENTRY entry;

    if (!(sensor->faultFlags & (SIM_FAULT_SINGLE_READ | SIM_FAULT_BUSY_LATE)))
        return FALSE;
    if (sensor->status.pendingReads > 0)
        return TRUE;
    for (entry = sensor->heldRequests.Flink; entry != &sensor->heldRequests; entry = entry->Flink) {
        if (IsHeldRead(entry))
            return TRUE;
    }
    return FALSE;
}

/* Every second read, for the faults that spoil one read in two. */
static BOOLEAN TakesOddRead(SENSOR* sensor, ULONG faults)
{
    if (!(sensor->faultFlags & faults))
        return FALSE;
    sensor->oddReadNext = !sensor->oddReadNext;
    return !sensor->oddReadNext;
}

#define OVERLONG_FILL 0xEE

/* A driver fault: more bytes reported than the read asked for. */
static NTSTATUS CompleteOverlong(PIRP irp, ULONG length)
{
    RtlFillMemory(irp->AssociatedIrp.SystemBuffer, length, OVERLONG_FILL);
    return CompleteNow(irp, STATUS_SUCCESS, (ULONG_PTR)length + 1);
}

/* A transfer error comes from the bus after the request went down to it,
 * never from the dispatch routine: to its caller the read is pending, then
 * completes with the error. */
static NTSTATUS CompleteServed(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;

    if (NT_SUCCESS(status)) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

/* Queues a read that found nothing to return. The cancel routine is set
 * after the IRP is in the queue, so a cancel that races in finds it there. */
static NTSTATUS QueueRead(SENSOR* sensor, PIRP irp, KIRQL irql)
{
    SetReadProgress(irp, SensorNowMs(), 0);
    IoMarkIrpPending(irp);
    InsertTailList(&sensor->pendingReads, &irp->Tail.Overlay.ListEntry);
    sensor->status.pendingReads++;
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        sensor->status.pendingReads--;
        KeReleaseSpinLock(&sensor->lock, irql);
        CompleteNow(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&sensor->lock, irql);
    return STATUS_PENDING;
}

NTSTATUS SensorRead(SENSOR* sensor, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    KIRQL irql;

    KeAcquireSpinLock(&sensor->lock, &irql);
    if (!HandleWorks(sensor, irp)) {
        sensor->status.refusedRequests++;
        KeReleaseSpinLock(&sensor->lock, irql);
        return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (RefusesAsBusy(sensor)) {
        sensor->status.busyReads++;
        if (sensor->faultFlags & SIM_FAULT_BUSY_LATE) {
            IoMarkIrpPending(irp);
            InsertTailList(&sensor->busyReads, &irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&sensor->lock, irql);
            return STATUS_PENDING;
        }
        KeReleaseSpinLock(&sensor->lock, irql);
        return CompleteNow(irp, STATUS_DEVICE_BUSY, 0);
    }
    CountRead(&sensor->status, length);
    if (sensor->faultFlags & SIM_FAULT_HOLD_READS)
        return HoldRequest(sensor, irp, irql);
    if (length > 0 && TakesOddRead(sensor, SIM_FAULT_ZERO_READS | SIM_FAULT_OVERLONG_READS)) {
        BOOLEAN overlong = (sensor->faultFlags & SIM_FAULT_OVERLONG_READS) != 0;
        KeReleaseSpinLock(&sensor->lock, irql);
        return overlong ? CompleteOverlong(irp, length) : CompleteNow(irp, STATUS_SUCCESS, 0);
    }
    /* Reads are served in the order they came: none overtakes one that
     * waits. A paced stream reaches a read only over the bus, from the
     * frame after it was issued. */
    if (length == 0 || (IsListEmpty(&sensor->pendingReads) && !StreamIsPaced(sensor) && HasOutput(sensor))) {
        SetReadProgress(irp, 0, 0);
        ServeRead(sensor, irp);
        KeReleaseSpinLock(&sensor->lock, irql);
        return CompleteServed(irp);
    }
    return QueueRead(sensor, irp, irql);
}

NTSTATUS SensorWrite(SENSOR* sensor, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&sensor->lock, &irql);
    if (!HandleWorks(sensor, irp)) {
        sensor->status.refusedRequests++;
        KeReleaseSpinLock(&sensor->lock, irql);
        return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (SensorRefusesWrite(sensor, irp->AssociatedIrp.SystemBuffer, length)) {
        KeReleaseSpinLock(&sensor->lock, irql);
        return CompleteNow(irp, STATUS_IO_DEVICE_ERROR, 0);
    }
    SensorTakeWrite(sensor, irp->AssociatedIrp.SystemBuffer, length);
    SensorServeReads(sensor, &done);
    KeReleaseSpinLock(&sensor->lock, irql);
    CompleteIrpList(&done);
    return CompleteNow(irp, STATUS_SUCCESS, length);
}

/* The only control code the real device has. */
#define IOCTL_DEVICE_RESET CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)

NTSTATUS SensorDeviceControl(SENSOR* sensor, PIRP irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;

    if (code != IOCTL_DEVICE_RESET)
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    KeAcquireSpinLock(&sensor->lock, &irql);
    if (HandleWorks(sensor, irp) && (sensor->faultFlags & SIM_FAULT_HOLD_RESET))
        return HoldRequest(sensor, irp, irql);
    if (HandleWorks(sensor, irp))
        SensorDeviceReset(sensor);
    else {
        sensor->status.refusedRequests++;
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    KeReleaseSpinLock(&sensor->lock, irql);
    return CompleteNow(irp, status, 0);
}
