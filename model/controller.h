// The whole controller: a hub with the chip's own function at hub port 1 and
// UART i at hub port i + 2, each UART on the hub while the chip's port enable
// register enables it. A bus on the host side connects to it with a
// scheduler (the machine's clock) and a listener for arrivals and removals.
//
//     zmodel::Controller ctl(zmodel::Variant::Ports4, {.uartsEnabledAtPlugIn = true});
//     ctl.uart(0).receive(bytes);
#pragma once

#include "chip_function.h"
#include "function.h"
#include "ids.h"
#include "uart.h"

#include <memory>

namespace zmodel {

class Controller {
public:
    static constexpr int kChipHubPort = 1;
    static constexpr int uartHubPort(int index) { return index + 2; }

    explicit Controller(Variant variant, ControllerOptions options = {});
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    Variant variant() const { return chip_->variant(); }
    int uartCount() const { return chip_->uartCount(); }
    ChipFunction& chip() { return *chip_; }
    Uart& uart(int index);
    // The function at a hub port (1 .. uartCount() + 1), present or not.
    Function* functionAt(int hubPort);

    // Connects the hub to a host bus: the listener is told about every
    // device present now and about later arrivals and removals; transfers
    // complete through the scheduler. disconnect() reports every present
    // device as removed and drops the transfers still queued.
    void connect(Scheduler& scheduler, HubListener& listener);
    void disconnect();
    bool connected() const;

private:
    std::shared_ptr<HubCore> core_;
    ChipFunction* chip_;
    std::vector<Uart*> uarts_;
};

} // namespace zmodel
