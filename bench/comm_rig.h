// A machine for the end-to-end benchmarks: Zephan_Port installed for the
// Ports class, a controller plugged in with a loopback plug on every UART,
// and the Win32 subsystem to run the benchmark's program in. Only the
// standard library and the model show here, so the program's file can
// include <windows.h>.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zmodel {
class FarEnd;
}

namespace zbench {

// The machine's clock: virtual, free-running real time, or paced real time
// (host::MachineOptions).
enum class Clock { Virtual, RealTime, Paced };

class CommRig {
public:
    // ports: 2, 4, 8 or 12. Verifier reports (the shut-down's leak checks
    // included) are counted in violations(). The port driver is its host
    // build, or the shipped image when ZEPHAN_DRIVER_IMAGES=shipped.
    explicit CommRig(int ports, Clock clock = Clock::Virtual);
    ~CommRig();
    CommRig(const CommRig&) = delete;
    CommRig& operator=(const CommRig&) = delete;

    int ports() const;
    bool ready() const;
    // \\.\COMn of UART i.
    std::string comPath(int uart) const;
    // Runs `program` as a 64-bit Win32 process on the machine.
    uint32_t run(std::function<int()> program);
    // Control transfers UART i's device has received so far.
    uint64_t controlTransfers(int uart) const;
    int violations() const;
    // The machine's clock (100 ns units).
    uint64_t machineTime() const;
    // Whether UART i's port keeps its register image (on by default); off,
    // every register access goes to the device. Set while the port is idle.
    void setRegisterImage(int uart, bool on);
    // A scripted far end on UART i in place of its loopback plug (made on
    // first use, at 9600 8N1). Its methods may be called from the program.
    zmodel::FarEnd& farEnd(int uart);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace zbench
