#include "tools/sim/port_machine.h"

#include "model/ids.h"

#include <cstdio>

namespace zsim {

const char16_t kPortService[] = u"Zephan_Port";

std::filesystem::path defaultPortImage() { return ZEPHAN_PORT_IMAGE_PATH; }

std::filesystem::path shippedPortImage() { return ZEPHAN_PORT_SHIPPED_IMAGE_PATH; }

std::u16string uartHardwareId()
{
    char text[64];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", zmodel::kVendorId, zmodel::kUartProductId);
    std::u16string id;
    for (const char* p = text; *p; ++p)
        id.push_back(static_cast<char16_t>(*p));
    return id;
}

void installPortDriver(host::Machine& machine, const std::filesystem::path& image, PortClass setupClass)
{
    static constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    machine.pnp().installDriver(kPortService, image, {uartHardwareId()},
                                setupClass == PortClass::Ports ? &kPortsClass : nullptr);
}

PDEVICE_OBJECT portDevice(PDEVICE_OBJECT pdo)
{
    return pdo ? pdo->AttachedDevice : nullptr;
}

PDEVICE_EXTENSION portExtension(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = portDevice(pdo);
    return fdo ? static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension) : nullptr;
}

std::string narrow(const UNICODE_STRING& s)
{
    std::string out;
    if (s.Buffer)
        for (USHORT i = 0; i < s.Length / sizeof(WCHAR); ++i)
            out.push_back(static_cast<char>(s.Buffer[i]));
    return out;
}

std::string narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s)
        out.push_back(static_cast<char>(c));
    return out;
}

host::DriverImage* portImage(host::Machine& machine)
{
    return machine.pnp().image(kPortService);
}

} // namespace zsim
