// Whether an image is the one the build embedded: its SHA-256 against the digest that the build
// took from the same file and wrote into the executable's message table, under the image's id.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/image_digest.h"
#include "platform/win32.h"

// The message table's language, whatever the user's: US English.
constexpr DWORD IMAGE_DIGEST_LANGUAGE = 0x0409;
// Each digest's text: its 64 lower-case hex digits and nothing else.
constexpr size_t IMAGE_DIGEST_TEXT_LENGTH = 2 * IMAGE_DIGEST_BYTES;

// The digest that `module` (null: this program) carries for image `resourceId`; false when it
// carries none of that form.
bool ReadEmbeddedDigest(HMODULE module, int resourceId, uint8_t (&digest)[IMAGE_DIGEST_BYTES]);
// True when `length` bytes at `data` hash to the digest that `module` carries for image
// `resourceId`; false when there is no such digest, when the hashing fails, or when they differ.
bool ImageMatchesEmbeddedDigest(HMODULE module, int resourceId, const uint8_t* data, DWORD length);
