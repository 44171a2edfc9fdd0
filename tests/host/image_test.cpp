// The machine's image loader on a driver image built as the shipped ones are
// (MinGW-w64, PE32+): relocation, binding by name and by ordinal, what x64
// kernel code does inline (CR8, KUSER_SHARED_DATA, gs), the kernel's variadic
// routines, faults inside the image, and the threads of an image ending.

#include <ntstrsafe.h>
#include <usb.h>
#include <wdf.h>

#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"
#include "host/nt/mm_image.h"
#include "tests/support/machine_fixture.h"
#include "tests/windows/probe/probe_ioctl.h"

namespace {

std::vector<uint8_t> readImage(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ImageTest : public ztest::MachineTest {
protected:
    void SetUp() override {
        options.onDebugPrint = [this](const std::string& line) {
            std::lock_guard g(printMutex);
            printed.push_back(line);
        };
        MachineTest::SetUp();
    }

    // Loads the probe image as a legacy driver and opens its device.
    void loadProbe() {
        machine->pnp().installDriver(u"zldr_probe", ZTEST_PROBE_IMAGE, {});
        ASSERT_EQ(machine->pnp().loadDriver(u"zldr_probe"), STATUS_SUCCESS);
        ASSERT_EQ(host::DeviceFile::open(*machine, u"\\Device\\ZldrProbe", &probe), STATUS_SUCCESS);
    }

    template <class T>
    host::IoResult control(ULONG code, T& data) {
        return probe->ioctl(code, &data, sizeof data, &data, sizeof data);
    }

    const host::PeImage* probeImage() {
        auto* image = machine->pnp().image(u"zldr_probe");
        return image ? image->peImage() : nullptr;
    }

    void TearDown() override {
        if (probe)
            probe->close();
        probe.reset();
        MachineTest::TearDown();
    }

    std::unique_ptr<host::DeviceFile> probe;
    std::mutex printMutex;
    std::vector<std::string> printed;
};

TEST_F(ImageTest, TheProbeIsRelocatedBoundAndUnmappedAtUnload) {
    loadProbe();
    const host::PeImage* image = probeImage();
    ASSERT_NE(image, nullptr);
    EXPECT_NE(image->base(), image->preferredBase()) << "the test needs the image away from its preferred base";
    uintptr_t base = image->base();

    // The table of names is pointers in the image's data: right only when
    // every base relocation was applied. The formatting goes through the
    // kernel's _vsnwprintf with a Windows argument list, DbgPrint through its
    // `...`.
    PROBE_TEXT text{};
    ASSERT_EQ(control(IOCTL_PROBE_TEXT, text).status, STATUS_SUCCESS);
    EXPECT_STREQ(text.Names, "alphabetagamma");
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text.Formatted)),
              u"COM7 -12 123456789abc beta 4000000000 wide z");
    {
        std::lock_guard g(printMutex);
        ASSERT_FALSE(printed.empty());
        EXPECT_EQ(printed.back(), "probe: gamma 7 printed\n");
    }

    // KeStallExecutionProcessor is imported from HAL.dll by ordinal 2: the
    // second of the module's exports in name order.
    EXPECT_EQ(machine->loader().ordinalOf("HAL.dll", "KeStallExecutionProcessor"), 2u);
    ULONG microseconds = 1500;
    uint64_t before = machine->now();
    ASSERT_EQ(control(IOCTL_PROBE_STALL, microseconds).status, STATUS_SUCCESS);
    EXPECT_EQ(machine->now() - before, 15000u);

    probe->close();
    probe.reset();
    ASSERT_EQ(machine->pnp().unloadDriver(u"zldr_probe"), STATUS_SUCCESS);
    EXPECT_EQ(machine->loader().imageAt(reinterpret_cast<const void*>(base)), nullptr);
}

// KeRaiseIrql and KeGetCurrentIrql are moves to and from CR8 in the image:
// the level it raises to is the thread's IRQL as the platform sees it.
TEST_F(ImageTest, AnIrqlRaisedInlineIsTheIrqlTheVerifierSees) {
    loadProbe();
    PROBE_IRQL irql{};
    irql.Requested = DISPATCH_LEVEL;
    expectViolation("ExAllocatePoolWithTag of paged pool at IRQL 2");
    ASSERT_EQ(control(IOCTL_PROBE_RAISE_IRQL, irql).status, STATUS_SUCCESS);
    EXPECT_EQ(irql.Seen, DISPATCH_LEVEL);
    EXPECT_EQ(irql.Restored, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// KeQuerySystemTime, KeQueryInterruptTime and KeQueryTickCount read
// KUSER_SHARED_DATA, KeGetCurrentThread the gs segment: the answers are the
// machine's clock and the machine thread.
TEST_F(ImageTest, InlineTimeAndThreadReadsAnswerFromTheMachine) {
    loadProbe();
    machine->sleep(123456789);
    PROBE_TIME time{};
    ASSERT_EQ(control(IOCTL_PROBE_TIME, time).status, STATUS_SUCCESS);
    LARGE_INTEGER system, ticks;
    KeQuerySystemTime(&system);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(time.SystemTime, system.QuadPart);
    EXPECT_EQ(time.InterruptTime, KeQueryInterruptTime());
    EXPECT_EQ(time.TickCount, ticks.QuadPart);
    EXPECT_GT(time.TickCount, 0);

    PROBE_THREAD thread{};
    ASSERT_EQ(control(IOCTL_PROBE_THREAD, thread).status, STATUS_SUCCESS);
    EXPECT_EQ(thread.Inline, reinterpret_cast<ULONGLONG>(PsGetCurrentThread()));
    EXPECT_EQ(thread.Imported, thread.Inline);
}

TEST_F(ImageTest, AnImportThePlatformLacksFailsTheLoadNamingIt) {
    machine->pnp().installDriver(u"zldr_probe", ZTEST_PROBE_MISSING_IMPORT_IMAGE, {});
    expectViolation("driver image zldr_probe.sys cannot be loaded: zldr_probe.sys imports ExUuidCreate from "
                    "ntoskrnl.exe, which the platform does not export");
    EXPECT_EQ(machine->pnp().loadDriver(u"zldr_probe"), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(machine->pnp().image(u"zldr_probe"), nullptr);
}

// The loader refuses an image it cannot place: no base relocations, or a
// relocation an x64 image cannot have.
TEST_F(ImageTest, RelocationsTheLoaderCannotApplyRefuseTheImage) {
    const std::vector<uint8_t> image = readImage(ZTEST_PROBE_IMAGE);
    ASSERT_GT(image.size(), 0x400u);
    uint32_t nt;
    memcpy(&nt, &image[0x3C], 4);
    const size_t characteristics = nt + 4 + 18, relocDirectory = nt + 24 + 112 + 8 * 5;
    uint32_t relocRva;
    memcpy(&relocRva, &image[relocDirectory], 4);
    // The file offset of the relocation table: the section that holds its RVA.
    size_t relocOffset = 0;
    uint16_t sections, optionalSize;
    memcpy(&sections, &image[nt + 6], 2);
    memcpy(&optionalSize, &image[nt + 20], 2);
    for (uint16_t i = 0; i < sections; ++i) {
        const uint8_t* sh = &image[nt + 24 + optionalSize + 40 * i];
        uint32_t rva, raw;
        memcpy(&rva, sh + 12, 4);
        memcpy(&raw, sh + 20, 4);
        if (relocRva >= rva && relocRva - rva < 0x1000)
            relocOffset = raw + (relocRva - rva);
    }
    ASSERT_NE(relocOffset, 0u);

    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        NTSTATUS status;
        const char* error;
    } cases[] = {
        {"relocations stripped",
         [&](std::vector<uint8_t>& b) {
             b[characteristics] |= 1;   // IMAGE_FILE_RELOCS_STRIPPED
             memset(&b[relocDirectory], 0, 8);
         },
         STATUS_CONFLICTING_ADDRESSES, "has no base relocations and cannot be loaded away from 0x140000000"},
        {"a 32-bit relocation",
         [&](std::vector<uint8_t>& b) { b[relocOffset + 9] = uint8_t((b[relocOffset + 9] & 0x0F) | 0x30); },
         STATUS_INVALID_IMAGE_FORMAT, "base relocation of type 3 at RVA"},
        {"not x64", [&](std::vector<uint8_t>& b) { b[nt + 4] = 0x4C; b[nt + 5] = 0x01; },
         STATUS_INVALID_IMAGE_FORMAT, "machine 0x14c is not x64"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> damaged = image;
        c.damage(damaged);
        NTSTATUS status = STATUS_SUCCESS;
        std::string error;
        EXPECT_EQ(machine->loader().load("zldr_probe.sys", damaged, status, error), nullptr);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

// Pool the image allocates is charged to it (the leak check at unload names
// it), and the pool's fault injection fails its allocations.
TEST_F(ImageTest, PoolOfTheImageIsChargedToItAndFaultInjectionReachesIt) {
    loadProbe();
    ULONG none = 0;
    // The request's system buffer is the first allocation, the image's the second.
    machine->pool().failNth(2);
    EXPECT_EQ(control(IOCTL_PROBE_LEAK, none).status, STATUS_NO_MEMORY);
    EXPECT_EQ(control(IOCTL_PROBE_LEAK, none).status, STATUS_SUCCESS);
    auto held = machine->pool().blocksOwnedBy(reinterpret_cast<const void*>(probeImage()->base()));
    ASSERT_EQ(held.size(), 1u);
    PVOID leaked = held[0].first;
    probe->close();
    probe.reset();
    expectViolation("driver zldr_probe unloaded with 1 pool block(s) still allocated: 'Leak' 24 bytes;");
    ASSERT_EQ(machine->pnp().unloadDriver(u"zldr_probe"), STATUS_SUCCESS);
    ExFreePoolWithTag(leaked, 'kaeL');
}

// The enumerator's shipped image binds as a KMDF 1.9 client does: its entry
// stub hands the framework loader its own table, and the loader copies
// every entry into it.
TEST_F(ImageTest, TheEnumeratorImageBindsThroughACopyOfTheFunctionTable) {
    machine->pnp().installDriver(u"Zephan_GPIOEnum", ZTEST_ENUM_IMAGE, {});
    ASSERT_EQ(machine->pnp().loadDriver(u"Zephan_GPIOEnum"), STATUS_SUCCESS);
    host::DriverImage* driver = machine->pnp().image(u"Zephan_GPIOEnum");
    ASSERT_TRUE(driver && driver->peImage());
    auto* bind = driver->symbol<PWDF_BIND_INFO>("WdfBindInfo");
    auto* table = driver->symbol<WDFFUNC*>("WdfFunctions");
    ASSERT_TRUE(bind && table);
    EXPECT_EQ(bind->FuncTable, table);
    EXPECT_EQ(bind->FuncCount, ULONG(WdfFunctionTableNumEntries));
    for (int i = 0; i < WdfFunctionTableNumEntries; ++i)
        ASSERT_NE(table[i], nullptr) << "entry " << i;
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(table[WdfDriverCreateTableIndex]), &info), 0);
    EXPECT_NE(std::string(info.dli_fname).find("libzkmdf"), std::string::npos) << info.dli_fname;
    EXPECT_EQ(machine->pnp().unloadDriver(u"Zephan_GPIOEnum"), STATUS_SUCCESS);
}

// A fault inside the image fails the test with a report that names the image,
// the RVA, the routine and the machine thread, and the machine goes on.
TEST_F(ImageTest, AFaultInsideTheImageIsReportedAndTheMachineGoesOn) {
    loadProbe();
    expectViolation("fault in driver image zldr_probe.sys+0x");
    ULONG none = 0;
    ASSERT_EQ(control(IOCTL_PROBE_FAULT_IN_DPC, none).status, STATUS_SUCCESS);
    KeFlushQueuedDpcs();
    auto seen = violations();
    ASSERT_FALSE(seen.empty());
    const std::string& report = seen.back();
    EXPECT_NE(report.find("(ProbeFaultingDpc+0x"), std::string::npos) << report;
    EXPECT_NE(report.find("access violation at address 0x0"), std::string::npos) << report;
    EXPECT_NE(report.find(", IRQL 2]"), std::string::npos) << report;
    EXPECT_NE(report.find("[thread DPC"), std::string::npos) << report;
    EXPECT_NE(report.find("rax="), std::string::npos) << report;

    PROBE_TEXT text{};
    EXPECT_EQ(control(IOCTL_PROBE_TEXT, text).status, STATUS_SUCCESS);
    EXPECT_STREQ(text.Names, "alphabetagamma");
}

// A thread of the image that ends itself with PsTerminateSystemThread, and
// one the machine ends at shutdown, leave through the platform's frames
// although the image's own cannot be unwound.
TEST_F(ImageTest, ThreadsOfTheImageEndThroughThePlatform) {
    loadProbe();
    ULONG none = 0;
    EXPECT_EQ(control(IOCTL_PROBE_THREAD_EXIT, none).status, STATUS_SUCCESS);
    EXPECT_EQ(control(IOCTL_PROBE_STRAND_THREAD, none).status, STATUS_SUCCESS);
    probe->close();
    probe.reset();
    expectViolation("driver image zldr_probe.sys unloaded while 1 call(s) of the platform into it have not returned");
    expectViolation("system thread ProbeStrandedThread is still running when the machine shuts down");
    shutdownMachine();
}

} // namespace
