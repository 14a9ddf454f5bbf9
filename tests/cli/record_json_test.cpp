// Records read from JSON documents (import, the tool's record commands): what a field would not
// keep as given is refused, with the reason the tool reports.
#include "cli/record_json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/format/field_messages.h"
#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "tests/testing/field_builder.h"

namespace tarvo::cli {
namespace {

using testing::Field;

constexpr TLanguageId kGerman = 0x0407;

TEST(RecordJsonTest, RefusesWhatTheFieldWouldNotKeep) {
  struct TRefusal {
    TFieldDescriptor field;
    nlohmann::json in;
    std::string reason;
  };
  const std::vector<TRefusal> cases = {
      {Field("T", kTypeText, 10), "\xE4\xB8\xAD", "a character is not in the table's code page"},
      {Field("T", kTypeText, 3), "abcd", "the text is longer than the field's 3 characters"},
      {Field("T", kTypeText, 5), std::string("a\0b", 3), "a text cannot hold the character 0"},
      {Field("T", kTypeText, 5), 12, "a string is expected"},
      {Field("I", kTypeInt16), 32768, "the value is out of range"},
      {Field("I", kTypeUInt16), -1, "the value is out of range"},
      {Field("I", kTypeUInt32), 18446744073709551615ull, "the value is out of range"},
      {Field("I", kTypeInt32), 1.5, "an integer is expected"},
      {Field("B", kTypeBoolean), 1, "true or false is expected"},
      {Field("F", kTypeFloat), 9007199254740993, "the integer has no floating-point value of its own"},
      {Field("F", kTypeFloat), 18446744073709551615ull, "the integer has no floating-point value of its own"},
      {Field("F", kTypeFloat), "1.5", "a number is expected"},
      {Field("N", kTypeFixed, 0, 0, 2), "1.001", "more decimal places than the field's 2"},
      {Field("N", kTypeFixed, 0, 0, 2), 0.125, "more decimal places than the field's 2"},
      {Field("N", kTypeFixed, 0, 0, 2), true, "a decimal number is expected"},
      {Field("D", kTypeDate), "2023-02-29", "a date YYYY-MM-DD is expected"},
      {Field("D", kTypeDate), 20240101, "a string is expected"},
      {Field("Z", kTypeTime), "24:00", "a time HH:MM:SS.mmm is expected"},
      {Field("S", kTypeDateTime), "2024-02-30T10:00", "a date-time YYYY-MM-DDTHH:MM:SS.mmm is expected"},
      {Field("R", kTypeBytes, 2), {{"b64", "AAAA"}}, "more bytes than the field holds"},
      {Field("R", kTypeBytes, 2), "AAAA", "{\"b64\": ...} is expected"},
      {Field("A", kTypeInt32, 0, kSubTypeAutoInc), 0, "an auto-increment value is 1 to 2147483647"},
      {Field("A", kTypeInt32, 0, kSubTypeAutoInc), 18446744073709551615ull,
       "an auto-increment value is 1 to 2147483647"},
  };
  for (const TRefusal& c : cases) {
    SCOPED_TRACE("field type " + std::to_string(c.field.FieldType) + ", value " + c.in.dump());
    std::vector<TFieldDescriptor> fields = {c.field};
    fields[0].FieldNumber = 1;
    std::vector<std::byte> record(static_cast<std::size_t>(DeriveRecordLayout(fields, false)));
    try {
      JsonToRecord(nlohmann::json{{c.field.FieldName, c.in}}, fields, kGerman, 0, record);
      ADD_FAILURE() << "not refused";
    } catch (const EFieldValueError& e) {
      EXPECT_EQ(e.Reason(), c.reason);
    }
  }
}

}  // namespace
}  // namespace tarvo::cli
