// The fault matrix of the enumerator: its prepare-hardware (the chip
// function's start: variant, fix-up, idle set-up) and its bring-up of the
// UART ports, each run on a fresh machine with one fault at its Nth
// injection point (the enumerator's pool allocations, the chip function's
// control transfers, a stalled one, the chip unplugged), N = 1, 2, ... until
// the step ends without reaching the fault. Every run must end without a
// hang or a verifier report, and an unplug must unload both drivers and
// leave no pool.
#include "tests/support/fault_rig.h"

#include "enum/enum.h"
#include "host/kmdf/kmdf.h"
#include "tools/sim/port_machine.h"

#include <cstdio>

namespace ztest {
namespace {

constexpr int kChipHubPort = zmodel::Controller::kChipHubPort;

class Rig : public FaultRig {
public:
    Rig() : FaultRig("Zephan_GPIOEnum", kChipHubPort)
    {
        machine->pnp().installDriver(u"Zephan_GPIOEnum", ZEPHAN_ENUM_IMAGE_PATH, {u"USB\\VID_F05A&PID_7A00"});
        zsim::installPortDriver(*machine);
        controller = std::make_unique<zmodel::Controller>(zmodel::Variant::Ports2, zmodel::ControllerOptions{});
    }
    PDEVICE_CONTEXT context()
    {
        PDEVICE_OBJECT pdo = hub ? hub->pdo(kChipHubPort) : nullptr;
        PDEVICE_OBJECT fdo = pdo ? pdo->AttachedDevice : nullptr;
        return fdo ? static_cast<PDEVICE_CONTEXT>(host::kmdf::contextOf(fdo)) : nullptr;
    }
    // Waits (machine time, bounded) for the bring-up thread to end.
    void waitForBringUp()
    {
        for (int i = 0; i < 200; ++i) {
            PDEVICE_CONTEXT c = context();
            if (!c || !c->BringUpThread)
                break;
            LARGE_INTEGER none{};
            if (KeWaitForSingleObject(c->BringUpThread, Executive, KernelMode, FALSE, &none) == STATUS_SUCCESS)
                break;
            machine->sleep(100 * 10000);
        }
        machine->pnp().waitIdle();
    }
    std::unique_ptr<zmodel::Controller> controller;
};

struct Case {
    bool bringUp;   // the bring-up; otherwise the prepare-hardware
    FaultTarget target;
};

std::string caseName(const testing::TestParamInfo<Case>& info)
{
    std::string name = std::string(info.param.bringUp ? "bring_up_" : "prepare_hardware_") +
                       faultSourceName(info.param.target.source);
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

std::vector<Case> allCases()
{
    std::vector<Case> cases;
    for (bool bringUp : {false, true})
        for (FaultSource s : {FaultSource::Pool, FaultSource::Control, FaultSource::ControlStall, FaultSource::Unplug})
            cases.push_back({bringUp, {s}});
    return cases;
}

class EnumFaultMatrix : public testing::TestWithParam<Case> {};

TEST_P(EnumFaultMatrix, EveryInjectionPointEndsCleanly)
{
    const Case c = GetParam();
    auto run = [&](uint64_t at) {
        Rig rig;
        if (!c.bringUp)
            rig.arm(c.target, at);
        rig.plug(*rig.controller);
        if (c.bringUp)
            rig.arm(c.target, at);
        rig.waitForBringUp();
        uint64_t seen = rig.disarm();
        rig.finish({u"Zephan_GPIOEnum", zsim::kPortService});
        return seen;
    };
    uint64_t points = run(0);
    ASSERT_FALSE(HasFailure());
    std::printf("[fault matrix] enumerator %s, %s: %llu injection points\n",
                c.bringUp ? "bring-up" : "prepare-hardware", faultSourceName(c.target.source),
                (unsigned long long)points);
    for (uint64_t n = 1; n <= points; ++n) {
        if (!faultPointRun(n, points))
            continue;
        SCOPED_TRACE(testing::Message() << faultSourceName(c.target.source) << " fault at point " << n);
        if (run(n) < n || HasFailure())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Enum, EnumFaultMatrix, testing::ValuesIn(allCases()), caseName);

} // namespace
} // namespace ztest
