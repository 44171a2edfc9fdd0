// The 16550-compatible UART core of one port: its eight registers with the
// side effects of reads and writes, the receive FIFO, the modem lines and the
// interrupt sources. Not thread-safe: the owning Uart holds the model's lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace zmodel {

// Register offsets from the UART's base.
enum : unsigned {
    kRbrThrDll = 0,   // receive / transmit; divisor low while LCR.DLAB
    kIerDlm = 1,      // interrupt enable; divisor high while LCR.DLAB
    kIirFcr = 2,      // interrupt identification (read) / FIFO control (write)
    kLcr = 3,
    kMcr = 4,
    kLsr = 5,
    kMsr = 6,
    kScr = 7,
};

// Line status bits.
enum : uint8_t {
    kLsrDataReady = 0x01,
    kLsrOverrun = 0x02,
    kLsrParity = 0x04,
    kLsrFraming = 0x08,
    kLsrBreak = 0x10,
    kLsrThrEmpty = 0x20,
    kLsrTxEmpty = 0x40,
    kLsrFifoError = 0x80,
    kLsrErrors = kLsrOverrun | kLsrParity | kLsrFraming | kLsrBreak,
};

// Interrupt enable bits, also used as the set of pending interrupt sources.
enum : uint8_t {
    kIerReceiveData = 0x01,
    kIerThrEmpty = 0x02,
    kIerLineStatus = 0x04,
    kIerModemStatus = 0x08,
};

// Modem input lines as the far end drives them.
struct ModemInputs {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
};

class Uart16550 {
public:
    static constexpr size_t kFifoDepth = 16;

    struct RxChar {
        uint8_t ch;
        uint8_t errors;   // kLsrParity / kLsrFraming / kLsrBreak
    };

    Uart16550() { reset(); }
    void reset();

    // Host-side register access (offset 0..7), with the hardware's side
    // effects: reading RBR takes a character, LSR clears the error bits, MSR
    // clears the change bits, IIR acknowledges a transmitter-empty interrupt.
    uint8_t read(unsigned offset);
    void write(unsigned offset, uint8_t value);
    // The value a read would return, without its side effects.
    uint8_t peek(unsigned offset) const;

    // Receiver. A character that finds the FIFO full is lost and sets the
    // overrun bit.
    bool rxFull() const;
    bool rxEmpty() const { return rx_.empty(); }
    size_t rxCount() const { return rx_.size(); }
    void receive(uint8_t ch, uint8_t errors = 0);
    void overrun() { lsrErrors_ |= kLsrOverrun; }
    // Takes the oldest character for the USB engine (bulk-in).
    RxChar popRx();
    // Error bits gathered since they were last reported; cleared by the call.
    uint8_t takeLineErrors();

    // Transmitter: bytes written to THR (or sent by the USB engine). In
    // loopback they stay inside the chip and come back through the line
    // (takeLooped) instead of leaving.
    void transmit(uint8_t ch);
    std::vector<uint8_t> takeTransmitted();
    std::vector<RxChar> takeLooped();

    // Modem lines.
    void setModemInputs(ModemInputs inputs);
    bool loopback() const { return mcr_ & 0x10; }
    uint8_t modemControl() const { return mcr_; }

    // Pending interrupt sources (kIer* bits, already masked by IER) and the
    // IIR value they give.
    uint8_t pendingInterrupts() const;
    uint8_t interruptIdentification() const;

    uint16_t divisor() const { return uint16_t(dll_ | (dlm_ << 8)); }
    uint8_t lineControl() const { return lcr_; }
    uint8_t interruptEnable() const { return ier_; }
    bool fifoEnabled() const { return fifoEnabled_; }
    // Receive trigger level in characters (1, 4, 8 or 14).
    unsigned rxTrigger() const;
    bool breakActive() const { return lcr_ & 0x40; }

private:
    uint8_t modemStatusBits() const;   // upper nibble of MSR from the current inputs
    void updateModemStatus();

    std::deque<RxChar> rx_;
    std::vector<uint8_t> tx_;
    std::vector<RxChar> looped_;
    uint8_t lastRead_ = 0;
    uint8_t dll_ = 0, dlm_ = 0;
    uint8_t ier_ = 0, lcr_ = 0, mcr_ = 0, scr_ = 0;
    uint8_t fcr_ = 0;             // last value written (trigger bits)
    bool fifoEnabled_ = false;
    uint8_t lsrErrors_ = 0;       // sticky OE/PE/FE/BI for LSR reads
    uint8_t reportErrors_ = 0;    // the same, for the bulk-in status bytes
    bool thrInterrupt_ = false;
    ModemInputs external_;
    uint8_t msrLines_ = 0;        // last line states (MSR bits 4-7)
    uint8_t msrDeltas_ = 0;       // MSR bits 0-3
};

} // namespace zmodel
