// UBI volumes: a volume update of a announced size through the volume device.
#pragma once

#include <cstdint>

// Descriptor of the volume device with an update of `size` bytes started, or -1.
int open_ubi_volume(const char* path, uint32_t size);
