// The image's SHA-256: the published test vectors, every padding boundary against the system's
// own sha256sum, and the digest the build recorded for the embedded image.

#include "app/ImageDigest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/FirmwareImage.h"

namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(ImageDigest, TheStandardsTestVectors) {
  struct Case {
    std::string Message;
    const char* Digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message.substr(0, 20));
    EXPECT_EQ(app::Sha256Hex(Bytes(c.Message)), c.Digest);
  }
}

// Lengths around the block's end, where the padding takes one block or two, against an
// independent implementation.
TEST(ImageDigest, EveryLengthAroundTheBlockBoundariesAgreesWithSha256sum) {
  char dir[] = "/tmp/sha-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (size_t length = 0; length <= 200; ++length) {
    std::string message(length, '\0');
    for (size_t i = 0; i < length; ++i) message[i] = static_cast<char>(i * 131 + length);
    const std::string path = std::string(dir) + "/m";
    std::ofstream(path, std::ios::binary) << message;
    FILE* pipe = popen(("sha256sum " + path).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    EXPECT_EQ(app::Sha256Hex(Bytes(message)), std::string(line, 64)) << "length " << length;
    remove(path.c_str());
  }
  rmdir(dir);
}

TEST(ImageDigest, TheBuildRecordsTheEmbeddedImagesDigest) {
  const auto image = app::FindResource(app::kFirmwareResourceName);
  if (!image) GTEST_SKIP() << "built without an image";
  const std::optional<std::string> recorded = app::RecordedImageDigest();
  ASSERT_TRUE(recorded.has_value());
  EXPECT_EQ(*recorded, app::Sha256Hex(*image));
  // The record comes from the image file, by the build's own means.
  std::ifstream in(WBLOCK_FILE, std::ios::binary);
  const std::string file{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(*recorded, app::Sha256Hex(Bytes(file)));
  EXPECT_TRUE(app::ImageMatchesDigest(*image, *recorded));
}

TEST(ImageDigest, AGivenDigestIsReadInAnyCaseAndRefusedWhenMalformed) {
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  std::string upper = abc;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  EXPECT_EQ(app::NormalizeSha256Hex(upper), abc);
  EXPECT_EQ(app::NormalizeSha256Hex("  " + abc + "\n"), abc);
  EXPECT_TRUE(app::ImageMatchesDigest(Bytes("abc"), upper));
  EXPECT_FALSE(app::ImageMatchesDigest(Bytes("abd"), abc));
  for (const std::string& bad : {std::string(), abc.substr(1), abc + "0", "g" + abc.substr(1),
                                 abc.substr(0, 32) + " " + abc.substr(33)}) {
    EXPECT_FALSE(app::NormalizeSha256Hex(bad).has_value()) << bad;
    EXPECT_FALSE(app::ImageMatchesDigest(Bytes("abc"), bad)) << bad;
  }
}

}  // namespace
