#pragma once
// One device-firmware-update attempt on the mouse's Kestrel side.
#include <cstdint>

int32_t run_dfu_flow_wired_mouse(uint16_t vid, uint16_t pid, const char* path);
