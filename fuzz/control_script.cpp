#include "control_script.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zfuzz {

namespace {

// The bytes of a fuzzer input, read from the front; past the end every read
// gives zeros.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    void bytes(uint8_t* out, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            out[i] = byte();
    }
};

} // namespace

size_t runControls(PortRig& rig, const uint8_t* data, size_t size, std::span<const ULONG> codes)
{
    PDEVICE_OBJECT device = rig.device(0);
    if (device == nullptr)
        fail("UART 0 has no port");
    NTSTATUS status = rig.sendIrp(device, IRP_MJ_CREATE);
    if (status != STATUS_SUCCESS)
        fail("the open failed with 0x" + std::to_string(static_cast<ULONG>(status)));

    // ZEPHAN_FUZZ_TRACE=1 lists every control and its outcome (to replay a
    // finding).
    static const bool trace = std::getenv("ZEPHAN_FUZZ_TRACE") != nullptr;
    Reader in{data, size};
    size_t sent = 0;
    while (!in.done() && sent < 64) {
        uint8_t pick = in.byte();
        ULONG code;
        if (pick < 0xE0) {
            code = codes[pick % codes.size()];
        } else {
            uint8_t raw[4];
            in.bytes(raw, 4);
            code = raw[0] | raw[1] << 8 | raw[2] << 16 | ULONG(raw[3]) << 24;
        }
        uint8_t flags = in.byte();
        ULONG inputLength = in.byte();
        ULONG outputLength = 0;
        switch ((flags >> 1) & 3) {
        case 0: outputLength = 0; break;
        case 1: outputLength = inputLength; break;
        case 2: outputLength = inputLength + 4; break;
        case 3: outputLength = inputLength >= 4 ? inputLength - 4 : 0; break;
        }
        // Buffers of exactly the lengths given, so that the address
        // sanitizer sees any access past them.
        std::vector<uint8_t> input(inputLength), output(outputLength, 0xCD);
        in.bytes(input.data(), inputLength);

        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, inputLength ? input.data() : nullptr, inputLength,
                                                 outputLength ? output.data() : nullptr, outputLength,
                                                 (flags & 1) != 0, &done, &iosb);
        if (irp == nullptr)
            fail("no IRP");
        ControlResult result = rig.call(device, irp, done, iosb, code);
        if (trace)
            std::fprintf(stderr, "control 0x%08lX%s in %lu out %lu: status 0x%08lX, %lu bytes\n",
                         static_cast<unsigned long>(code), (flags & 1) ? " (internal)" : "",
                         static_cast<unsigned long>(inputLength), static_cast<unsigned long>(outputLength),
                         static_cast<unsigned long>(static_cast<ULONG>(result.status)), static_cast<unsigned long>(result.information));
        if (result.information > outputLength && (code & 3) != METHOD_NEITHER && NT_SUCCESS(result.status)) {
            char text[96];
            std::snprintf(text, sizeof text, "device control 0x%lX returned %lu bytes for a buffer of %lu",
                          static_cast<unsigned long>(code), static_cast<unsigned long>(result.information),
                          static_cast<unsigned long>(outputLength));
            fail(text);
        }
        sent++;
    }

    status = rig.sendIrp(device, IRP_MJ_CLEANUP);
    if (status != STATUS_SUCCESS)
        fail("the cleanup failed");
    status = rig.sendIrp(device, IRP_MJ_CLOSE);
    if (status != STATUS_SUCCESS)
        fail("the close failed");
    return sent;
}

} // namespace zfuzz
