// The native layer under kernel32's device I/O (device_io.h): files opened
// on devices through the machine's I/O manager, requests as IRPs, events and
// waits in the machine's dispatcher. This file talks to the kernel stand-in;
// the Win32 functions above it are in kernel32_device.cpp and its kin.

#include "device_io.h"

#include "host/nt/kernel.h"

namespace host::win32 {

// ---- Events ----

struct EventObject::Impl {
    KEVENT event;
};

EventObject::EventObject(bool manualReset, bool initialState) : impl_(std::make_unique<Impl>()) {
    KeInitializeEvent(&impl_->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
}

EventObject::~EventObject() = default;

void EventObject::set() {
    KeSetEvent(&impl_->event, IO_NO_INCREMENT, FALSE);
}

void EventObject::reset() {
    // Under the dispatcher lock: another thread of the process may set or
    // reset the same event, or wait on it, at this moment.
    KeResetEvent(&impl_->event);
}

bool EventObject::signalled() const {
    return KeReadStateEvent(&impl_->event) != 0;
}

void* EventObject::dispatcherObject() {
    return &impl_->event;
}

// ---- Mutexes ----

struct MutexObject::Impl {
    KMUTEX mutex;
};

MutexObject::MutexObject(bool initialOwner) : impl_(std::make_unique<Impl>()) {
    KeInitializeMutex(&impl_->mutex, 0);
    if (initialOwner) {
        LARGE_INTEGER now{};
        KeWaitForSingleObject(&impl_->mutex, UserRequest, UserMode, FALSE, &now);
    }
}

MutexObject::~MutexObject() = default;

bool MutexObject::release() {
    ThreadRec* t = currentThread();
    Dispatcher& d = t->machine->dispatcher();
    std::lock_guard g(d.lock);
    if (impl_->mutex.OwnerThread != &t->kthread)
        return false;
    d.releaseMutex(t, &impl_->mutex, "ReleaseMutex");
    return true;
}

void* MutexObject::dispatcherObject() {
    return &impl_->mutex;
}

void MutexObject::threadEnding() {
    ThreadRec* t = currentThread();
    Dispatcher& d = t->machine->dispatcher();
    std::lock_guard g(d.lock);
    KMUTEX& m = impl_->mutex;
    if (m.OwnerThread != &t->kthread)
        return;
    m.Header.SignalState = 1;
    m.OwnerThread = nullptr;
    m.Abandoned = TRUE;
    d.signalled(&m.Header);
}

// ---- Files on devices ----

// What the completion of a request and a deferred close share with the
// handle: the file object and the count of requests that refer to it.
struct DeviceHandle::Impl {
    Machine* machine = nullptr;
    PFILE_OBJECT file = nullptr;
    KEVENT lock;                  // a synchronous file object's one-request-at-a-time lock
    std::mutex mutex;
    int outstanding = 0;          // requests not completed yet
    bool cleanedUp = false;       // IRP_MJ_CLEANUP sent
    bool released = false;        // IRP_MJ_CLOSE sent (or handed to the worker)
    KEVENT closeDone;             // set once IRP_MJ_CLOSE has been sent
    // Requests still in flight when the handle was closed: kept until the
    // close request has gone, by the worker that sends it.
    std::vector<std::shared_ptr<InFlight>> orphans;
};

struct DeviceHandle::InFlight {
    std::shared_ptr<PendingIo> io;
    std::thread::id thread;
    const void* overlapped = nullptr;
};

namespace {

// IRP_MJ_CLOSE for a file whose handle was closed while requests still
// referred to it, sent by the last of them to complete (from a worker: a
// completion may run at DISPATCH_LEVEL).
template <class ImplPtr>
void releaseLater(ImplPtr impl) {
    impl->machine->pnp().postWork([impl] {
        impl->machine->io().releaseFileObject(impl->file);
        KeSetEvent(&impl->closeDone, IO_NO_INCREMENT, FALSE);
        decltype(impl->orphans) done;
        {
            std::lock_guard g(impl->mutex);
            done.swap(impl->orphans);
        }
    });
}

} // namespace

int32_t DeviceHandle::open(System& system, const std::u16string& ntPath, uint32_t access, uint32_t disposition,
                           uint32_t shareAccess, bool overlapped, std::shared_ptr<DeviceHandle>* out) {
    Machine& m = system.machine();
    IoManager::OpenOptions options;
    options.disposition = disposition;
    options.createOptions = FILE_NON_DIRECTORY_FILE | (overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    options.shareAccess = USHORT(shareAccess);
    PFILE_OBJECT file = nullptr;
    NTSTATUS s = m.io().openFileObject(ntPath, access, &file, nullptr, options);
    if (!NT_SUCCESS(s))
        return s;
    std::shared_ptr<DeviceHandle> h(new DeviceHandle);
    h->system_ = &system;
    h->overlapped_ = overlapped;
    h->impl_ = std::make_shared<Impl>();
    h->impl_->machine = &m;
    h->impl_->file = file;
    KeInitializeEvent(&h->impl_->lock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&h->impl_->closeDone, NotificationEvent, FALSE);
    *out = std::move(h);
    return STATUS_SUCCESS;
}

DeviceHandle::~DeviceHandle() {
    // Closed handles have released their file; one that never reached
    // closed() (its System went first) still must not leak it.
    if (impl_ && !impl_->cleanedUp && impl_->file) {
        Machine::Attach attach(*impl_->machine, "device handle");
        closed();
    }
}

uint32_t DeviceHandle::deviceType() const {
    return impl_->file->DeviceObject->DeviceType;
}

void* DeviceHandle::dispatcherObject() {
    return &impl_->file->Event;
}

void DeviceHandle::prune() {
    std::erase_if(inFlight_, [](const std::shared_ptr<InFlight>& r) { return r->io->done(); });
}

int32_t DeviceHandle::call(const Request& request) {
    Impl* impl = impl_.get();
    PFILE_OBJECT file = impl->file;
    if (!overlapped_)
        KeWaitForSingleObject(&impl->lock, UserRequest, UserMode, FALSE, nullptr);

    // The request's event and the file object's own are reset as it starts
    // (under the dispatcher lock: other threads of the process may start
    // requests on the same file at this moment).
    if (request.event)
        request.event->reset();
    KeResetEvent(&file->Event);
    {
        std::lock_guard g(impl->mutex);
        impl->outstanding++;
    }

    // The completion, on whatever thread completes the request: the status
    // block and the event, as the I/O manager's completion does. A request
    // that failed without being marked pending tells its status to the
    // caller alone: the OVERLAPPED and the event stay as they were.
    auto onComplete = [impl = impl_, event = request.event, block = request.statusBlock](PIRP irp) {
        NTSTATUS status = irp->IoStatus.Status;
        if (!(NT_ERROR(status) && !irp->PendingReturned)) {
            if (block) {
                block->information = irp->IoStatus.Information;
                __atomic_store_n(&block->status, uintptr_t(uint32_t(status)), __ATOMIC_RELEASE);
            }
            if (event)
                event->set();
            else
                KeSetEvent(&impl->file->Event, IO_NO_INCREMENT, FALSE);
        }
        bool release = false;
        {
            std::lock_guard g(impl->mutex);
            release = --impl->outstanding == 0 && impl->cleanedUp && !impl->released;
            if (release)
                impl->released = true;
        }
        if (release)
            releaseLater(impl);
    };

    UCHAR major = UCHAR(request.major);
    const bool write = request.major == DeviceMajor::Write;
    auto io = impl->machine->io().sendAsync(
        file, major, 0, request.code, write || request.major == DeviceMajor::DeviceControl ? request.input : nullptr,
        write || request.major == DeviceMajor::DeviceControl ? request.inputLength : 0,
        request.major == DeviceMajor::Read || request.major == DeviceMajor::DeviceControl ? request.output : nullptr,
        request.major == DeviceMajor::Read || request.major == DeviceMajor::DeviceControl ? request.outputLength : 0,
        {}, std::move(onComplete));
    NTSTATUS status = io->callStatus();
    {
        std::lock_guard g(mutex_);
        prune();
        inFlight_.push_back(std::make_shared<InFlight>(InFlight{io, std::this_thread::get_id(), request.overlapped}));
    }
    if (!overlapped_) {
        if (status == STATUS_PENDING)
            status = io->wait().status;
        KeSetEvent(&impl->lock, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

std::vector<std::shared_ptr<DeviceHandle::InFlight>> DeviceHandle::takeRequests(
    bool (*match)(const InFlight&, const void*), const void* key) {
    std::lock_guard g(mutex_);
    prune();
    std::vector<std::shared_ptr<InFlight>> out;
    for (auto& r : inFlight_)
        if (match(*r, key))
            out.push_back(r);
    return out;
}

void DeviceHandle::cancelThreadRequests() {
    auto mine = takeRequests(
        [](const InFlight& r, const void*) { return r.thread == std::this_thread::get_id(); }, nullptr);
    for (auto& r : mine)
        r->io->cancel();
    // NtCancelIoFile returns once the requests it cancelled are done.
    for (auto& r : mine)
        r->io->wait();
}

bool DeviceHandle::cancelRequests(const void* overlapped) {
    auto matching = takeRequests(
        [](const InFlight& r, const void* key) { return !key || r.overlapped == key; }, overlapped);
    for (auto& r : matching)
        r->io->cancel();
    return !matching.empty();
}

void DeviceHandle::closed() {
    std::shared_ptr<Impl> impl = impl_;
    if (!impl || impl->cleanedUp)
        return;
    Machine& m = *impl->machine;
    m.io().cleanupFileObject(impl->file);
    {
        std::lock_guard g(impl->mutex);
        impl->cleanedUp = true;
    }
    // CloseHandle does not wait for the file's requests: a driver that ends
    // them in its cleanup has done so by now, and one it leaves pending keeps
    // the file open until it completes.
    {
        std::lock_guard g(mutex_);
        prune();
    }
    bool release = false;
    {
        std::lock_guard g(impl->mutex);
        release = impl->outstanding == 0 && !impl->released;
        if (release) {
            impl->released = true;
        } else {
            // The last request to complete sends IRP_MJ_CLOSE (as the
            // platform closes a file when its last reference goes).
            std::lock_guard g2(mutex_);
            impl->orphans = std::move(inFlight_);
            inFlight_.clear();
        }
    }
    if (release) {
        m.io().releaseFileObject(impl->file);
        KeSetEvent(&impl->closeDone, IO_NO_INCREMENT, FALSE);
        std::lock_guard g(mutex_);
        inFlight_.clear();
    }
}

void DeviceHandle::waitReleased() {
    std::shared_ptr<Impl> impl = impl_;
    if (!impl)
        return;
    {
        std::lock_guard g(impl->mutex);
        // Nothing under way: the handle was never closed. Otherwise the close
        // follows the file's last request (one may still be completing on
        // another thread after its requester saw it end).
        if (!impl->cleanedUp || (!impl->released && impl->outstanding == 0))
            return;
    }
    KeWaitForSingleObject(&impl->closeDone, Executive, KernelMode, FALSE, nullptr);
}

// ---- Waits ----

std::optional<size_t> waitForObjects(const std::vector<void*>& objects, bool all,
                                     std::optional<uint32_t> milliseconds, bool* abandoned) {
    LARGE_INTEGER timeout;
    if (milliseconds)
        timeout.QuadPart = -LONGLONG(*milliseconds) * 10000;
    std::vector<KWAIT_BLOCK> blocks(objects.size());
    NTSTATUS s = KeWaitForMultipleObjects(ULONG(objects.size()), const_cast<PVOID*>(objects.data()),
                                          all ? WaitAll : WaitAny, UserRequest, UserMode, FALSE,
                                          milliseconds ? &timeout : nullptr, blocks.data());
    if (abandoned)
        *abandoned = s >= STATUS_ABANDONED_WAIT_0 && s <= STATUS_ABANDONED_WAIT_63;
    if (s == STATUS_TIMEOUT)
        return std::nullopt;
    if (s >= STATUS_ABANDONED_WAIT_0 && s <= STATUS_ABANDONED_WAIT_63)
        return size_t(s - STATUS_ABANDONED_WAIT_0);
    return size_t(s - STATUS_WAIT_0);
}

} // namespace host::win32
