// Device controls read from a fuzzer's input and sent to UART 0's port
// between an open and a close: the step shared by the device-control and
// the vendor-control targets.
//
// Each control takes: a code byte (below 0xE0 it picks an entry of the
// target's table, from 0xE0 on four bytes of raw code follow), a flags byte
// (bit 0: internal device control; bits 1-2: the output buffer is 0, the
// input's length, 4 bytes more, or 4 bytes fewer), the input length (one
// byte, 0-255), and that many bytes of input. With ZEPHAN_FUZZ_TRACE set in
// the environment each control and its outcome is printed.
#pragma once

#include "port_rig.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace zfuzz {

// Runs the controls of `data` on an open port; returns how many were sent.
size_t runControls(PortRig& rig, const uint8_t* data, size_t size, std::span<const ULONG> codes);

} // namespace zfuzz
