// A serial port device for the Win32 tests: a named device object
// (FILE_DEVICE_SERIAL_PORT, buffered I/O, one open file at a time) with a
// \DosDevices link, whose dispatch routine records every request it gets and
// answers like a serial driver from settings it keeps (what a SET control
// stored, the matching GET returns), unless the test scripted another
// status. Reads and WAIT_ON_MASK wait until the test completes them or they
// are cancelled; cleanup cancels them, as a serial driver does.
//
// This header uses only the standard library, so a test that includes
// <windows.h> can use it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/win32/nt_serial.h"

namespace host {
class Machine;
}

namespace ztest {

struct RecordedRequest {
    uint8_t major = 0;             // IRP_MJ_*
    uint32_t code = 0;             // IoControlCode of a device control
    std::vector<uint8_t> input;    // the input buffer (a write's data)
    uint32_t outputLength = 0;     // output buffer length (a read's length)
};

class SerialTestDevice {
public:
    // Makes \Device\ZSerial<n> with the link \DosDevices\<dosName>.
    SerialTestDevice(host::Machine& machine, const std::u16string& dosName);
    ~SerialTestDevice();

    static constexpr uint8_t kCreate = 0x00, kClose = 0x02, kRead = 0x03, kWrite = 0x04, kFlush = 0x09,
                             kControl = 0x0e, kCleanup = 0x12;

    // Everything received since the last clear() (creates and closes too).
    std::vector<RecordedRequest> requests();
    // The control codes received, in order.
    std::vector<uint32_t> controls();
    void clear();

    // The next request for `code` (a control code, or kRead/kWrite/kFlush
    // with code 0... use failNextMajor) completes with `status`.
    void failNext(uint32_t code, int32_t status);
    void failNextMajor(uint8_t major, int32_t status);
    // Reads complete at once with these bytes and this status (otherwise
    // they wait).
    void answerReads(std::string bytes, int32_t status);

    // Completes the oldest waiting read with `bytes` (at most its length)
    // and `status`; false when no read waits.
    bool completeRead(const std::string& bytes, int32_t status);
    // Completes the waiting WAIT_ON_MASK with `events`.
    bool completeWait(uint32_t events);
    // Requests waiting (reads and waits).
    size_t waiting();

    // What GET_COMMSTATUS answers.
    void setCommStatus(const host::win32::nt::SerialStatus& status);
    // What GET_MODEMSTATUS answers.
    void setModemStatus(uint32_t modem);
    // Bytes written so far.
    std::string written();

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace ztest
