// The KMDF 1.9 framework on the host: how the loader binds a client (a copy of
// the function table into the client's own array, refused when the client
// wants more than the framework has), and the framework verifier's checks,
// each tripped by KmdfProbe, a driver that makes the mistake on request.

#include <ntddk.h>
#include <usb.h>
#include <wdf.h>

#include "tests/kmdf/probe_driver.h"
#include "tests/support/machine_fixture.h"

#include "host/kmdf/kmdf.h"
#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"
#include "host/nt/pnp.h"
#include "host/nt/strings.h"
#include "host/usb/usb_bus.h"
#include "model/controller.h"

#include <memory>
#include <vector>

namespace ztest {
namespace {

constexpr NTSTATUS kRevisionMismatch = (NTSTATUS)0xC0000059;

// A client of `minor` asking for `count` entries into a table one entry
// longer than the framework's, every slot a sentinel before the bind.
TEST(KmdfLoader, AClientBefore115GetsACopyOfItsEntriesAndNoMoreThanTheFrameworkHas) {
    struct Case {
        ULONG minor;
        ULONG count;
        NTSTATUS status;
    };
    const Case cases[] = {
        {9, WdfFunctionTableNumEntries, STATUS_SUCCESS},          // a 1.9 client: the whole table
        {5, 100, STATUS_SUCCESS},                                 // an older client: its own 100 entries only
        {9, WdfFunctionTableNumEntries + 1, STATUS_INVALID_PARAMETER},   // more than the framework has
        {15, WdfFunctionTableNumEntries, kRevisionMismatch},      // newer than the framework
    };
    const WDFFUNC sentinel = reinterpret_cast<WDFFUNC>(uintptr_t(0x5A5A5A5A5A5A5A5A));
    for (const Case& c : cases) {
        SCOPED_TRACE("1." + std::to_string(c.minor) + ", " + std::to_string(c.count) + " entries");
        std::vector<WDFFUNC> table(WdfFunctionTableNumEntries + 1, sentinel);
        DRIVER_OBJECT driver{};
        WCHAR pathText[] = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Client";
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, pathText);
        WDF_BIND_INFO info{sizeof(WDF_BIND_INFO), (PWCHAR)L"KmdfLibrary", {1, c.minor, 0}, c.count, table.data(),
                           nullptr};
        PWDF_COMPONENT_GLOBALS globals = &table;   // must be left alone on failure
        ASSERT_EQ(WdfVersionBind(&driver, &path, &info, &globals), c.status);
        size_t copied = 0;
        while (copied < table.size() && table[copied] != sentinel)
            ++copied;
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(copied, 0u);
            EXPECT_EQ(globals, &table);
            continue;
        }
        EXPECT_EQ(copied, c.count);
        EXPECT_NE(table[0], nullptr);
        EXPECT_EQ(reinterpret_cast<PWDF_DRIVER_GLOBALS>(globals)->Driver, nullptr);
        EXPECT_STREQ(reinterpret_cast<PWDF_DRIVER_GLOBALS>(globals)->DriverName, "Client");
        EXPECT_EQ(WdfVersionUnbind(&path, &info, globals), STATUS_SUCCESS);
    }
}

// A machine with KmdfProbe bound to the chip function of a 2-port controller.
class FrameworkTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine->pnp().installDriver(u"KmdfProbe", ZEPHAN_KMDF_PROBE_PATH, {u"USB\\VID_F05A&PID_7A00"});
        controller_ = std::make_unique<zmodel::Controller>(zmodel::Variant::Ports2);
        plug_ = host::usb::plug(*machine, *controller_);
        machine->pnp().waitIdle();
        ASSERT_NE(fdo(), nullptr);
    }
    void TearDown() override {
        unplug();
        MachineTest::TearDown();
    }
    void unplug() {
        plug_.reset();
        machine->pnp().waitIdle();
    }

    PDEVICE_OBJECT fdo() { return plug_->pdo(zmodel::Controller::kChipHubPort)->AttachedDevice; }
    WDFDEVICE device() { return host::kmdf::deviceOf(fdo()); }
    template <class F> F routine(const char* name) {
        return machine->pnp().image(u"KmdfProbe")->symbol<F>(name);
    }

    // One control code; the status the probe put in the output buffer.
    NTSTATUS probe(ULONG code, NTSTATUS* reported = nullptr) {
        std::unique_ptr<host::DeviceFile> file;
        NTSTATUS status = host::DeviceFile::open(*machine, PROBE_LINK_U, &file);
        if (!NT_SUCCESS(status))
            return status;
        NTSTATUS out = 0;
        host::IoResult r = file->ioctl(code, nullptr, 0, &out, sizeof(out));
        if (reported)
            *reported = out;
        file->close();
        return r.status;
    }
    static constexpr const char16_t* PROBE_LINK_U = u"\\DosDevices\\KmdfProbe";

    std::unique_ptr<zmodel::Controller> controller_;
    std::unique_ptr<host::usb::Plug> plug_;
};

TEST_F(FrameworkTest, TheProbeImageOwnsItsTableAndTheLoaderFilledIt) {
    host::DriverImage* image = machine->pnp().image(u"KmdfProbe");
    auto* info = image->symbol<WDF_BIND_INFO*>("WdfBindInfo");
    auto* functions = image->symbol<WDFFUNC*>("WdfFunctions");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->FuncTable, functions);
    EXPECT_EQ(info->FuncCount, ULONG(WdfFunctionTableNumEntries));
    for (int index : {int(WdfDriverCreateTableIndex), int(WdfDeviceCreateTableIndex), int(WdfRequestCompleteTableIndex)})
        EXPECT_NE(functions[index], nullptr) << index;
}

// Each misuse is reported by name and does no harm: the stale handle's memory
// is not touched, a refused call fails with the framework's status.
TEST_F(FrameworkTest, EachMisuseIsReportedNamingTheCall) {
    struct Case {
        ULONG code;
        const char* report;
        NTSTATUS reported;   // what the probe's call returned (0: not looked at)
    };
    const Case cases[] = {
        {IOCTL_PROBE_COMPLETE_TWICE, "WdfRequestComplete called with a WDFREQUEST that was already completed", 0},
        {IOCTL_PROBE_USE_AFTER_COMPLETION,
         "WdfRequestRetrieveOutputBuffer called with a WDFREQUEST that was already completed", 0},
        {IOCTL_PROBE_CLOSE_KEY_TWICE, "WdfObjectDelete called with a WDFKEY that was already closed", STATUS_SUCCESS},
        {IOCTL_PROBE_SECOND_LINK, "WdfDeviceCreateSymbolicLink: the device already has a symbolic link",
         STATUS_INVALID_DEVICE_REQUEST},
        {IOCTL_PROBE_REGISTRY_AT_DISPATCH, "WdfDeviceOpenRegistryKey called at IRQL 2, above its maximum 0",
         STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        expectViolation(c.report);
        NTSTATUS reported = 0;
        EXPECT_EQ(probe(c.code, &reported), STATUS_SUCCESS);
        if (c.reported) {
            EXPECT_EQ(reported, c.reported);
        }
        checkExpectedViolationsSeen();
    }
    EXPECT_EQ(violations().size(), std::size(cases));
}

TEST_F(FrameworkTest, StopIdleWithoutWaitingPowersAnIdleDeviceUpInTheBackground) {
    auto stopIdle = routine<NTSTATUS (*)(WDFDEVICE, BOOLEAN)>("ProbeStopIdle");
    auto resumeIdle = routine<VOID (*)(WDFDEVICE)>("ProbeResumeIdle");
    // In D0 the reference is taken at once.
    EXPECT_EQ(stopIdle(device(), FALSE), STATUS_SUCCESS);
    EXPECT_EQ(host::kmdf::idleReferences(fdo()), 1);
    resumeIdle(device());
    // Idle (D3): pending, and the device comes back to D0 by itself.
    ASSERT_EQ(host::kmdf::idle(fdo()), STATUS_SUCCESS);
    ASSERT_EQ(host::kmdf::powerState(fdo()), WdfPowerDeviceD3);
    EXPECT_EQ(stopIdle(device(), FALSE), STATUS_PENDING);
    EXPECT_EQ(host::kmdf::idleReferences(fdo()), 1);
    for (int i = 0; i < 100 && host::kmdf::powerState(fdo()) != WdfPowerDeviceD0; ++i)
        machine->sleep(10000);
    EXPECT_EQ(host::kmdf::powerState(fdo()), WdfPowerDeviceD0);
    EXPECT_EQ(host::kmdf::idle(fdo()), STATUS_DEVICE_BUSY);
    resumeIdle(device());
    // Waiting for D0 is for PASSIVE_LEVEL only.
    expectViolation("WdfDeviceStopIdle called at IRQL 2, above its maximum 0");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS atDispatch = stopIdle(device(), TRUE);
    KeLowerIrql(old);
    EXPECT_EQ(atDispatch, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(host::kmdf::idleReferences(fdo()), 0);
}

TEST_F(FrameworkTest, APowerReferenceStillHeldAtRemovalIsReported) {
    NTSTATUS reported = -1;
    EXPECT_EQ(probe(IOCTL_PROBE_HOLD_IDLE, &reported), STATUS_SUCCESS);
    EXPECT_EQ(reported, STATUS_SUCCESS);
    expectViolation("device removed while 1 WdfDeviceStopIdle reference(s) are still held");
    unplug();
    checkExpectedViolationsSeen();
}

} // namespace
} // namespace ztest
