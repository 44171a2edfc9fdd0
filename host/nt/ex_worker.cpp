// Worker threads of the executive: a queue of work items run at
// PASSIVE_LEVEL by one machine thread, which waits through the dispatcher so
// the virtual clock sees it idle.

#include "kernel.h"

namespace host {

WorkerThread::WorkerThread(Machine& machine, std::string name) : machine_(machine), name_(std::move(name)) {}

WorkerThread::~WorkerThread() = default;

void WorkerThread::start() {
    rec_ = machine_.dispatcher().createThreadRecord(name_);
    rec_->system = true;
    machine_.dispatcher().attach(rec_, true);
    running_ = true;
    machine_.dispatcher().startHostThread([this] { main(); });
}

void WorkerThread::main() {
    setCurrentThread(rec_);
    auto& d = machine_.dispatcher();
    std::unique_lock lk(d.lock);
    for (;;) {
        d.waitCondition(lk, rec_, this, [&] { return !queue_.empty() || stop_; });
        if (queue_.empty())
            break;
        auto fn = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lk.unlock();
        try {
            fn();
        } catch (const ThreadExit&) {
            lk.lock();
            busy_ = false;
            break;
        }
        if (rec_->irql != PASSIVE_LEVEL) {
            machine_.verifier().report("a work item returned at IRQL " + std::to_string(rec_->irql));
            rec_->irql = PASSIVE_LEVEL;
        }
        lk.lock();
        busy_ = false;
        d.notifyConditions(this);
    }
    running_ = false;
    d.notifyConditions(this);
    lk.unlock();
    ThreadRec* rec = rec_;
    d.threadExited(rec);
    setCurrentThread(nullptr);
    delete rec;
}

void WorkerThread::stop() {
    auto& d = machine_.dispatcher();
    std::lock_guard g(d.lock);
    stop_ = true;
    d.notifyConditions(this);
}

void WorkerThread::post(std::function<void()> fn) {
    auto& d = machine_.dispatcher();
    std::lock_guard g(d.lock);
    queue_.push_back(std::move(fn));
    d.notifyConditions(this);
}

bool WorkerThread::isCurrent() const {
    return currentThread() == rec_;
}

void WorkerThread::waitIdle(ThreadRec* caller) {
    if (isCurrent())
        return;
    auto& d = machine_.dispatcher();
    std::unique_lock lk(d.lock);
    d.waitCondition(lk, caller, this, [&] { return (queue_.empty() && !busy_) || !running_; });
}

void WorkerThread::runAndWait(ThreadRec* caller, const std::function<void()>& fn) {
    if (isCurrent()) {
        fn();
        return;
    }
    bool done = false;
    post([&] {
        fn();
        auto& d = machine_.dispatcher();
        std::lock_guard g(d.lock);
        done = true;
        d.notifyConditions(this);
    });
    auto& d = machine_.dispatcher();
    std::unique_lock lk(d.lock);
    d.waitCondition(lk, caller, this, [&] { return done || !running_; });
}

} // namespace host
