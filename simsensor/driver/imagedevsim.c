/*
 * imagedevsim.c - a kernel-mode driver that stands in for the image sensor
 * and its driver: SIM_MAX_DEVICES sensor devices reachable through the
 * image device interface path, a control device for tests and tools, and
 * a system thread that paces the picture streams.
 */
#include "sensor.h"

#define SENSOR_INTERFACE_GUID L"{1b65bedd-1d6a-11d6-807d-82b3dab6c625}"
#define IDLE_TICK_100NS (-10 * 10000LL) /* relative 10 ms: no sensor streams at a pace */
/* Relative 1 ms while one does: its bytes then come about as evenly as a
 * real sensor's, and a small buffer overflows only when the host stalls,
 * not because a whole tick's bytes arrive at once. */
#define STREAM_TICK_100NS (-1 * 10000LL)

static const PCWSTR kSensorDeviceNames[SIM_MAX_DEVICES] = {
    L"\\Device\\ImageDevSim0",
    L"\\Device\\ImageDevSim1",
};
/* The interface path SetupDi reports, \\?\root#imagedev#000k#{guid}, opens
 * whatever these links point to. */
static const PCWSTR kSensorLinkNames[SIM_MAX_DEVICES] = {
    L"\\DosDevices\\root#imagedev#0000#" SENSOR_INTERFACE_GUID,
    L"\\DosDevices\\root#imagedev#0001#" SENSOR_INTERFACE_GUID,
};

static PDEVICE_OBJECT g_sensorDevices[SIM_MAX_DEVICES];
static BOOLEAN g_sensorLinked[SIM_MAX_DEVICES];
static PDEVICE_OBJECT g_controlDevice;
static HANDLE g_pacerThread;
static KEVENT g_pacerStop;

DRIVER_INITIALIZE DriverEntry;
static DRIVER_UNLOAD DriverUnload;
static DRIVER_DISPATCH Dispatch;
static KSTART_ROUTINE PacerMain;

static SENSOR* SensorAt(ULONG index)
{
    return g_sensorDevices[index]->DeviceExtension;
}

static NTSTATUS CompleteControl(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- control device ---------------------------------------------------- */

typedef struct CONTROL_REQUEST {
    ULONG code;
    void* buffer;       /* in and out share it (buffered transfer) */
    ULONG inLength;
    ULONG outLength;
} CONTROL_REQUEST;

/* Every control code starts its input with the device number. */
static SENSOR* TargetSensor(const CONTROL_REQUEST* request, ULONG inNeeded)
{
    ULONG device;
    if (request->inLength < inNeeded || request->inLength < sizeof(SIM_DEVICE_ARG))
        return NULL;
    device = ((const SIM_DEVICE_ARG*)request->buffer)->device;
    return device < SIM_MAX_DEVICES ? SensorAt(device) : NULL;
}

static NTSTATUS ControlSetting(SENSOR* sensor, const CONTROL_REQUEST* request, PLIST_ENTRY done)
{
    NTSTATUS status;

    switch (request->code) {
    case IOCTL_SIM_RESET_STATE:
        SensorPowerOn(sensor, done);
        break;
    case IOCTL_SIM_SET_RATE:
        SensorSetRate(sensor, ((const SIM_RATE_ARG*)request->buffer)->picturesPerSecond);
        break;
    case IOCTL_SIM_SET_FAULTS:
        status = SensorSetFaults(sensor, (const SIM_FAULT_ARG*)request->buffer, done);
        if (!NT_SUCCESS(status))
            return status;
        break;
    case IOCTL_SIM_SET_PLUGGED:
        SensorSetPlugged(sensor, ((const SIM_PLUG_ARG*)request->buffer)->plugged != 0, done);
        break;
    case IOCTL_SIM_CLEAR_LOG:
        SensorClearLog(sensor);
        break;
    case IOCTL_SIM_SET_REPLAY: {
        const SIM_REPLAY_ARG* replay = request->buffer;
        return SensorSetReplay(sensor, replay->length, replay->loop != 0);
    }
    case IOCTL_SIM_SET_FIFO:
        return SensorSetFifoSize(sensor, ((const SIM_FIFO_ARG*)request->buffer)->bytes);
    case IOCTL_SIM_STALL_PACER:
        return SensorStallPacer(sensor, ((const SIM_STALL_ARG*)request->buffer)->ms);
    case IOCTL_SIM_REPLAY_DATA:
        return SensorReplayData(sensor, ((const SIM_REPLAY_DATA_ARG*)request->buffer)->offset,
                                (const UCHAR*)request->buffer + sizeof(SIM_REPLAY_DATA_ARG),
                                request->inLength - sizeof(SIM_REPLAY_DATA_ARG));
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    /* A rate change or replug may let waiting reads go on at once. */
    SensorServeReads(sensor, done);
    return STATUS_SUCCESS;
}

static NTSTATUS ControlQuery(SENSOR* sensor, const CONTROL_REQUEST* request, ULONG* returned)
{
    switch (request->code) {
    case IOCTL_SIM_GET_STATUS:
        if (request->outLength < sizeof(SIM_STATUS))
            return STATUS_BUFFER_TOO_SMALL;
        SensorRefreshStatus(sensor);
        RtlCopyMemory(request->buffer, &sensor->status, sizeof(SIM_STATUS));
        *returned = sizeof(SIM_STATUS);
        return STATUS_SUCCESS;
    case IOCTL_SIM_GET_LOG:
        *returned = sizeof(SIM_LOG_RECORD) *
                    SensorCopyLog(sensor, request->buffer, request->outLength / sizeof(SIM_LOG_RECORD));
        return STATUS_SUCCESS;
    case IOCTL_SIM_GET_PICTURE:
        if (request->outLength < SIM_PICTURE_BYTES)
            return STATUS_BUFFER_TOO_SMALL;
        SensorCurrentPicture(sensor, request->buffer);
        *returned = SIM_PICTURE_BYTES;
        return STATUS_SUCCESS;
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

static ULONG InputSizeOf(ULONG code)
{
    switch (code) {
    case IOCTL_SIM_SET_RATE:
        return sizeof(SIM_RATE_ARG);
    case IOCTL_SIM_SET_FAULTS:
        return sizeof(SIM_FAULT_ARG);
    case IOCTL_SIM_SET_PLUGGED:
        return sizeof(SIM_PLUG_ARG);
    case IOCTL_SIM_SET_REPLAY:
        return sizeof(SIM_REPLAY_ARG);
    case IOCTL_SIM_REPLAY_DATA:
        return sizeof(SIM_REPLAY_DATA_ARG);
    case IOCTL_SIM_SET_FIFO:
        return sizeof(SIM_FIFO_ARG);
    case IOCTL_SIM_STALL_PACER:
        return sizeof(SIM_STALL_ARG);
    default:
        return sizeof(SIM_DEVICE_ARG);
    }
}

/* Wine opens a device file before the driver sees IRP_MJ_CREATE and does
 * not look at its result, so an unplugged sensor refuses opens by having
 * no name: its link goes with the plug and comes back with it. */
static void SyncSensorLink(ULONG index)
{
    SENSOR* sensor = SensorAt(index);
    BOOLEAN plugged = sensor->status.plugged != 0;
    UNICODE_STRING deviceName, linkName;

    if (plugged == g_sensorLinked[index])
        return;
    RtlInitUnicodeString(&deviceName, kSensorDeviceNames[index]);
    RtlInitUnicodeString(&linkName, kSensorLinkNames[index]);
    if (plugged)
        g_sensorLinked[index] = NT_SUCCESS(IoCreateSymbolicLink(&linkName, &deviceName));
    else
        g_sensorLinked[index] = !NT_SUCCESS(IoDeleteSymbolicLink(&linkName));
}

static NTSTATUS ControlDeviceControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    CONTROL_REQUEST request;
    SENSOR* sensor;
    LIST_ENTRY done;
    ULONG returned = 0;
    NTSTATUS status;
    KIRQL irql;

    request.code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.buffer = irp->AssociatedIrp.SystemBuffer;
    request.inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    sensor = TargetSensor(&request, InputSizeOf(request.code));
    if (!sensor)
        return CompleteControl(irp, STATUS_INVALID_PARAMETER, 0);

    InitializeListHead(&done);
    KeAcquireSpinLock(&sensor->lock, &irql);
    status = ControlQuery(sensor, &request, &returned);
    if (status == STATUS_NOT_SUPPORTED)
        status = ControlSetting(sensor, &request, &done);
    KeReleaseSpinLock(&sensor->lock, irql);
    CompleteIrpList(&done);
    SyncSensorLink(sensor->index);
    return CompleteControl(irp, status, returned);
}

static NTSTATUS ControlDispatch(PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteControl(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return ControlDeviceControl(irp);
    default:
        return CompleteControl(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

/* ---- dispatch ------------------------------------------------------------ */

static NTSTATUS SensorDispatch(SENSOR* sensor, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        return SensorCreate(sensor, irp);
    case IRP_MJ_CLOSE:
        return SensorClose(sensor, irp);
    case IRP_MJ_CLEANUP:
        return SensorCleanup(sensor, irp);
    case IRP_MJ_READ:
        return SensorRead(sensor, irp);
    case IRP_MJ_WRITE:
        return SensorWrite(sensor, irp);
    case IRP_MJ_DEVICE_CONTROL:
        return SensorDeviceControl(sensor, irp);
    default:
        return CompleteControl(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    DEVICE_KIND kind = *(const DEVICE_KIND*)device->DeviceExtension;
    if (kind == DEVICE_KIND_SENSOR)
        return SensorDispatch(device->DeviceExtension, irp);
    return ControlDispatch(irp);
}

/* ---- pacing thread ------------------------------------------------------- */

/* Returns whether the sensor streams at a pace. */
static BOOLEAN TickSensor(SENSOR* sensor)
{
    LIST_ENTRY done;
    BOOLEAN paced;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&sensor->lock, &irql);
    SensorTick(sensor, &done);
    paced = StreamIsPaced(sensor);
    KeReleaseSpinLock(&sensor->lock, irql);
    CompleteIrpList(&done);
    return paced;
}

static void NTAPI PacerMain(PVOID context)
{
    LARGE_INTEGER tick;
    ULONG i;

    UNREFERENCED_PARAMETER(context);
    tick.QuadPart = IDLE_TICK_100NS;
    while (KeWaitForSingleObject(&g_pacerStop, Executive, KernelMode, FALSE, &tick) == STATUS_TIMEOUT) {
        BOOLEAN paced = FALSE;
        for (i = 0; i < SIM_MAX_DEVICES; ++i)
            paced |= TickSensor(SensorAt(i));
        tick.QuadPart = paced ? STREAM_TICK_100NS : IDLE_TICK_100NS;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- load and unload ----------------------------------------------------- */

static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT driver, PCWSTR name, PCWSTR link, ULONG extensionSize,
                                  PDEVICE_OBJECT* device)
{
    UNICODE_STRING deviceName, linkName;
    NTSTATUS status;

    RtlInitUnicodeString(&deviceName, name);
    RtlInitUnicodeString(&linkName, link);
    status = IoCreateDevice(driver, extensionSize, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        *device = NULL;
        return status;
    }
    (*device)->Flags |= DO_BUFFERED_IO;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static void DeleteNamedDevice(PDEVICE_OBJECT device, PCWSTR link)
{
    UNICODE_STRING linkName;
    if (!device)
        return;
    RtlInitUnicodeString(&linkName, link);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
}

static void StopPacer(void)
{
    if (!g_pacerThread)
        return;
    KeSetEvent(&g_pacerStop, IO_NO_INCREMENT, FALSE);
    ZwWaitForSingleObject(g_pacerThread, FALSE, NULL);
    ZwClose(g_pacerThread);
    g_pacerThread = NULL;
}

static void DeleteAllDevices(void)
{
    ULONG i;
    for (i = 0; i < SIM_MAX_DEVICES; ++i) {
        if (g_sensorDevices[i]) {
            LIST_ENTRY done;
            KIRQL irql;
            SENSOR* sensor = SensorAt(i);
            InitializeListHead(&done);
            KeAcquireSpinLock(&sensor->lock, &irql);
            SensorCancelAllReads(sensor, STATUS_CANCELLED, NULL, &done);
            SensorReleaseHeld(sensor, &done);
            SensorRefuseBusy(sensor, &done);
            SensorSetReplay(sensor, 0, FALSE);
            KeReleaseSpinLock(&sensor->lock, irql);
            CompleteIrpList(&done);
        }
        if (g_sensorLinked[i])
            DeleteNamedDevice(g_sensorDevices[i], kSensorLinkNames[i]);
        else if (g_sensorDevices[i])
            IoDeleteDevice(g_sensorDevices[i]);
        g_sensorDevices[i] = NULL;
        g_sensorLinked[i] = FALSE;
    }
    DeleteNamedDevice(g_controlDevice, SIM_CONTROL_LINK_NAME);
    g_controlDevice = NULL;
}

static void NTAPI DriverUnload(PDRIVER_OBJECT driver)
{
    UNREFERENCED_PARAMETER(driver);
    StopPacer();
    DeleteAllDevices();
}

static NTSTATUS CreateDevices(PDRIVER_OBJECT driver)
{
    NTSTATUS status;
    ULONG i;

    for (i = 0; i < SIM_MAX_DEVICES; ++i) {
        status = CreateNamedDevice(driver, kSensorDeviceNames[i], kSensorLinkNames[i], sizeof(SENSOR),
                                   &g_sensorDevices[i]);
        if (!NT_SUCCESS(status))
            return status;
        g_sensorLinked[i] = TRUE;
        SensorInit(SensorAt(i), i);
    }
    status = CreateNamedDevice(driver, SIM_CONTROL_DEVICE_NAME, SIM_CONTROL_LINK_NAME,
                               sizeof(CONTROL_EXTENSION), &g_controlDevice);
    if (!NT_SUCCESS(status))
        return status;
    ((CONTROL_EXTENSION*)g_controlDevice->DeviceExtension)->kind = DEVICE_KIND_CONTROL;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status;

    UNREFERENCED_PARAMETER(registryPath);
    driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Dispatch;
    driver->MajorFunction[IRP_MJ_READ] = Dispatch;
    driver->MajorFunction[IRP_MJ_WRITE] = Dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    driver->DriverUnload = DriverUnload;

    status = CreateDevices(driver);
    if (NT_SUCCESS(status)) {
        KeInitializeEvent(&g_pacerStop, NotificationEvent, FALSE);
        status = PsCreateSystemThread(&g_pacerThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, PacerMain, NULL);
    }
    if (!NT_SUCCESS(status)) {
        g_pacerThread = NULL;
        DeleteAllDevices();
    }
    return status;
}
