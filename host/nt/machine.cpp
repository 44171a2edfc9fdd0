// host::Machine: construction and teardown of one simulated computer.

#include "kernel.h"
#include "cm_registry.h"
#include "fs_files.h"
#include "io_manager.h"
#include "pnp.h"
#include "power.h"
#include "wmi.h"

#include <cstdlib>
#include <system_error>

namespace host {

namespace {

class MachineScheduler : public zmodel::Scheduler {
public:
    explicit MachineScheduler(Machine& m) : m_(m) {}
    uint64_t now() const override { return m_.dispatcher().now(); }
    void at(uint64_t when, std::function<void()> fn) override { m_.dispatcher().at(when, std::move(fn)); }
private:
    Machine& m_;
};

} // namespace

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
    folder_ = options_.folder;
    if (folder_.empty()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zhost-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            fprintf(stderr, "zhost: cannot create a machine folder\n");
            std::abort();
        }
        folder_ = tmpl;
        ownsFolder_ = true;
    } else {
        std::error_code ec;
        std::filesystem::create_directories(folder_, ec);
    }
    verifier_ = std::make_unique<Verifier>(options_.onViolation);
    dispatcher_ = std::make_unique<Dispatcher>(*this, options_.realTime, options_.paced, options_.timeScale);
    pool_ = std::make_unique<Pool>(*this);
    loader_ = std::make_unique<ImageLoader>(*this);
    objects_ = std::make_unique<ObjectManager>(*this);
    registry_ = std::make_unique<Registry>(*this);
    io_ = std::make_unique<IoManager>(*this);
    files_ = std::make_unique<FileSystem>(*this);
    pnp_ = std::make_unique<PnpManager>(*this);
    power_ = std::make_unique<PowerManager>(*this);
    wmi_ = std::make_unique<WmiManager>(*this);
    scheduler_ = std::make_unique<MachineScheduler>(*this);
    registry_->load(folder_ / "registry.dat");

    previousThread_ = currentThread();
    constructingThread_ = dispatcher_->createThreadRecord("main");
    dispatcher_->attach(constructingThread_, true);
    setCurrentThread(constructingThread_);
    dispatcher_->startDpcThread();
    pnp_->start();
}

Machine::~Machine() {
    shutdown();
}

Machine* Machine::current() {
    ThreadRec* t = currentThread();
    return t ? t->machine : nullptr;
}

void Machine::save() {
    registry_->save(folder_ / "registry.dat");
}

void Machine::shutdown() {
    if (shutDown_)
        return;
    shutDown_ = true;
    ThreadRec* saved = currentThread();
    setCurrentThread(constructingThread_);
    pnp_->shutdown();
    // Every stack is gone: a request the I/O manager built that a driver
    // still holds was lost (never completed, never cancelled).
    for (auto& irp : io_->pendingHostIrps())
        verifier_->report(irp + " that the I/O manager built is still pending when the machine shuts down");
    // Driver threads still alive now were never told to end: they leave their
    // next wait, so the machine can go away.
    for (auto& name : dispatcher_->endDriverThreads())
        verifier_->report("system thread " + name + " is still running when the machine shuts down");
    dispatcher_->beginShutdown();
    dispatcher_->stopDpcThread();
    dispatcher_->joinHostThreads();
    auto blocks = pool_->allBlocks();
    if (!blocks.empty()) {
        std::string text = std::to_string(blocks.size()) + " pool block(s) still allocated when the machine shuts down:";
        for (auto& [p, b] : blocks)
            text += " '" + Pool::tagText(b.tag) + "' " + std::to_string(b.size) + " bytes;";
        verifier_->report(text);
    }
    if (size_t n = objects_->handleCount())
        verifier_->report(std::to_string(n) + " handle(s) still open when the machine shuts down");
    dispatcher_->detach(constructingThread_);
    setCurrentThread(saved == constructingThread_ ? previousThread_ : saved);
    delete constructingThread_;
    constructingThread_ = nullptr;
    if (ownsFolder_) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

Machine::Attach::Attach(Machine& machine, std::string name) : rec_(nullptr), previous_(currentThread()) {
    if (previous_ && previous_->machine == &machine)
        return;   // already attached to this machine
    rec_ = machine.dispatcher().createThreadRecord(std::move(name));
    machine.dispatcher().attach(rec_, true);
    setCurrentThread(rec_);
}

Machine::Attach::~Attach() {
    if (!rec_)
        return;
    rec_->machine->dispatcher().detach(rec_);
    setCurrentThread(previous_);
    delete rec_;
}

Machine::Outside::Outside(Machine& machine) : machine_(machine), rec_(currentThread()) {
    if (rec_ && rec_->machine == &machine)
        machine_.dispatcher().leaveForOutside(rec_);
    else
        rec_ = nullptr;
}

Machine::Outside::~Outside() {
    if (rec_)
        machine_.dispatcher().returnFromOutside(rec_);
}

uint64_t Machine::now() const {
    return dispatcher_->now();
}

void Machine::sleep(uint64_t duration100ns) {
    Attach attach(*this, "sleeper");
    LARGE_INTEGER t;
    t.QuadPart = -LONGLONG(duration100ns);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

void Machine::at(uint64_t when, std::function<void()> fn) {
    dispatcher_->at(when, std::move(fn));
}

zmodel::Scheduler& Machine::scheduler() {
    return *scheduler_;
}

} // namespace host
