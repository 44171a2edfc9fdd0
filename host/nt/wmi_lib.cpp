// The WMI service and library: providers registered with
// IoWMIRegistrationControl, the requests a consumer's queries and sets turn
// into, and WmiSystemControl, which hands those requests to a driver's
// data-block callbacks and WmiCompleteRequest, which finishes the WNODE
// block the request carries.

#include "wmi.h"

#include "kernel.h"
#include "io_manager.h"
#include "pnp.h"

#include <wmistr.h>

#include <cstddef>
#include <cstring>

using namespace host;

namespace {

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

ULONG align8(ULONG v) {
    return (v + 7) & ~7u;
}

// A request buffer of one instance (WNODE_SINGLE_INSTANCE or
// WNODE_SINGLE_ITEM): the header, the instance and the data block's offset
// filled in, `room` bytes of data after it.
template <class Node>
std::vector<uint8_t> singleNode(const GUID& guid, ULONG flags, ULONG instanceIndex, ULONG room, Node** node) {
    ULONG dataOffset = align8(ULONG(sizeof(Node)));
    std::vector<uint8_t> buffer(dataOffset + room);
    auto* wnode = reinterpret_cast<Node*>(buffer.data());
    wnode->WnodeHeader.BufferSize = ULONG(buffer.size());
    wnode->WnodeHeader.Guid = guid;
    wnode->WnodeHeader.Flags = flags | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    wnode->InstanceIndex = instanceIndex;
    wnode->DataBlockOffset = dataOffset;
    *node = wnode;
    return buffer;
}

NTSTATUS completeWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Where the data of a query for all instances starts: after the offset and
// length pairs of every instance.
ULONG allDataOffset(ULONG instanceCount) {
    return align8(ULONG(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength)) +
                  instanceCount * ULONG(sizeof(OFFSETINSTANCEDATAANDLENGTH)));
}

// A WNODE block whose data did not fit becomes a WNODE_TOO_SMALL naming the
// size needed; the request itself succeeds.
ULONG_PTR tooSmall(PUCHAR buffer, ULONG needed) {
    auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
    small->SizeNeeded = needed;
    small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
    small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
    return sizeof(WNODE_TOO_SMALL);
}

struct SentWait {
    KEVENT done;
};

IO_COMPLETION_ROUTINE wmiIrpDone;

NTSTATUS wmiIrpDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(&static_cast<SentWait*>(context)->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The registration record of a provider's blocks.
NTSTATUS buildRegInfo(PWMILIB_CONTEXT ctx, PDEVICE_OBJECT device, PIO_STACK_LOCATION sp, ULONG_PTR* information) {
    ULONG flags = 0;
    UNICODE_STRING instanceName{};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mof{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (ctx->QueryWmiRegInfo)
        status = callDriver(ctx->QueryWmiRegInfo, device, &flags, &instanceName, &registryPath, &mof, &pdo);
    if (instanceName.Buffer)
        ExFreePool(instanceName.Buffer);
    *information = 0;
    if (!NT_SUCCESS(status))
        return status;
    USHORT pathBytes = registryPath ? registryPath->Length : 0;
    ULONG pathOffset = ULONG(offsetof(WMIREGINFOW, WmiRegGuid)) + ctx->GuidCount * ULONG(sizeof(WMIREGGUIDW));
    ULONG mofOffset = pathOffset + sizeof(USHORT) + pathBytes;
    ULONG total = mofOffset + sizeof(USHORT) + mof.Length;
    auto* buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    if (sp->Parameters.WMI.BufferSize < total) {
        // Too small: the size needed goes into the first ULONG and the
        // service asks again.
        if (sp->Parameters.WMI.BufferSize >= sizeof(ULONG)) {
            *reinterpret_cast<PULONG>(buffer) = total;
            *information = sizeof(ULONG);
        }
        return STATUS_SUCCESS;
    }
    auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
    info->BufferSize = total;
    info->NextWmiRegInfo = 0;
    info->RegistryPath = pathOffset;
    info->MofResourceName = mofOffset;
    info->GuidCount = ctx->GuidCount;
    for (ULONG i = 0; i < ctx->GuidCount; ++i) {
        WMIREGGUIDW& g = info->WmiRegGuid[i];
        g.Guid = *ctx->GuidList[i].Guid;
        g.Flags = ctx->GuidList[i].Flags | (flags & (WMIREG_FLAG_INSTANCE_PDO | WMIREG_FLAG_EXPENSIVE));
        g.InstanceCount = ctx->GuidList[i].InstanceCount;
        g.Pdo = (g.Flags & WMIREG_FLAG_INSTANCE_PDO) ? ULONG_PTR(pdo) : 0;
    }
    *reinterpret_cast<PUSHORT>(buffer + pathOffset) = pathBytes;
    if (pathBytes)
        std::memcpy(buffer + pathOffset + sizeof(USHORT), registryPath->Buffer, pathBytes);
    *reinterpret_cast<PUSHORT>(buffer + mofOffset) = mof.Length;
    if (mof.Length)
        std::memcpy(buffer + mofOffset + sizeof(USHORT), mof.Buffer, mof.Length);
    *information = total;
    return STATUS_SUCCESS;
}

} // namespace

namespace host {

WmiManager::WmiManager(Machine& machine) : machine_(machine) {}

WmiManager::~WmiManager() = default;

NTSTATUS WmiManager::control(PDEVICE_OBJECT device, ULONG action) {
    std::lock_guard g(mutex_);
    switch (action) {
    case WMIREG_ACTION_REGISTER:
        // Registering again (a restarted device) renews the registration.
        if (!providers_.count(device))
            order_.push_back(device);
        providers_[device] = Provider{};
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (!providers_.erase(device))
            return STATUS_INVALID_PARAMETER;
        std::erase(order_, device);
        return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS: {
        auto it = providers_.find(device);
        if (it == providers_.end())
            return STATUS_INVALID_PARAMETER;
        it->second = Provider{};
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_SUCCESS;
    }
}

bool WmiManager::registered(PDEVICE_OBJECT device) {
    std::lock_guard g(mutex_);
    return providers_.count(device) != 0;
}

NTSTATUS WmiManager::send(PDEVICE_OBJECT provider, UCHAR minor, PVOID dataPath, std::vector<uint8_t>& buffer,
                          ULONG_PTR* information) {
    Machine::Attach attach(machine_, "WMI service");
    SentWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(provider);
    PIRP irp = machine_.io().allocateIrp(CCHAR(top->StackSize + 1), IoManager::IrpKind::Host, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, wmiIrpDone, &wait, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    sp->MinorFunction = minor;
    sp->Parameters.WMI.ProviderId = ULONG_PTR(provider);
    sp->Parameters.WMI.DataPath = dataPath;
    sp->Parameters.WMI.BufferSize = ULONG(buffer.size());
    sp->Parameters.WMI.Buffer = buffer.data();
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information)
        *information = irp->IoStatus.Information;
    machine_.io().freeIrp(irp);
    ObfDereferenceObject(top);
    return status;
}

NTSTATUS WmiManager::regInfo(PDEVICE_OBJECT provider, std::vector<uint8_t>* record) {
    std::vector<uint8_t> buffer(64);
    for (;;) {
        ULONG_PTR information = 0;
        NTSTATUS status = send(provider, IRP_MN_REGINFO_EX, reinterpret_cast<PVOID>(WMIREGISTER), buffer, &information);
        if (!NT_SUCCESS(status))
            return status;
        ULONG size = *reinterpret_cast<PULONG>(buffer.data());
        if (information == sizeof(ULONG) && size > buffer.size()) {
            buffer.assign(size, 0);
            continue;
        }
        buffer.resize(information);
        *record = std::move(buffer);
        return STATUS_SUCCESS;
    }
}

void WmiManager::learn(PDEVICE_OBJECT device) {
    {
        std::lock_guard g(mutex_);
        auto it = providers_.find(device);
        if (it == providers_.end() || it->second.known)
            return;
    }
    std::vector<uint8_t> record;
    Provider p;
    p.known = true;
    if (NT_SUCCESS(regInfo(device, &record)) && record.size() >= offsetof(WMIREGINFOW, WmiRegGuid)) {
        auto* info = reinterpret_cast<PWMIREGINFOW>(record.data());
        for (ULONG i = 0; i < info->GuidCount; ++i) {
            if (offsetof(WMIREGINFOW, WmiRegGuid) + (i + 1) * sizeof(WMIREGGUIDW) > record.size())
                break;
            const WMIREGGUIDW& g = info->WmiRegGuid[i];
            p.blocks.push_back(Block{g.Guid, g.Flags, g.InstanceCount, reinterpret_cast<PDEVICE_OBJECT>(g.Pdo)});
        }
    }
    std::lock_guard g(mutex_);
    auto it = providers_.find(device);
    if (it != providers_.end())
        it->second = std::move(p);
}

std::vector<std::u16string> WmiManager::instances(const GUID& guid) {
    std::vector<PDEVICE_OBJECT> order;
    {
        std::lock_guard g(mutex_);
        order = order_;
    }
    std::vector<std::u16string> names;
    for (PDEVICE_OBJECT device : order) {
        learn(device);
        std::vector<Block> blocks;
        {
            std::lock_guard g(mutex_);
            auto it = providers_.find(device);
            if (it == providers_.end())
                continue;
            blocks = it->second.blocks;
        }
        for (const Block& b : blocks) {
            if (!sameGuid(b.guid, guid))
                continue;
            std::u16string base;
            if ((b.flags & WMIREG_FLAG_INSTANCE_PDO) && b.pdo) {
                auto node = machine_.pnp().devNode(b.pdo);
                if (node)
                    base = node->description.instanceId;
            }
            for (ULONG i = 0; i < b.instanceCount; ++i)
                names.push_back(base + u"_" + fromUtf8(std::to_string(i)));
        }
    }
    return names;
}

bool WmiManager::resolve(const GUID& guid, const std::u16string& instance, PDEVICE_OBJECT* provider, ULONG* index) {
    std::vector<PDEVICE_OBJECT> order;
    {
        std::lock_guard g(mutex_);
        order = order_;
    }
    for (PDEVICE_OBJECT device : order) {
        learn(device);
        std::vector<Block> blocks;
        {
            std::lock_guard g(mutex_);
            auto it = providers_.find(device);
            if (it == providers_.end())
                continue;
            blocks = it->second.blocks;
        }
        for (const Block& b : blocks) {
            if (!sameGuid(b.guid, guid) || !(b.flags & WMIREG_FLAG_INSTANCE_PDO) || !b.pdo)
                continue;
            auto node = machine_.pnp().devNode(b.pdo);
            if (!node)
                continue;
            std::u16string prefix = node->description.instanceId + u"_";
            if (instance.compare(0, prefix.size(), prefix) != 0)
                continue;
            std::string rest = toUtf8(instance.substr(prefix.size()));
            if (rest.empty() || rest.find_first_not_of("0123456789") != std::string::npos)
                continue;
            ULONG i = ULONG(std::stoul(rest));
            if (i >= b.instanceCount)
                continue;
            *provider = device;
            *index = i;
            return true;
        }
    }
    return false;
}

NTSTATUS WmiManager::querySingle(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                                 std::vector<uint8_t>* data, ULONG room, ULONG* needed) {
    PWNODE_SINGLE_INSTANCE wnode;
    std::vector<uint8_t> buffer = singleNode(guid, WNODE_FLAG_SINGLE_INSTANCE, instanceIndex, room, &wnode);
    const ULONG dataOffset = wnode->DataBlockOffset;
    GUID path = guid;
    NTSTATUS status = send(provider, IRP_MN_QUERY_SINGLE_INSTANCE, &path, buffer);
    if (!NT_SUCCESS(status))
        return status;
    if (wnode->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL) {
        if (needed)
            *needed = reinterpret_cast<PWNODE_TOO_SMALL>(buffer.data())->SizeNeeded - dataOffset;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (data) {
        ULONG size = std::min<ULONG>(wnode->SizeDataBlock, room);
        data->assign(buffer.begin() + dataOffset, buffer.begin() + dataOffset + size);
    }
    return status;
}

NTSTATUS WmiManager::setSingle(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex,
                               const std::vector<uint8_t>& data) {
    PWNODE_SINGLE_INSTANCE wnode;
    std::vector<uint8_t> buffer =
        singleNode(guid, WNODE_FLAG_SINGLE_INSTANCE, instanceIndex, ULONG(data.size()), &wnode);
    wnode->SizeDataBlock = ULONG(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + wnode->DataBlockOffset);
    GUID path = guid;
    return send(provider, IRP_MN_CHANGE_SINGLE_INSTANCE, &path, buffer);
}

NTSTATUS WmiManager::setSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG instanceIndex, ULONG itemId,
                                   const std::vector<uint8_t>& data) {
    PWNODE_SINGLE_ITEM wnode;
    std::vector<uint8_t> buffer = singleNode(guid, WNODE_FLAG_SINGLE_ITEM, instanceIndex, ULONG(data.size()), &wnode);
    wnode->ItemId = itemId;
    wnode->SizeDataItem = ULONG(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + wnode->DataBlockOffset);
    GUID path = guid;
    return send(provider, IRP_MN_CHANGE_SINGLE_ITEM, &path, buffer);
}

NTSTATUS WmiManager::query(const GUID& guid, const std::u16string& instance, std::vector<uint8_t>* data, ULONG room,
                           ULONG* needed) {
    PDEVICE_OBJECT provider;
    ULONG index;
    if (!resolve(guid, instance, &provider, &index))
        return instances(guid).empty() ? STATUS_WMI_GUID_NOT_FOUND : STATUS_WMI_INSTANCE_NOT_FOUND;
    return querySingle(provider, guid, index, data, room, needed);
}

NTSTATUS WmiManager::set(const GUID& guid, const std::u16string& instance, const std::vector<uint8_t>& data) {
    PDEVICE_OBJECT provider;
    ULONG index;
    if (!resolve(guid, instance, &provider, &index))
        return instances(guid).empty() ? STATUS_WMI_GUID_NOT_FOUND : STATUS_WMI_INSTANCE_NOT_FOUND;
    return setSingle(provider, guid, index, data);
}

NTSTATUS WmiManager::setItem(const GUID& guid, const std::u16string& instance, ULONG itemId,
                             const std::vector<uint8_t>& data) {
    PDEVICE_OBJECT provider;
    ULONG index;
    if (!resolve(guid, instance, &provider, &index))
        return instances(guid).empty() ? STATUS_WMI_GUID_NOT_FOUND : STATUS_WMI_INSTANCE_NOT_FOUND;
    return setSingleItem(provider, guid, index, itemId, data);
}

} // namespace host

EXTERN_C_START

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    return machineOf("IoWMIRegistrationControl").wmi().control(DeviceObject, Action);
}

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    machineOf("WmiSystemControl");
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    if (sp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    UCHAR minor = sp->MinorFunction;
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
        // Left for the driver to complete.
        *IrpDisposition = IrpNotCompleted;
        ULONG_PTR information = 0;
        NTSTATUS status = buildRegInfo(WmiLibInfo, DeviceObject, sp, &information);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = information;
        return status;
    }
    *IrpDisposition = IrpProcessed;
    auto* buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    ULONG size = sp->Parameters.WMI.BufferSize;
    if (!buffer || size < sizeof(WNODE_HEADER))
        return completeWith(Irp, STATUS_INVALID_PARAMETER, 0);
    auto* header = reinterpret_cast<PWNODE_HEADER>(buffer);
    ULONG index = 0;
    while (index < WmiLibInfo->GuidCount && !sameGuid(*WmiLibInfo->GuidList[index].Guid, header->Guid))
        ++index;
    if (index == WmiLibInfo->GuidCount)
        return completeWith(Irp, STATUS_WMI_GUID_NOT_FOUND, 0);

    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        if (!WmiLibInfo->QueryWmiDataBlock)
            break;
        auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        ULONG count = WmiLibInfo->GuidList[index].InstanceCount;
        ULONG dataOffset = allDataOffset(count);
        wnode->InstanceCount = count;
        wnode->DataBlockOffset = dataOffset;
        // The lengths go where the offset and length pairs will be.
        PULONG lengths = size >= dataOffset ? reinterpret_cast<PULONG>(&wnode->OffsetInstanceDataAndLength[0]) : nullptr;
        ULONG avail = size > dataOffset ? size - dataOffset : 0;
        return callDriver(WmiLibInfo->QueryWmiDataBlock, DeviceObject, Irp, index, ULONG(0), count, lengths, avail,
                          avail ? buffer + dataOffset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        if (!WmiLibInfo->QueryWmiDataBlock || size < sizeof(WNODE_SINGLE_INSTANCE))
            break;
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        ULONG offset = wnode->DataBlockOffset;
        ULONG avail = size > offset ? size - offset : 0;
        return callDriver(WmiLibInfo->QueryWmiDataBlock, DeviceObject, Irp, index, wnode->InstanceIndex, ULONG(1),
                          &wnode->SizeDataBlock, avail, avail ? buffer + offset : nullptr);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        if (!WmiLibInfo->SetWmiDataBlock || size < sizeof(WNODE_SINGLE_INSTANCE))
            break;
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (wnode->DataBlockOffset > size || wnode->SizeDataBlock > size - wnode->DataBlockOffset)
            return completeWith(Irp, STATUS_INVALID_PARAMETER, 0);
        return callDriver(WmiLibInfo->SetWmiDataBlock, DeviceObject, Irp, index, wnode->InstanceIndex,
                          wnode->SizeDataBlock, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        if (!WmiLibInfo->SetWmiDataItem || size < sizeof(WNODE_SINGLE_ITEM))
            break;
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (wnode->DataBlockOffset > size || wnode->SizeDataItem > size - wnode->DataBlockOffset)
            return completeWith(Irp, STATUS_INVALID_PARAMETER, 0);
        return callDriver(WmiLibInfo->SetWmiDataItem, DeviceObject, Irp, index, wnode->InstanceIndex, wnode->ItemId,
                          wnode->SizeDataItem, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        if (!WmiLibInfo->ExecuteWmiMethod || size < sizeof(WNODE_METHOD_ITEM))
            break;
        auto* wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        if (wnode->DataBlockOffset > size)
            return completeWith(Irp, STATUS_INVALID_PARAMETER, 0);
        return callDriver(WmiLibInfo->ExecuteWmiMethod, DeviceObject, Irp, index, wnode->InstanceIndex,
                          wnode->MethodId, wnode->SizeDataBlock, ULONG(size - wnode->DataBlockOffset),
                          buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
    case IRP_MN_ENABLE_COLLECTION:
    case IRP_MN_DISABLE_COLLECTION:
        if (!WmiLibInfo->WmiFunctionControl)
            return completeWith(Irp, STATUS_SUCCESS, 0);
        return callDriver(
            WmiLibInfo->WmiFunctionControl, DeviceObject, Irp, index,
            minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS ? WmiEventControl : WmiDataBlockControl,
            BOOLEAN(minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION));
    default:
        break;
    }
    return completeWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = static_cast<PUCHAR>(sp->Parameters.WMI.Buffer);
    ULONG_PTR information = 0;
    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ALL_DATA: {
        auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
        ULONG offset = wnode->DataBlockOffset;
        if (Status == STATUS_BUFFER_TOO_SMALL) {
            information = tooSmall(buffer, offset + BufferUsed);
            Status = STATUS_SUCCESS;
        } else if (NT_SUCCESS(Status)) {
            // The lengths the driver wrote become offset and length pairs.
            ULONG count = wnode->InstanceCount;
            std::vector<ULONG> lengths(reinterpret_cast<PULONG>(&wnode->OffsetInstanceDataAndLength[0]),
                                       reinterpret_cast<PULONG>(&wnode->OffsetInstanceDataAndLength[0]) + count);
            ULONG at = offset;
            for (ULONG i = 0; i < count; ++i) {
                wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = at;
                wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
                at = align8(at + lengths[i]);
            }
            wnode->WnodeHeader.BufferSize = offset + BufferUsed;
            information = offset + BufferUsed;
        }
        break;
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_EXECUTE_METHOD: {
        auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        ULONG offset = wnode->DataBlockOffset;
        if (Status == STATUS_BUFFER_TOO_SMALL) {
            information = tooSmall(buffer, offset + BufferUsed);
            Status = STATUS_SUCCESS;
        } else if (NT_SUCCESS(Status)) {
            wnode->SizeDataBlock = BufferUsed;
            wnode->WnodeHeader.BufferSize = offset + BufferUsed;
            information = offset + BufferUsed;
        }
        break;
    }
    default:
        break;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

NTSTATUS NTAPI WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex, ULONG EventDataSize,
                            PVOID EventData) {
    if (EventData)
        ExFreePool(EventData);
    return STATUS_SUCCESS;
}

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    Machine& m = machineOf("ExAcquireFastMutex");
    m.dispatcher().mutexWanted(currentThread(), FastMutex, Dispatcher::LockKind::FastMutex, "ExAcquireFastMutex");
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        FastMutex->Contention++;
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, nullptr);
    }
    FastMutex->Owner = KeGetCurrentThread();
    FastMutex->OldIrql = old;
    m.dispatcher().mutexTaken(currentThread(), FastMutex);
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    Machine& m = machineOf("ExReleaseFastMutex");
    if (FastMutex->Owner != KeGetCurrentThread())
        m.verifier().report("ExReleaseFastMutex: the fast mutex is not owned by the calling thread");
    KIRQL old = KIRQL(FastMutex->OldIrql);
    FastMutex->Owner = nullptr;
    m.dispatcher().mutexGivenBack(currentThread(), FastMutex);
    if (InterlockedIncrement(&FastMutex->Count) != 1)
        KeSetEvent(&FastMutex->Event, IO_NO_INCREMENT, FALSE);
    KfLowerIrql(old);
}

EXTERN_C_END
