// One run of a fault matrix: a fresh machine whose verifier reports are
// collected (not failed at once), and one fault armed at the Nth injection
// point of one source: a driver image's pool allocations or IRP
// allocations, or the transfers of one device on a hub: its control
// transfers, one of its pipes, a stall, or the device unplugged as the Nth
// transfer reaches it. disarm() tells how many injection points the run
// went through.
#pragma once

#include <gtest/gtest.h>

#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"
#include "host/usb/usb_bus.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ztest {

enum class FaultSource { Pool, Irp, Control, ControlStall, Pipe, PipeStall, Unplug };

inline const char* faultSourceName(FaultSource s)
{
    switch (s) {
    case FaultSource::Pool: return "pool";
    case FaultSource::Irp: return "irp";
    case FaultSource::Control: return "control";
    case FaultSource::ControlStall: return "control-stall";
    case FaultSource::Pipe: return "pipe";
    case FaultSource::PipeStall: return "pipe-stall";
    case FaultSource::Unplug: return "unplug";
    }
    return "?";
}

// Where a fault goes: the source, and for the transfer sources the pipe's
// endpoint address and the USB status of a failure.
struct FaultTarget {
    FaultSource source;
    uint8_t endpoint = 0;
    USBD_STATUS status = USBD_STATUS_STALL_PID;
};

class FaultRig {
public:
    // `image`: the driver image whose pool and IRPs count; `hubPort`: the
    // device whose transfers count.
    FaultRig(std::string image, int hubPort) : image_(std::move(image)), hubPort_(hubPort)
    {
        host::MachineOptions options;
        options.onViolation = [this](const std::string& text) {
            std::lock_guard g(mutex_);
            reports_.push_back(text);
        };
        machine = std::make_unique<host::Machine>(options);
    }

    // Arms the fault (at 0: only counts). A transfer fault armed before the
    // controller is plugged is armed on the device as it arrives (plug()).
    void arm(const FaultTarget& target, uint64_t at)
    {
        target_ = target;
        switch (target.source) {
        case FaultSource::Pool: machine->pool().watchImage(image_, unsigned(at)); return;
        case FaultSource::Irp: machine->io().watchImage(image_, unsigned(at)); return;
        default: break;
        }
        host::usb::TransferFault f;
        f.at = at;
        f.status = target.status;
        switch (target.source) {
        case FaultSource::Control: f.endpoint = f.kControl; break;
        case FaultSource::ControlStall: f.endpoint = f.kControl; f.kind = f.Kind::Stall; break;
        case FaultSource::Pipe: f.endpoint = target.endpoint; break;
        case FaultSource::PipeStall: f.endpoint = target.endpoint; f.kind = f.Kind::Stall; break;
        default: f.kind = f.Kind::Disconnect; break;
        }
        transferFault_ = f;
        if (hub)
            hub->injectFault(hubPort_, f);
    }
    // The injection points seen since arm(); no more faults from here.
    uint64_t disarm()
    {
        switch (target_.source) {
        case FaultSource::Pool: {
            uint64_t n = machine->pool().imageAllocations();
            machine->pool().watchImage("", 0);
            return n;
        }
        case FaultSource::Irp: {
            uint64_t n = machine->io().imageAllocations();
            machine->io().watchImage("", 0);
            return n;
        }
        default:
            if (!hub)
                return 0;
            uint64_t n = hub->faultStreamCount(hubPort_);
            host::usb::TransferFault none;
            none.at = 0;
            hub->injectFault(hubPort_, none);
            return n;
        }
    }

    // Plugs a controller, the armed transfer fault in place from its first transfer.
    void plug(zmodel::Controller& controller)
    {
        hub = host::usb::plug(*machine, controller, [this](host::usb::Plug& p) {
            if (transferFault_)
                p.injectFault(hubPort_, *transferFault_);
        });
        machine->pnp().waitIdle();
    }

    // Unplugs, checks that the images went, shuts the machine down and
    // checks that nothing is left; then every report of the run fails the test.
    void finish(const std::vector<std::u16string>& services)
    {
        hub.reset();
        machine->pnp().waitIdle();
        for (auto& service : services)
            if (machine->pnp().image(service))
                ADD_FAILURE() << "a driver is still loaded after its devices were removed";
        machine->shutdown();
        if (size_t left = machine->pool().liveCount())
            ADD_FAILURE() << left << " pool block(s) left";
        std::lock_guard g(mutex_);
        for (auto& report : reports_)
            ADD_FAILURE() << "verifier: " << report;
    }

    std::unique_ptr<host::Machine> machine;
    std::unique_ptr<host::usb::Plug> hub;

private:
    std::string image_;
    int hubPort_;
    FaultTarget target_{FaultSource::Pool};
    std::optional<host::usb::TransferFault> transferFault_;
    std::mutex mutex_;
    std::vector<std::string> reports_;
};

// The sanitizer builds run every third (address) or fifth (thread)
// injection point, and the first and the last, to stay within minutes.
#if defined(__SANITIZE_THREAD__)
inline constexpr unsigned kFaultStride = 5;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr unsigned kFaultStride = 3;
#else
inline constexpr unsigned kFaultStride = 1;
#endif

inline bool faultPointRun(uint64_t n, uint64_t points)
{
    return n == 1 || n == points || (n - 1) % kFaultStride == 0;
}

} // namespace ztest
