// Reception tests: a started port whose bulk-in transfer is in flight, read
// requests sent to it as IRP_MJ_READ IRPs with a system buffer (as the I/O
// manager builds them for a buffered device), and bytes that arrive from the
// far end of UART 0's serial line.
#pragma once

#include "port_fixture.h"

#include "model/serial_line.h"

#include <string>
#include <string_view>
#include <vector>

namespace ztest {

// 100-ns units per millisecond.
inline constexpr uint64_t kMs = 10000;

// One IRP_MJ_READ sent to a device. Its completion is recorded with the
// machine time at which it happened. A read still pending at destruction is
// cancelled (and must then complete).
class ReadRequest {
public:
    ReadRequest(host::Machine& machine, PDEVICE_OBJECT device, ULONG length, bool withBuffer = true);
    ~ReadRequest();
    ReadRequest(const ReadRequest&) = delete;
    ReadRequest& operator=(const ReadRequest&) = delete;

    // What the dispatch routine returned.
    NTSTATUS returned() const { return returned_; }
    bool done() const;
    // Waits on the machine clock; false if it has not completed by then.
    bool wait(uint64_t timeout100ns = 60'000 * kMs);
    // IoCancelIrp; false when there was no cancel routine to call.
    bool cancel();

    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }
    // The bytes delivered.
    std::string data() const;
    // Machine time of the completion.
    uint64_t completedAt() const { return completedAt_; }
    PIRP irp() const { return irp_; }

private:
    static NTSTATUS NTAPI onCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context);
    host::Machine& machine_;
    PIRP irp_ = nullptr;
    std::vector<uint8_t> buffer_;
    KEVENT done_{};
    NTSTATUS returned_ = STATUS_PENDING;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    uint64_t completedAt_ = 0;
};

// UART 0 at 9600 bit/s, 8N1, FIFOs off (so every character is reported by a
// transfer of its own), with a far end at the same settings.
class ReceiveTest : public PortTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // UART 0's port record and device object.
    PDEVICE_EXTENSION rx = nullptr;
    PDEVICE_OBJECT device() const { return rx->DeviceObject; }
    host::DriverImage& driver() { return image(); }
    PDRIVER_GLOBALS globals();

    void setTimeouts(ULONG interval, ULONG multiplier, ULONG constant);
    // The far end sends bytes to UART 0, after what it is sending already.
    // Returns the machine time at which the bulk-in transfer that carries
    // the last of them completes: when that byte is in the receive ring.
    uint64_t send(std::string_view bytes);
    // Lets machine time pass.
    void advance(uint64_t duration100ns) { machine->sleep(duration100ns); }
    // Lets it pass until just after `when`, so that what happens at `when` is done.
    void settle(uint64_t when);
    uint64_t now() const { return machine->now(); }

    std::unique_ptr<zmodel::FarEnd> far;

    std::unique_ptr<ReadRequest> read(ULONG length) { return std::make_unique<ReadRequest>(*machine, device(), length); }
    // Bytes held in the receive ring.
    ULONG held() const { return rx->QueueBuffer.DataCount; }
};

} // namespace ztest
