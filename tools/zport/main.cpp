// zport's command line: the commands, their help, console output and the
// number and name parsing every command shares.
#include "zport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zport {

namespace {

void write(DWORD stream, const char* prefix, const char* format, va_list args)
{
    char text[2048];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0)
        return;
    std::string line = prefix;
    line.append(text, size_t(n) < sizeof text ? size_t(n) : sizeof text - 1);
    HANDLE h = GetStdHandle(stream);
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
        return;
    DWORD written = 0;
    WriteFile(h, line.data(), DWORD(line.size()), &written, nullptr);
}

struct Command {
    const char* name;
    int (*run)(const Arguments&);
    const char* synopsis;
    const char* help;
};

const Command kCommands[] = {
    {"list", listPorts, "zport list",
     "Lists the COM ports of Zephan controllers: each port's index on its\n"
     "controller (0 for the first UART; the INDEX of 'zport settings'), where it\n"
     "sits on the controller's hub and the device its name leads to. It reads the\n"
     "system's records only: no port is opened, so no line moves.\n"},
    {"show", showPort, "zport show COMn",
     "Shows the vendor settings of a port: its settings record (the chip group\n"
     "and port index 'zport settings' takes), transceiver mode and flags, write\n"
     "length, receive trigger and the baud rate stored in its hardware key. It\n"
     "opens the port, which raises DTR and RTS for the moment.\n"},
    {"set", setPort, "zport set COMn key=value...",
     "Changes vendor settings of a port; the file-backed ones are also written\n"
     "into the port's record of the settings file.\n"
     "  mode=0..7        transceiver mode, used from the next open\n"
     "  flags=0|1        mode flag (configuration register 0 bit 2)\n"
     "  trigger=BYTES    receive trigger level (1, 2, 4, 8, 14, 16, 28, 32, 56, 64, 112)\n"
     "  maxwrite=0..128  most bytes per bulk-out transfer\n"
     "  baud=RATE        baud rate stored in the hardware key\n"},
    {"rename", renamePort, "zport rename COMn COMm|preferred",
     "Gives a port another COM name: its hardware key, friendly name and the COM\n"
     "name database change now, the port uses the name from its next start.\n"
     "\"preferred\" takes the COM number the port's settings record names\n"
     "('zport settings show GROUP INDEX'); a record that names none is refused.\n"},
    {"reg", registerCommand, "zport reg COMn read ADDRESS [COUNT] | write ADDRESS BYTE...",
     "Reads COUNT (1-256, default 1) consecutive registers from ADDRESS, or writes\n"
     "the bytes given from ADDRESS on. Numbers are decimal or 0x hexadecimal.\n"},
    {"i2c", i2cCommand, "zport i2c COMn read ADDRESS REGISTER | write ADDRESS REGISTER DATA",
     "One register of a device on the port's two-wire bus. ADDRESS is the address\n"
     "byte with the write bit (0xA0 for device 0x50). Reports whether the device\n"
     "acknowledged its address.\n"
     "The bus's clock and data lines are two of the port's transceiver-mode\n"
     "outputs, which every open of the port drives from its mode: the bus works\n"
     "only in mode 6, which leaves both lines released ('zport set COMn mode=6'),\n"
     "or in mode 7, which leaves the outputs as they are.\n"},
    {"usb", usbCommand, "zport usb COMn reset-pipe|reset-port|config-descriptor|wake on|off",
     "USB maintenance of a port's device: reset a pipe, reset its hub port, show\n"
     "its configuration descriptor, set or clear its remote wake-up feature.\n"},
    {"receive", receiveCommand, "zport receive COMn on|off",
     "Switches reception on or off. The switch is one for the whole driver: off\n"
     "stops every port's reception after its transfer in flight (the named port's\n"
     "at once); on restarts the named port's.\n"},
    {"settings", settingsCommand, "zport settings create|show|set [--file PATH] ...",
     "The settings file the driver reads when a port starts\n"
     "(%WINDIR%\\SysWOW64\\" SETTINGS_FILE_NAME " unless --file names another).\n"
     "  settings create [--force]            a file with the driver's defaults\n"
     "  settings show [GROUP INDEX]          the flags and the records\n"
     "  settings set [GROUP INDEX] key=value...\n"
     "      file flags: msr-off=0|1 loopback=0|1\n"
     "      record: com=N|none flags= mode= maxwrite=\n"
     "      trigger-bits= trigger-scale= baud-mode= clock= divisor= sample= sample-rate=\n"
     "A port's record is GROUP INDEX: its chip group (0-3) and its index on the\n"
     "controller (0-15), as 'zport show COMn' prints them.\n"},
};

const Command* findCommand(const std::string& name)
{
    for (const Command& c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

void overview()
{
    out("zport: maintenance of the ports of Zephan controllers\n\nusage:\n");
    for (const Command& c : kCommands)
        out("  %s\n", c.synopsis);
    out("\n'zport COMMAND --help' describes a command. Exit codes: 0 done, 1 failed,\n"
        "2 bad command line, 3 no such port.\n");
}

} // namespace

void out(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write(STD_OUTPUT_HANDLE, "", format, args);
    va_end(args);
}

void error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write(STD_ERROR_HANDLE, "zport: ", format, args);
    va_end(args);
}

std::string errorText(DWORD code)
{
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                             sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    if (s.empty()) {
        std::snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(code));
        s = text;
    }
    return s;
}

int failed(const char* what, DWORD code)
{
    error("%s: %s\n", what, errorText(code).c_str());
    return ZPORT_EXIT_FAILED;
}

int usage(const char* command, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    error("%s\n", text);
    if (command)
        error("see 'zport %s --help'\n", command);
    else
        error("see 'zport --help'\n");
    return ZPORT_EXIT_USAGE;
}

bool parseNumber(const std::string& text, unsigned long max, unsigned long* value)
{
    // Decimal ("010" is ten), or hexadecimal after 0x; never octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16)
        return false;
    unsigned long long v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * (hex ? 16 : 10) + unsigned(d);
        if (v > max)
            return false;
    }
    *value = static_cast<unsigned long>(v);
    return true;
}

bool equalNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = char(x - 32);
        if (y >= 'a' && y <= 'z')
            y = char(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

unsigned long comNumber(const std::string& name)
{
    std::string n = name;
    if (n.rfind("\\\\.\\", 0) == 0)
        n = n.substr(4);
    if (n.size() < 4 || !equalNoCase(n.substr(0, 3), "COM"))
        return 0;
    unsigned long number = 0;
    if (!parseNumber(n.substr(3), 4096, &number) || n[3] == '0')
        return 0;
    return number;
}

bool isHelp(const Arguments& args)
{
    for (const std::string& a : args)
        if (a == "--help" || a == "-h" || a == "/?")
            return true;
    return false;
}

} // namespace zport

int ZportMain(int argc, char** argv)
{
    using namespace zport;
    Arguments args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    if (args.empty()) {
        overview();
        return ZPORT_EXIT_USAGE;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "/?" || args[0] == "help") {
        if (args.size() > 1)
            if (const Command* c = findCommand(args[1])) {
                out("usage: %s\n\n%s", c->synopsis, c->help);
                return ZPORT_EXIT_OK;
            }
        overview();
        return ZPORT_EXIT_OK;
    }
    const Command* command = findCommand(args[0]);
    if (!command)
        return usage(nullptr, "unknown command '%s'", args[0].c_str());
    Arguments rest(args.begin() + 1, args.end());
    if (isHelp(rest)) {
        out("usage: %s\n\n%s", command->synopsis, command->help);
        return ZPORT_EXIT_OK;
    }
    return command->run(rest);
}
