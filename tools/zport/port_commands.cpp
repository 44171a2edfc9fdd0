// zport's commands on a port: each opens \\.\COMn and sends the port
// driver's vendor and maintenance controls (after checking its command
// line, so a bad one never touches a port). 'list' opens none: it reads the
// records the system keeps of the driver's devices.
#include "zport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zport {

namespace {

// The port driver's device names.
const char kPortDevicePrefix[] = "\\Device\\LumoraSerial";

// REGISTER_REQUEST: register (u16), count (u16), 256 data bytes.
constexpr DWORD kRegisterRequestBytes = 260;
constexpr unsigned kRegisterDataMax = 256;

// An open port; the handle is closed with it.
class Port {
public:
    Port() = default;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }

    // Opens COMn; on failure reports why and returns the exit code.
    int open(const std::string& name)
    {
        number_ = comNumber(name);
        if (number_ == 0)
            return usage(nullptr, "'%s' is not a COM port name", name.c_str());
        char com[32];
        std::snprintf(com, sizeof com, "COM%lu", number_);
        name_ = com;
        char target[512] = {};
        if (QueryDosDeviceA(com, target, sizeof target) == 0) {
            error("%s: no such port\n", com);
            return ZPORT_EXIT_NO_PORT;
        }
        if (std::strncmp(target, kPortDevicePrefix, sizeof kPortDevicePrefix - 1) != 0) {
            error("%s is not a port of a Zephan controller (%s)\n", com, target);
            return ZPORT_EXIT_NO_PORT;
        }
        std::string path = "\\\\.\\" + name_;
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            // A port is opened by one program at a time.
            if (e == ERROR_ACCESS_DENIED)
                error("%s: in use by another program; close the port there and try again\n", com);
            else
                error("%s: cannot open: %s\n", com, errorText(e).c_str());
            return ZPORT_EXIT_NO_PORT;
        }
        return ZPORT_EXIT_OK;
    }

    const char* name() const { return name_.c_str(); }

    // One device control; false with the last error set when it fails.
    bool control(DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned = nullptr)
    {
        DWORD n = 0;
        BOOL ok = DeviceIoControl(handle_, code, const_cast<void*>(in), inLength, out, outLength, &n, nullptr);
        if (returned)
            *returned = n;
        return ok != FALSE;
    }
    // The SET and GET controls that take one 4-byte buffer both ways.
    bool exchange(DWORD code, DWORD* value) { return control(code, value, sizeof *value, value, sizeof *value); }

    // A refused control: "<port>: <what>: <error text>".
    int refused(const char* what)
    {
        DWORD e = GetLastError();
        std::string text = name_ + ": " + what;
        return failed(text.c_str(), e);
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    unsigned long number_ = 0;
    std::string name_;
};

// The port driver's service, whose Enum list names its present devices.
const char kServiceEnumKey[] = "SYSTEM\\CurrentControlSet\\Services\\Zephan_Port\\Enum";
const char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum\\";

bool registryValue(const std::string& path, const char* name, DWORD wantedType, std::vector<char>* data)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    LSTATUS r = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    if (r == ERROR_SUCCESS && type == wantedType) {
        data->assign(size + 1, 0);
        r = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data->data()), &size);
    }
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == wantedType;
}

bool registryString(const std::string& path, const char* name, std::string* value)
{
    std::vector<char> data;
    if (!registryValue(path, name, REG_SZ, &data))
        return false;
    *value = data.data();
    return true;
}

bool registryDword(const std::string& path, const char* name, DWORD* value)
{
    std::vector<char> data;
    if (!registryValue(path, name, REG_DWORD, &data) || data.size() < sizeof(DWORD))
        return false;
    std::memcpy(value, data.data(), sizeof(DWORD));
    return true;
}

// The port index of a device at "Port_#0002.Hub_#0001": UART i sits at hub
// port i + 2.
int indexOfLocation(const std::string& location)
{
    unsigned long hubPort = 0;
    if (location.rfind("Port_#", 0) != 0 || !parseNumber(location.substr(6, 4), 255, &hubPort) || hubPort < 2)
        return -1;
    return int(hubPort) - 2;
}

// The chip group of an open port: bits 0-1 of its GPIO register (0x10E).
bool chipGroup(Port& port, unsigned* group)
{
    unsigned char request[kRegisterRequestBytes] = {0x0E, 0x01, 1, 0};
    if (!port.control(IOCTL_READ_REGISTER, request, sizeof request, request, sizeof request))
        return false;
    *group = request[4] & 0x03;
    return true;
}

void hexLine(unsigned address, const unsigned char* data, size_t n)
{
    std::string line;
    char b[8];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, " %02X", data[i]);
        line += b;
    }
    out("0x%03X:%s\n", address, line.c_str());
}

} // namespace

int listPorts(const Arguments& args)
{
    if (!args.empty())
        return usage("list", "'list' takes no arguments");
    DWORD count = 0;
    if (!registryDword(kServiceEnumKey, "Count", &count) || count == 0) {
        error("no ports of a Zephan controller\n");
        return ZPORT_EXIT_NO_PORT;
    }
    struct Entry {
        unsigned long com;
        std::string name, location, device;
        int index;
    };
    std::vector<Entry> found;
    for (DWORD i = 0; i < count; ++i) {
        std::string instance, name, location;
        if (!registryString(kServiceEnumKey, std::to_string(i).c_str(), &instance) ||
            !registryString(kEnumKey + instance + "\\Device Parameters", "PortName", &name))
            continue;
        registryString(kEnumKey + instance, "LocationInformation", &location);
        char target[512] = {};
        std::string device;
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0 &&
            std::strncmp(target, kPortDevicePrefix, sizeof kPortDevicePrefix - 1) == 0)
            device = target;
        else
            device = "(the name from the port's next start)";
        found.push_back({comNumber(name), name, location, device, indexOfLocation(location)});
    }
    std::sort(found.begin(), found.end(), [](const Entry& a, const Entry& b) { return a.com < b.com; });
    for (const Entry& e : found) {
        std::string index = e.index >= 0 ? std::to_string(e.index) : "?";
        out("%-7s index %-3s %-22s %s\n", e.name.c_str(), index.c_str(), e.location.c_str(), e.device.c_str());
    }
    return ZPORT_EXIT_OK;
}

int showPort(const Arguments& args)
{
    if (args.size() != 1)
        return usage("show", args.empty() ? "'show' needs the port" : "'show' takes only the port");
    Port port;
    if (int rc = port.open(args[0]))
        return rc;

    unsigned char mode[3] = {};
    if (!port.control(IOCTL_GET_PORT_MODE, mode, 3, mode, 3))
        return port.refused("mode");
    DWORD maxWrite = 0, trigger = 0, number = 0, baud = 0;
    if (!port.exchange(IOCTL_GET_MAX_WRITE_LENGTH, &maxWrite))
        return port.refused("write length");
    if (!port.exchange(IOCTL_GET_RX_TRIGGER, &trigger))
        return port.refused("receive trigger");
    if (!port.control(IOCTL_PORT_GET_NUMBER, nullptr, 0, &number, sizeof number))
        return port.refused("port number");
    unsigned group = 0;
    if (!chipGroup(port, &group))
        return port.refused("chip group");
    std::string stored;
    if (port.control(IOCTL_GET_PORT_BAUDRATE, nullptr, 0, &baud, sizeof baud)) {
        stored = std::to_string(baud);
    } else {
        // No "BaudRate" value in the hardware key: nothing was stored.
        DWORD e = GetLastError();
        stored = e == ERROR_FILE_NOT_FOUND ? "not set" : "unreadable (" + errorText(e) + ")";
    }

    out("%s\n", port.name());
    out("  settings record:   group %u index %lu\n", group, static_cast<unsigned long>((number >> 8) - 1));
    out("  mode:              %u\n", mode[0]);
    out("  flags:             mode flag %u, break flag %u\n", mode[1], mode[2]);
    out("  max write length:  %lu\n", static_cast<unsigned long>(maxWrite));
    out("  receive trigger:   %lu\n", static_cast<unsigned long>(trigger));
    out("  stored baud rate:  %s\n", stored.c_str());
    return ZPORT_EXIT_OK;
}

int setPort(const Arguments& args)
{
    Port port;
    if (args.size() < 2)
        return usage("set", "'set' needs the port and at least one key=value");

    // Every setting is checked before anything changes.
    bool haveMode = false, haveFlags = false, haveTrigger = false, haveMaxWrite = false, haveBaud = false;
    unsigned long mode = 0, flags = 0, trigger = 0, maxWrite = 0, baud = 0;
    for (size_t i = 1; i < args.size(); ++i) {
        size_t eq = args[i].find('=');
        if (eq == std::string::npos)
            return usage("set", "'%s' is not key=value", args[i].c_str());
        std::string key = args[i].substr(0, eq), value = args[i].substr(eq + 1);
        bool ok;
        if (key == "mode")
            ok = (haveMode = parseNumber(value, 7, &mode));
        else if (key == "flags")
            ok = (haveFlags = parseNumber(value, 1, &flags));
        else if (key == "trigger")
            ok = (haveTrigger = parseNumber(value, 0xFFFFFFFFul, &trigger));
        else if (key == "maxwrite")
            ok = (haveMaxWrite = parseNumber(value, 128, &maxWrite));
        else if (key == "baud")
            ok = (haveBaud = parseNumber(value, 0xFFFFFFFFul, &baud) && baud != 0);
        else
            return usage("set", "unknown setting '%s'", key.c_str());
        if (!ok)
            return usage("set", "bad value for %s: '%s'", key.c_str(), value.c_str());
    }
    if (int rc = port.open(args[0]))
        return rc;

    if (haveMode || haveFlags) {
        unsigned char current[3] = {};
        if (!port.control(IOCTL_GET_PORT_MODE, current, 3, current, 3))
            return port.refused("mode");
        unsigned char next[3] = {haveMode ? (unsigned char)mode : current[0],
                                 haveFlags ? (unsigned char)flags : current[1], 0};
        if (!port.control(IOCTL_SET_PORT_MODE, next, 3, next, 3))
            return port.refused("mode");
        out("%s: mode %u, mode flag %u\n", port.name(), next[0], next[1]);
    }
    if (haveMaxWrite) {
        DWORD v = maxWrite;
        if (!port.exchange(IOCTL_SET_MAX_WRITE_LENGTH, &v))
            return port.refused("write length");
        out("%s: max write length %lu\n", port.name(), maxWrite);
    }
    if (haveTrigger) {
        DWORD v = trigger;
        if (!port.exchange(IOCTL_SET_RX_TRIGGER, &v))
            return port.refused("receive trigger");
        DWORD level = 0;
        if (!port.exchange(IOCTL_GET_RX_TRIGGER, &level))
            return port.refused("receive trigger");
        out("%s: receive trigger %lu\n", port.name(), static_cast<unsigned long>(level));
        if (level != trigger)
            error("%s: %lu bytes cannot be set exactly; the trigger is %lu\n", port.name(), trigger,
                  static_cast<unsigned long>(level));
    }
    if (haveBaud) {
        DWORD v = baud;
        if (!port.exchange(IOCTL_SET_PORT_BAUDRATE, &v))
            return port.refused("stored baud rate");
        out("%s: stored baud rate %lu\n", port.name(), baud);
    }
    return ZPORT_EXIT_OK;
}

int renamePort(const Arguments& args)
{
    if (args.size() != 2)
        return usage("rename", "'rename' needs the port and its new name");
    DWORD target;
    unsigned long newNumber = comNumber(args[1]);
    const bool preferred = equalNoCase(args[1], "preferred");
    if (preferred)
        target = 0xFF;
    else if (newNumber != 0)
        target = DWORD(newNumber - 1);
    else
        return usage("rename", "'%s' is not a COM port name", args[1].c_str());
    Port port;
    if (int rc = port.open(args[0]))
        return rc;
    if (preferred) {
        // The driver takes the number from the port's settings record and
        // does nothing when the record names none: say so instead.
        DWORD number = 0;
        unsigned group = 0;
        if (!port.control(IOCTL_PORT_GET_NUMBER, nullptr, 0, &number, sizeof number))
            return port.refused("port number");
        if (!chipGroup(port, &group))
            return port.refused("chip group");
        const unsigned index = unsigned((number >> 8) - 1);
        unsigned char record[SETTINGS_RECORD_BYTES] = {};
        std::string why;
        if (!readSettingsRecord(group, index, record, &why)) {
            error("%s: no preferred name: %s\n", port.name(), why.c_str());
            return ZPORT_EXIT_FAILED;
        }
        newNumber = record[RECORD_PREFERRED_COM];
        if (newNumber == 0 || newNumber == RECORD_NO_PREFERRED_COM) {
            error("%s: its settings record (group %u index %u) names no COM number; nothing changes\n", port.name(),
                  group, index);
            return ZPORT_EXIT_FAILED;
        }
    }
    if (!port.exchange(IOCTL_SET_PORT_NAME, &target))
        return port.refused("rename");
    out("%s: named COM%lu%s from the port's next start\n", port.name(), newNumber,
        preferred ? " (its settings record's)" : "");
    return ZPORT_EXIT_OK;
}

int registerCommand(const Arguments& args)
{
    Port port;
    if (args.size() < 3)
        return usage("reg", "'reg' needs the port, read or write, and an address");
    unsigned long address = 0;
    if (!parseNumber(args[2], 0xFFFF, &address))
        return usage("reg", "bad register address '%s'", args[2].c_str());

    unsigned char request[kRegisterRequestBytes] = {};
    request[0] = (unsigned char)(address & 0xFF);
    request[1] = (unsigned char)(address >> 8);
    unsigned long count = 1;
    if (args[1] == "read") {
        if (args.size() > 4 || (args.size() == 4 && (!parseNumber(args[3], kRegisterDataMax, &count) || count == 0)))
            return usage("reg", "a read takes a count of 1 to 256");
    } else if (args[1] == "write") {
        if (args.size() < 4 || args.size() - 3 > kRegisterDataMax)
            return usage("reg", "a write takes 1 to 256 bytes");
        count = (unsigned long)(args.size() - 3);
        for (size_t i = 3; i < args.size(); ++i) {
            unsigned long b = 0;
            if (!parseNumber(args[i], 0xFF, &b))
                return usage("reg", "bad byte '%s'", args[i].c_str());
            request[4 + (i - 3)] = (unsigned char)b;
        }
    } else {
        return usage("reg", "'%s' is neither read nor write", args[1].c_str());
    }
    request[2] = (unsigned char)(count & 0xFF);
    request[3] = (unsigned char)(count >> 8);

    if (int rc = port.open(args[0]))
        return rc;
    if (args[1] == "read") {
        if (!port.control(IOCTL_READ_REGISTER, request, sizeof request, request, sizeof request))
            return port.refused("register read");
        for (unsigned long i = 0; i < count; i += 16)
            hexLine(unsigned(address + i), request + 4 + i, std::min<unsigned long>(16, count - i));
    } else {
        if (!port.control(IOCTL_WRITE_REGISTER, request, sizeof request, request, sizeof request))
            return port.refused("register write");
        out("%s: wrote %lu byte(s) at 0x%03lX\n", port.name(), count, address);
    }
    return ZPORT_EXIT_OK;
}

int i2cCommand(const Arguments& args)
{
    Port port;
    if (args.size() < 4)
        return usage("i2c", "'i2c' needs the port, read or write, an address byte and a register");
    bool read = args[1] == "read";
    if (!read && args[1] != "write")
        return usage("i2c", "'%s' is neither read nor write", args[1].c_str());
    if (args.size() != (read ? 4u : 5u))
        return usage("i2c", read ? "a read takes an address byte and a register"
                                 : "a write takes an address byte, a register and a data byte");
    unsigned long address = 0, reg = 0, data = 0;
    if (!parseNumber(args[2], 0xFF, &address) || (address & 1))
        return usage("i2c", "bad address byte '%s' (the write form, bit 0 clear)", args[2].c_str());
    if (!parseNumber(args[3], 0xFF, &reg))
        return usage("i2c", "bad register '%s'", args[3].c_str());
    if (!read && !parseNumber(args[4], 0xFF, &data))
        return usage("i2c", "bad data byte '%s'", args[4].c_str());
    if (int rc = port.open(args[0]))
        return rc;
    // The bus lines are transceiver-mode outputs: only mode 6 leaves both
    // released (mode 7 leaves them as they were).
    unsigned char mode[3] = {};
    if (port.control(IOCTL_GET_PORT_MODE, mode, 3, mode, 3) && mode[0] != 6 && mode[0] != 7)
        error("%s: mode %u drives the two-wire bus lines; the bus needs mode 6 ('zport set %s mode=6')\n",
              port.name(), mode[0], port.name());

    unsigned char request[4] = {(unsigned char)address, (unsigned char)reg, (unsigned char)data, 0};
    if (!port.control(read ? IOCTL_I2C_READ : IOCTL_I2C_WRITE, request, 4, request, 4))
        return port.refused(read ? "two-wire read" : "two-wire write");
    if (request[3] != 0) {
        error("%s: no device acknowledged address byte 0x%02lX\n", port.name(), address);
        return ZPORT_EXIT_FAILED;
    }
    if (read)
        out("%s: device 0x%02lX register 0x%02lX = 0x%02X\n", port.name(), address, reg, request[2]);
    else
        out("%s: device 0x%02lX register 0x%02lX := 0x%02lX\n", port.name(), address, reg, data);
    return ZPORT_EXIT_OK;
}

int usbCommand(const Arguments& args)
{
    Port port;
    if (args.size() < 2)
        return usage("usb", "'usb' needs the port and an operation");
    const std::string& op = args[1];
    bool wake = op == "wake";
    if (wake ? args.size() != 3 || (args[2] != "on" && args[2] != "off") : args.size() != 2)
        return usage("usb", wake ? "'wake' takes on or off" : "'%s' takes no arguments", op.c_str());
    if (!wake && op != "reset-pipe" && op != "reset-port" && op != "config-descriptor")
        return usage("usb", "unknown operation '%s'", op.c_str());
    if (int rc = port.open(args[0]))
        return rc;

    if (op == "reset-pipe") {
        if (!port.control(IOCTL_USB_RESET_PIPE, nullptr, 0, nullptr, 0))
            return port.refused("pipe reset");
        out("%s: pipe reset\n", port.name());
    } else if (op == "reset-port") {
        if (!port.control(IOCTL_USB_RESET_PORT, nullptr, 0, nullptr, 0))
            return port.refused("port reset");
        out("%s: port reset\n", port.name());
    } else if (op == "config-descriptor") {
        std::vector<unsigned char> d(0xFFFF);
        DWORD n = 0;
        if (!port.control(IOCTL_USB_GET_CONFIG_DESCRIPTOR, nullptr, 0, d.data(), DWORD(d.size()), &n))
            return port.refused("configuration descriptor");
        out("%s: configuration descriptor, %lu bytes\n", port.name(), static_cast<unsigned long>(n));
        // One line per descriptor: its length and type lead it.
        for (DWORD at = 0; at + 2 <= n && d[at] >= 2 && at + d[at] <= n; at += d[at])
            hexLine(unsigned(at), d.data() + at, d[at]);
    } else {
        bool on = args[2] == "on";
        if (!port.control(on ? IOCTL_FEATURE_SET : IOCTL_FEATURE_CLEAR, nullptr, 0, nullptr, 0))
            return port.refused("remote wake-up");
        out("%s: remote wake-up %s\n", port.name(), on ? "on" : "off");
    }
    return ZPORT_EXIT_OK;
}

int receiveCommand(const Arguments& args)
{
    Port port;
    if (args.size() != 2 || (args[1] != "on" && args[1] != "off"))
        return usage("receive", "'receive' needs the port and on or off");
    if (int rc = port.open(args[0]))
        return rc;
    bool on = args[1] == "on";
    if (!port.control(on ? IOCTL_RECEIVE_ON : IOCTL_RECEIVE_OFF, nullptr, 0, nullptr, 0))
        return port.refused("reception");
    out("%s: reception %s\n", port.name(), on ? "on" : "off");
    return ZPORT_EXIT_OK;
}

} // namespace zport
