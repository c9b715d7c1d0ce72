/*
 * sim_ioctl.h - the control interface of the simulated image sensor.
 *
 * Shared by the kernel-mode driver (C) and the user-mode control library.
 * The driver exposes up to SIM_MAX_DEVICES sensor devices, each behind the
 * image device interface path, plus one control device, "\\.\ImageDevSim",
 * that takes the private control codes below. The sensor devices themselves
 * accept only the codes the real device has (reads, writes, the reset).
 */
#ifndef SIM_IOCTL_H
#define SIM_IOCTL_H

#define SIM_MAX_DEVICES 2

#define SIM_CONTROL_DEVICE_NAME L"\\Device\\ImageDevSim"
#define SIM_CONTROL_LINK_NAME L"\\DosDevices\\ImageDevSim"
#define SIM_CONTROL_PATH "\\\\.\\ImageDevSim"

#define SIM_SERVICE_NAME "imagedevsim"
#define SIM_DRIVER_FILE "imagedevsim.sys"

/* Device type in the vendor range: none of these codes can reach the
 * sensor devices, whose only control code is the reset (0x220008). */
#define SIM_DEVICE_TYPE 0x8337
#define SIM_CTL(fn) (((SIM_DEVICE_TYPE) << 16) | ((fn) << 2) | 0 /* METHOD_BUFFERED, FILE_ANY_ACCESS */)

/* in: SIM_DEVICE_ARG. Back to power-on state: not streaming, registers
 * cleared, FIFO empty at its full size, faults off, counters and log
 * cleared, rate default, plugged in. Pending reads complete with
 * STATUS_CANCELLED. */
#define IOCTL_SIM_RESET_STATE SIM_CTL(0x800)
/* in: SIM_RATE_ARG. */
#define IOCTL_SIM_SET_RATE SIM_CTL(0x801)
/* in: SIM_FAULT_ARG. Replaces the fault script. */
#define IOCTL_SIM_SET_FAULTS SIM_CTL(0x802)
/* in: SIM_PLUG_ARG. Unplugging completes pending requests with
 * STATUS_DEVICE_NOT_CONNECTED, fails later I/O on open handles and refuses
 * new opens. (Visibility to SetupDi is the control library's job.) */
#define IOCTL_SIM_SET_PLUGGED SIM_CTL(0x803)
/* in: SIM_DEVICE_ARG, out: SIM_STATUS. */
#define IOCTL_SIM_GET_STATUS SIM_CTL(0x804)
/* in: SIM_DEVICE_ARG, out: as many whole SIM_LOG_RECORDs as fit, in order.
 * The returned byte count tells how much was filled. Reading does not
 * consume the log. */
#define IOCTL_SIM_GET_LOG SIM_CTL(0x805)
/* in: SIM_DEVICE_ARG. Clears the log and the traffic counters (bytes
 * received and delivered, delivered hash, overflow, resets, opens,
 * refused requests, read requests and their lengths, flaky and busy
 * reads) but keeps the device state (streaming, registers, faults, rate,
 * FIFO size). */
#define IOCTL_SIM_CLEAR_LOG SIM_CTL(0x806)
/* in: SIM_DEVICE_ARG, out: SIM_PICTURE_BYTES bytes: the picture the
 * pattern generator would produce now (gain applied). */
#define IOCTL_SIM_GET_PICTURE SIM_CTL(0x807)

/* in: SIM_REPLAY_ARG. Prepares a recording of `length` bytes to be streamed
 * after the start command instead of the test pattern, at the same rate
 * (from its start again when `loop` is set, otherwise the stream then runs
 * dry). A length of 0 goes back to the pattern. The bytes follow with
 * IOCTL_SIM_REPLAY_DATA; the replay takes effect once all have come. */
#define IOCTL_SIM_SET_REPLAY SIM_CTL(0x808)
/* in: SIM_REPLAY_DATA_ARG followed by the bytes for [offset, offset + n). */
#define IOCTL_SIM_REPLAY_DATA SIM_CTL(0x809)

/* in: SIM_FIFO_ARG. The size of the sensor's output buffer, from
 * SIM_FIFO_MIN_BYTES to SIM_FIFO_BYTES; any other fails with
 * STATUS_INVALID_PARAMETER. Bytes held beyond a smaller size are dropped
 * and counted as overflow. */
#define IOCTL_SIM_SET_FIFO SIM_CTL(0x80A)
/* in: SIM_STALL_ARG. The pacer leaves the sensor alone for `ms` (at most
 * SIM_STALL_MAX_MS), as a host that does not run the driver for that long;
 * its next tick makes up every frame it missed. */
#define IOCTL_SIM_STALL_PACER SIM_CTL(0x80B)
#define SIM_STALL_MAX_MS 10000

#define SIM_REPLAY_MAX_BYTES (256u * 1024 * 1024)
#define SIM_REPLAY_PIECE_BYTES 65536 /* bytes per IOCTL_SIM_REPLAY_DATA */

#define SIM_PICTURE_WIDTH 128
#define SIM_PICTURE_HEIGHT 96
#define SIM_PICTURE_BYTES (SIM_PICTURE_WIDTH * SIM_PICTURE_HEIGHT)
#define SIM_MARKER_BYTES 6

#define SIM_RATE_FLAT_OUT 0  /* a stress mode faster than any bus: reads are answered at once with stream bytes */
/* A full-speed bus moves at most 19 packets of 64 bytes in each 1 ms frame
 * (1,216,000 bytes/s); 98 whole pictures a second is the most it carries. */
#define SIM_BUS_PACKET_BYTES 64
#define SIM_BUS_PACKETS_PER_FRAME 19
#define SIM_BUS_RATE_PICTURES 98
#define SIM_RATE_DEFAULT 30  /* pictures per second */

#define SIM_FIFO_BYTES 65536    /* the sensor's output buffer: its largest size, and that at power-on */
#define SIM_FIFO_MIN_BYTES 2048 /* its smallest size */

typedef struct SIM_DEVICE_ARG {
    unsigned long device; /* 0 or 1 */
} SIM_DEVICE_ARG;

typedef struct SIM_FIFO_ARG {
    unsigned long device;
    unsigned long bytes;
} SIM_FIFO_ARG;

typedef struct SIM_STALL_ARG {
    unsigned long device;
    unsigned long ms;
} SIM_STALL_ARG;

typedef struct SIM_RATE_ARG {
    unsigned long device;
    unsigned long picturesPerSecond; /* SIM_RATE_FLAT_OUT for as fast as read */
} SIM_RATE_ARG;

/* Fault script flags. */
#define SIM_FAULT_NO_QUERY_REPLY 0x0001 /* CMD_QUERY is taken but never answered */
#define SIM_FAULT_BAD_ACK        0x0002 /* register write number badAckEntry is acknowledged with 0x11 */
#define SIM_FAULT_BAD_ACK_ONCE   0x0004 /* with BAD_ACK: only the first time, then the fault clears */
#define SIM_FAULT_NO_SYNC_ECHO   0x0008 /* CMD_SYNC is taken but never echoed */
#define SIM_FAULT_GO_SILENT      0x0010 /* after stopAfterBytes received bytes: writes are taken, nothing answered, no stream */
#define SIM_FAULT_NO_MARKERS     0x0020 /* the stream carries pixels only */
#define SIM_FAULT_STILL          0x0040 /* the pattern does not move: every picture is the same */
#define SIM_FAULT_ZERO_READS     0x0080 /* every second read completes at once, successfully, with 0 bytes */
#define SIM_FAULT_HOLD_READS     0x0100 /* reads are never completed and their cancellation is ignored */
#define SIM_FAULT_HOLD_RESET     0x0200 /* the reset request is never completed, cancelled or not */
#define SIM_FAULT_REFUSE_START   0x0400 /* the write of the start command fails */
#define SIM_FAULT_SHORT_QUERY    0x0800 /* the query is answered with one byte */
#define SIM_FAULT_BAD_SYNC_ECHO  0x1000 /* CMD_SYNC is answered with 0x3E */
#define SIM_FAULT_NO_ACK         0x2000 /* register write number badAckEntry is not acknowledged at all */
#define SIM_FAULT_OVERLONG_READS 0x4000 /* every second read completes at once claiming one byte more than it
                                         * asked for; its bytes are 0xEE and no stream byte is taken */
#define SIM_FAULT_FLAKY_READS    0x8000 /* every flakyEvery-th read that is served fails with STATUS_DEVICE_DATA_ERROR
                                         * and no bytes, as a USB transfer error: always after pending, never from
                                         * the dispatch routine; its bytes stay for the next read */
#define SIM_FAULT_SINGLE_READ   0x10000 /* a read that comes while another read is kept (waiting or held) fails at
                                         * once with STATUS_DEVICE_BUSY, as with a driver that takes one at a time */
#define SIM_FAULT_BUSY_LATE     0x20000 /* a driver that takes one read at a time and refuses the next through its
                                         * completion: the read is left pending, then completed with
                                         * STATUS_DEVICE_BUSY at the next tick */
#define SIM_FAULT_FLAKY_CARRIES 0x40000 /* with FLAKY_READS: the failed read keeps the packet moved into it and ends
                                         * with STATUS_BUFFER_OVERFLOW, as a transfer ended by babble: the host gets
                                         * the bytes with the error */
/* Requests held by HOLD_READS and HOLD_RESET are completed (cancelled) when
 * the fault script is replaced or the device is reset to power-on state. */

typedef struct SIM_FAULT_ARG {
    unsigned long device;
    unsigned long flags;
    unsigned long badAckEntry;    /* 0-based count of CMD_WRITE_REG since the last reset, query or start */
    unsigned long stopAfterBytes; /* for SIM_FAULT_GO_SILENT */
    unsigned long flakyEvery;     /* for SIM_FAULT_FLAKY_READS: 1 or more (0 fails the request) */
} SIM_FAULT_ARG;

typedef struct SIM_REPLAY_ARG {
    unsigned long device;
    unsigned long length;
    unsigned long loop;
} SIM_REPLAY_ARG;

typedef struct SIM_REPLAY_DATA_ARG {
    unsigned long device;
    unsigned long offset;
} SIM_REPLAY_DATA_ARG;

typedef struct SIM_PLUG_ARG {
    unsigned long device;
    unsigned long plugged; /* nonzero: plugged in */
} SIM_PLUG_ARG;

/* Every byte the sensor made or replied is, at any moment, delivered,
 * overflowed, lost, dropped or buffered:
 *   bytesMade + bytesReplied == bytesDelivered + overflowBytes + bytesLost
 *                               + bytesDropped + bytesBuffered
 * The byte counters are 64-bit: at the bus rate a 32-bit one wraps within
 * an hour. */
typedef struct SIM_STATUS {
    unsigned long plugged;
    unsigned long streaming;
    unsigned long resetCount;
    unsigned long openCount;       /* IRP_MJ_CREATE seen */
    unsigned long openHandles;     /* creates minus closes */
    unsigned long pendingReads;    /* reads waiting for bytes right now */
    unsigned long bytesReceived;   /* all bytes written to the device */
    unsigned long picturesStarted; /* markers (or picture starts) generated */
    unsigned long regWrites;       /* CMD_WRITE_REG counted since reset/query/start */
    unsigned long refusedRequests; /* reads, writes, resets failed on a handle of an unplugged device */
    unsigned long heldRequests;    /* requests a HOLD fault keeps right now */
    unsigned long readRequests;    /* read requests taken (refused ones not counted) */
    unsigned long readLengthMin;   /* smallest and largest length asked for by those reads */
    unsigned long readLengthMax;
    unsigned long replayLength;    /* bytes of the recording streamed instead of the pattern, 0 for none */
    unsigned long replayPosition;  /* next byte of it to stream */
    unsigned long fifoBytes;       /* size of the output buffer */
    unsigned long flakyReads;      /* reads failed by FLAKY_READS */
    unsigned long busyReads;       /* reads refused by SINGLE_READ or BUSY_LATE (not counted as read requests) */
    unsigned long reserved;
    unsigned long long bytesMade;      /* stream bytes the sensor made (since the counters were cleared: at
                                        * that moment, what it held) */
    unsigned long long bytesReplied;   /* command reply bytes */
    unsigned long long bytesDelivered; /* bytes returned by completed reads */
    unsigned long long deliveredHash;  /* FNV-1a 64 over the delivered bytes, in order */
    unsigned long long overflowBytes;  /* stream bytes made with no room for them in the buffer */
    unsigned long long bytesLost;      /* bytes the bus had moved into transfers that then failed, or whose
                                        * handle was closed or device unplugged before they completed */
    unsigned long long bytesDropped;   /* replies with no room for them, and what a stop, a reset or an
                                        * unplug discarded from the buffer */
    unsigned long long bytesBuffered;  /* in the buffer, or moved into reads still waiting */
    unsigned char regs[256];           /* last value written to each register */
} SIM_STATUS;

/* Log records: one per write IRP (the bytes received, in one record, so
 * command boundaries show), one per reset request, one per open and close. */
#define SIM_LOG_WRITE 1
#define SIM_LOG_RESET 2
#define SIM_LOG_OPEN  3
#define SIM_LOG_CLOSE 4
#define SIM_LOG_MAX_BYTES 8 /* longer writes are logged truncated; length is kept */
#define SIM_LOG_CAPACITY 4096 /* records; older records are dropped first */

typedef struct SIM_LOG_RECORD {
    unsigned long type;
    unsigned long time;   /* when the request arrived: system time in 100 ns, low 32 bits
                           * (differences only; it wraps every seven minutes) */
    unsigned long length; /* bytes written (for SIM_LOG_WRITE) */
    unsigned char bytes[SIM_LOG_MAX_BYTES];
} SIM_LOG_RECORD;

#define SIM_FNV_OFFSET 14695981039346656037ull
#define SIM_FNV_PRIME 1099511628211ull

#endif /* SIM_IOCTL_H */
