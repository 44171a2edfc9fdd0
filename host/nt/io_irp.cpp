// I/O requests: allocation and reuse, IoCallDriver, completion with the
// completion-routine rules (success/error/cancel flags, MORE_PROCESSING_
// REQUIRED, pending propagation), cancellation with the system cancel spin
// lock, and the I/O manager's last step for requests it built itself.

#include "kernel.h"
#include "io_manager.h"

#include <algorithm>
#include <atomic>
#include <sanitizer/asan_interface.h>

namespace host {

IoManager::IoManager(Machine& machine) : machine_(machine) {}

IoManager::~IoManager() {
    for (const FreedIrp& freed : freedIrps_)
        releaseFreedIrp(freed);
    // Requests still allocated (lost, and reported at shutdown) go with the machine.
    for (auto& [irp, rec] : irps_)
        if (rec.kind != IrpKind::Embedded)
            std::free(irp);
}

void IoManager::watchImage(const std::string& image, unsigned failAt) {
    std::lock_guard g(mutex_);
    watchedImage_ = image;
    watchedCount_ = 0;
    watchedFailAt_ = failAt;
}

unsigned IoManager::imageAllocations() {
    std::lock_guard g(mutex_);
    return watchedCount_;
}

PIRP IoManager::allocateIrp(CCHAR stackSize, IrpKind kind, const void* caller) {
    if (stackSize < 1)
        stackSize = 1;
    CodeOwner code = codeOwner(machine_, caller);
    if (caller && kind == IrpKind::Driver) {
        std::lock_guard g(mutex_);
        if (!watchedImage_.empty() && code.base && code.name.find(watchedImage_) != std::string::npos &&
            ++watchedCount_ == watchedFailAt_)
            return nullptr;
    }
    USHORT size = IoSizeOfIrp(stackSize);
    // A guard stack location past the end catches a top-level completion
    // routine that writes "its" stack location (IoMarkIrpPending in the
    // originator's routine), which corrupts memory on the platform.
    auto* irp = static_cast<PIRP>(std::calloc(1, size + sizeof(IO_STACK_LOCATION)));
    IoInitializeIrp(irp, size, stackSize);
    memset(reinterpret_cast<PUCHAR>(irp) + size, kGuardByte, sizeof(IO_STACK_LOCATION));
    const void* owner = code.base;
    std::lock_guard g(mutex_);
    irps_[irp] = IrpRec{kind, owner, size};
    return irp;
}

bool IoManager::guardBroken(PIRP irp) {
    // Under the lock: the IRP may be freed by its owner on another thread the
    // moment its completion routine has run, and freeIrp forgets it first.
    std::lock_guard g(mutex_);
    auto it = irps_.find(irp);
    if (it == irps_.end() || it->second.kind == IrpKind::Embedded)
        return false;
    const UCHAR* guard = reinterpret_cast<const UCHAR*>(irp) + it->second.size;
    for (size_t i = 0; i < sizeof(IO_STACK_LOCATION); ++i)
        if (guard[i] != kGuardByte)
            return true;
    return false;
}

void IoManager::freeIrp(PIRP irp) {
    std::optional<FreedIrp> evicted;
    {
        std::lock_guard g(mutex_);
        // A request freed in its completion (the I/O manager's own, at once)
        // keeps the records of dispatch routines that have yet to return.
        if (auto d = dispatches_.find(irp); d != dispatches_.end()) {
            std::erase_if(d->second, [](const DispatchRec& r) { return !r.completed; });
            if (d->second.empty())
                dispatches_.erase(d);
        }
        auto it = irps_.find(irp);
        if (it == irps_.end())
            return;
        if (it->second.kind == IrpKind::Embedded) {
            irps_.erase(it);   // the memory is its owner's
            return;
        }
        PLIST_ENTRY entry = &irp->Tail.Overlay.ListEntry;
        FreedIrp freed{irp, it->second.size + sizeof(IO_STACK_LOCATION),
                       isDeadMark(entry) ? it->second.links : *entry};
        irps_.erase(it);
        memset(irp, 0x6B, freed.size);
        entry->Flink = entry->Blink = &deadLink_;
        // The rest of the request is out of bounds for the address checker,
        // as freed memory is; only the dead list entry stays readable.
        auto* begin = reinterpret_cast<PUCHAR>(irp);
        auto* mark = reinterpret_cast<PUCHAR>(entry);
        ASAN_POISON_MEMORY_REGION(begin, mark - begin);
        ASAN_POISON_MEMORY_REGION(mark + sizeof(LIST_ENTRY), begin + freed.size - (mark + sizeof(LIST_ENTRY)));
        freedIrps_.push_back(freed);
        if (freedIrps_.size() > kFreedIrpsKept) {
            evicted = freedIrps_.front();
            freedIrps_.pop_front();
        }
    }
    if (evicted)
        releaseFreedIrp(*evicted);
}

void IoManager::releaseFreedIrp(const FreedIrp& freed) {
    ASAN_UNPOISON_MEMORY_REGION(freed.irp, freed.size);
    std::free(freed.irp);
}

void IoManager::poisonListEntry(PIRP irp) {
    std::lock_guard g(mutex_);
    auto it = irps_.find(irp);
    PLIST_ENTRY entry = &irp->Tail.Overlay.ListEntry;
    // Completed again without being linked since: the links it was left
    // with the first time are the ones to keep.
    if (it == irps_.end() || isDeadMark(entry))
        return;
    it->second.links = *entry;
    entry->Flink = entry->Blink = &deadLink_;
}

LIST_ENTRY* IoManager::deadLinksOf(PLIST_ENTRY entry, DeadListEntry* info) {
    if (!entry)
        return nullptr;
    // Only memory known to be a request's is read.
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (auto it = irps_.find(irp); it != irps_.end()) {
        if (!isDeadMark(entry))
            return nullptr;
        if (info)
            *info = DeadListEntry{irp, false};
        return &it->second.links;
    }
    for (FreedIrp& freed : freedIrps_)
        if (freed.irp == irp) {
            if (!isDeadMark(entry))
                return nullptr;
            if (info)
                *info = DeadListEntry{irp, true};
            return &freed.links;
        }
    return nullptr;
}

std::optional<IoManager::DeadListEntry> IoManager::unlinkDeadListEntry(PLIST_ENTRY entry) {
    std::lock_guard g(mutex_);
    DeadListEntry info{};
    LIST_ENTRY* links = deadLinksOf(entry, &info);
    if (!links)
        return std::nullopt;
    // The neighbours it had link to each other; a neighbour that is dead
    // itself has its kept links changed, so that it comes out in turn.
    PLIST_ENTRY next = links->Flink;
    PLIST_ENTRY prev = links->Blink;
    if (prev && prev != entry) {
        LIST_ENTRY* p = deadLinksOf(prev, nullptr);
        if (!p)
            p = prev;
        if (p->Flink == entry)
            p->Flink = next;
    }
    if (next && next != entry) {
        LIST_ENTRY* n = deadLinksOf(next, nullptr);
        if (!n)
            n = next;
        if (n->Blink == entry)
            n->Blink = prev;
    }
    entry->Flink = entry->Blink = entry;
    return info;
}

bool IoManager::isLive(PIRP irp) {
    std::lock_guard g(mutex_);
    return irps_.count(irp) != 0;
}

std::optional<IoManager::IrpKind> IoManager::kindOf(PIRP irp) {
    std::lock_guard g(mutex_);
    auto it = irps_.find(irp);
    if (it == irps_.end())
        return std::nullopt;
    return it->second.kind;
}

void IoManager::trackEmbedded(PIRP irp) {
    std::lock_guard g(mutex_);
    if (!irps_.count(irp))
        irps_[irp] = IrpRec{IrpKind::Embedded, nullptr, irp->Size};
}

void IoManager::forgetIrpsIn(const void* begin, size_t size) {
    std::lock_guard g(mutex_);
    auto b = reinterpret_cast<uintptr_t>(begin);
    for (auto it = irps_.begin(); it != irps_.end();) {
        auto a = reinterpret_cast<uintptr_t>(it->first);
        if (it->second.kind == IrpKind::Embedded && a >= b && a < b + size)
            it = irps_.erase(it);
        else
            ++it;
    }
}

void IoManager::attachPending(PIRP irp, PendingIo* pending) {
    std::lock_guard g(mutex_);
    irps_[irp].pending = pending;
}

std::vector<std::string> IoManager::irpsOwnedBy(const void* imageBase) {
    std::lock_guard g(mutex_);
    std::vector<std::string> out;
    for (auto& [irp, rec] : irps_)
        if (rec.kind == IrpKind::Driver && rec.owner == imageBase) {
            char buf[32];
            snprintf(buf, sizeof buf, "%p", static_cast<void*>(irp));
            out.push_back(buf);
        }
    return out;
}

size_t IoManager::liveIrpCount() {
    std::lock_guard g(mutex_);
    return irps_.size();
}

std::vector<std::string> IoManager::pendingHostIrps() {
    std::lock_guard g(mutex_);
    std::vector<std::string> out;
    for (auto& [irp, rec] : irps_) {
        if ((rec.kind != IrpKind::Thread && rec.kind != IrpKind::Host) || irp->CurrentLocation > irp->StackCount)
            continue;
        PIO_STACK_LOCATION top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1;
        char buf[96];
        snprintf(buf, sizeof buf, "IRP %p (major function %d)", static_cast<void*>(irp), int(top->MajorFunction));
        out.push_back(buf);
    }
    return out;
}

namespace {
std::string hex(NTSTATUS status) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", ULONG(status));
    return buf;
}
} // namespace

std::optional<std::string> IoManager::dispatchMismatch(const DispatchRec& rec) {
    std::string routine = "a dispatch routine (major function " + std::to_string(int(rec.major)) + ")";
    bool pending = *rec.returned == STATUS_PENDING;
    if (rec.markedBefore)
        return !pending && *rec.returned != rec.status
                   ? std::optional(routine + " returned " + hex(*rec.returned) + " for an IRP it completed with " +
                                   hex(rec.status))
                   : std::nullopt;
    if (rec.markedPending && !pending)
        return routine + " marked its IRP pending (IoMarkIrpPending) but returned " + hex(*rec.returned);
    if (!rec.markedPending && pending)
        return routine + " returned STATUS_PENDING without marking its IRP pending (IoMarkIrpPending)";
    if (!pending && *rec.returned != rec.status)
        return routine + " returned " + hex(*rec.returned) + " for an IRP it completed with " + hex(rec.status);
    return std::nullopt;
}

uint64_t IoManager::beginDispatch(PIRP irp, PIO_STACK_LOCATION location, UCHAR major) {
    std::lock_guard g(mutex_);
    uint64_t id = ++nextDispatch_;
    DispatchRec rec{id, location, major, std::nullopt};
    rec.markedBefore = (location->Control & SL_PENDING_RETURNED) != 0;
    dispatches_[irp].push_back(rec);
    return id;
}

void IoManager::endDispatch(PIRP irp, uint64_t id, NTSTATUS returned) {
    std::optional<std::string> fault;
    {
        std::lock_guard g(mutex_);
        auto it = dispatches_.find(irp);
        if (it == dispatches_.end())
            return;   // the request was freed or reused meanwhile
        auto& recs = it->second;
        auto rec = std::find_if(recs.begin(), recs.end(), [&](const DispatchRec& r) { return r.id == id; });
        if (rec == recs.end())
            return;
        rec->returned = returned;
        if (rec->completed) {
            fault = dispatchMismatch(*rec);
        } else if (returned != STATUS_PENDING) {
            fault = "a dispatch routine (major function " + std::to_string(int(rec->major)) + ") returned " +
                    hex(returned) + " for an IRP it neither completed nor marked pending";
        } else {
            return;   // checked when the location completes
        }
        recs.erase(rec);
        if (recs.empty())
            dispatches_.erase(it);
    }
    if (fault)
        machine_.verifier().report(*fault);
}

void IoManager::locationCompleted(PIRP irp, PIO_STACK_LOCATION location, bool markedPending, NTSTATUS status) {
    std::vector<std::string> faults;
    {
        std::lock_guard g(mutex_);
        auto it = dispatches_.find(irp);
        if (it == dispatches_.end())
            return;
        auto& recs = it->second;
        for (auto rec = recs.begin(); rec != recs.end();) {
            if (rec->location != location || rec->completed) {
                ++rec;
                continue;
            }
            rec->completed = true;
            rec->markedPending = markedPending;
            rec->status = status;
            if (!rec->returned) {
                ++rec;
                continue;
            }
            if (auto fault = dispatchMismatch(*rec))
                faults.push_back(*fault);
            rec = recs.erase(rec);
        }
        if (recs.empty())
            dispatches_.erase(it);
    }
    for (auto& fault : faults)
        machine_.verifier().report(fault);
}


void IoManager::finishIrp(PIRP irp) {
    std::optional<IrpKind> kind = kindOf(irp);
    if (kind == IrpKind::Driver || kind == IrpKind::Embedded) {
        machine_.verifier().report("IoCompleteRequest: an IRP the driver allocated came back to the I/O manager "
                                   "(its completion routine must free it or return STATUS_MORE_PROCESSING_REQUIRED)");
        return;
    }
    // Buffered output goes back to the caller's buffer, as many bytes as the
    // request reports (unless it failed). More than the caller's output
    // buffer holds would overwrite the caller's memory: reported, and only
    // the buffer's length is copied.
    ULONG_PTR information = irp->IoStatus.Information;
    if ((irp->Flags & IRP_BUFFERED_IO) && irp->AssociatedIrp.SystemBuffer && !NT_ERROR(irp->IoStatus.Status)) {
        PIO_STACK_LOCATION top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1;
        std::optional<ULONG> output;
        if ((top->MajorFunction == IRP_MJ_DEVICE_CONTROL || top->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
            METHOD_FROM_CTL_CODE(top->Parameters.DeviceIoControl.IoControlCode) == METHOD_BUFFERED)
            output = top->Parameters.DeviceIoControl.OutputBufferLength;
        else if (top->MajorFunction == IRP_MJ_READ)
            output = top->Parameters.Read.Length;
        if (output && information > *output) {
            char buf[200];
            snprintf(buf, sizeof buf, "IoCompleteRequest: Information %lu is larger than the output buffer (%lu bytes) "
                     "of a buffered request (major function %d, code 0x%08X)", (unsigned long)information,
                     (unsigned long)*output, int(top->MajorFunction),
                     ULONG(top->MajorFunction == IRP_MJ_READ ? 0 : top->Parameters.DeviceIoControl.IoControlCode));
            machine_.verifier().report(buf);
            information = *output;
        }
    }
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && irp->UserBuffer &&
        irp->AssociatedIrp.SystemBuffer && !NT_ERROR(irp->IoStatus.Status))
        memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, information);
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
        machine_.pool().free(irp->AssociatedIrp.SystemBuffer, 0, false, "I/O manager");
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        std::free(mdl);
    }
    PendingIo* pending = nullptr;
    {
        std::lock_guard g(mutex_);
        auto it = irps_.find(irp);
        if (it != irps_.end())
            pending = it->second.pending;
    }
    if (irp->UserIosb)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    if (pending && pending->onComplete_)
        pending->onComplete_(irp);
    if (!pending)
        freeIrp(irp);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

PendingIo::~PendingIo() {
    if (irp_ && machine_) {
        if (!done()) {
            // The request is still with a driver: it must not be freed under it.
            Machine::Attach attach(*machine_, "pending I/O");
            wait();
        }
        machine_->io().freeIrp(irp_);
    }
}

bool PendingIo::done() const {
    // The completion sets the event under the dispatcher's lock, from the
    // thread that completes the request.
    std::lock_guard g(machine_->dispatcher().lock);
    return event_.Header.SignalState != 0;
}

IoResult PendingIo::result() const {
    if (!done())
        return {STATUS_PENDING, 0};
    return {iosb_.Status, iosb_.Information};
}

IoResult PendingIo::wait(std::optional<uint64_t> timeout100ns) {
    LARGE_INTEGER t;
    if (timeout100ns)
        t.QuadPart = -LONGLONG(*timeout100ns);
    NTSTATUS s = KeWaitForSingleObject(const_cast<KEVENT*>(&event_), Executive, KernelMode, FALSE,
                                       timeout100ns ? &t : nullptr);
    if (s == STATUS_TIMEOUT)
        return {STATUS_TIMEOUT, 0};
    return result();
}

bool PendingIo::cancel() {
    if (done())
        return false;
    return IoCancelIrp(irp_) != FALSE;
}

} // namespace host

using namespace host;

static Machine& io(const char* call) { return machineOf(call); }

EXTERN_C_START

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = CHAR(StackSize + 1);
    Irp->ApcEnvironment = 0;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<PUCHAR>(Irp) + sizeof(IRP)) + StackSize;
    if (Machine* m = Machine::current())
        m->io().trackEmbedded(Irp);
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    Machine& m = io("IoAllocateIrp");
    if (StackSize < 1) {
        m.verifier().report("IoAllocateIrp with a stack size of " + std::to_string(StackSize));
        return nullptr;
    }
    return m.io().allocateIrp(StackSize, IoManager::IrpKind::Driver, __builtin_return_address(0));
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    Machine& m = io("IoFreeIrp");
    auto kind = m.io().kindOf(Irp);
    if (!kind) {
        m.verifier().report("IoFreeIrp of an IRP that is not allocated (freed twice?)");
        return;
    }
    if (*kind == IoManager::IrpKind::Embedded) {
        m.verifier().report("IoFreeIrp of an IRP that IoInitializeIrp set up in the caller's memory");
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount) {
        m.verifier().report("IoFreeIrp of an IRP that a driver still owns (sent down and not completed)");
        return;
    }
    if (Irp->CancelRoutine)
        m.verifier().report("IoFreeIrp of an IRP with a cancel routine set");
    m.io().freeIrp(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    Machine& m = io("IoReuseIrp");
    if (!m.io().isLive(Irp)) {
        m.verifier().report("IoReuseIrp of an IRP that is not allocated");
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount)
        m.verifier().report("IoReuseIrp of an IRP that a driver still owns (sent down and not completed)");
    if (Irp->CancelRoutine)
        m.verifier().report("IoReuseIrp of an IRP with a cancel routine set");
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Machine& m = io("IoCallDriver");
    ThreadRec* t = currentThread();
    if (!m.io().isLive(Irp)) {
        m.verifier().report("IoCallDriver with an IRP that is not allocated (freed?)");
        return STATUS_INVALID_PARAMETER;
    }
    if (t->irql > DISPATCH_LEVEL)
        m.verifier().report("IoCallDriver at IRQL " + std::to_string(t->irql));
    if (Irp->CurrentLocation <= 1) {
        m.verifier().report("IoCallDriver: the IRP has no stack location left for the next driver");
        return STATUS_INVALID_PARAMETER;
    }
    auto rec = m.io().deviceRec(DeviceObject);
    if (!rec) {
        m.verifier().report("IoCallDriver to something that is not a device object");
        return STATUS_INVALID_PARAMETER;
    }
    if (rec->deleted)
        m.verifier().report("IoCallDriver to a deleted device object");
    // The caller gives the request away: its cancel routine would run on a
    // request it no longer owns.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        m.verifier().report("IoCallDriver of an IRP whose cancel routine is still set");
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    if (sp->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        m.verifier().report("IoCallDriver with major function " + std::to_string(sp->MajorFunction));
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    KIRQL before = t->irql;
    UCHAR major = sp->MajorFunction;
    uint64_t id = m.io().beginDispatch(Irp, sp, major);
    NTSTATUS status = callDriver(dispatch, DeviceObject, Irp);
    if (t->irql != before)
        m.verifier().report("a dispatch routine (major function " + std::to_string(int(major)) +
                            ") returned at IRQL " + std::to_string(t->irql) + ", entered at " + std::to_string(before));
    m.io().endDispatch(Irp, id, status);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    Machine& m = io("IoCompleteRequest");
    ThreadRec* t = currentThread();
    if (!m.io().isLive(Irp)) {
        m.verifier().report("IoCompleteRequest of an IRP that is not allocated (completed after it was freed?)");
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        m.verifier().report("IoCompleteRequest of an IRP that no driver owns (completed twice?)");
        return;
    }
    if (t->irql > DISPATCH_LEVEL)
        m.verifier().report("IoCompleteRequest at IRQL " + std::to_string(t->irql));
    // Completion routines run on this thread: under a driver's spin lock they
    // may take that lock again, or send the next request into it.
    if (!t->heldSpinLocks.empty()) {
        char buf[48];
        snprintf(buf, sizeof buf, "%p", static_cast<void*>(t->heldSpinLocks[t->heldSpinLocks.size() - 1]));
        m.verifier().report(std::string("IoCompleteRequest while the completing thread holds spin lock ") + buf);
    }
    // IoCancelIrp on another thread may be exchanging the routine right now.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        m.verifier().report("IoCompleteRequest of an IRP whose cancel routine is still set");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        m.verifier().report("IoCompleteRequest with status STATUS_PENDING");
    // The I/O manager copies a buffered request's data back at completion,
    // at the completing thread's level.
    if (t->irql >= DISPATCH_LEVEL && Irp->AssociatedIrp.SystemBuffer)
        if (auto block = m.pool().pagedBlockHolding(Irp->AssociatedIrp.SystemBuffer))
            m.verifier().report("IoCompleteRequest at DISPATCH_LEVEL of an IRP whose system buffer is in paged pool (" +
                                Pool::describe(block->second) + ")");
    // The completing driver gives the request up: no list of its may link it now.
    m.io().poisonListEntry(Irp);

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    for (; Irp->CurrentLocation <= Irp->StackCount + 1;
         ++sp, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NTSTATUS st = Irp->IoStatus.Status;
        m.io().locationCompleted(Irp, sp, Irp->PendingReturned, st);
        bool invoke = sp->CompletionRoutine &&
                      ((NT_SUCCESS(st) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(st) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                       (std::atomic_ref<BOOLEAN>(Irp->Cancel).load() && (sp->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        sp->Control = 0;
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        if (invoke) {
            bool top = Irp->CurrentLocation == Irp->StackCount + 1;
            PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            KIRQL before = t->irql;
            NTSTATUS r = callDriver(routine, device, Irp, context);
            if (top && r == STATUS_MORE_PROCESSING_REQUIRED && m.io().guardBroken(Irp)) {
                m.verifier().report("the completion routine of an IRP's originator wrote the stack location past the "
                                    "IRP's last one (IoMarkIrpPending without a stack location of its own?)");
                return;
            }
            if (t->irql != before)
                m.verifier().report("a completion routine returned at IRQL " + std::to_string(t->irql) +
                                    ", entered at " + std::to_string(before));
            if (r == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            if (r != STATUS_CONTINUE_COMPLETION && r != Irp->IoStatus.Status) {
                char buf[160];
                snprintf(buf, sizeof buf, "a completion routine returned 0x%08X, which is neither "
                         "STATUS_MORE_PROCESSING_REQUIRED nor the IRP's status 0x%08X", ULONG(r), ULONG(Irp->IoStatus.Status));
                m.verifier().report(buf);
            }
            if (Irp->PendingReturned && !top && !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED))
                m.verifier().report("a completion routine did not propagate the pending state "
                                    "(IoMarkIrpPending when Irp->PendingReturned is set)");
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    m.io().finishIrp(Irp);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    Machine& m = io("IoAcquireCancelSpinLock");
    *Irql = KeAcquireSpinLockRaiseToDpc(&m.io().cancelLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    Machine& m = io("IoReleaseCancelSpinLock");
    KeReleaseSpinLock(&m.io().cancelLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    Machine& m = io("IoCancelIrp");
    if (!m.io().isLive(Irp)) {
        m.verifier().report("IoCancelIrp of an IRP that is not allocated");
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Set before the cancel routine is taken, and read by whoever queues the
    // request without the cancel lock (after setting its cancel routine).
    std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    ThreadRec* t = currentThread();
    callDriver(routine, IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (Dispatcher::spinLockOwner(&m.io().cancelLock) == reinterpret_cast<KSPIN_LOCK>(t)) {
        m.verifier().report("a cancel routine returned holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    Machine& m = io("IoBuildDeviceIoControlRequest");
    if (currentThread()->irql > APC_LEVEL)
        m.verifier().report("IoBuildDeviceIoControlRequest at IRQL " + std::to_string(currentThread()->irql));
    PIRP irp = m.io().allocateIrp(DeviceObject->StackSize, IoManager::IrpKind::Thread, nullptr);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG size = std::max(InputBufferLength, OutputBufferLength);
        if (size) {
            irp->AssociatedIrp.SystemBuffer = m.pool().allocate(NonPagedPool, size, 'tcoI', nullptr);
            if (!irp->AssociatedIrp.SystemBuffer) {
                // No system buffer: no request, as the platform answers.
                m.io().freeIrp(irp);
                return nullptr;
            }
            if (InputBuffer && InputBufferLength)
                memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer && OutputBufferLength)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer && InputBufferLength) {
            irp->AssociatedIrp.SystemBuffer = m.pool().allocate(NonPagedPool, InputBufferLength, 'tcoI', nullptr);
            if (!irp->AssociatedIrp.SystemBuffer) {
                m.io().freeIrp(irp);
                return nullptr;
            }
            memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer && OutputBufferLength)
            IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = &currentThread()->kthread;
    return irp;
}

static PIRP buildFsd(Machine& m, ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock, IoManager::IrpKind kind,
                     const void* caller) {
    PIRP irp = m.io().allocateIrp(DeviceObject->StackSize, kind, caller);
    if (!irp)
        return nullptr;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = UCHAR(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        sp->Parameters.Read.Length = Length;
        if (StartingOffset)
            sp->Parameters.Read.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            irp->AssociatedIrp.SystemBuffer = m.pool().allocate(NonPagedPool, Length ? Length : 1, 'sfoI', nullptr);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE)
                memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
            else
                irp->Flags |= IRP_INPUT_OPERATION;
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
        }
        irp->UserBuffer = Buffer;
    }
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = &currentThread()->kthread;
    return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    Machine& m = io("IoBuildSynchronousFsdRequest");
    PIRP irp = buildFsd(m, MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                        IoManager::IrpKind::Thread, nullptr);
    irp->UserEvent = Event;
    return irp;
}

PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                         PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
    Machine& m = io("IoBuildAsynchronousFsdRequest");
    return buildFsd(m, MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                    IoManager::IrpKind::Driver, __builtin_return_address(0));
}

PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp) {
    return IoGetCurrentProcess();
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = VirtualAddress;
    mdl->ByteOffset = 0;
    mdl->ByteCount = Length;
    mdl->MappedSystemVa = VirtualAddress;
    if (Irp) {
        if (SecondaryBuffer) {
            PMDL* link = &Irp->MdlAddress;
            while (*link)
                link = &(*link)->Next;
            *link = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {}

EXTERN_C_END
