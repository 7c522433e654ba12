// The SHA-256 of a firmware image, computed with the cryptography that advapi32 offers (CryptoAPI's
// AES provider), so that no other DLL is loaded for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

constexpr size_t IMAGE_DIGEST_BYTES = 32;

// Hashes `length` bytes at `data` into `digest`. False, with `digest` unspecified and the failed
// step's error in GetLastError, when a step of the hashing failed; every handle it opened is
// closed either way.
bool HashImage(const uint8_t* data, DWORD length, uint8_t (&digest)[IMAGE_DIGEST_BYTES]);
