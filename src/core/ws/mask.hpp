// WebSocket masking (RFC 6455 section 5.3): payload byte i is XORed with key[(phase + i) % 4].
//
// The work runs 64 bytes at a time with SSE2 (x86-64) or 8-byte words elsewhere, with the key
// rotated by the phase once at the start, so a buffer may start at any offset of the key and at
// any address.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::ws {

using MaskKey = std::array<uint8_t, 4>;

// Masks (or unmasks: the operation is its own inverse) `n` bytes in place. `phase` is the
// offset of `p[0]` in the key; returns the phase after the last byte.
size_t mask_in_place(uint8_t* p, size_t n, const MaskKey& key, size_t phase);

// The same from `src` to `dst` (which may be equal but must not otherwise overlap).
size_t mask_copy(uint8_t* dst, const uint8_t* src, size_t n, const MaskKey& key, size_t phase);

// A masking key from the kernel's CSPRNG, drawn from a per-thread pool refilled in batches.
MaskKey random_mask_key();

}  // namespace velmora::ws
