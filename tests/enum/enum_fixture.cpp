#include "enum_fixture.h"

#include "host/nt/cm_registry.h"
#include "host/nt/io_manager.h"
#include "host/nt/kernel.h"
#include "host/nt/pnp.h"
#include "host/nt/strings.h"

namespace ztest {

void EnumTest::SetUp() {
    MachineTest::SetUp();
    const char* enumerator = shippedImages() ? ZEPHAN_ENUM_SHIPPED_IMAGE_PATH : ZEPHAN_ENUM_IMAGE_PATH;
    machine->pnp().installDriver(u"Zephan_GPIOEnum", enumerator, {u"USB\\VID_F05A&PID_7A00"});
    if (installPort)
        zsim::installPortDriver(*machine, shippedImages() ? zsim::shippedPortImage() : zsim::defaultPortImage());
}

void EnumTest::TearDown() {
    while (!plugs_.empty())
        unplug(plugs_.size() - 1);
    MachineTest::TearDown();
}

zmodel::Controller& EnumTest::plug(zmodel::Variant variant, zmodel::ControllerOptions options) {
    controllers_.push_back(std::make_unique<zmodel::Controller>(variant, options));
    plugs_.push_back(host::usb::plug(*machine, *controllers_.back()));
    machine->pnp().waitIdle();
    // The driver that runs is the one the test asked for.
    if (host::DriverImage* loaded = machine->pnp().image(u"Zephan_GPIOEnum")) {
        EXPECT_EQ(loaded->peImage() != nullptr, shippedImages());
    }
    return *controllers_.back();
}

void EnumTest::unplug(size_t n) {
    plugs_.at(n).reset();
    machine->pnp().waitIdle();
    plugs_.erase(plugs_.begin() + n);
    controllers_.erase(controllers_.begin() + n);
}

void EnumTest::waitForBringUp(size_t n) {
    PDEVICE_CONTEXT c = context(n);
    ASSERT_NE(c, nullptr);
    while (c->BringUpThread) {
        PKTHREAD thread = c->BringUpThread;
        LARGE_INTEGER none{};
        if (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &none) == STATUS_SUCCESS)
            break;
        machine->sleep(100 * 10000);   // 100 ms
    }
    machine->pnp().waitIdle();
}

PDEVICE_OBJECT EnumTest::chipFdo(size_t n) {
    PDEVICE_OBJECT pdo = chipPdo(n);
    return pdo ? pdo->AttachedDevice : nullptr;
}

PDEVICE_CONTEXT EnumTest::context(size_t n) {
    return static_cast<PDEVICE_CONTEXT>(host::kmdf::contextOf(chipFdo(n)));
}

host::DriverImage& EnumTest::image() {
    host::DriverImage* image = machine->pnp().image(u"Zephan_GPIOEnum");
    if (!image) {
        ADD_FAILURE() << "the enumerator is not loaded";
        std::abort();
    }
    return *image;
}

NTSTATUS EnumTest::ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* information, size_t n) {
    std::unique_ptr<host::DeviceFile> file;
    std::u16string link = u"\\DosDevices\\Zephan_A_Enum" + host::fromUtf8(std::to_string(context(n)->SetupNumber));
    NTSTATUS status = host::DeviceFile::open(*machine, link, &file);
    if (!NT_SUCCESS(status))
        return status;
    host::IoResult r = file->ioctl(code, in, inLength, out, outLength);
    if (information)
        *information = r.information;
    file->close();
    return r.status;
}

std::vector<int> EnumTest::portDevicesUp(size_t n) {
    std::vector<int> up;
    for (int port = 2; port <= 13; ++port) {
        PDEVICE_OBJECT pdo = plugs_.at(n)->pdo(port);
        if (pdo && zsim::portDevice(pdo))
            up.push_back(port);
    }
    return up;
}

std::u16string EnumTest::chipParametersPath(size_t n) {
    return machine->pnp().enumKeyPath(chipPdo(n)) + u"\\Device Parameters";
}

} // namespace ztest
