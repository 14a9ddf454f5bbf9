#include "sql/migrate/pg_copy.h"

#include <charconv>
#include <cmath>
#include <span>

#include "engine/format/field_types.h"

namespace tarvo::sql {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Text with COPY's escapes; zero characters are left out. Returns false when there was one.
bool AppendEscaped(std::string& out, std::string_view text) {
  bool whole = true;
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': whole = false; break;
      default: out += c;
    }
  }
  return whole;
}

// BYTEA in hex form, its backslash escaped for COPY: \\x0a1b...
void AppendHex(std::string& out, std::span<const std::byte> bytes) {
  out += "\\\\x";
  const std::size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  char* digit = out.data() + at;
  for (const std::byte b : bytes) {
    *digit++ = kHexDigits[static_cast<unsigned>(b) >> 4];
    *digit++ = kHexDigits[static_cast<unsigned>(b) & 0xF];
  }
}

void AppendDouble(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value < 0 ? "-Infinity" : "Infinity";
  } else {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);  // shortest that reads back
    out.append(text, result.ptr);
  }
}

}  // namespace

TPgCopyKind PgCopyKindOf(const TFieldDescriptor& d) {
  switch (d.FieldType) {
    case kTypeText: return TPgCopyKind::kText;
    case kTypeDate:
    case kTypeTime:
    case kTypeDateTime: return TPgCopyKind::kTemporal;
    case kTypeBlob:
      return d.FieldSubType == kSubTypeMemo || d.FieldSubType == kSubTypeFmtMemo ? TPgCopyKind::kText
                                                                                 : TPgCopyKind::kBytea;
    case kTypeBoolean:
    case kTypeInt16:
    case kTypeInt32:
    case kTypeFloat:
    case kTypeFixed:
    case kTypeUInt16:
    case kTypeUInt32:
    case kTypeExtended: return TPgCopyKind::kPlain;
    default: return TPgCopyKind::kBytea;
  }
}

bool AppendCopyValue(std::string& out, const TSqlValue& value, TPgCopyKind kind) {
  if (std::holds_alternative<std::monostate>(value)) {
    out += "\\N";
    return true;
  }
  if (kind == TPgCopyKind::kTemporal && !std::holds_alternative<std::string>(value)) {
    out += "\\N";
    return false;
  }
  if (const auto* integer = std::get_if<std::int64_t>(&value)) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, *integer);
    out.append(text, result.ptr);
    return true;
  }
  if (const auto* real = std::get_if<double>(&value)) {
    AppendDouble(out, *real);
    return true;
  }
  if (const auto* text = std::get_if<std::string>(&value)) {
    if (kind == TPgCopyKind::kBytea) {
      AppendHex(out, std::as_bytes(std::span<const char>(*text)));
      return true;
    }
    return AppendEscaped(out, *text);
  }
  AppendHex(out, std::get<TSqlBytes>(value));
  return true;
}

std::string CopyStatement(std::string_view quoted_table, const std::vector<std::string>& quoted_columns) {
  std::string statement = "COPY " + std::string(quoted_table) + " (";
  for (std::size_t i = 0; i < quoted_columns.size(); ++i) {
    if (i > 0) statement += ", ";
    statement += quoted_columns[i];
  }
  return statement + ") FROM STDIN";
}

}  // namespace tarvo::sql
