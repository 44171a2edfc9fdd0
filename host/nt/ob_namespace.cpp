// Object manager: the namespace of device names and symbolic links, the
// handle table and the reference counts of the kernel objects the host
// creates (threads, device objects, file objects).

#include "kernel.h"

namespace host {

struct _OBJECT_TYPE ObjectTypeThread{"Thread"}, ObjectTypeFile{"File"}, ObjectTypeDevice{"Device"},
    ObjectTypeEvent{"Event"}, ObjectTypeDriver{"Driver"};

std::u16string ObjectManager::normalize(const std::u16string& path) {
    std::u16string p = path;
    for (const char16_t* alias : {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\DosDevices", u"\\GLOBAL??"}) {
        std::u16string a(alias);
        if (startsWithNoCase(p, a)) {
            p = (a.back() == u'\\' ? u"\\??\\" : u"\\??") + p.substr(a.size());
            break;
        }
    }
    return p;
}

NTSTATUS ObjectManager::insertDevice(const std::u16string& name, PDEVICE_OBJECT device) {
    std::lock_guard g(mutex_);
    auto key = upcased(normalize(name));
    if (names_.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    names_[key] = Entry{device, {}, false};
    return STATUS_SUCCESS;
}

void ObjectManager::removeDevice(const std::u16string& name) {
    std::lock_guard g(mutex_);
    names_.erase(upcased(normalize(name)));
}

NTSTATUS ObjectManager::createLink(const std::u16string& link, const std::u16string& target) {
    std::lock_guard g(mutex_);
    auto key = upcased(normalize(link));
    if (names_.count(key))
        return STATUS_OBJECT_NAME_COLLISION;
    names_[key] = Entry{nullptr, target, true};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::deleteLink(const std::u16string& link) {
    std::lock_guard g(mutex_);
    auto it = names_.find(upcased(normalize(link)));
    if (it == names_.end() || !it->second.isLink)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    names_.erase(it);
    return STATUS_SUCCESS;
}

std::optional<std::u16string> ObjectManager::linkTarget(const std::u16string& link) {
    std::lock_guard g(mutex_);
    auto it = names_.find(upcased(normalize(link)));
    if (it == names_.end() || !it->second.isLink)
        return std::nullopt;
    return it->second.linkTarget;
}

PDEVICE_OBJECT ObjectManager::resolveDevice(const std::u16string& path, std::u16string* remainder) {
    std::lock_guard g(mutex_);
    std::u16string p = normalize(path);
    for (int depth = 0; depth < 32; ++depth) {
        // The longest name that is a prefix of the path at a separator.
        std::u16string up = upcased(p);
        const Entry* found = nullptr;
        size_t foundLen = 0;
        for (size_t len = up.size(); len > 0; --len) {
            if (len != up.size() && up[len] != u'\\')
                continue;
            auto it = names_.find(up.substr(0, len));
            if (it != names_.end()) {
                found = &it->second;
                foundLen = len;
                break;
            }
        }
        if (!found)
            return nullptr;
        std::u16string rest = p.substr(foundLen);
        if (!found->isLink) {
            if (remainder)
                *remainder = rest;
            return found->device;
        }
        p = normalize(found->linkTarget + rest);
    }
    return nullptr;
}

std::vector<std::u16string> ObjectManager::names(const std::u16string& directoryPrefix) {
    std::lock_guard g(mutex_);
    std::vector<std::u16string> out;
    auto prefix = upcased(normalize(directoryPrefix));
    for (auto& [k, _] : names_)
        if (k.compare(0, prefix.size(), prefix) == 0)
            out.push_back(k);
    return out;
}

HANDLE ObjectManager::insertHandle(HandleEntry entry) {
    std::lock_guard g(mutex_);
    uintptr_t h = nextHandle_;
    nextHandle_ += 4;
    handles_[h] = std::move(entry);
    return reinterpret_cast<HANDLE>(0xFFFFFFFF80000000ull | h);
}

std::optional<ObjectManager::HandleEntry> ObjectManager::lookupHandle(HANDLE handle) {
    std::lock_guard g(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle) & 0x7FFFFFFF);
    if (it == handles_.end() || (reinterpret_cast<uintptr_t>(handle) & ~uintptr_t(0x7FFFFFFF)) != 0xFFFFFFFF80000000ull)
        return std::nullopt;
    return it->second;
}

std::optional<ObjectManager::HandleEntry> ObjectManager::removeHandle(HANDLE handle) {
    std::lock_guard g(mutex_);
    if ((reinterpret_cast<uintptr_t>(handle) & ~uintptr_t(0x7FFFFFFF)) != 0xFFFFFFFF80000000ull)
        return std::nullopt;
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle) & 0x7FFFFFFF);
    if (it == handles_.end())
        return std::nullopt;
    auto e = std::move(it->second);
    handles_.erase(it);
    return e;
}

size_t ObjectManager::handleCount() {
    std::lock_guard g(mutex_);
    return handles_.size();
}

void ObjectManager::registerObject(void* object, POBJECT_TYPE type, LONG references,
                                   std::function<void()> onLastReference) {
    std::lock_guard g(mutex_);
    objects_[object] = ObjectRec{type, references, std::move(onLastReference)};
}

LONG_PTR ObjectManager::reference(void* object, const char* call) {
    std::unique_lock lk(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end()) {
        lk.unlock();
        machine_.verifier().report(std::string(call) + ": not a referenced kernel object");
        return 0;
    }
    return ++it->second.references;
}

LONG_PTR ObjectManager::dereference(void* object, const char* call) {
    std::unique_lock lk(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end()) {
        lk.unlock();
        machine_.verifier().report(std::string(call) + ": not a referenced kernel object (dereferenced too often?)");
        return 0;
    }
    LONG left = --it->second.references;
    if (left == 0) {
        auto last = std::move(it->second.onLastReference);
        objects_.erase(it);
        lk.unlock();
        if (last)
            last();
    }
    return left;
}

bool ObjectManager::isRegistered(void* object) {
    std::lock_guard g(mutex_);
    return objects_.count(object) != 0;
}

POBJECT_TYPE ObjectManager::typeOf(void* object) {
    std::lock_guard g(mutex_);
    auto it = objects_.find(object);
    return it == objects_.end() ? nullptr : it->second.type;
}

} // namespace host

using namespace host;

static POBJECT_TYPE threadType = &ObjectTypeThread;
static POBJECT_TYPE fileType = &ObjectTypeFile;
static POBJECT_TYPE eventType = &ObjectTypeEvent;
static POBJECT_TYPE deviceType = &ObjectTypeDevice;

EXTERN_C_START

POBJECT_TYPE* PsThreadType = &threadType;
POBJECT_TYPE* IoFileObjectType = &fileType;
POBJECT_TYPE* ExEventObjectType = &eventType;
POBJECT_TYPE* IoDeviceObjectType = &deviceType;

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    Machine& m = machineOf("IoCreateSymbolicLink");
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report("IoCreateSymbolicLink at IRQL " + std::to_string(currentThread()->irql));
    if (!SymbolicLinkName || !DeviceName)
        return STATUS_INVALID_PARAMETER;
    return m.objects().createLink(fromUnicodeString(SymbolicLinkName), fromUnicodeString(DeviceName));
}

NTSTATUS NTAPI IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return IoCreateSymbolicLink(SymbolicLinkName, DeviceName);
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    Machine& m = machineOf("IoDeleteSymbolicLink");
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report("IoDeleteSymbolicLink at IRQL " + std::to_string(currentThread()->irql));
    if (!SymbolicLinkName)
        return STATUS_INVALID_PARAMETER;
    return m.objects().deleteLink(fromUnicodeString(SymbolicLinkName));
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    return machineOf("ObReferenceObject").objects().reference(Object, "ObReferenceObject");
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    return machineOf("ObDereferenceObject").objects().dereference(Object, "ObDereferenceObject");
}

NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                          KPROCESSOR_MODE AccessMode) {
    Machine& m = machineOf("ObReferenceObjectByPointer");
    if (ObjectType && m.objects().typeOf(Object) != ObjectType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    m.objects().reference(Object, "ObReferenceObjectByPointer");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
    Machine& m = machineOf("ObReferenceObjectByHandle");
    if (!Object)
        return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    void* object = nullptr;
    if (Handle == NtCurrentThread()) {
        object = &currentThread()->kthread;
    } else {
        auto e = m.objects().lookupHandle(Handle);
        if (!e)
            return STATUS_INVALID_HANDLE;
        object = e->object;
        if (!object)
            return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (ObjectType && m.objects().typeOf(object) != ObjectType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    m.objects().reference(object, "ObReferenceObjectByHandle");
    *Object = object;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    Machine& m = machineOf("ZwClose");
    if (currentThread()->irql != PASSIVE_LEVEL)
        m.verifier().report("ZwClose at IRQL " + std::to_string(currentThread()->irql));
    auto e = m.objects().removeHandle(Handle);
    if (!e) {
        char buf[40];
        snprintf(buf, sizeof buf, "%p", Handle);
        m.verifier().report(std::string("ZwClose of ") + buf + ", which is not an open handle");
        return STATUS_INVALID_HANDLE;
    }
    switch (e->kind) {
    case ObjectManager::HandleEntry::Thread:
        m.objects().dereference(e->object, "ZwClose");
        break;
    case ObjectManager::HandleEntry::File:
        m.io().closeFileObject(static_cast<PFILE_OBJECT>(e->object));
        break;
    default:
        break;   // keys and host files go with their last shared reference
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtClose(HANDLE Handle) {
    return ZwClose(Handle);
}

EXTERN_C_END
