// The SHA-256 compression function: portable, and with the x86 SHA
// extensions where the CPU has them. Both process `blocks` whole 64-byte
// blocks and must agree on every input.
#pragma once

#include <cstddef>
#include <cstdint>

void Sha256CompressPortable(uint32_t state[8], const uint8_t* data,
                            size_t blocks);
// False where the CPU (or the build's target) lacks the SHA extensions.
bool Sha256ShaExtensionsAvailable();
void Sha256CompressShaExtensions(uint32_t state[8], const uint8_t* data,
                                 size_t blocks);
