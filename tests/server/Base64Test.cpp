// base64 against the RFC 4648 vectors, and refusal of text that is not base64.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "updater/server/base64.h"

namespace {

struct Vector {
  const char* plain;
  const char* encoded;
};
const Vector kVectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                           {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};

TEST(Base64Test, DecodesTheStandardVectorsWithATrailingNul) {
  for (const Vector& v : kVectors) {
    size_t length = 999;
    uint8_t* out = base64_decode(v.encoded, std::strlen(v.encoded), &length);
    ASSERT_NE(out, nullptr) << v.encoded;
    EXPECT_EQ(length, std::strlen(v.plain)) << v.encoded;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), v.plain);
    EXPECT_EQ(out[length], 0);
    std::free(out);
  }
}

TEST(Base64Test, EncodesTheStandardVectors) {
  for (const Vector& v : kVectors) {
    size_t length = 999;
    char* out = base64_encode(reinterpret_cast<const uint8_t*>(v.plain), std::strlen(v.plain), &length);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, v.encoded);
    EXPECT_EQ(length, std::strlen(v.encoded));
    std::free(out);
  }
}

TEST(Base64Test, AllByteValuesRoundTrip) {
  uint8_t bytes[256];
  for (int i = 0; i < 256; i++) bytes[i] = static_cast<uint8_t>(255 - i);
  size_t encodedLength = 0, decodedLength = 0;
  char* text = base64_encode(bytes, sizeof bytes, &encodedLength);
  ASSERT_NE(text, nullptr);
  // The alphabet's last two characters appear for these bytes.
  EXPECT_NE(std::strchr(text, '+'), nullptr);
  EXPECT_NE(std::strchr(text, '/'), nullptr);
  uint8_t* back = base64_decode(text, encodedLength, &decodedLength);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(decodedLength, sizeof bytes);
  EXPECT_EQ(std::memcmp(back, bytes, sizeof bytes), 0);
  std::free(text);
  std::free(back);
}

TEST(Base64Test, RefusesTextThatIsNotBase64) {
  const char* refused[] = {
      "Zm9vY",     // length not a multiple of 4
      "Zm9",
      "Zm9v\r",    // a line end left on the text
      "Zm9v Zm9v",
      "Zm9v\nZm9v",
      "Zm9-",      // URL-safe alphabet is not this one
      "Zm9_",
      "!!!!Zm9v",
      "Z=9v",      // padding in the middle
      "Zm==Zm9v",  // padding in a group that is not the last
      "Z===",      // three padding characters
      "====",
      "Zm=v",      // "=" before a non-padding character
  };
  for (const char* text : refused) {
    size_t length = 12345;
    EXPECT_EQ(base64_decode(text, std::strlen(text), &length), nullptr) << text;
    EXPECT_EQ(length, 12345u) << text;
  }
  const char withNul[] = {'Z', 'm', '\0', 'v'};
  EXPECT_EQ(base64_decode(withNul, 4, nullptr), nullptr);
  EXPECT_EQ(base64_decode(nullptr, 4, nullptr), nullptr);
}

TEST(Base64Test, EmptyTextGivesAnEmptyResult) {
  size_t length = 7;
  uint8_t* out = base64_decode("", 0, &length);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(out[0], 0);
  std::free(out);
}

}  // namespace
