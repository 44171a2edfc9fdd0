// The port driver's receive path, timed: the receive ring's push and pop
// and the parse of a full 64 KiB bulk-in transfer into a port's ring. The
// routines are the ones of the Zephan_Port image that the PnP manager loaded
// for a plugged controller, called on that port's own record, so what is
// measured is the driver's code as built; the spin lock that the parse
// takes per packet is the stand-in kernel's, and is timed on its own.
//
// The machine's clock is virtual and this thread never waits, so no timer,
// DPC or transfer of the simulation runs while a benchmark does.
#include <benchmark/benchmark.h>

#include "tools/sim/port_machine.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A machine with Zephan_Port installed and a 2-port controller plugged in.
// Verifier reports, the leak checks of the shut-down included, are counted
// in *violations.
class ReceiveRig {
public:
    explicit ReceiveRig(int& violations)
        : violations_(violations), machine_(options()), controller_(zmodel::Variant::Ports2, zmodel::ControllerOptions{.uartsEnabledAtPlugIn = true})
    {
        zsim::installPortDriver(machine_);
        plug_ = host::usb::plug(machine_, controller_);
        machine_.pnp().waitIdle();
        port_ = zsim::portExtension(plug_->pdo(zmodel::Controller::uartHubPort(0)));
        image_ = zsim::portImage(machine_);
    }
    ~ReceiveRig()
    {
        plug_.reset();
        machine_.pnp().waitIdle();
        machine_.shutdown();
    }
    ReceiveRig(const ReceiveRig&) = delete;
    ReceiveRig& operator=(const ReceiveRig&) = delete;

    bool ready() const { return port_ != nullptr && image_ != nullptr; }
    PDEVICE_EXTENSION port() { return port_; }

    template <class F>
    F routine(const char* name)
    {
        F f = image_->symbol<F>(name);
        if (!f)
            std::fprintf(stderr, "receive_bench: %s is not in the driver image\n", name);
        return f;
    }

private:
    host::MachineOptions options()
    {
        host::MachineOptions o;
        o.onViolation = [this](const std::string& text) {
            std::fprintf(stderr, "receive_bench: verifier: %s\n", text.c_str());
            ++violations_;
        };
        return o;
    }

    int& violations_;
    host::Machine machine_;
    zmodel::Controller controller_;
    std::unique_ptr<host::usb::Plug> plug_;
    PDEVICE_EXTENSION port_ = nullptr;
    host::DriverImage* image_ = nullptr;
};

#define RIG_ROUTINE(rig, name) (rig).routine<decltype(&name)>(#name)

constexpr ULONG kRingSize = DEFAULT_RECEIVE_QUEUE_SIZE;
constexpr ULONG kTransferBytes = BULK_IN_BUFFER_BYTES;

// Received characters without the flow-control characters, so that a port
// following XON/XOFF never changes its hold state during a run.
UCHAR character(size_t i)
{
    UCHAR c = UCHAR(i * 7 + 0x20);
    return c == DEFAULT_XON_CHAR || c == DEFAULT_XOFF_CHAR ? UCHAR(c + 1) : c;
}

// A full bulk-in transfer as the chip sends it: packets [L, L - 2
// characters, line status 0x60]; 256 packets of 255 bytes and two of 128
// fill exactly 64 KiB.
std::vector<UCHAR> fullTransfer()
{
    std::vector<UCHAR> data;
    data.reserve(kTransferBytes);
    size_t n = 0;
    auto packet = [&](size_t length) {
        data.push_back(UCHAR(length));
        for (size_t i = 0; i < length - 2; ++i)
            data.push_back(character(n++));
        data.push_back(0x60);
    };
    for (int i = 0; i < 256; ++i)
        packet(255);
    packet(128);
    packet(128);
    return data;
}

void ringPush(benchmark::State& state, ReceiveRig& rig)
{
    auto init = RIG_ROUTINE(rig, InitQueueBuffer);
    auto push = RIG_ROUTINE(rig, PushQueueBufferEntry);
    auto freeRing = RIG_ROUTINE(rig, FreeQueueBuffer);
    const ULONG chunk = ULONG(state.range(0));
    std::vector<UCHAR> data(chunk);
    for (ULONG i = 0; i < chunk; ++i)
        data[i] = character(i);

    QUEUE_BUFFER ring = {};
    if (init(&ring, kRingSize) != STATUS_SUCCESS) {
        state.SkipWithError("InitQueueBuffer failed");
        return;
    }
    for (auto _ : state) {
        // Emptied by moving the read index up to the write index, so that
        // the pushes go on round the ring and wrap as in service.
        if (ring.DataCount + chunk > ring.BufferSize - 1) {
            ring.ReadIndex = ring.WriteIndex;
            ring.DataCount = 0;
        }
        push(&ring, data.data(), chunk);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk);
    freeRing(&ring);
}

void ringPop(benchmark::State& state, ReceiveRig& rig)
{
    auto init = RIG_ROUTINE(rig, InitQueueBuffer);
    auto push = RIG_ROUTINE(rig, PushQueueBufferEntry);
    auto pop = RIG_ROUTINE(rig, PopQueueBufferEntry);
    auto freeRing = RIG_ROUTINE(rig, FreeQueueBuffer);
    const ULONG chunk = ULONG(state.range(0));
    std::vector<UCHAR> fill(kRingSize - 1);
    for (size_t i = 0; i < fill.size(); ++i)
        fill[i] = character(i);
    std::vector<UCHAR> out(chunk);

    QUEUE_BUFFER ring = {};
    if (init(&ring, kRingSize) != STATUS_SUCCESS) {
        state.SkipWithError("InitQueueBuffer failed");
        return;
    }
    push(&ring, fill.data(), ULONG(fill.size()));
    for (auto _ : state) {
        // Filled again by moving the read index to just past the write
        // index: the ring is full, and the pops go on round it.
        if (ring.DataCount < chunk) {
            ring.ReadIndex = (ring.WriteIndex + 1) % ring.BufferSize;
            ring.DataCount = ring.BufferSize - 1;
        }
        pop(&ring, out.data(), chunk);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk);
    freeRing(&ring);
}

// The whole transfer into the port's own ring, at DISPATCH_LEVEL as the
// completion routine runs it; the ring is emptied before each transfer.
void parseTransfer(benchmark::State& state, ReceiveRig& rig)
{
    auto parse = RIG_ROUTINE(rig, ParseBulkInTransfer);
    auto clear = RIG_ROUTINE(rig, ClearQueueBuffer);
    PDEVICE_EXTENSION port = rig.port();
    const std::vector<UCHAR> transfer = fullTransfer();
    const bool followXonXoff = state.range(0) != 0;

    ULONG flowReplace = port->HandFlow.FlowReplace;
    if (followXonXoff)
        port->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    else
        port->HandFlow.FlowReplace &= ~SERIAL_AUTO_TRANSMIT;

    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (auto _ : state) {
        KIRQL held;
        KeAcquireSpinLock(&port->QueueBufferLock, &held);
        clear(&port->QueueBuffer);
        KeReleaseSpinLock(&port->QueueBufferLock, held);
        parse(port, transfer.data(), ULONG(transfer.size()));
        benchmark::ClobberMemory();
    }
    KeLowerIrql(irql);

    port->HandFlow.FlowReplace = flowReplace;
    if (port->PerfStats.BufferOverrunErrorCount != 0)
        state.SkipWithError("the ring overflowed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(transfer.size()));
}

// memcpy of the same sizes, run beside the ring and the parse: the figure
// they are measured against.
void plainCopy(benchmark::State& state)
{
    const size_t size = size_t(state.range(0));
    std::vector<UCHAR> from(size), to(size);
    for (size_t i = 0; i < size; ++i)
        from[i] = character(i);
    for (auto _ : state) {
        benchmark::DoNotOptimize(from.data());
        std::memcpy(to.data(), from.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

// One acquire and release of a spin lock by the stand-in kernel: the parse
// takes one per packet (258 per 64 KiB transfer above).
void spinLockPair(benchmark::State& state, ReceiveRig& rig)
{
    PDEVICE_EXTENSION port = rig.port();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (auto _ : state) {
        KIRQL held;
        KeAcquireSpinLock(&port->QueueBufferLock, &held);
        KeReleaseSpinLock(&port->QueueBufferLock, held);
    }
    KeLowerIrql(irql);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    int violations = 0;
    {
        ReceiveRig rig(violations);
        if (!rig.ready()) {
            std::fprintf(stderr, "receive_bench: the port did not come up\n");
            return 1;
        }
        auto with = [&rig](void (*run)(benchmark::State&, ReceiveRig&)) {
            return [&rig, run](benchmark::State& state) { run(state, rig); };
        };
        benchmark::RegisterBenchmark("ring_push", with(ringPush))->ArgName("bytes")->Arg(1)->Arg(253)->Arg(4096);
        benchmark::RegisterBenchmark("ring_pop", with(ringPop))->ArgName("bytes")->Arg(1)->Arg(253)->Arg(4096);
        benchmark::RegisterBenchmark("parse_64KiB_transfer", with(parseTransfer))->ArgName("xon_xoff")->Arg(0)->Arg(1);
        benchmark::RegisterBenchmark("memcpy", plainCopy)->ArgName("bytes")->Arg(1)->Arg(253)->Arg(4096)->Arg(65536);
        benchmark::RegisterBenchmark("host_spin_lock_pair", with(spinLockPair));
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    if (violations != 0) {
        std::fprintf(stderr, "receive_bench: %d verifier report(s)\n", violations);
        return 1;
    }
    return 0;
}
