// Files opened on devices: IRP_MJ_CREATE/CLEANUP/CLOSE and the read, write
// and device-control requests the I/O manager builds for a file, with its
// buffering rules (METHOD_BUFFERED and DO_BUFFERED_IO go through a system
// buffer: input copied in, Information bytes copied out on completion).

#include "kernel.h"
#include "io_manager.h"

namespace host {

namespace {

// False when the pool cannot give the system buffer: the I/O manager then
// fails the request before any driver sees it.
bool setupBuffers(Machine& m, PIRP irp, PIO_STACK_LOCATION sp, PDEVICE_OBJECT top, UCHAR major, ULONG code,
                  const void* input, ULONG inputLength, void* output, ULONG outputLength, LONGLONG offset) {
    switch (major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        bool write = major == IRP_MJ_WRITE;
        void* buffer = write ? const_cast<void*>(input) : output;
        ULONG length = write ? inputLength : outputLength;
        sp->Parameters.Read.Length = length;
        sp->Parameters.Read.ByteOffset.QuadPart = offset;
        if (top->Flags & DO_BUFFERED_IO) {
            if (length) {
                irp->AssociatedIrp.SystemBuffer = m.pool().allocate(NonPagedPool, length, 'fboI', nullptr);
                if (!irp->AssociatedIrp.SystemBuffer)
                    return false;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (write)
                    memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
                else
                    irp->Flags |= IRP_INPUT_OPERATION;
            }
        } else if (top->Flags & DO_DIRECT_IO) {
            if (length)
                IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        }
        irp->UserBuffer = buffer;
        irp->Flags |= write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION;
        break;
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        sp->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            ULONG size = std::max(inputLength, outputLength);
            if (size) {
                irp->AssociatedIrp.SystemBuffer = m.pool().allocate(NonPagedPool, size, 'tcoI', nullptr);
                if (!irp->AssociatedIrp.SystemBuffer)
                    return false;
                if (input && inputLength)
                    memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
                if (output && outputLength)
                    irp->Flags |= IRP_INPUT_OPERATION;
            }
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (input && inputLength) {
                irp->AssociatedIrp.SystemBuffer = m.pool().allocate(NonPagedPool, inputLength, 'tcoI', nullptr);
                if (!irp->AssociatedIrp.SystemBuffer)
                    return false;
                memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
            if (output && outputLength)
                IoAllocateMdl(output, outputLength, FALSE, FALSE, irp);
            break;
        default:
            sp->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
            break;
        }
        irp->UserBuffer = output;
        break;
    default:
        break;
    }
    return true;
}

} // namespace

std::shared_ptr<PendingIo> IoManager::sendAsync(PFILE_OBJECT file, UCHAR major, UCHAR minor, ULONG code,
                                                const void* input, ULONG inputLength, void* output,
                                                ULONG outputLength,
                                                const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare,
                                                std::function<void(PIRP)> onComplete) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    auto p = std::make_shared<PendingIo>();
    p->machine_ = &machine_;
    p->onComplete_ = std::move(onComplete);
    KeInitializeEvent(&p->event_, NotificationEvent, FALSE);
    PIRP irp = allocateIrp(top->StackSize, IrpKind::Thread, nullptr);
    attachPending(irp, p.get());
    p->irp_ = irp;
    irp->UserEvent = &p->event_;
    irp->UserIosb = &p->iosb_;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = &currentThread()->kthread;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    sp->FileObject = file;
    if (!setupBuffers(machine_, irp, sp, top, major, code, input, inputLength, output, outputLength, 0)) {
        irp->IoStatus.Status = p->callStatus_ = STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = 0;
        finishIrp(irp);
        return p;
    }
    if (prepare)
        prepare(irp, sp);
    p->callStatus_ = IoCallDriver(top, irp);
    return p;
}

IoResult IoManager::sendSync(PFILE_OBJECT file, UCHAR major, UCHAR minor, ULONG code, const void* input,
                             ULONG inputLength, void* output, ULONG outputLength, LONGLONG offset) {
    auto p = sendAsync(file, major, minor, code, input, inputLength, output, outputLength,
                       [offset](PIRP, PIO_STACK_LOCATION sp) {
                           if (sp->MajorFunction == IRP_MJ_READ || sp->MajorFunction == IRP_MJ_WRITE)
                               sp->Parameters.Read.ByteOffset.QuadPart = offset;
                       });
    return p->wait();
}

NTSTATUS IoManager::openFileObject(const std::u16string& path, ACCESS_MASK access, PFILE_OBJECT* fileOut,
                                   PDEVICE_OBJECT* topOut, const OpenOptions& options) {
    std::u16string rest;
    PDEVICE_OBJECT dev = machine_.objects().resolveDevice(path, &rest);
    if (!dev)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto rec = deviceRec(dev);
    if (!rec || rec->deleted)
        return STATUS_NO_SUCH_DEVICE;
    if ((dev->Flags & DO_EXCLUSIVE) && dev->ReferenceCount > 0)
        return STATUS_ACCESS_DENIED;
    PDEVICE_OBJECT top = IoGetAttachedDevice(dev);
    auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT) + (rest.size() + 1) * 2));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = dev;
    file->ReadAccess = (access & (GENERIC_READ | FILE_READ_DATA)) ? TRUE : FALSE;
    file->WriteAccess = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) ? TRUE : FALSE;
    auto* name = reinterpret_cast<PWSTR>(file + 1);
    memcpy(name, rest.c_str(), (rest.size() + 1) * 2);
    file->FileName.Buffer = name;
    file->FileName.Length = USHORT(rest.size() * 2);
    file->FileName.MaximumLength = USHORT(file->FileName.Length + 2);
    if (options.createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        file->Flags |= FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    machine_.objects().registerObject(file, &ObjectTypeFile, 1, [file] { std::free(file); });
    ObfReferenceObject(dev);

    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = access;
    IoResult r = sendAsync(file, IRP_MJ_CREATE, 0, 0, nullptr, 0, nullptr, 0,
                           [&](PIRP irp, PIO_STACK_LOCATION sp) {
                               irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
                               sp->Parameters.Create.SecurityContext = &security;
                               sp->Parameters.Create.Options =
                                   (options.disposition << 24) | (options.createOptions & 0x00FFFFFF);
                               sp->Parameters.Create.ShareAccess = options.shareAccess;
                           })->wait();
    if (!NT_SUCCESS(r.status)) {
        ObfDereferenceObject(dev);
        machine_.objects().dereference(file, "open");
        return r.status;
    }
    InterlockedIncrement(&dev->ReferenceCount);
    *fileOut = file;
    if (topOut)
        *topOut = top;
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::closeFileObject(PFILE_OBJECT file) {
    cleanupFileObject(file);
    return releaseFileObject(file);
}

NTSTATUS IoManager::cleanupFileObject(PFILE_OBJECT file) {
    return sendSync(file, IRP_MJ_CLEANUP, 0, 0, nullptr, 0, nullptr, 0).status;
}

NTSTATUS IoManager::releaseFileObject(PFILE_OBJECT file) {
    IoResult r = sendSync(file, IRP_MJ_CLOSE, 0, 0, nullptr, 0, nullptr, 0);
    PDEVICE_OBJECT dev = file->DeviceObject;
    InterlockedDecrement(&dev->ReferenceCount);
    machine_.objects().dereference(file, "close");
    // A removal waiting for the stack's last file goes on.
    machine_.pnp().fileClosed(dev);
    ObfDereferenceObject(dev);
    return r.status;
}

NTSTATUS DeviceFile::open(Machine& machine, const std::u16string& path, std::unique_ptr<DeviceFile>* out,
                          ACCESS_MASK access) {
    std::unique_ptr<DeviceFile> f(new DeviceFile);
    f->machine_ = &machine;
    NTSTATUS s = machine.io().openFileObject(path, access, &f->file_, &f->device_);
    if (NT_SUCCESS(s))
        *out = std::move(f);
    return s;
}

DeviceFile::~DeviceFile() {
    close();
}

NTSTATUS DeviceFile::close() {
    if (!file_)
        return STATUS_SUCCESS;
    PFILE_OBJECT f = file_;
    file_ = nullptr;
    machine_->io().cleanupFileObject(f);
    // The close request follows the file's last outstanding request.
    std::vector<std::shared_ptr<PendingIo>> outstanding;
    {
        std::lock_guard g(mutex_);
        for (auto& w : started_)
            if (auto p = w.lock())
                outstanding.push_back(std::move(p));
        started_.clear();
    }
    for (auto& p : outstanding)
        p->wait();
    return machine_->io().releaseFileObject(f);
}

IoResult DeviceFile::read(void* buffer, ULONG length) {
    return startRead(buffer, length)->wait();
}

IoResult DeviceFile::write(const void* buffer, ULONG length) {
    return startWrite(buffer, length)->wait();
}

IoResult DeviceFile::ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
    return startIoctl(code, input, inputLength, output, outputLength)->wait();
}

IoResult DeviceFile::internalIoctl(ULONG code, PVOID argument1, PVOID argument2) {
    return machine_->io()
        .sendAsync(file_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, code, nullptr, 0, nullptr, 0,
                   [&](PIRP, PIO_STACK_LOCATION sp) {
                       sp->Parameters.Others.Argument1 = argument1;
                       sp->Parameters.Others.Argument2 = argument2;
                       sp->Parameters.DeviceIoControl.IoControlCode = code;
                   })
        ->wait();
}

std::shared_ptr<PendingIo> DeviceFile::track(std::shared_ptr<PendingIo> io) {
    std::lock_guard g(mutex_);
    std::erase_if(started_, [](const std::weak_ptr<PendingIo>& w) {
        auto p = w.lock();
        return !p || p->done();
    });
    started_.push_back(io);
    return io;
}

std::shared_ptr<PendingIo> DeviceFile::startRead(void* buffer, ULONG length) {
    return track(machine_->io().sendAsync(file_, IRP_MJ_READ, 0, 0, nullptr, 0, buffer, length));
}

std::shared_ptr<PendingIo> DeviceFile::startWrite(const void* buffer, ULONG length) {
    return track(machine_->io().sendAsync(file_, IRP_MJ_WRITE, 0, 0, buffer, length, nullptr, 0));
}

std::shared_ptr<PendingIo> DeviceFile::startIoctl(ULONG code, const void* input, ULONG inputLength, void* output,
                                                  ULONG outputLength) {
    return track(
        machine_->io().sendAsync(file_, IRP_MJ_DEVICE_CONTROL, 0, code, input, inputLength, output, outputLength));
}

std::shared_ptr<PendingIo> DeviceFile::start(UCHAR major, UCHAR minor,
                                             const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare) {
    return track(machine_->io().sendAsync(file_, major, minor, 0, nullptr, 0, nullptr, 0, prepare));
}

} // namespace host

using namespace host;

EXTERN_C_START

NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                        PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
    Machine& m = machineOf("IoGetDeviceObjectPointer");
    PFILE_OBJECT file;
    PDEVICE_OBJECT top;
    NTSTATUS s = m.io().openFileObject(fromUnicodeString(ObjectName), DesiredAccess, &file, &top);
    if (!NT_SUCCESS(s))
        return s;
    *FileObject = file;
    *DeviceObject = top;
    return STATUS_SUCCESS;
}

EXTERN_C_END
