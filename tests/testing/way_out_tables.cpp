#include "tests/testing/way_out_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/format/value_text.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/table_by_path.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo::testing {

using nlohmann::json;

namespace {

// The generated tables: the same definition under language 0 and German (1031).
const char* kDefinition = R"({"language_id": LANG, "blob_block_size": 512, "fields": [
  {"name": "ID", "type": "autoinc"},
  {"name": "Name", "type": "text", "size": 40, "required": true},
  {"name": "Born", "type": "date", "min": "0001-01-01", "default": "2000-01-01"},
  {"name": "Notes", "type": "memo"},
  {"name": "Active", "type": "boolean", "default": "TRUE"},
  {"name": "Small", "type": "smallint", "min": "-32768", "max": "32767"},
  {"name": "Count", "type": "integer"},
  {"name": "Amount", "type": "float"},
  {"name": "Price", "type": "money"},
  {"name": "Dec", "type": "bcd", "decimals": 2, "default": "1.5"},
  {"name": "Raw", "type": "bytes", "size": 8},
  {"name": "At", "type": "time"},
  {"name": "Stamp", "type": "datetime"},
  {"name": "W", "type": "word"},
  {"name": "C", "type": "cardinal"},
  {"name": "X", "type": "extended"},
  {"name": "VB", "type": "varbytes", "size": 10},
  {"name": "Pic", "type": "graphic"},
  {"name": "order", "type": "blob"}],
 "primary": ["ID"],
 "indexes": [
  {"name": "ByName", "fields": ["Name"], "case_insensitive": true, "compression": 3},
  {"name": "ByBornName", "fields": ["Born", "Name"], "field_descending": [false, true]},
  {"name": "ByCount", "fields": ["Count"], "unique": true, "compression": 2},
  {"name": "Down", "fields": ["Small", "W"], "descending": true}]})";

std::string Blob(std::size_t size, int seed) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < (size + 2) / 3 * 4 && size > 0; ++i) text += alphabet[(i * 7 + seed) % 64];
  return text;  // Base64 of some bytes
}

std::string RowsJsonl() {
  const std::vector<std::string> names = {"Müller", "Ärger & Öl", "plain", "Straße \"quoted\", comma",
                                          "€uro",   "line\nbreak"};
  const std::vector<std::size_t> blob_sizes = {1, 100, 511, 512, 513, 4096, 70000};
  std::string out;
  for (int i = 1; i <= 40; ++i) {
    json row;
    row["Name"] = names[i % names.size()] + " " + std::to_string(i);
    row["Count"] = i * 7 - 100;
    if (i % 4 != 0) {
      row["Born"] = i % 3 == 0 ? "0001-01-01" : "2024-02-29";
      row["Notes"] = std::string(static_cast<std::size_t>(i * 37), 'x') + "ÄÖÜäöüß";
      row["Active"] = i % 2 == 0;
      row["Small"] = i % 5 == 0 ? -32768 : i;
      row["Amount"] = i % 3 == 0 ? 0.1 : 1e300 / i;
      row["Price"] = 19.99 * i;
      row["Dec"] = i % 5 == 0 ? "-922337203685477.58" : std::to_string(i) + ".05";
      row["Raw"] = {{"b64", "AAEC/wD+"}};
      row["At"] = i % 2 == 0 ? "23:59:59.999" : "00:00:00.000";
      row["Stamp"] = "2024-02-29T12:34:56.789";
      row["W"] = 65535 - i;
      row["C"] = 4294967295LL - i;
      row["X"] = -2.5 * i;
      row["VB"] = {{"b64", Blob(i % 8, i)}};
      row["Pic"] = {{"b64", Blob(blob_sizes[i % blob_sizes.size()], i)}};
      row["order"] = {{"b64", Blob(blob_sizes[(i + 3) % blob_sizes.size()], i + 1)}};
    }
    out += row.dump() + "\n";
  }
  return out;
}

void MakeGeneratedTable(const std::filesystem::path& dir, const std::string& name, int language) {
  std::string definition = kDefinition;
  definition.replace(definition.find("LANG"), 4, std::to_string(language));
  std::ofstream(dir / "def.json") << definition;
  std::ofstream(dir / "rows.jsonl") << RowsJsonl();
  const std::string table = (dir / (name + ".DAT")).string();
  ASSERT_EQ(RunCli({"create", table, "--definition", (dir / "def.json").string()}).status, 0);
  const auto imported = RunCli({"import", table, (dir / "rows.jsonl").string()});
  ASSERT_EQ(imported.status, 0) << imported.err;
  // Deleted slots: every fifth record goes.
  auto opened = OpenTableByPath(table, true, false, {});
  TDataCursor& cursor = *opened->cursor;
  int at = 0;
  for (bool on = cursor.First(); on;) {
    if (++at % 5 == 0) {
      const std::vector<std::byte> record = cursor.CurrentRecord();
      cursor.DeleteRecord(record, false);
      on = cursor.OnRecord() || cursor.Next();
    } else {
      on = cursor.Next();
    }
  }
  std::filesystem::remove(dir / "def.json");
  std::filesystem::remove(dir / "rows.jsonl");
}

}  // namespace

void MakeWayOutTables(const std::filesystem::path& dir) {
  for (const char* fixture : {"basic", "blocks1024", "noprimary", "lostindex"}) CopyFixture(fixture, dir);
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() == ".json" || entry.path().extension() == ".jsonl")
      std::filesystem::remove(entry);
  }
  MakeGeneratedTable(dir, "Alles", 1031);
  MakeGeneratedTable(dir, "Plain", 0);
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

std::string FromBase64(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    const auto at = alphabet.find(c);
    if (at == std::string::npos) continue;
    buffer = buffer << 6 | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

std::string Decimal(std::string text) {
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text == "-0" ? "0" : text;
}

TValueKind KindOf(const json& field) {
  const json& type = field["type"];
  const std::string t = type.is_string() ? type.get<std::string>() : std::to_string(type.get<int>());
  if (t == "bcd" || t == "8") return TValueKind::kDecimal;
  if (t == "float" || t == "money" || t == "extended" || t == "7" || t == "14") return TValueKind::kReal;
  if (t == "boolean" || t == "4") return TValueKind::kBoolean;
  if (t == "datetime" || t == "11") return TValueKind::kDateTime;
  if (t == "memo" || t == "fmtmemo" || t == "text" || t == "1" || t == "date" || t == "2" || t == "time" ||
      t == "10")
    return TValueKind::kText;
  if (t == "bytes" || t == "varbytes" || t == "9" || t == "15" || t == "3" || t == "blob" || t == "graphic" ||
      t == "ole" || t == "dbole" || t == "typedbinary")
    return field.contains("subtype") && (field["subtype"] == 22 || field["subtype"] == 24)
               ? TValueKind::kText
               : TValueKind::kBytes;
  return TValueKind::kNumber;
}

TCanon FromExport(const json& value, TValueKind kind) {
  if (value.is_null()) return std::nullopt;
  switch (kind) {
    case TValueKind::kBytes: return Hex(FromBase64(value["b64"].get<std::string>()));
    case TValueKind::kDecimal: return Decimal(value.get<std::string>());
    case TValueKind::kReal: return FormatFloatText(value.get<double>());
    case TValueKind::kBoolean: return value.get<bool>() ? "1" : "0";
    case TValueKind::kDateTime: {
      std::string text = value.get<std::string>();
      std::replace(text.begin(), text.end(), 'T', ' ');
      return text;
    }
    case TValueKind::kText: return value.get<std::string>();
    case TValueKind::kNumber: return value.dump();
  }
  return std::nullopt;
}

TCanon FromCsv(const std::string& text, TValueKind kind) {
  if (text.empty()) return std::nullopt;
  if (kind == TValueKind::kBytes) return text.substr(2);  // after "\x"
  if (kind == TValueKind::kDecimal) return Decimal(text);
  if (kind == TValueKind::kReal) return FormatFloatText(std::stod(text));
  return text;
}

TTableInfo InfoOf(const std::string& table) {
  const auto info = RunCli({"info", table, "--json"});
  EXPECT_EQ(info.status, 0) << info.err;
  TTableInfo out;
  out.definition = json::parse(info.out)["definition"];
  for (const json& field : out.definition["fields"]) {
    out.columns.push_back(field["name"]);
    out.kinds.push_back(KindOf(field));
  }
  return out;
}

TRows Sorted(TRows rows) {
  std::sort(rows.begin(), rows.end());
  return rows;
}

TRows ExportRows(const std::string& table, const TTableInfo& info) {
  const auto exported = RunCli({"export", table});
  EXPECT_EQ(exported.status, 0) << exported.err;
  TRows rows;
  std::istringstream in(exported.out);
  for (std::string line; std::getline(in, line);) {
    const json object = json::parse(line);
    std::vector<TCanon> row;
    for (std::size_t i = 0; i < info.columns.size(); ++i) {
      row.push_back(FromExport(object.value(info.columns[i], json()), info.kinds[i]));
    }
    rows.push_back(row);
  }
  return Sorted(rows);
}

std::string FirstDifference(const TRows& actual, const TRows& expected, const TTableInfo& info) {
  auto shown = [](const TCanon& value) {
    if (!value) return std::string("NULL");
    return value->size() > 80 ? value->substr(0, 80) + "... (" + std::to_string(value->size()) + " chars)"
                              : *value;
  };
  for (std::size_t r = 0; r < std::min(actual.size(), expected.size()); ++r) {
    for (std::size_t c = 0; c < std::min(actual[r].size(), expected[r].size()); ++c) {
      if (actual[r][c] == expected[r][c]) continue;
      const std::string column = c < info.columns.size() ? info.columns[c] : std::to_string(c);
      return "row " + std::to_string(r) + ", " + column + ": " + shown(actual[r][c]) + ", expected " +
             shown(expected[r][c]);
    }
    if (actual[r].size() != expected[r].size()) return "row " + std::to_string(r) + ": other column count";
  }
  if (actual.size() != expected.size()) {
    return std::to_string(actual.size()) + " rows, expected " + std::to_string(expected.size());
  }
  return {};
}

}  // namespace tarvo::testing
