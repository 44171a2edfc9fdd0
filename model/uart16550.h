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
    // Both FIFOs hold 128 characters: the receive trigger goes up to 112
    // (14 x a scale of 8).
    static constexpr size_t kFifoDepth = 128;

    struct RxChar {
        uint8_t ch;
        // kLsrParity / kLsrFraming / kLsrBreak of the character; kLsrOverrun
        // when characters were lost right after it (the FIFO was full).
        uint8_t errors;
    };

    Uart16550() { reset(); }
    // Power-on state: FIFOs off, LCR 0, and a divisor of 12 (9600 bit/s on
    // the chip's 1.8432 MHz clock at 16x oversampling).
    void reset();

    // Host-side register access (offset 0..7), with the hardware's side
    // effects: reading RBR takes a character, LSR clears the error bits, MSR
    // clears the change bits, IIR acknowledges a transmitter-empty interrupt.
    uint8_t read(unsigned offset);
    void write(unsigned offset, uint8_t value);
    // The value a read would return, without its side effects.
    uint8_t peek(unsigned offset) const;

    // Receiver. A character that finds the FIFO full is lost and sets the
    // overrun bit; so does overrun() (a character lost on the way in).
    bool rxFull() const;
    // Characters the receive FIFO holds (1 with the FIFOs off).
    size_t rxCapacity() const { return fifoEnabled_ ? kFifoDepth : 1; }
    bool rxEmpty() const { return rx_.empty(); }
    size_t rxCount() const { return rx_.size(); }
    const std::deque<RxChar>& rxFifo() const { return rx_; }
    void receive(uint8_t ch, uint8_t errors = 0);
    void overrun();
    // Takes the oldest character for the USB engine (bulk-in).
    RxChar popRx();
    // An overrun that found the FIFO empty (no character to attach it to);
    // cleared by the call.
    bool takeLooseOverrun();
    bool looseOverrunPending() const { return looseOverrun_; }
    // Character time-out: characters wait below the trigger level and none
    // has arrived for four character times (the owner keeps the time).
    void setRxTimedOut(bool on) { rxTimedOut_ = on; }
    bool rxTimedOut() const { return rxTimedOut_; }

    // Transmitter. Untimed (the default), bytes written to THR or sent by
    // the USB engine leave at once: in loopback they come back through
    // takeLooped, otherwise through takeTransmitted. Timed, they wait in the
    // transmit FIFO (1 byte without FIFOs) until the owner's line
    // transmitter takes them (popTx) and reports its state, which THRE and
    // TEMT show.
    void setTimed(bool timed) { timed_ = timed; }
    bool timed() const { return timed_; }
    void transmit(uint8_t ch);
    std::vector<uint8_t> takeTransmitted();
    std::vector<RxChar> takeLooped();
    size_t txRoom() const;
    bool txEmpty() const { return txFifo_.empty(); }
    size_t txCount() const { return txFifo_.size(); }
    const std::deque<uint8_t>& txFifo() const { return txFifo_; }
    // Counts the times the transmit FIFO was emptied at once (a reset, an
    // FCR transmit reset, the FIFOs switched on or off).
    uint64_t txClears() const { return txClears_; }
    uint8_t popTx();
    // Characters handed to the line but not started yet, and whether one is
    // being shifted out.
    void setTransmitterState(size_t waiting, bool shifting);

    // Modem lines.
    void setModemInputs(ModemInputs inputs);
    bool loopback() const { return mcr_ & 0x10; }
    uint8_t modemControl() const { return mcr_; }

    // Pending interrupt sources (kIer* bits, already masked by IER) and the
    // IIR value they give.
    uint8_t pendingInterrupts() const;
    uint8_t interruptIdentification() const;

    uint16_t divisor() const { return uint16_t(dll_ | (dlm_ << 8)); }
    // The FIFO control register as last written (it cannot be read back).
    uint8_t fifoControl() const { return fcr_; }
    uint8_t lineControl() const { return lcr_; }
    uint8_t interruptEnable() const { return ier_; }
    bool fifoEnabled() const { return fifoEnabled_; }
    // Receive trigger level in characters: FCR bits 6-7 (1, 4, 8, 14) times
    // the chip's trigger scale (1, 2, 4, 8); 1 without FIFOs.
    unsigned rxTrigger() const;
    void setTriggerScale(unsigned scale) { triggerScale_ = scale; }
    bool breakActive() const { return lcr_ & 0x40; }

private:
    uint8_t modemStatusBits() const;   // upper nibble of MSR from the current inputs
    void updateModemStatus();
    bool transmitterEmpty() const { return !timed_ || (txFifo_.empty() && txWaiting_ == 0); }

    std::deque<RxChar> rx_;
    std::vector<uint8_t> tx_;
    std::vector<RxChar> looped_;
    std::deque<uint8_t> txFifo_;
    uint64_t txClears_ = 0;
    bool timed_ = false;
    size_t txWaiting_ = 0;
    bool txShifting_ = false;
    uint8_t lastRead_ = 0;
    uint8_t dll_ = 0, dlm_ = 0;
    uint8_t ier_ = 0, lcr_ = 0, mcr_ = 0, scr_ = 0;
    uint8_t fcr_ = 0;             // last value written (trigger bits)
    unsigned triggerScale_ = 1;
    bool fifoEnabled_ = false;
    uint8_t lsrErrors_ = 0;       // sticky OE/PE/FE/BI for LSR reads
    bool looseOverrun_ = false;
    bool rxTimedOut_ = false;
    bool thrInterrupt_ = false;
    ModemInputs external_;
    uint8_t msrLines_ = 0;        // last line states (MSR bits 4-7)
    uint8_t msrDeltas_ = 0;       // MSR bits 0-3
};

} // namespace zmodel
