// kernel32: events and waits. Every wait blocks in the machine's dispatcher,
// so time-outs are machine time and the virtual clock moves only while every
// thread of the machine waits.

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
    ThreadState& t = thread("WaitForSingleObject");
    // The object stays alive while it is waited on, even if another thread
    // closes its handle meanwhile.
    auto object = t.process->system().handle(hHandle);
    void* waitOn = object ? object->dispatcherObject() : waitObjectOf(t, hHandle);
    if (!waitOn)
        return failed(t, ERROR_INVALID_HANDLE, WAIT_FAILED);
    auto r = waitForObjects({waitOn}, false, limitOf(dwMilliseconds));
    return r ? WAIT_OBJECT_0 : DWORD(WAIT_TIMEOUT);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, CONST HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    ThreadState& t = thread("WaitForMultipleObjects");
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
    auto r = waitForObjects(objects, bWaitAll != FALSE, limitOf(dwMilliseconds));
    if (!r)
        return WAIT_TIMEOUT;
    return WAIT_OBJECT_0 + DWORD(*r);
}

} // extern "C"
