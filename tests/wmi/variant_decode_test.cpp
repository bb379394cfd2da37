#include "wmi/variant_decode.h"

#include "common/fake_wmi.h"

#include <gtest/gtest.h>

#include <vector>

using tvr_test::FakeVariant;

namespace {

struct BytesCase {
  const char* label;
  FakeVariant value;
  std::vector<BYTE> expected;  // the bytes copied
};

TEST(VariantDecode, CopiesOnlyTheLeadingBytesOfByteArrays) {
  const std::vector<BYTE> twelve = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const BytesCase cases[] = {
      {"eight bytes", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 1, 0}), {5, 0, 0, 0, 0, 0, 1, 0}},
      {"twelve bytes: first eight", FakeVariant::Bytes(twelve), {1, 2, 3, 4, 5, 6, 7, 8}},
      {"one byte", FakeVariant::Bytes({5}), {5}},
      {"empty array", FakeVariant::Bytes({}), {}},
      {"signed bytes", FakeVariant::Bytes({5, 0, 0, 0, 0, 0, 0x20, 0}, VT_I1), {5, 0, 0, 0, 0, 0, 0x20, 0}},
      {"byte array by reference", FakeVariant::BytesByRef({5, 9}), {5, 9}},
      {"array of longs is no byte array", FakeVariant::Longs({5, 0, 1}), {}},
      {"array of strings is no byte array", FakeVariant::Texts({L"5"}), {}},
      {"text", FakeVariant::Text(L"\x05"), {}},
      {"number", FakeVariant::I4(5), {}},
      {"null", FakeVariant::Null(), {}},
      {"empty", FakeVariant(), {}},
  };
  for (const BytesCase& c : cases) {
    SCOPED_TRACE(c.label);
    BYTE buffer[10];
    std::fill(std::begin(buffer), std::end(buffer), BYTE{0xEE});
    const size_t copied = tvr::CopyLeadingBytes(c.value.get(), buffer, 8);
    ASSERT_EQ(c.expected.size(), copied);
    EXPECT_EQ(c.expected, std::vector<BYTE>(buffer, buffer + copied));
    for (size_t i = copied; i < 10; ++i) EXPECT_EQ(0xEE, buffer[i]) << "byte " << i;
  }
}

TEST(VariantDecode, OddArrayShapesNeverReadPastTheData) {
  VARIANT value;
  VariantInit(&value);
  BYTE buffer[8] = {};

  V_VT(&value) = VT_ARRAY | VT_UI1;
  V_ARRAY(&value) = nullptr;  // an array type without an array
  EXPECT_EQ(0u, tvr::CopyLeadingBytes(value, buffer, 8));

  V_VT(&value) = VT_BYREF | VT_ARRAY | VT_UI1;
  V_ARRAYREF(&value) = nullptr;
  EXPECT_EQ(0u, tvr::CopyLeadingBytes(value, buffer, 8));

  // Two dimensions, one of them empty: the first dimension's count is 4 but
  // the array holds nothing.
  SAFEARRAYBOUND bounds[2] = {{4, 0}, {0, 0}};
  SAFEARRAY* empty = SafeArrayCreate(VT_UI1, 2, bounds);
  ASSERT_NE(nullptr, empty);
  V_VT(&value) = VT_ARRAY | VT_UI1;
  V_ARRAY(&value) = empty;
  EXPECT_EQ(0u, tvr::CopyLeadingBytes(value, buffer, 8));
  VariantClear(&value);
}

TEST(VariantDecode, TextOnlyFromStrings) {
  EXPECT_STREQ(L"A\\B", tvr::VariantText(FakeVariant::Text(L"A\\B").get()));
  VARIANT nullText;
  VariantInit(&nullText);
  V_VT(&nullText) = VT_BSTR;
  V_BSTR(&nullText) = nullptr;  // a null BSTR is the empty string
  EXPECT_STREQ(L"", tvr::VariantText(nullText));
  EXPECT_EQ(nullptr, tvr::VariantText(FakeVariant::Null().get()));
  EXPECT_EQ(nullptr, tvr::VariantText(FakeVariant().get()));
  EXPECT_EQ(nullptr, tvr::VariantText(FakeVariant::I4(1).get()));
  EXPECT_EQ(nullptr, tvr::VariantText(FakeVariant::Texts({L"x"}).get()));
}

}  // namespace
