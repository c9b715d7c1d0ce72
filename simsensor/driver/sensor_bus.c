/*
 * sensor_bus.c - the paced stream and the bus that carries it.
 *
 * Every 1 ms frame the sensor makes that millisecond's bytes into its
 * FIFO, losing what does not fit, and the bus then moves at most
 * SIM_BUS_PACKETS_PER_FRAME packets from the FIFO into the waiting reads,
 * oldest first. A read issued during a frame is reached from the next
 * one. A pacer that runs late makes up every frame it missed, in order:
 * the sensor never waits for the host.
 */
#include "sensor.h"

typedef enum READ_PROGRESS {
    READ_WAITS, /* room left and nothing more to move this frame */
    READ_ENDS,  /* full, or ended by a short packet */
    READ_FAILS  /* a transfer error after its first packet */
} READ_PROGRESS;

/* The longest stretch made at once while no read waits: keeps the byte
 * counts within 32 bits at any rate. */
#define MAX_MS_AT_ONCE 1000

/* Moves whole packets into one read while the frame has packets left.
 * Only a replay that has run out sends a short packet, its last bytes. */
static READ_PROGRESS MovePackets(SENSOR* sensor, PIRP irp, ULONG* packets)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG filled = ReadFilled(irp);

    while (*packets > 0 && filled < length) {
        ULONG packet = length - filled < SIM_BUS_PACKET_BYTES ? length - filled : SIM_BUS_PACKET_BYTES;
        BOOLEAN first = filled == 0;
        if (sensor->fifo.count < packet) {
            if (sensor->fifo.count == 0 || !StreamReplayRanOut(sensor))
                break;
            packet = sensor->fifo.count;
        }
        FifoPop(&sensor->fifo, buffer + filled, packet);
        filled += packet;
        sensor->inFlightBytes += packet;
        (*packets)--;
        SetReadProgress(irp, ReadIssuedFrame(irp), filled);
        if (first && SensorTakesFlakyRead(sensor, length))
            return READ_FAILS;
        if (packet < SIM_BUS_PACKET_BYTES && filled < length)
            return READ_ENDS;
    }
    if (filled == length || (filled > 0 && sensor->fifo.count == 0 && StreamReplayRanOut(sensor)))
        return READ_ENDS;
    return READ_WAITS;
}

/* One frame of the bus. A read being cancelled stops it: its cancel
 * routine completes it with its bytes, and no read may overtake it. */
static void BusFrame(SENSOR* sensor, ULONG frame, PLIST_ENTRY done)
{
    ULONG packets = SIM_BUS_PACKETS_PER_FRAME;

    while (packets > 0 && !IsListEmpty(&sensor->pendingReads)) {
        PLIST_ENTRY entry = sensor->pendingReads.Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        READ_PROGRESS progress;

        if ((LONG)(frame - ReadIssuedFrame(irp)) <= 0)
            break;
        progress = MovePackets(sensor, irp, &packets);
        if (progress == READ_WAITS || IoSetCancelRoutine(irp, NULL) == NULL)
            break;
        RemoveEntryList(entry);
        sensor->status.pendingReads--;
        SensorEndRead(sensor, irp, progress == READ_FAILS ? SensorFlakyStatus(sensor) : STATUS_SUCCESS);
        InsertTailList(done, entry);
    }
}

NTSTATUS SensorStallPacer(SENSOR* sensor, ULONG ms)
{
    if (ms > SIM_STALL_MAX_MS)
        return STATUS_INVALID_PARAMETER;
    sensor->pacerStalled = TRUE;
    sensor->pacerStallEnd = SensorNowMs() + ms;
    return STATUS_SUCCESS;
}

void SensorTick(SENSOR* sensor, PLIST_ENTRY done)
{
    ULONG now = SensorNowMs();

    if (sensor->pacerStalled && (LONG)(now - sensor->pacerStallEnd) < 0)
        return;
    sensor->pacerStalled = FALSE;
    SensorRefuseBusy(sensor, done);
    if (!StreamIsPaced(sensor)) {
        sensor->busFrame = now;
        return;
    }
    while ((LONG)(now - sensor->busFrame) > 0) {
        ULONG late = now - sensor->busFrame;
        if (IsListEmpty(&sensor->pendingReads)) {
            /* No read can come while the lock is held: the frames left
             * only fill the FIFO. */
            ULONG ms = late < MAX_MS_AT_ONCE ? late : MAX_MS_AT_ONCE;
            StreamMake(sensor, StreamBytesDue(sensor, ms));
            sensor->busFrame += ms;
            continue;
        }
        sensor->busFrame++;
        StreamMake(sensor, StreamBytesDue(sensor, 1));
        BusFrame(sensor, sensor->busFrame, done);
    }
}
