// Internal interfaces of the kernel stand-in: the component classes a
// Machine owns and the per-thread record. Only host/nt and host/usb include
// this; drivers see the platform headers alone.
#pragma once

#include <wdm.h>
#include <wmilib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <chrono>
#include <functional>
#include <vector>

#include "machine.h"
#include "strings.h"
#include "cm_registry.h"
#include "fs_files.h"
#include "io_manager.h"
#include "pnp.h"
#include "mm_image.h"

// The kernel's thread object. Waitable: the header is signalled at exit.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    host::ThreadRec* Rec;
};
typedef struct _KTHREAD KTHREAD;

namespace host {

// Dispatcher object types kept in DISPATCHER_HEADER.Type.
enum : UCHAR {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
};

// Thrown by PsTerminateSystemThread (and at shutdown into a thread that was
// never told to end) and caught by the thread's start trampoline.
struct ThreadExit {
    NTSTATUS status;
};

// The spin locks a thread holds, in acquisition order. Only the thread itself
// changes the list; other threads (the verifier's check of memory that goes
// away) may read it at any time, so the entries are atomics, written and read
// relaxed: that costs no more than plain stores and loads.
class HeldSpinLocks {
public:
    static constexpr unsigned kCapacity = 32;
    bool empty() const { return count_.load(std::memory_order_relaxed) == 0; }
    unsigned size() const { return count_.load(std::memory_order_relaxed); }
    PKSPIN_LOCK operator[](unsigned i) const { return locks_[i].load(std::memory_order_relaxed); }
    // False when kCapacity locks are held already (the lock is then not listed).
    bool push(PKSPIN_LOCK l) {
        unsigned n = size();
        if (n == kCapacity)
            return false;
        locks_[n].store(l, std::memory_order_relaxed);
        count_.store(n + 1, std::memory_order_relaxed);
        return true;
    }
    // Removes the latest entry for l.
    void remove(PKSPIN_LOCK l) {
        unsigned n = size();
        for (unsigned i = n; i > 0; --i) {
            if ((*this)[i - 1] != l)
                continue;
            for (unsigned j = i; j < n; ++j)
                locks_[j - 1].store((*this)[j], std::memory_order_relaxed);
            count_.store(n - 1, std::memory_order_relaxed);
            return;
        }
    }
    void clear() { count_.store(0, std::memory_order_relaxed); }

private:
    std::atomic<PKSPIN_LOCK> locks_[kCapacity]{};
    std::atomic<unsigned> count_{0};
};

// One host thread attached to a machine.
struct ThreadRec {
    KTHREAD kthread{};
    Machine* machine = nullptr;
    std::string name;
    KIRQL irql = PASSIVE_LEVEL;
    bool system = false;            // created by PsCreateSystemThread
    PKSTART_ROUTINE startRoutine = nullptr;
    PVOID startContext = nullptr;
    HANDLE id = nullptr;            // thread id (PsGetCurrentThreadId)

    // Wait state, guarded by the dispatcher lock.
    bool blocked = false;
    std::optional<uint64_t> deadline;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    PKWAIT_BLOCK waitBlocks = nullptr;
    ULONG waitCount = 0;
    WAIT_TYPE waitType = WaitAny;
    bool genericWait = false;       // waiting for a condition (spin lock, DPC flush, ...)
    const void* conditionKey = nullptr;   // what that condition reads
    bool killRequested = false;     // shutdown: leave the next wait with ThreadExit
    bool outside = false;           // waiting outside the machine (Machine::Outside)
    KWAIT_BLOCK ownBlocks[THREAD_WAIT_OBJECTS + 1]{};
    std::condition_variable cv;

    // Spin locks held, in acquisition order.
    HeldSpinLocks heldSpinLocks;
    // Kernel and fast mutexes held, in acquisition order (dispatcher lock).
    std::vector<const void*> heldMutexes;
    ImageGuard* guard = nullptr;    // innermost call into image code (mm_image.h)
    // A system thread whose start routine lies in an image holds that image
    // from its creation until its first call into it (mm_image.h).
    const PeImage* startImage = nullptr;
    int criticalRegion = 0;
    bool exited = false;
};

// The calling thread's record (null when not attached).
ThreadRec* currentThread();
void setCurrentThread(ThreadRec* rec);
// The calling thread's machine; reports and aborts when the thread is not attached.
Machine& machineOf(const char* call);

class Verifier {
public:
    explicit Verifier(std::function<void(const std::string&)> handler);
    // Reports a violation: `what` names the call and the fault.
    void report(const std::string& what);
    unsigned count() const { return count_.load(); }
private:
    std::function<void(const std::string&)> handler_;
    std::mutex mutex_;
    std::atomic<unsigned> count_{0};
};

// The dispatcher: waits and signals, IRQL and spin locks, the clock, timers,
// DPCs and model events. One lock guards all of it, as in NT.
class Dispatcher {
public:
    // Virtual (neither), free-running real time, or paced real time (see
    // MachineOptions).
    Dispatcher(Machine& machine, bool realTime, bool paced, double scale);
    ~Dispatcher();

    std::mutex lock;

    // Threads.
    void attach(ThreadRec* rec, bool countAsRunning = true);
    void detach(ThreadRec* rec);
    void threadExited(ThreadRec* rec);       // signals the thread object, leaves the machine
    // Runs `body` on a new host thread. The thread is joined once it has
    // finished (at the next start) or when the dispatcher goes away, so a
    // long-lived machine does not keep every thread it ever ran.
    void startHostThread(std::function<void()> body);
    size_t hostThreadCount() { std::lock_guard g(lock); return hostThreads_.size(); }
    void joinHostThreads();
    void beginShutdown() { std::lock_guard g(lock); shuttingDown_ = true; }
    bool shuttingDown() { std::lock_guard g(lock); return shuttingDown_; }
    ThreadRec* createThreadRecord(std::string name);
    void startDpcThread();
    void stopDpcThread();
    // A thread waits outside the machine (a pty, a socket, a signal): it
    // holds the clock no longer, as if it waited in the dispatcher, until it
    // comes back (paced: machine time catches up with the host's meanwhile).
    void leaveForOutside(ThreadRec* t);
    void returnFromOutside(ThreadRec* t);
    std::vector<ThreadRec*> threadsSnapshot();
    // Makes every driver-created thread still alive leave its next wait; returns their names.
    std::vector<std::string> endDriverThreads();

    // Clock (100 ns).
    uint64_t now();
    uint64_t nowLocked();
    uint64_t deadlineFrom(LONGLONG dueTime);   // negative relative, positive absolute system time
    static constexpr uint64_t kBootSystemTime = 133000000000000000ull;  // 2022-06-17, 100 ns since 1601

    // Waiting.
    NTSTATUS waitForObjects(ThreadRec* t, ULONG count, PVOID objects[], WAIT_TYPE type,
                            PLARGE_INTEGER timeout, PKWAIT_BLOCK blocks, const char* call);
    void delay(ThreadRec* t, uint64_t deadline);
    // Blocks the caller until pred() holds, re-checking after every
    // notifyConditions(key) for the same key (the address of what pred()
    // reads) and after every notifyConditions() without one.
    template <class Pred>
    void waitCondition(std::unique_lock<std::mutex>& lk, ThreadRec* t, const void* key, Pred pred) {
        while (!pred()) {
            t->genericWait = true;
            t->conditionKey = key;
            block(lk, t, std::nullopt);
            t->genericWait = false;
            t->conditionKey = nullptr;
        }
    }
    // Wakes the threads waiting for a condition on `key` (all of them when
    // key is null) to re-check it. Under the lock.
    void notifyConditions(const void* key = nullptr);

    // Objects (under the lock).
    void signalled(DISPATCHER_HEADER* header);
    LONG setEvent(PRKEVENT event);
    LONG releaseMutex(ThreadRec* t, PRKMUTEX mutex, const char* call);

    // Spin locks. The lock word holds its owner's ThreadRec (0 when free) and
    // is taken and given back by compare-and-swap; the dispatcher lock is
    // needed only when the lock is busy or the thread already holds another
    // (for the order bookkeeping).
    void acquireSpinLock(ThreadRec* t, PKSPIN_LOCK lock, const char* call);
    bool tryAcquireSpinLock(ThreadRec* t, PKSPIN_LOCK lock);
    void releaseSpinLock(ThreadRec* t, PKSPIN_LOCK lock, const char* call);
    static KSPIN_LOCK spinLockOwner(PKSPIN_LOCK lock);   // 0 when free
    void forgetLocksIn(const void* begin, size_t size);

    // Kernel and fast mutexes in the lock order with the spin locks: one
    // wanted by a thread that holds others adds the edges (and reports an
    // inversion) before it is waited for; one taken or given back changes
    // what the thread holds. Under the lock for the "Locked" forms.
    enum class LockKind { SpinLock, Mutex, FastMutex };
    void mutexWanted(ThreadRec* t, const void* mutex, LockKind kind, const char* call);
    void mutexTaken(ThreadRec* t, const void* mutex);
    void mutexGivenBack(ThreadRec* t, const void* mutex);

    // Timers and DPCs.
    BOOLEAN setTimer(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc);
    BOOLEAN cancelTimer(PKTIMER timer);
    BOOLEAN insertDpc(PKDPC dpc, PVOID arg1, PVOID arg2);
    BOOLEAN removeDpc(PKDPC dpc);
    void flushDpcs(ThreadRec* t);
    void at(uint64_t when, std::function<void()> fn);

    // Checks for the verifier when memory goes away: set timers, queued DPCs,
    // objects being waited on inside [begin, begin + size).
    std::vector<std::string> liveObjectsIn(const void* begin, size_t size);

    bool realTime() const { return realTime_; }
    bool paced() const { return paced_; }
    // Paced: how far machine time has fallen behind the host's clock for
    // good (100 ns), each time the host could not keep up.
    uint64_t lag();

private:
    struct DpcItem {
        PKDPC dpc = nullptr;
        std::function<void()> fn;
    };

    void settleAfterLeaving(std::unique_lock<std::mutex>& lk);
    std::chrono::steady_clock::time_point realTimePoint(uint64_t when);
    // Paced: the host's clock in machine units (scaled, less the lag), the
    // furthest machine time may go.
    uint64_t hostNowLocked();
    // Every thread waits: may the clock move to the earliest deadline `e`
    // now? Virtual: yes. Paced: once the host's clock has reached it (a
    // host that is late by more than kMaxBehind lets machine time slip);
    // until then the pacer waits for it.
    bool mayAdvanceTo(uint64_t e);
    void pacerMain();
    void insertDpcLocked(PKDPC dpc, PVOID arg1, PVOID arg2, BOOLEAN* inserted);
    void removeTimerEntry(PKTIMER timer);

public:
    void block(std::unique_lock<std::mutex>& lk, ThreadRec* t, std::optional<uint64_t> deadline);
    void wake(ThreadRec* t);
    void unlinkWait(ThreadRec* t);

private:
    // Virtual mode, everyone waits: the clock moves to the earliest deadline.
    // The DPC thread is woken for the DPCs that fall due unless the caller
    // runs them itself.
    void advance(std::unique_lock<std::mutex>& lk, bool wakeDpcThread = true);
    void expireUpTo(uint64_t t, bool wakeDpcThread = true);
    // Runs the next queued DPC or model event in `rec`'s context (lock held,
    // released while it runs).
    void runDpcItem(std::unique_lock<std::mutex>& lk, ThreadRec* rec);
    // Runs every queued DPC on the calling thread, which waits below
    // DISPATCH_LEVEL, in the machine's DPC context.
    void runDpcsHere(std::unique_lock<std::mutex>& lk, ThreadRec* waiter);
    bool isDpcContext(const ThreadRec* t) const { return t == dpcThread_ || t == hereDpc_; }
    void expireTimer(PKTIMER timer);
    std::optional<uint64_t> earliestDeadline();
    bool isSignalledFor(DISPATCHER_HEADER* h, ThreadRec* t);
    NTSTATUS acquireObject(DISPATCHER_HEADER* h, ThreadRec* t);   // returns STATUS_ABANDONED when so
    bool trySatisfy(ThreadRec* t);
    void dpcThreadMain(ThreadRec* rec);
    void reportDeadlock(std::unique_lock<std::mutex>& lk);
    std::string describeWait(ThreadRec* t);
    // Adds the order edges from what t holds to `lock` (under the lock);
    // inversions go to `reports`.
    void noteLockOrder(ThreadRec* t, const void* lock, LockKind kind, const char* call,
                       std::vector<std::string>& reports);
    std::string lockText(const void* lock);

    Machine& machine_;
    bool realTime_;
    bool paced_;
    double scale_;
    uint64_t lag_ = 0;
    static constexpr uint64_t kMaxBehind = 20 * 10000;   // 20 ms
    std::condition_variable pacerCv_;   // the pacer waits on it, with the dispatcher lock
    bool pacerStop_ = false;
    std::chrono::steady_clock::time_point realStart_;
    uint64_t now_ = 0;
    int running_ = 0;
    std::vector<ThreadRec*> threads_;           // attached
    std::multimap<uint64_t, PKTIMER> timers_;
    std::multimap<uint64_t, std::function<void()>> events_;
    std::deque<DpcItem> dpcQueue_;
    ThreadRec* dpcThread_ = nullptr;
    ThreadRec* dpcRecord_ = nullptr;
    // The DPC context a waiting thread borrows to run the DPCs itself, and
    // whoever runs DPCs now (one at a time, as on one processor).
    ThreadRec* hereDpc_ = nullptr;
    ThreadRec* dpcRunner_ = nullptr;
    bool dpcStop_ = false;
    bool shuttingDown_ = false;
    uintptr_t nextThreadId_ = 0x1000;
    struct HostThread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;   // set as the body's last act
    };
    std::vector<HostThread> hostThreads_;
    std::set<std::pair<const void*, const void*>> lockOrder_;   // (held, then acquired)
    std::map<const void*, LockKind> lockKinds_;
    bool deadlockBroken_ = false;   // a deadlock was reported and its waits ended
    std::atomic<int> spinWaiters_{0};           // threads blocked for a busy spin lock
};

// Pool memory with tags, owners and fault injection.
class Pool {
public:
    explicit Pool(Machine& machine) : machine_(machine) {}
    PVOID allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller);
    void free(PVOID p, ULONG tag, bool checkTag, const char* call);
    // Fails the nth allocation from now (1 = the next one); 0 turns it off.
    void failNth(unsigned n);
    // Counts the allocations of the driver images whose file name contains
    // `image` from now on (the host's own are not counted, and never fail
    // here) and fails the `failAt`-th (0: none, only count); an empty name
    // stops it. imageAllocations() is the count so far.
    void watchImage(const std::string& image, unsigned failAt);
    unsigned imageAllocations();
    struct Block {
        SIZE_T size;
        ULONG tag;
        POOL_TYPE type;
        const void* owner;      // base of the image that allocated it
        std::string ownerName;
        uint64_t sequence;
    };
    std::vector<std::pair<PVOID, Block>> blocksOwnedBy(const void* imageBase);
    // The paged block that holds the byte at `address`, if any.
    std::optional<std::pair<PVOID, Block>> pagedBlockHolding(const void* address);
    // A paged block of a driver image that holds the pointer `value` in one
    // of its aligned words: where a driver may have read it from.
    std::optional<std::pair<PVOID, Block>> pagedBlockWithPointer(const void* value);
    // How a report names a block: "tag 'ZPrt', 64 bytes of Zephan_Port.so".
    static std::string describe(const Block& block);
    std::vector<std::pair<PVOID, Block>> allBlocks();
    size_t liveCount();
    static std::string tagText(ULONG tag);
private:
    Machine& machine_;
    std::mutex mutex_;
    std::map<PVOID, Block> blocks_;
    uint64_t sequence_ = 0;
    unsigned failCountdown_ = 0;
    std::string watchedImage_;
    unsigned watchedCount_ = 0;
    unsigned watchedFailAt_ = 0;
};

// The object namespace (\Device, \??), handles and object references.
class ObjectManager {
public:
    explicit ObjectManager(Machine& machine) : machine_(machine) {}

    // Namespace. Paths are case-insensitive; \DosDevices\ and \GLOBAL??\ are \??\.
    NTSTATUS insertDevice(const std::u16string& name, PDEVICE_OBJECT device);
    void removeDevice(const std::u16string& name);
    NTSTATUS createLink(const std::u16string& link, const std::u16string& target);
    NTSTATUS deleteLink(const std::u16string& link);
    std::optional<std::u16string> linkTarget(const std::u16string& link);
    // Follows links; returns the device a path names and what follows its name.
    PDEVICE_OBJECT resolveDevice(const std::u16string& path, std::u16string* remainder = nullptr);
    std::vector<std::u16string> names(const std::u16string& directoryPrefix);
    static std::u16string normalize(const std::u16string& path);

    // Handles.
    struct HandleEntry {
        enum Kind { Key, Thread, File, HostFile } kind;
        void* object = nullptr;                 // KTHREAD*, FILE_OBJECT*, ...
        std::shared_ptr<void> shared;           // registry key, host file
        ACCESS_MASK access = 0;
    };
    HANDLE insertHandle(HandleEntry entry);
    std::optional<HandleEntry> lookupHandle(HANDLE handle);
    std::optional<HandleEntry> removeHandle(HANDLE handle);
    size_t handleCount();

    // References on kernel objects the host created (threads, devices, files).
    void registerObject(void* object, POBJECT_TYPE type, LONG references, std::function<void()> onLastReference);
    LONG_PTR reference(void* object, const char* call);
    LONG_PTR dereference(void* object, const char* call);
    bool isRegistered(void* object);
    POBJECT_TYPE typeOf(void* object);

private:
    struct Entry {
        PDEVICE_OBJECT device = nullptr;
        std::u16string linkTarget;
        bool isLink = false;
    };
    struct ObjectRec {
        POBJECT_TYPE type;
        LONG references;
        std::function<void()> onLastReference;
    };
    Machine& machine_;
    std::mutex mutex_;
    std::map<std::u16string, Entry> names_;      // key: upper-cased normalized path
    std::map<uintptr_t, HandleEntry> handles_;
    uintptr_t nextHandle_ = 4;
    std::unordered_map<void*, ObjectRec> objects_;
};

// A machine thread that runs posted work items one at a time at PASSIVE_LEVEL
// (the PnP manager's thread, the system worker thread).
class WorkerThread {
public:
    WorkerThread(Machine& machine, std::string name);
    ~WorkerThread();
    void start();
    void stop();                              // runs what is queued, then ends the thread
    void post(std::function<void()> fn);      // any thread, any IRQL
    void waitIdle(ThreadRec* caller);         // blocks (through the dispatcher) until the queue is empty
    bool isCurrent() const;
    // Runs fn on the worker and waits for it (inline when called from the worker).
    void runAndWait(ThreadRec* caller, const std::function<void()>& fn);

private:
    void main();
    Machine& machine_;
    std::string name_;
    ThreadRec* rec_ = nullptr;
    std::deque<std::function<void()>> queue_;   // guarded by the dispatcher lock
    bool busy_ = false;
    bool stop_ = false;
    bool running_ = false;
};

} // namespace host

struct _OBJECT_TYPE {
    const char* Name;
};

namespace host {

extern struct _OBJECT_TYPE ObjectTypeThread, ObjectTypeFile, ObjectTypeDevice, ObjectTypeEvent, ObjectTypeDriver;

} // namespace host

namespace host {

// The kernel's formatting routines that take a va_list, in the form images
// call them: the list is the Windows x64 one (8-byte argument slots). The
// platform names (_vsnprintf, vDbgPrintEx, ...) take the host build's list.
int __cdecl vsnprintfWindowsList(char* buffer, size_t count, const char* format, const char* argptr);
int __cdecl vsnwprintfWindowsList(wchar_t* buffer, size_t count, const wchar_t* format, const char* argptr);
ULONG NTAPI vDbgPrintExWindowsList(ULONG ComponentId, ULONG Level, PCSTR Format, const char* arglist);

} // namespace host
