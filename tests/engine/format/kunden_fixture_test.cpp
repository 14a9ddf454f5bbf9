// Decodes the fixture table basic/Kunden, written by an independent implementation, and checks
// header, descriptors and records against its JSON description.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "engine/format/byte_codec.h"
#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/header_check.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

std::vector<std::byte> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
  return bytes;
}

std::vector<std::byte> Base64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::byte> out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    buffer = buffer << 6 | static_cast<unsigned>(kAlphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::byte>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

class KundenFixtureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto dir = testing::FixturesDir() / "basic";
    file_ = ReadAll(dir / "Kunden.DAT");
    ASSERT_GE(file_.size(), kDataHeaderSize);
    header_ = DecodeDataHeader(std::span(file_).first<kDataHeaderSize>());
    const std::size_t block = std::size_t{kFieldDescriptorSize} * header_.FieldCount;
    ASSERT_GE(file_.size(), kDataHeaderSize + block);
    fields_ = DecodeFieldDescriptors(std::span(file_).subspan(kDataHeaderSize, block));
    schema_ = nlohmann::json::parse(std::ifstream(dir / "Kunden.schema.json"));
    std::ifstream rows(dir / "Kunden.rows.jsonl");
    for (std::string line; std::getline(rows, line);) rows_.push_back(nlohmann::json::parse(line));
  }

  std::span<const std::byte> Record(std::int32_t slot) const {
    return std::span(file_).subspan(RecordFileOffset(header_.FieldCount, header_.RecordSize, slot),
                                    header_.RecordSize);
  }

  std::vector<std::byte> file_;
  TDataHeader header_;
  std::vector<TFieldDescriptor> fields_;
  nlohmann::json schema_;
  std::vector<nlohmann::json> rows_;
};

TEST_F(KundenFixtureTest, HeaderAndDescriptorsMatchTheSchemaAndPassTheCheck) {
  EXPECT_EQ(header_.FormatVersion, 4);
  EXPECT_EQ(header_.LanguageID, schema_["language_id"].get<int>());
  EXPECT_EQ(header_.SortID, schema_["sort_id"].get<int>());
  EXPECT_EQ(EffectiveBlobBlockSize(header_), schema_["blob_block_size"].get<unsigned>());
  EXPECT_EQ(PlainDescription(header_), schema_["description"].get<std::string>());
  EXPECT_EQ(header_.Encrypted, 0);
  EXPECT_EQ(RecordSlotCount(header_), 200);
  EXPECT_EQ(header_.BlobFieldCount, 2);

  const std::map<std::string, TEngineType> named = {{"autoinc", {kTypeInt32, kSubTypeAutoInc}},
                                                    {"date", {kTypeDate, 0}},
                                                    {"boolean", {kTypeBoolean, 0}},
                                                    {"smallint", {kTypeInt16, 0}},
                                                    {"integer", {kTypeInt32, 0}},
                                                    {"float", {kTypeFloat, 0}},
                                                    {"time", {kTypeTime, 0}},
                                                    {"datetime", {kTypeDateTime, 0}},
                                                    {"word", {kTypeUInt16, 0}}};
  const auto& schema_fields = schema_["fields"];
  ASSERT_EQ(fields_.size(), schema_fields.size());
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const auto& f = schema_fields[i];
    const TFieldDescriptor& d = fields_[i];
    SCOPED_TRACE(d.FieldName);
    EXPECT_EQ(d.FieldNumber, i + 1);
    EXPECT_EQ(d.FieldName, f["name"].get<std::string>());
    const TEngineType type = f["type"].is_string()
                                 ? named.at(f["type"].get<std::string>())
                                 : TEngineType{f["type"].get<TTypeCode>(), f.value("subtype", TTypeCode{0})};
    EXPECT_EQ(d.FieldType, type.Type);
    EXPECT_EQ(d.FieldSubType, type.SubType);
    EXPECT_EQ(d.FieldSize, f.value("size", 0));
    EXPECT_EQ(d.FieldDecimals, f.value("decimals", 0));
  }

  // Our layout of the same definition is the one in the file.
  std::vector<TFieldDescriptor> derived = fields_;
  EXPECT_EQ(DeriveRecordLayout(derived, false), header_.RecordSize);
  EXPECT_EQ(derived, fields_);
  std::vector<std::byte> encoded(file_.size() > 0 ? kDataHeaderSize : 0);
  EncodeDataHeader(header_, std::span(encoded).first<kDataHeaderSize>());
  EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), file_.begin()));
  const std::vector<std::byte> block = EncodeFieldDescriptors(fields_);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), file_.begin() + kDataHeaderSize));

  EXPECT_EQ(CheckDataHeader(header_, fields_, file_.size(), [](TLanguageId, TSortId) { return false; }), 0);
}

TEST_F(KundenFixtureTest, DeletedChainLinksEveryNinthSlot) {
  std::int32_t slot = header_.FirstFreeRecord;
  std::int32_t expected = 198;
  while (slot != 0) {
    ASSERT_EQ(slot, expected);
    EXPECT_TRUE(IsRecordDeleted(Record(slot)));
    slot = RecordSlotLink(Record(slot));
    expected -= 9;
  }
  EXPECT_EQ(expected, 0);
  EXPECT_FALSE(IsRecordDeleted(Record(1)));
  EXPECT_EQ(RecordSlotLink(Record(1)), 1);
}

TEST_F(KundenFixtureTest, RecordsDecodeAsTheRowsSay) {
  ASSERT_EQ(rows_.size(), 200u);
  int checked_nulls = 0;
  for (std::int32_t slot = 1; slot <= 40; ++slot) {
    if (slot % 9 == 0) continue;
    const auto record = Record(slot);
    const nlohmann::json& row = rows_[static_cast<std::size_t>(slot - 1)];
    SCOPED_TRACE("slot " + std::to_string(slot));
    EXPECT_EQ(RecordAutoIncrement(record), slot);
    for (const TFieldDescriptor& d : fields_) {
      SCOPED_TRACE(d.FieldName);
      const auto slot_bytes = ConstFieldSlot(record, d);
      const auto it = row.find(d.FieldName);
      const bool is_null = it == row.end() || it->is_null();
      if (IsAutoIncrement(d.FieldType, d.FieldSubType)) continue;
      if (d.FieldType == kTypeBlob) {
        // An empty blob is stored as a null reference.
        const bool empty = is_null || (it->is_object() ? it->at("b64").get<std::string>().empty()
                                                       : it->get<std::string>().empty());
        EXPECT_EQ(IsNull(slot_bytes), empty);
        EXPECT_EQ(GetBlobRef(slot_bytes).Reference == 0, empty);
        continue;
      }
      EXPECT_EQ(IsNull(slot_bytes), is_null);
      if (is_null) {
        ++checked_nulls;
        EXPECT_TRUE(
            std::all_of(slot_bytes.begin(), slot_bytes.end(), [](std::byte b) { return b == std::byte{0}; }));
        continue;
      }
      switch (d.FieldType) {
        case kTypeText: EXPECT_EQ(GetText(slot_bytes), it->get<std::string>()); break;
        case kTypeDate: EXPECT_EQ(FormatDateText(*GetDate(slot_bytes)), it->get<std::string>()); break;
        case kTypeTime: EXPECT_EQ(FormatTimeText(*GetTime(slot_bytes)), it->get<std::string>()); break;
        case kTypeDateTime:
          EXPECT_EQ(FormatDateTimeText(*GetDateTime(slot_bytes)), it->get<std::string>());
          break;
        case kTypeBoolean: EXPECT_EQ(GetBoolean(slot_bytes), it->get<bool>()); break;
        case kTypeInt16: EXPECT_EQ(GetInt16(slot_bytes), it->get<int>()); break;
        case kTypeInt32: EXPECT_EQ(GetInt32(slot_bytes), it->get<int>()); break;
        case kTypeUInt16: EXPECT_EQ(GetUInt16(slot_bytes), it->get<int>()); break;
        case kTypeFloat: EXPECT_EQ(GetFloat(slot_bytes), it->get<double>()); break;
        case kTypeFixed:
          EXPECT_EQ(GetFixed(slot_bytes), ParseFixedText(it->get<std::string>()));
          EXPECT_EQ(FormatFixedText(*GetFixed(slot_bytes), d.FieldDecimals), it->get<std::string>());
          break;
        case kTypeBytes:
        case kTypeVarBytes: {
          std::vector<std::byte> expected = Base64(it->at("b64").get<std::string>());
          expected.resize(d.DataSize);  // stored zero-filled
          EXPECT_EQ(GetBytes(slot_bytes), expected);
          break;
        }
        default: ADD_FAILURE() << "unexpected type " << int{d.FieldType};
      }
    }
  }
  EXPECT_GT(checked_nulls, 10);
}

}  // namespace
}  // namespace tarvo
