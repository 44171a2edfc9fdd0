#include "controller.h"

#include <stdexcept>

namespace zmodel {

Controller::Controller(Variant variant, ControllerOptions options) : core_(std::make_shared<HubCore>()) {
    core_->self = core_;
    auto chip = std::make_unique<ChipFunction>(*core_, variant, options);
    chip_ = chip.get();
    core_->functions.push_back(std::move(chip));
    for (int i = 0; i < chip_->uartCount(); ++i) {
        auto uart = std::make_unique<Uart>(*core_, *chip_, i, options);
        uarts_.push_back(uart.get());
        core_->functions.push_back(std::move(uart));
    }
}

Controller::~Controller() {
    disconnect();
}

Uart& Controller::uart(int index) {
    if (index < 0 || index >= int(uarts_.size())) throw std::out_of_range("no such UART");
    return *uarts_[index];
}

Function* Controller::functionAt(int hubPort) {
    for (auto& f : core_->functions)
        if (f->hubPort() == hubPort) return f.get();
    return nullptr;
}

void Controller::connect(Scheduler& scheduler, HubListener& listener) {
    HubLock l(*core_);
    if (core_->listener) throw std::logic_error("controller already connected");
    core_->scheduler = &scheduler;
    core_->listener = &listener;
    for (auto& f : core_->functions) f->reportedPresent() = false;
    core_->updatePresence(l);
}

void Controller::disconnect() {
    HubLock l(*core_);
    HubListener* listener = core_->listener;
    if (!listener) return;
    for (auto& f : core_->functions) {
        f->dropTransfers();
        if (f->reportedPresent()) {
            f->reportedPresent() = false;
            int port = f->hubPort();
            l.defer([listener, port] { listener->detached(port); });
        }
    }
    core_->listener = nullptr;
    core_->scheduler = nullptr;
}

bool Controller::connected() const {
    std::lock_guard g(core_->mutex);
    return core_->listener != nullptr;
}

} // namespace zmodel
