#include "engine/format/field_descriptor.h"

#include <gtest/gtest.h>

#include <array>

namespace tarvo {
namespace {

using TRaw = std::array<std::byte, kFieldDescriptorSize>;

void Set(TRaw& raw, std::size_t off, std::initializer_list<int> bytes) {
  for (const int b : bytes) raw[off++] = static_cast<std::byte>(b);
}

TEST(TFieldDescriptorTest, DecodesHandWrittenBytesAndEncodesThemBack) {
  TRaw raw{};
  Set(raw, 0, {0x0A, 0x00});                  // FieldNumber 10
  Set(raw, 2, {3, 'D', 'e', 'c'});            // FieldName
  Set(raw, 33, {2, 'E', 'x'});                // FieldDescription
  Set(raw, 84, {8, 0, 0, 2, 8, 2});           // type 8, subtype 0, size 0, decimals 2, DataSize 8, copy 2
  Set(raw, 90, {0x5E, 0x00});                 // RecordOffset 94
  Set(raw, 92, {1, 2});                       // Required, CaseMapping
  Set(raw, 94, {2, '-', '5'});                // MinValue
  Set(raw, 145, {3, '1', '0', '0'});          // MaxValue
  Set(raw, 196, {4, '1', '.', '2', '5'});     // DefaultValue
  Set(raw, 247, {1, 4, 'A', '+', 'B', '1'});  // NotStored, expression "A+B1"
  raw[767] = std::byte{0x77};                 // expression bytes are kept as they are

  const TFieldDescriptor d = DecodeFieldDescriptor(raw);
  EXPECT_EQ(d.FieldNumber, 10);
  EXPECT_EQ(d.FieldName, "Dec");
  EXPECT_EQ(d.FieldDescription, "Ex");
  EXPECT_EQ(d.FieldType, 8);
  EXPECT_EQ(d.FieldSubType, 0);
  EXPECT_EQ(d.FieldSize, 0);
  EXPECT_EQ(d.FieldDecimals, 2);
  EXPECT_EQ(d.DataSize, 8);
  EXPECT_EQ(d.DecimalsCopy, 2);
  EXPECT_EQ(d.RecordOffset, 94);
  EXPECT_EQ(d.Required, 1);
  EXPECT_EQ(d.CaseMapping, 2);
  EXPECT_EQ(d.MinValue, "-5");
  EXPECT_EQ(d.MaxValue, "100");
  EXPECT_EQ(d.DefaultValue, "1.25");
  EXPECT_EQ(d.NotStored, 1);
  EXPECT_EQ(d.ComputeExpression[0], std::byte{4});
  EXPECT_EQ(d.ComputeExpression[519], std::byte{0x77});

  TRaw out;
  out.fill(std::byte{0x5A});
  EncodeFieldDescriptor(d, out);
  EXPECT_EQ(out, raw);
}

TEST(TFieldDescriptorTest, BlockOfDescriptorsRoundTrips) {
  std::vector<TFieldDescriptor> fields(3);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
    fields[i].FieldName = "F" + std::to_string(i);
    fields[i].FieldType = static_cast<std::uint8_t>(i + 1);
    fields[i].MinValue = std::string(i * 30, 'm');  // the third one is cut to 50
  }
  const std::vector<std::byte> block = EncodeFieldDescriptors(fields);
  ASSERT_EQ(block.size(), 3 * kFieldDescriptorSize);
  EXPECT_EQ(block[kFieldDescriptorSize], std::byte{2});  // FieldNumber of the second
  const std::vector<TFieldDescriptor> back = DecodeFieldDescriptors(block);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0], fields[0]);
  EXPECT_EQ(back[1], fields[1]);
  EXPECT_EQ(back[2].MinValue, std::string(50, 'm'));
}

}  // namespace
}  // namespace tarvo
