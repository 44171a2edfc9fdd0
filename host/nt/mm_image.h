// Driver images as Windows loads them: the PE32+ files that ship
// (Zephan_Port.sys, Zephan_GPIOEnum.sys) mapped into the process, relocated
// and bound to the platform's own routines through the export tables of the
// modules a kernel-mode image imports from (ntoskrnl.exe, HAL.dll, USBD.SYS,
// WMILIB.SYS, WDFLDR.SYS).
#pragma once

#include <wdm.h>

#include <array>
#include <atomic>
#include <csetjmp>
#include <map>
#include <mutex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

class Machine;
struct ThreadRec;

// ---- the platform's export tables ------------------------------------------

struct ExportEntry {
    const char* name;
    const void* address;
};

// One module an image may import from. The entries may be listed in any
// order.
struct ExportModule {
    const char* name;
    const ExportEntry* entries;
    size_t count;
};

// The module an image names in its import table (case-insensitive), or null.
// Each module's table is a C symbol "ZhostModule_<name>" (non-alphanumerics
// as '_', lower case) of the library that implements it, found among the
// libraries the process has loaded: zhost holds the kernel's, HAL's, USBD's
// and WMILIB's, zkmdf the framework loader's.
const ExportModule* findExportModule(const std::string& name);

// ---- images ------------------------------------------------------------------

// One mapped driver image.
class PeImage {
public:
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    // Maps the image file `bytes` (named `name` in reports), applies its base
    // relocations and binds its imports. On failure returns null with the
    // status Windows gives and a sentence naming what is wrong (the missing
    // routine and its module, the relocation type, the bad header).
    static std::unique_ptr<PeImage> load(const std::string& name, const std::vector<uint8_t>& bytes,
                                         class ImageLoader& exports, NTSTATUS& status, std::string& error);

    const std::string& name() const { return name_; }
    uintptr_t base() const { return base_; }
    size_t size() const { return size_; }
    uintptr_t preferredBase() const { return preferredBase_; }
    bool contains(uintptr_t address) const { return address - base_ < size_; }
    PDRIVER_INITIALIZE entryPoint() const;

    // A routine or variable by name: the image's own exports, then its COFF
    // symbols (the MinGW-w64 link keeps them). A routine found this way has
    // the Windows convention: call it through its role type.
    void* symbol(const char* name) const;
    // "Zephan_Port.sys+0x1a2b (ReadRegister+0x3c)": the image, the RVA and
    // the nearest symbol at or below it.
    std::string describe(uintptr_t address) const;
    // The name of the symbol at exactly `address` ("" when none).
    std::string symbolAt(uintptr_t address) const;
    // Calls of the platform into the image that have not returned.
    int activeCalls() const { return activeCalls_.load(); }

private:
    friend void enterGuard(ThreadRec* t, struct ImageGuard& g);
    friend void leaveGuard(ThreadRec* t, struct ImageGuard& g);
    friend void afterGuardJump(ThreadRec* t, struct ImageGuard& g);
    friend void holdForThreadStart(ThreadRec* rec, const PeImage* image);
    friend void releaseThreadStart(ThreadRec* rec);
    PeImage() = default;
    bool map(const std::vector<uint8_t>& bytes, NTSTATUS& status, std::string& error);
    bool relocate(NTSTATUS& status, std::string& error);
    bool bindImports(class ImageLoader& exports, NTSTATUS& status, std::string& error);
    void protect();
    void readSymbols(const std::vector<uint8_t>& bytes);
    const uint8_t* at(uint32_t rva, size_t length) const;

    struct Section {
        uint32_t rva, size, characteristics;
    };
    std::string name_;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uintptr_t preferredBase_ = 0;
    uint32_t entryRva_ = 0;
    uint32_t exportRva_ = 0, exportSize_ = 0;
    uint32_t importRva_ = 0, importSize_ = 0;
    uint32_t relocRva_ = 0, relocSize_ = 0;
    bool relocationsStripped_ = false;
    std::vector<Section> sections_;
    std::vector<std::pair<uint32_t, std::string>> symbols_;   // by RVA
    mutable std::atomic<int> activeCalls_{0};
};

// The images loaded on one machine. Lookups by address take no lock: the
// trap handler makes them on a faulting thread, and pool and IRP bookkeeping
// on every allocation.
class ImageLoader {
public:
    static constexpr size_t kMaxImages = 32;
    explicit ImageLoader(Machine& machine) : machine_(machine) {}
    ~ImageLoader();

    std::unique_ptr<PeImage> load(const std::string& name, const std::vector<uint8_t>& bytes, NTSTATUS& status,
                                  std::string& error);
    // Unmaps the image. An image whose code a thread still runs (a thread
    // of the driver left running, a routine still inside) is reported and
    // stays mapped until the machine goes away, so that the thread can be
    // ended.
    void unload(std::unique_ptr<PeImage> image);
    // True once any image has been loaded on this machine.
    bool active() const { return active_.load(std::memory_order_relaxed); }
    const PeImage* imageAt(const void* address) const;

    // The export tables, indexed by name; ordinals number a module's
    // entries in name order from 1.
    const ExportModule* module(const std::string& name);
    const ExportEntry* byName(const ExportModule* m, const char* name);
    const ExportEntry* byOrdinal(const ExportModule* m, uint32_t ordinal);
    uint32_t ordinalOf(const std::string& module, const char* routine);   // 0 when absent

private:
    struct Module {
        const ExportModule* table;
        std::vector<const ExportEntry*> byName;
    };
    Machine& machine_;
    std::mutex mutex_;
    std::map<std::string, Module> modules_;
    std::vector<std::unique_ptr<PeImage>> retired_;   // guarded by mutex_
    std::atomic<bool> active_{false};
    std::array<std::atomic<const PeImage*>, kMaxImages> images_{};
};

// The code that holds `address`: a mapped image of the machine, else the
// shared object it lies in (a host build of a driver, or the platform).
struct CodeOwner {
    const void* base = nullptr;
    std::string name;
    const PeImage* image = nullptr;
};
CodeOwner codeOwner(Machine& machine, const void* address);

// ---- calls into images -------------------------------------------------------

// A call the platform makes into a driver routine. While a routine of an
// image runs, the thread's innermost guard is here: a fault inside the image
// is reported (image, RVA, nearest symbol, thread) and comes back to this
// call, which then returns the exception's status (STATUS_ACCESS_VIOLATION,
// ...), with the IRQL and the spin locks of the thread as they were at the
// call; a ThreadExit raised under the image is
// rethrown here, where the host's unwinder takes over again.
struct ImageGuard {
    sigjmp_buf jump;
    const PeImage* image = nullptr;
    ImageGuard* outer = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    unsigned heldSpinLocks = 0;
    enum Reason { None, Fault, Exit } reason = None;
    NTSTATUS status = STATUS_SUCCESS;
};

// The image `routine` lies in when the platform must guard a call to it.
const PeImage* guardedImage(ThreadRec* t, const void* routine);
void enterGuard(ThreadRec* t, ImageGuard& g);
void leaveGuard(ThreadRec* t, ImageGuard& g);
// After a jump back to `g`: restores the thread, rethrows a ThreadExit.
void afterGuardJump(ThreadRec* t, ImageGuard& g);
// A system thread whose start routine lies in `image` counts as a call into
// it from its creation, so that an unload before the thread first ran keeps
// the image mapped for it; its first guarded call takes the count over, and
// releaseThreadStart gives back one that was never taken over.
void holdForThreadStart(ThreadRec* rec, const PeImage* image);
void releaseThreadStart(ThreadRec* rec);
ThreadRec* currentThread();

template <class Fn, class... Args>
auto callDriver(Fn routine, Args... args) -> decltype(routine(args...)) {
    using R = decltype(routine(args...));
    ThreadRec* t = currentThread();
    const PeImage* image = guardedImage(t, reinterpret_cast<const void*>(routine));
    if (!image)
        return routine(args...);
    ImageGuard g;
    g.image = image;
    if (sigsetjmp(g.jump, 0) == 0) {
        enterGuard(t, g);
        // An exception comes straight through when no image frame is in
        // its way (the image tail-called the routine that threw).
        try {
            if constexpr (std::is_void_v<R>) {
                routine(args...);
                leaveGuard(t, g);
                return;
            } else {
                R result = routine(args...);
                leaveGuard(t, g);
                return result;
            }
        } catch (...) {
            leaveGuard(t, g);
            throw;
        }
    }
    afterGuardJump(t, g);
    if constexpr (!std::is_void_v<R>)
        return R(g.status);
}

} // namespace host
