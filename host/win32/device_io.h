// The native layer under kernel32's device I/O: what NtCreateFile,
// NtReadFile, NtWriteFile, NtDeviceIoControlFile, NtFlushBuffersFile,
// NtCancelIoFile(Ex), NtClose and the event and wait calls do for a Win32
// program on the simulated machine. Files are opened on devices through the
// machine's I/O manager, requests are IRPs sent to the device's stack, and
// every wait blocks in the machine's dispatcher (so the virtual clock moves
// only while every machine thread waits).
//
// Statuses are NTSTATUS values (int32_t here); the Win32 functions turn them
// into last errors with RtlNtStatusToDosError. This header uses only the
// standard library, so the Win32 functions include it next to <windows.h>.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system.h"

namespace host::win32 {

// The platform's I/O status block, and the start of an OVERLAPPED (Internal =
// the status, InternalHigh = the bytes transferred).
struct StatusBlock {
    uintptr_t status;
    uintptr_t information;
};

// A kernel event: CreateEvent's object.
class EventObject : public HandleObject {
public:
    EventObject(bool manualReset, bool initialState);
    ~EventObject() override;
    void set();
    void reset();
    bool signalled() const;
    void* dispatcherObject() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A kernel mutex: CreateMutex's object. The thread whose wait acquires it
// owns it until it releases it as often as it acquired it; a thread that
// ends owning it leaves it abandoned (the next wait that takes it hears
// WAIT_ABANDONED).
class MutexObject : public HandleObject {
public:
    explicit MutexObject(bool initialOwner);
    ~MutexObject() override;
    // ReleaseMutex: false (and nothing changes) when the calling thread does
    // not own it.
    bool release();
    void* dispatcherObject() override;
    // The ending thread gives the mutex up, abandoned, if it owns it.
    void threadEnding() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The major functions the Win32 device calls send.
enum class DeviceMajor : uint8_t { Read = 0x03, Write = 0x04, FlushBuffers = 0x09, DeviceControl = 0x0e };

// A file object opened on a device (CreateFile on \\.\COM3).
class DeviceHandle : public HandleObject {
public:
    // NtCreateFile on an NT path ("\??\COM3"). `overlapped`: the handle's
    // requests run asynchronously (FILE_FLAG_OVERLAPPED); otherwise the file
    // object is synchronous: one request at a time, each waited for.
    static int32_t open(System& system, const std::u16string& ntPath, uint32_t access, uint32_t disposition,
                        uint32_t shareAccess, bool overlapped, std::shared_ptr<DeviceHandle>* out);
    ~DeviceHandle() override;

    bool overlapped() const { return overlapped_; }
    // The device's FILE_DEVICE_* type.
    uint32_t deviceType() const;
    // The file object's event, set when a request without an event of its
    // own completes (what waiting on a file handle waits for).
    void* dispatcherObject() override;

    struct Request {
        DeviceMajor major = DeviceMajor::Read;
        uint32_t code = 0;              // device controls
        const void* input = nullptr;
        uint32_t inputLength = 0;
        void* output = nullptr;
        uint32_t outputLength = 0;
        // Reset when the request starts and set when it completes; without
        // one the file object's event is used.
        std::shared_ptr<EventObject> event;
        // Written when the request completes (not when it fails at once).
        StatusBlock* statusBlock = nullptr;
        // The OVERLAPPED the request belongs to (CancelIoEx finds it by this).
        const void* overlapped = nullptr;
    };
    // Sends a request. A synchronous handle waits for it and returns its
    // final status (the status block is then filled too); an overlapped one
    // returns what the driver returned: STATUS_PENDING while it runs.
    int32_t call(const Request& request);

    // NtCancelIoFile: cancels the calling thread's requests on this handle
    // and waits until they are done.
    void cancelThreadRequests();
    // NtCancelIoFileEx: cancels the requests started with `overlapped` (all
    // of the handle's with null); false when there was none in flight.
    bool cancelRequests(const void* overlapped);

    // CloseHandle: IRP_MJ_CLEANUP, then (once every request of the file has
    // come back) IRP_MJ_CLOSE.
    void closed() override;
    void threadEnding() override { cancelThreadRequests(); }
    void waitReleased() override;

private:
    struct Impl;
    struct InFlight;
    DeviceHandle() = default;
    std::vector<std::shared_ptr<InFlight>> takeRequests(bool (*match)(const InFlight&, const void*), const void* key);
    void prune();

    System* system_ = nullptr;
    bool overlapped_ = false;
    std::shared_ptr<Impl> impl_;   // shared with the completions of its requests
    std::mutex mutex_;
    std::vector<std::shared_ptr<InFlight>> inFlight_;
};

// Waits for dispatcher objects (WaitForSingleObject / WaitForMultipleObjects):
// the index of the object that satisfied a wait for any, 0 for a wait for
// all, nullopt when `milliseconds` passed first. `abandoned` (when given)
// tells whether the wait took a mutex its owner left abandoned.
std::optional<size_t> waitForObjects(const std::vector<void*>& objects, bool all,
                                     std::optional<uint32_t> milliseconds, bool* abandoned = nullptr);

// Atomic access to the status word of an OVERLAPPED that a completion on
// another thread writes.
inline uintptr_t loadStatus(const StatusBlock* block) {
    return __atomic_load_n(&block->status, __ATOMIC_ACQUIRE);
}

} // namespace host::win32
