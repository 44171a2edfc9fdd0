// kernel32: events, mutexes and waits. Every wait blocks in the machine's
// dispatcher, so time-outs are machine time and the virtual clock moves only
// while every thread of the machine waits. No APC is ever queued to a
// thread here (there is no ReadFileEx or QueueUserAPC), so an alertable wait
// is an ordinary one.

#include "api.h"

#include <algorithm>
#include <map>

using namespace host::win32;
using namespace host::win32::api;

namespace {

// What a wait handle waits for: the current process's pseudo handle, or any
// handle whose object can be waited on.
void* waitObjectOf(ThreadState& t, HANDLE h) {
    if (h == reinterpret_cast<HANDLE>(LONG_PTR(-1)))
        return t.process->exitObject();
    auto object = t.process->system().handle(h);
    return object ? object->dispatcherObject() : nullptr;
}

std::optional<uint32_t> limitOf(DWORD milliseconds) {
    if (milliseconds == INFINITE)
        return std::nullopt;
    return milliseconds;
}

HANDLE createEvent(ThreadState& t, BOOL manualReset, BOOL initialState) {
    auto event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
    t.lastError = ERROR_SUCCESS;
    return t.process->system().insertHandle(event);
}

HANDLE createMutex(ThreadState& t, BOOL initialOwner) {
    auto mutex = std::make_shared<MutexObject>(initialOwner != FALSE);
    t.lastError = ERROR_SUCCESS;
    return t.process->system().insertHandle(mutex);
}

DWORD waitSingle(ThreadState& t, HANDLE hHandle, DWORD dwMilliseconds) {
    // The object stays alive while it is waited on, even if another thread
    // closes its handle meanwhile.
    auto object = t.process->system().handle(hHandle);
    void* waitOn = object ? object->dispatcherObject() : waitObjectOf(t, hHandle);
    if (!waitOn)
        return failed(t, ERROR_INVALID_HANDLE, WAIT_FAILED);
    bool abandoned = false;
    auto r = waitForObjects({waitOn}, false, limitOf(dwMilliseconds), &abandoned);
    if (!r)
        return WAIT_TIMEOUT;
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

DWORD waitMultiple(ThreadState& t, DWORD nCount, CONST HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles)
        return failed(t, ERROR_INVALID_PARAMETER, WAIT_FAILED);
    std::vector<std::shared_ptr<HandleObject>> keep;
    std::vector<void*> objects;
    for (DWORD i = 0; i < nCount; ++i) {
        auto object = t.process->system().handle(lpHandles[i]);
        void* waitOn = object ? object->dispatcherObject() : waitObjectOf(t, lpHandles[i]);
        if (!waitOn)
            return failed(t, ERROR_INVALID_HANDLE, WAIT_FAILED);
        keep.push_back(object);
        objects.push_back(waitOn);
    }
    // A wait for all of them cannot name one object twice
    // (STATUS_INVALID_PARAMETER_MIX).
    if (bWaitAll) {
        std::vector<void*> sorted = objects;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            return failed(t, ERROR_INVALID_PARAMETER, WAIT_FAILED);
    }
    bool abandoned = false;
    auto r = waitForObjects(objects, bWaitAll != FALSE, limitOf(dwMilliseconds), &abandoned);
    if (!r)
        return WAIT_TIMEOUT;
    return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + DWORD(*r);
}

} // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    ThreadState& t = thread("CreateEventA");
    // Named events are not shared between processes on this machine: every
    // name makes a new event (as a name no other process uses does).
    (void)lpName;
    return createEvent(t, bManualReset, bInitialState);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    ThreadState& t = thread("CreateEventW");
    (void)lpName;
    return createEvent(t, bManualReset, bInitialState);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    ThreadState& t = thread("SetEvent");
    auto event = t.process->system().handleAs<EventObject>(hEvent);
    if (!event)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    event->set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    ThreadState& t = thread("ResetEvent");
    auto event = t.process->system().handleAs<EventObject>(hEvent);
    if (!event)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    event->reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return waitSingle(thread("WaitForSingleObject"), hHandle, dwMilliseconds);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    return waitSingle(thread("WaitForSingleObjectEx"), hHandle, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, CONST HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    return waitMultiple(thread("WaitForMultipleObjects"), nCount, lpHandles, bWaitAll, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, CONST HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                                      BOOL bAlertable) {
    return waitMultiple(thread("WaitForMultipleObjectsEx"), nCount, lpHandles, bWaitAll, dwMilliseconds);
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    thread("SleepEx").process->system().sleep(dwMilliseconds);
    return 0;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    ThreadState& t = thread("CreateMutexA");
    // As with events, a name is not shared: every name makes a new mutex.
    (void)lpName;
    return createMutex(t, bInitialOwner);
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    ThreadState& t = thread("CreateMutexW");
    (void)lpName;
    return createMutex(t, bInitialOwner);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    ThreadState& t = thread("ReleaseMutex");
    auto mutex = t.process->system().handleAs<MutexObject>(hMutex);
    if (!mutex)
        return failed(t, ERROR_INVALID_HANDLE, FALSE);
    if (!mutex->release())
        return failed(t, ERROR_NOT_OWNER, FALSE);
    return TRUE;
}

} // extern "C"
