// The fault matrix: each operation of a port's life is run on a fresh
// machine with one fault injected at its Nth injection point, N = 1, 2, ...
// until the operation completes without reaching the fault. The injection
// points are the port driver's pool allocations, its IRP allocations, and
// the transfers of UART 0's device: its control transfers, each of its
// pipes, a stall (a transfer that never comes back until cancelled) and the
// device unplugged as the Nth transfer reaches it. Every run must end with a
// status to the caller (no hang), no verifier report, no pool left, and a
// removal that unloads the driver.
//
// The sanitizer builds run every third (address) or fifth (thread) point,
// and the first and last, so that they stay within minutes
// (tests/support/fault_rig.h).
#include "tests/support/fault_rig.h"

#include "model/ids.h"
#include "model/serial_line.h"
#include "tools/sim/port_machine.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ztest {
namespace {

constexpr uint64_t kMs = 10000;
constexpr int kHubPort = zmodel::Controller::uartHubPort(0);

// One run: a machine with the port driver installed, a 2-port controller,
// UART 0's port opened as a program would, and a far end on its line.
class Rig : public FaultRig {
public:
    Rig() : FaultRig("Zephan_Port", kHubPort)
    {
        zsim::installPortDriver(*machine);
        controller = std::make_unique<zmodel::Controller>(zmodel::Variant::Ports2,
                                                          zmodel::ControllerOptions{.uartsEnabledAtPlugIn = true});
    }

    void plug()
    {
        FaultRig::plug(*controller);
        machine->sleep(2 * zmodel::kTransferLatency + 1);
    }
    PDEVICE_OBJECT pdo() { return hub ? hub->pdo(kHubPort) : nullptr; }
    PDEVICE_EXTENSION port() { return pdo() ? zsim::portExtension(pdo()) : nullptr; }
    bool started() { return port() && ReadSharedLong(&port()->DeviceState) == PortStateStarted; }

    NTSTATUS open()
    {
        if (!port())
            return STATUS_NO_SUCH_DEVICE;
        std::string name = zsim::narrow(port()->DeviceName);
        return host::DeviceFile::open(*machine, std::u16string(name.begin(), name.end()), &file);
    }
    host::IoResult control(ULONG code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0)
    {
        return finished(file->startIoctl(code, in, inLength, out, outLength));
    }
    // Waits a bounded machine time for a request; one still pending is a hang.
    host::IoResult finished(const std::shared_ptr<host::PendingIo>& io, uint64_t timeout = 20'000 * kMs)
    {
        host::IoResult r = io->wait(timeout);
        if (!io->done()) {
            hung = true;
            io->cancel();
            r = io->wait();
        }
        return r;
    }
    void far()
    {
        if (!farEnd)
            farEnd = std::make_unique<zmodel::FarEnd>(controller->uart(0), controller->uart(0).lineSettings());
    }

    // The handle goes, the controller is unplugged: the driver must unload
    // and the machine shut down with nothing left over.
    void finish()
    {
        if (file) {
            file->close();
            file.reset();
        }
        farEnd.reset();
        FaultRig::finish({zsim::kPortService});
    }

    std::unique_ptr<zmodel::Controller> controller;
    std::unique_ptr<host::DeviceFile> file;
    std::unique_ptr<zmodel::FarEnd> farEnd;
    bool hung = false;
};

// What the caller was told: a status, success or failure, never pending.
void expectStatus(const char* what, NTSTATUS status)
{
    EXPECT_NE(status, STATUS_PENDING) << what;
    EXPECT_TRUE(NT_SUCCESS(status) || NT_ERROR(status) || status == STATUS_TIMEOUT)
        << what << std::hex << " 0x" << ULONG(status);
}

// 9600 bit/s 8N1, a read total time-out of 200 ms and a write one of 500
// ms, and a far end at the same settings.
void prepareData(Rig& rig)
{
    rig.plug();
    ASSERT_EQ(rig.open(), STATUS_SUCCESS);
    ULONG rate = 9600;
    ASSERT_EQ(rig.control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate).status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
    ASSERT_EQ(rig.control(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc).status, STATUS_SUCCESS);
    SERIAL_TIMEOUTS t{MAXULONG, 0, 200, 0, 500};
    ASSERT_EQ(rig.control(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t).status, STATUS_SUCCESS);
    rig.far();
}

// An operation: `prepare` brings the port to where it starts (no faults),
// `run` is the operation under faults.
struct Operation {
    const char* name;
    std::function<void(Rig&)> prepare;
    std::function<void(Rig&)> run;
};

const Operation kOperations[] = {
    {"start", [](Rig&) {},
     [](Rig& r) {
         r.plug();
         // Started, or failed and torn down: either way the caller (PnP) knows.
         if (r.port()) {
             EXPECT_TRUE(r.started() || ReadSharedLong(&r.port()->DeviceState) != PortStateStarted);
         }
     }},
    {"open", [](Rig& r) { r.plug(); },
     [](Rig& r) {
         NTSTATUS s = r.open();
         expectStatus("open", s);
         EXPECT_EQ(NT_SUCCESS(s), r.file != nullptr);
         // A failed open left nothing held: the port opens again.
         if (!NT_SUCCESS(s) && r.started()) {
             EXPECT_EQ(r.open(), STATUS_SUCCESS);
         }
     }},
    {"SetCommState", [](Rig& r) { r.plug(); ASSERT_EQ(r.open(), STATUS_SUCCESS); },
     [](Rig& r) {
         ULONG rate = 115200;
         expectStatus("baud rate", r.control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate).status);
         SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
         expectStatus("line control", r.control(IOCTL_SERIAL_SET_LINE_CONTROL, &lc, sizeof lc).status);
         SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
         expectStatus("chars", r.control(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars).status);
         SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 100};
         expectStatus("handflow", r.control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow).status);
     }},
    {"write", prepareData,
     [](Rig& r) {
         std::string data(100, 'w');
         auto io = r.file->startWrite(data.data(), ULONG(data.size()));
         host::IoResult w = r.finished(io);
         expectStatus("write", w.status);
         EXPECT_LE(w.information, data.size());
         // What the write reports as sent reached the line, in order.
         r.machine->sleep(300 * kMs);
         auto got = r.farEnd->receivedBytes();
         if (w.status == STATUS_SUCCESS) {
             EXPECT_EQ(std::string(got.begin(), got.end()), data);
         }
         EXPECT_GE(got.size(), w.information);
     }},
    {"read", prepareData,
     [](Rig& r) {
         char buffer[8] = {};
         auto io = r.file->startRead(buffer, 5);
         r.farEnd->send("hello");
         host::IoResult rd = r.finished(io);
         expectStatus("read", rd.status);
         EXPECT_LE(rd.information, 5u);
         EXPECT_EQ(std::string(buffer, rd.information), std::string("hello").substr(0, rd.information));
     }},
    {"purge", [](Rig& r) { r.plug(); ASSERT_EQ(r.open(), STATUS_SUCCESS); },
     [](Rig& r) {
         r.control(IOCTL_SERIAL_SET_XOFF, nullptr, 0);
         char in[4];
         auto read = r.file->startRead(in, sizeof in);
         auto write = r.file->startWrite("held", 4);
         ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
         EXPECT_EQ(r.control(IOCTL_SERIAL_PURGE, &mask, sizeof mask).status, STATUS_SUCCESS);
         expectStatus("purged read", r.finished(read, 100 * kMs).status);
         expectStatus("purged write", r.finished(write, 100 * kMs).status);
     }},
    {"close", [](Rig& r) { r.plug(); ASSERT_EQ(r.open(), STATUS_SUCCESS); },
     [](Rig& r) {
         expectStatus("close", r.file->close());
         r.file.reset();
     }},
    {"stop-restart", [](Rig& r) { r.plug(); },
     [](Rig& r) {
         auto& pnp = r.machine->pnp();
         NTSTATUS q = pnp.queryStopDevice(r.pdo());
         expectStatus("query-stop", q);
         if (NT_SUCCESS(q)) {
             expectStatus("stop", pnp.stopDevice(r.pdo()));
             expectStatus("start", pnp.startDevice(r.pdo()));
         }
         r.machine->sleep(10 * kMs);
     }},
    {"surprise-removal", [](Rig& r) { r.plug(); ASSERT_EQ(r.open(), STATUS_SUCCESS); },
     [](Rig& r) {
         // The device goes with a handle open; the removal follows its close.
         r.hub->disconnect(kHubPort);
         r.machine->pnp().waitIdle();
         expectStatus("close", r.file->close());
         r.file.reset();
         r.machine->pnp().waitIdle();
     }},
    {"removal", [](Rig& r) { r.plug(); },
     [](Rig& r) { expectStatus("removal", r.machine->pnp().removeDevice(r.pdo())); }},
};

struct Case {
    size_t operation;
    FaultTarget target;
};

std::string targetName(const FaultTarget& t)
{
    std::string name = faultSourceName(t.source);
    if (t.source == FaultSource::Pipe || t.source == FaultSource::PipeStall)
        name += t.endpoint == zmodel::kBulkInEndpoint    ? "-bulk-in"
              : t.endpoint == zmodel::kBulkOutEndpoint   ? "-bulk-out"
                                                         : "-interrupt-in";
    return name;
}

std::string caseName(const testing::TestParamInfo<Case>& info)
{
    std::string name = std::string(kOperations[info.param.operation].name) + "_" + targetName(info.param.target);
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

std::vector<Case> allCases()
{
    const FaultTarget targets[] = {
        {FaultSource::Pool},
        {FaultSource::Irp},
        {FaultSource::Control},
        {FaultSource::ControlStall},
        {FaultSource::Pipe, zmodel::kBulkInEndpoint, USBD_STATUS_CRC},
        {FaultSource::Pipe, zmodel::kBulkOutEndpoint},
        {FaultSource::Pipe, zmodel::kInterruptInEndpoint},
        {FaultSource::PipeStall, zmodel::kBulkOutEndpoint},
        {FaultSource::Unplug},
    };
    std::vector<Case> cases;
    for (size_t op = 0; op < std::size(kOperations); ++op)
        for (const FaultTarget& t : targets)
            cases.push_back({op, t});
    return cases;
}

class FaultMatrix : public testing::TestWithParam<Case> {};

TEST_P(FaultMatrix, EveryInjectionPointEndsWithAStatusAndACleanRemoval)
{
    const Operation& op = kOperations[GetParam().operation];
    const FaultTarget target = GetParam().target;
    // Fault-free: how many injection points the operation has.
    uint64_t points;
    {
        Rig rig;
        op.prepare(rig);
        rig.arm(target, 0);
        op.run(rig);
        points = rig.disarm();
        rig.finish();
        ASSERT_FALSE(HasFailure());
    }
    std::printf("[fault matrix] %s, %s: %llu injection points\n", op.name, targetName(target).c_str(),
                (unsigned long long)points);
    for (uint64_t n = 1; n <= points; ++n) {
        if (!faultPointRun(n, points))
            continue;
        SCOPED_TRACE(testing::Message() << op.name << ", " << targetName(target) << " fault at point " << n);
        Rig rig;
        op.prepare(rig);
        rig.arm(target, n);
        op.run(rig);
        uint64_t seen = rig.disarm();
        EXPECT_FALSE(rig.hung) << "a request never came back";
        rig.finish();
        if (seen < n || HasFailure())
            break;   // past the operation's last point, or one failure is enough
    }
}

INSTANTIATE_TEST_SUITE_P(Port, FaultMatrix, testing::ValuesIn(allCases()), caseName);

} // namespace
} // namespace ztest
