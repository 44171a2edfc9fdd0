// The bridge between a COM port of the machine and a pty (zsim serve): a
// Win32 program that uses the comm API on \\.\COMn for a Linux program on
// the pty. Standard library only.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace zsim {

class Pty;

// Runs inside a process of the machine until `stop` is set. While a program
// has the pty's slave open, the bridge holds \\.\<comName> open (so zport
// and other programs can use the port in between) and carries bytes both
// ways; the program's termios (rate, stop bits, flow control, XON/XOFF; a
// rate of 0 hangs up) become SetCommState and EscapeCommFunction, as do the
// framing, the DTR and RTS requests and the breaks it makes through the
// shim, and the port's modem status goes to the shim's TIOCMGET. `note`
// hears what a person should know ("COM3: in use by another program").
int runComBridge(const std::string& comName, Pty& pty, const std::atomic<bool>& stop,
                 const std::function<void(const std::string&)>& note);

} // namespace zsim
