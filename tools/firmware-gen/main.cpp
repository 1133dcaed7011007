// Writes the stand-in for the Vexilora firmware image: 37,648 bytes laid out like the real
// one, an ARM Cortex-M exception vector table followed by code and data, with the version
// string "VERSW=<version>\n" as one zero-terminated string at offset 27,640 and no other
// string holding the tag. The output depends on nothing but the arguments.
//
//   firmware-gen --out FILE [--version 2.0.0.3452]

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kImageSize = 37648;
constexpr size_t kVersionOffset = 27640;
constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kStackTop = 0x20005000;  // top of the 20 KiB of RAM
constexpr size_t kVectorCount = 64;         // 16 system exceptions and 48 interrupts

void Put32(std::vector<uint8_t>& image, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A fixed pseudo-random sequence (xorshift32): the same bytes on every run.
struct TSequence {
  uint32_t state = 0x56455849;  // "VEXI"
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

bool HasStrayTag(const std::vector<uint8_t>& image, size_t versionAt, size_t versionEnd) {
  const std::string_view all(reinterpret_cast<const char*>(image.data()), image.size());
  for (size_t at = all.find("VERSW="); at != std::string_view::npos;
       at = all.find("VERSW=", at + 1)) {
    if (at < versionAt || at >= versionEnd) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out;
  std::string version = "2.0.0.3452";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (arg == "--version" && i + 1 < argc) {
      version = argv[++i];
    } else {
      std::cerr << "usage: firmware-gen --out FILE [--version VERSION]\n";
      return 2;
    }
  }
  if (out.empty()) {
    std::cerr << "usage: firmware-gen --out FILE [--version VERSION]\n";
    return 2;
  }
  const std::string tagged = "VERSW=" + version + "\n";
  if (kVersionOffset + tagged.size() + 1 > kImageSize) {
    std::cerr << "firmware-gen: version too long\n";
    return 2;
  }

  std::vector<uint8_t> image(kImageSize, 0xFF);  // erased flash reads 0xFF
  TSequence seq;

  // Vector table: initial stack pointer, then handler addresses in flash with the Thumb bit.
  const size_t codeStart = kVectorCount * 4;
  Put32(image, 0, kStackTop);
  const uint32_t resetHandler = kFlashBase + static_cast<uint32_t>(codeStart) + 0x40;
  const uint32_t defaultHandler = kFlashBase + static_cast<uint32_t>(codeStart);
  for (size_t v = 1; v < kVectorCount; ++v) {
    uint32_t handler = defaultHandler;
    if (v == 1) handler = resetHandler;
    if (v == 7 || v == 8 || v == 9 || v == 10 || v == 13) handler = 0;  // reserved
    Put32(image, v * 4, handler == 0 ? 0 : (handler | 1u));
  }
  // Default handler: "b ." (0xE7FE), an endless loop, as startup code has it.
  image[codeStart] = 0xFE;
  image[codeStart + 1] = 0xE7;

  // Code: Thumb half-words, then a literal pool and some text the firmware prints.
  const size_t codeEnd = 24576;
  for (size_t at = codeStart + 2; at < codeEnd; at += 2) {
    const uint32_t r = seq.Next();
    image[at] = static_cast<uint8_t>(r);
    image[at + 1] = static_cast<uint8_t>(r >> 8);
  }
  size_t at = codeEnd;
  for (const char* text : {"loader", "versw?", "verhw?", "pass?", "wr_prog", "run", "boot",
                           "BOOTLOADER", "PASSWORD ERROR", "ERROR", "OK"}) {
    image[at++] = 0;
    const size_t n = std::strlen(text);
    std::memcpy(&image[at], text, n);
    at += n;
  }
  image[at++] = 0;
  // Constant data up to the version string.
  for (; at < kVersionOffset - 1; ++at) image[at] = static_cast<uint8_t>(seq.Next() >> 24);
  image[kVersionOffset - 1] = 0;
  std::memcpy(&image[kVersionOffset], tagged.data(), tagged.size());
  image[kVersionOffset + tagged.size()] = 0;
  // More data, then the erased rest of the flash page stays 0xFF.
  for (at = kVersionOffset + tagged.size() + 1; at < 36864; ++at)
    image[at] = static_cast<uint8_t>(seq.Next() >> 16);

  if (HasStrayTag(image, kVersionOffset, kVersionOffset + tagged.size())) {
    std::cerr << "firmware-gen: the tag appears outside the version string\n";
    return 1;
  }

  const std::string temp = out + ".part";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    if (!file) {
      std::cerr << "firmware-gen: cannot write " << temp << "\n";
      return 1;
    }
  }
  if (std::rename(temp.c_str(), out.c_str()) != 0) {
    std::cerr << "firmware-gen: cannot rename " << temp << " to " << out << "\n";
    return 1;
  }
  return 0;
}
