#pragma once
// The i.MX RT1050-class boot ROM as the recovery meets it: the USB identity of its
// serial downloader, where a loader starts when its BIRD file names no entry, and the
// fuse registers that hold the chip's unique identifier.
#include <cstdint>

namespace IMX1050 {

constexpr uint16_t VID = 0x1FC9;
constexpr uint16_t PID = 0x0130;
// The loader's image vector table: where the boot ROM is told to jump.
constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;

constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
constexpr uint32_t CFG0_OFFSET = 0x410;
constexpr uint32_t CFG1_OFFSET = 0x420;

}  // namespace IMX1050
