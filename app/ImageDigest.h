#pragma once
// The firmware image's SHA-256: computed here, and recorded by the build for the image it
// embeds, so that an image damaged in the executable (a bad disk block, a botched copy, a
// patched file) is refused before the device's application is erased for it.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace app {

using TSha256 = std::array<uint8_t, 32>;

TSha256 Sha256(std::span<const uint8_t> data);
// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const uint8_t> data);

// The digest the build recorded for the embedded image WBLOCK (64 lower-case hexadecimal
// digits, taken from the image file when the program was built), or nothing when the program
// carries no image. Defined by the image library the program is linked with, next to the
// image itself.
std::optional<std::string> RecordedImageDigest();

// A digest given as text (any letter case, surrounding blanks ignored) in the form
// Sha256Hex gives; nothing when it is not 64 hexadecimal digits.
std::optional<std::string> NormalizeSha256Hex(std::string_view text);

// True when the image's digest is the expected one (in the form NormalizeSha256Hex accepts).
bool ImageMatchesDigest(std::span<const uint8_t> image, std::string_view expectedHex);

}  // namespace app
