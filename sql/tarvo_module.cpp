#include "sql/tarvo_module.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/format/field_messages.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/index/index_tree.h"
#include "engine/index/key_codec.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "engine/tables/table_lock_guard.h"
#include "errors/engine_error.h"
#include "sql/sql_values.h"
#include "support/code_page.h"
#include "support/physical_file.h"
#include "support/platform.h"
#include "support/platform_names.h"

namespace tarvo::sql {

namespace {

// The engine session of one database connection; every table the connection attaches is opened
// through it, so a transaction of a directory covers all of them.
struct TConnection {
  TDataSession session;
};

// What the planner may ask of a key field: whether an SQL equality on the column finds every
// record it holds by the field's key bytes (`eq`), and whether the equal records then stay ordered
// by the following key fields (`eq_exact`: otherwise the equality is walked as a range and ends
// the usable fields); whether a range narrows correctly (`range`); whether the key order is the
// order SQL gives the column's values (`order`).
struct TKeyUse {
  bool eq = false;
  bool eq_exact = false;
  bool range = false;
  bool order = false;
};

// One index as the planner sees it.
struct TIndexPlanInfo {
  int slot = 0;
  std::string name;              // stored; "" for the primary index
  std::vector<int> columns;      // 0-based column of each key field
  std::vector<bool> descending;  // each key field's direction in the index's order
  std::vector<TKeyUse> use;
  std::vector<std::size_t> field_end;  // key bytes up to and including each field
  bool unique = false;
  std::unique_ptr<TKeyCodec> codec;
};

struct TTarvoTable : sqlite3_vtab {
  TConnection* connection = nullptr;
  TDataDirectory* directory = nullptr;
  std::string table_name;
  // The shared cursor of the table: writes, record counts, and the table held open.
  std::unique_ptr<TDataCursor> writer;
  // Engine cursors of closed SQL cursors, open and ready for the next one.
  std::vector<std::unique_ptr<TDataCursor>> idle;
  std::vector<TIndexPlanInfo> indexes;
  std::vector<TFieldDescriptor> fields;
  TLanguageId language = 0;
  TSortId sort = 0;

  ~TTarvoTable() {
    idle.clear();
    writer.reset();
    if (directory != nullptr) (void)connection->session.ReleaseDirectory(directory);
  }
};

// Plans: an index slot, or one of these.
constexpr int kPlanSlotOrder = -1;
constexpr int kPlanRowid = -2;

struct TTarvoCursor : sqlite3_vtab_cursor {
  std::unique_ptr<TDataCursor> cursor;
  const TIndexPlanInfo* index = nullptr;  // null in slot order
  bool eof = true;
  bool backward = false;
  bool single = false;  // the walk finds one record at most
  // The walk ends where the current key passes this one (compared over `end_length` bytes; 0:
  // at the end of the index).
  TKey end_key;
  std::size_t end_length = 0;
  TKey key;  // the current record's key, built in place for each record
};

TTarvoTable& TableOf(sqlite3_vtab* vtab) {
  return *static_cast<TTarvoTable*>(vtab);
}

// --- Errors ---

int SqliteCodeOf(TEngineCode code, bool read_only) {
  switch (code) {
    case kDuplicateKey:
    case kBelowMinimum:
    case kAboveMaximum:
    case kValueRequired: return SQLITE_CONSTRAINT;
    case kRecordInUse:
    case kTableLocked:
    case kLockFailure: return SQLITE_BUSY;
    case kAccessDenied: return read_only ? SQLITE_READONLY : SQLITE_BUSY;
    case kPasswordRequired:
    case kInvalidPassword: return SQLITE_AUTH;
    default: return SQLITE_ERROR;
  }
}

char* MessageCopy(const std::string& text) {
  return sqlite3_mprintf("%s", text.c_str());
}

// Runs `body`, turning what it raises into an SQLite code and a message (in UTF-8, names
// converted from the table's code page) for `error`.
template <class TBody>
int Guarded(char*& error, TLanguageId language, bool read_only, TBody body) {
  try {
    return body();
  } catch (const ETarvoEngineError& e) {
    sqlite3_free(error);
    error = MessageCopy(MessageText(e, language));
    return SqliteCodeOf(e.Code(), read_only);
  } catch (const EFieldValueError& e) {
    sqlite3_free(error);
    error = MessageCopy(MessageText(e, language));
    return SQLITE_CONSTRAINT;
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (const std::exception& e) {
    sqlite3_free(error);
    error = MessageCopy(MessageText(e, language));
    return SQLITE_ERROR;
  }
}

template <class TBody>
int GuardedTable(TTarvoTable& table, TBody body) {
  const bool read_only = table.writer != nullptr && table.writer->ReadOnly();
  return Guarded(table.zErrMsg, table.language, read_only, body);
}

// --- Values ---

TSqlValue ValueOf(sqlite3_value* value) {
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER: return static_cast<std::int64_t>(sqlite3_value_int64(value));
    case SQLITE_FLOAT: return sqlite3_value_double(value);
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
      return std::string(text, static_cast<std::size_t>(sqlite3_value_bytes(value)));
    }
    case SQLITE_BLOB: {
      const auto* data = static_cast<const std::byte*>(sqlite3_value_blob(value));
      return TSqlBytes(data, data + sqlite3_value_bytes(value));
    }
    default: return {};
  }
}

void SetResult(sqlite3_context* context, const TSqlValue& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    sqlite3_result_int64(context, *i);
  } else if (const auto* r = std::get_if<double>(&value)) {
    sqlite3_result_double(context, *r);
  } else if (const auto* t = std::get_if<std::string>(&value)) {
    sqlite3_result_text64(context, t->data(), t->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  } else if (const auto* b = std::get_if<TSqlBytes>(&value)) {
    if (b->empty()) {
      sqlite3_result_zeroblob(context, 0);
    } else {
      sqlite3_result_blob64(context, b->data(), b->size(), SQLITE_TRANSIENT);
    }
  } else {
    sqlite3_result_null(context);
  }
}

// Whether two values are the same as SQL compares them (numbers by value).
bool SameSqlValue(const TSqlValue& a, const TSqlValue& b) {
  const bool a_number = std::holds_alternative<std::int64_t>(a) || std::holds_alternative<double>(a);
  const bool b_number = std::holds_alternative<std::int64_t>(b) || std::holds_alternative<double>(b);
  if (a_number && b_number) {
    if (std::holds_alternative<std::int64_t>(a) && std::holds_alternative<std::int64_t>(b)) return a == b;
    const double x = std::holds_alternative<double>(a) ? std::get<double>(a)
                                                       : static_cast<double>(std::get<std::int64_t>(a));
    const double y = std::holds_alternative<double>(b) ? std::get<double>(b)
                                                       : static_cast<double>(std::get<std::int64_t>(b));
    return x == y;
  }
  return a == b;
}

// --- Opening ---

std::string Dequote(const std::string& text) {
  if (text.size() < 2 || (text.front() != '\'' && text.front() != '"') || text.back() != text.front())
    return text;
  const char quote = text.front();
  std::string out;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    out += text[i];
    if (text[i] == quote && i + 2 < text.size() && text[i + 1] == quote) ++i;
  }
  return out;
}

std::string QuoteIdentifier(const std::string& name) {
  std::string out = "\"";
  for (const char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string QuoteLiteral(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

TKeyUse KeyUseOf(const TFieldDescriptor& d, TLanguageId language, bool case_insensitive) {
  if (!IsStored(d)) return {};
  switch (d.FieldType) {
    case kTypeInt16:
    case kTypeInt32:
    case kTypeUInt16:
    case kTypeDate:
    case kTypeTime:
    case kTypeBytes:
    case kTypeVarBytes: return {true, true, true, true};
    case kTypeFloat: return {true, true, true, true};
    // Date-times that come out as the same millisecond may differ below it: equality is walked as
    // a range around the value.
    case kTypeDateTime: return {true, false, true, true};
    // A cardinal's key is its stored bytes, least significant first: equal values only.
    case kTypeUInt32: return {true, true, false, false};
    // Fixed-point values beyond 15 digits come out as TEXT, which SQL orders after every number.
    case kTypeFixed: return {true, true, false, false};
    // Booleans: another writer may have stored any non-zero value for true.
    case kTypeBoolean: return {false, false, false, true};
    case kTypeText:
      // Equal texts have equal keys under every rule (a case-insensitive index or a locale only
      // makes more texts equal). A range narrows only in plain byte order, where a bound is cut
      // before its first character beyond ASCII: the code page orders the others differently
      // from UTF-8. Text order is SQLite's own to make.
      return {true, true, language == 0 && !case_insensitive && d.CaseMapping == kCaseUnchanged, false};
    default: return {};
  }
}

void DescribeIndexes(TTarvoTable& table) {
  const TIndexFile& file = table.writer->Table().IndexFile();
  const TIndexHeader& header = file.Header();
  for (int slot = file.NoPrimaryIndex() ? 1 : 0; slot <= file.SecondaryIndexCount(); ++slot) {
    const TIndexDescriptor& d = header.slots[static_cast<std::size_t>(slot)];
    TIndexPlanInfo info;
    info.slot = slot;
    info.name = slot == kPrimarySlot ? std::string() : d.name;
    info.unique = slot == kPrimarySlot || d.unique != 0;
    std::size_t end = 0;
    bool valid = d.field_count > 0;
    for (int i = 0; i < d.field_count && valid; ++i) {
      const std::uint16_t number = d.field_numbers[static_cast<std::size_t>(i)];
      if (number == 0 || number > table.fields.size()) {
        valid = false;
        break;
      }
      const TFieldDescriptor& field = table.fields[number - 1u];
      info.columns.push_back(number - 1);
      info.descending.push_back(d.descending != 0 || d.field_descending[static_cast<std::size_t>(i)] != 0);
      info.use.push_back(KeyUseOf(field, table.language, d.case_insensitive != 0));
      end += field.DataSize + 1u;
      info.field_end.push_back(end);
    }
    if (!valid) continue;
    info.codec = std::make_unique<TKeyCodec>(d, slot, table.fields, table.language, table.sort);
    table.indexes.push_back(std::move(info));
  }
}

int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** vtab, char** error) {
  auto* connection = static_cast<TConnection*>(aux);
  *error = nullptr;
  if (argc != 4) {
    *error = sqlite3_mprintf("tarvo takes one argument: the path of a table's data file");
    return SQLITE_ERROR;
  }
  auto table = std::make_unique<TTarvoTable>();
  table->connection = connection;
  const std::filesystem::path path(Dequote(argv[3]));
  char* message = nullptr;
  const int rc = Guarded(message, 0, false, [&] {
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : std::string(1, '.');
    table->directory = connection->session.GetDirectory("", folder);
    table->table_name = path.filename().string();
    table->writer = std::make_unique<TDataCursor>(connection->session, *table->directory);
    TCursorOpenOptions options;
    options.table_name = table->table_name;
    table->writer->Open(options);
    table->fields = table->writer->Descriptors();
    table->language = table->writer->LanguageID();
    table->sort = table->writer->SortID();
    DescribeIndexes(*table);
    std::string declaration = "CREATE TABLE x(";
    for (std::size_t i = 0; i < table->fields.size(); ++i) {
      const TFieldDescriptor& d = table->fields[i];
      if (i > 0) declaration += ", ";
      declaration += QuoteIdentifier(CodePageToUtf8(d.FieldName, table->language));
      declaration += ' ';
      declaration += SqlTypeName(d);
    }
    declaration += ")";
    return sqlite3_declare_vtab(db, declaration.c_str());
  });
  if (rc != SQLITE_OK) {
    *error = message != nullptr ? message : sqlite3_mprintf("%s", sqlite3_errmsg(db));
    return rc;
  }
  sqlite3_free(message);
  *vtab = table.release();
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* vtab) {
  delete static_cast<TTarvoTable*>(vtab);
  return SQLITE_OK;
}

// --- Planning ---

struct TPlan {
  int slot = kPlanSlotOrder;
  int n_eq = 0;
  int lo = -1;  // constraint numbers, -1 for none
  int hi = -1;
  std::vector<int> eq;  // constraint numbers of the equalities, in key order
  bool backward = false;
  bool order = false;
  double rows = 0;
  double cost = 0;
};

bool IsLowerBound(unsigned char op) {
  return op == SQLITE_INDEX_CONSTRAINT_GT || op == SQLITE_INDEX_CONSTRAINT_GE;
}

bool IsUpperBound(unsigned char op) {
  return op == SQLITE_INDEX_CONSTRAINT_LT || op == SQLITE_INDEX_CONSTRAINT_LE;
}

// A usable constraint on `column` whose operator `match` takes. Only comparisons under SQLite's
// plain BINARY collation: under another one (NOCASE, RTRIM, one of the application's) texts that
// differ in their bytes may be equal, and none of the index's orders is theirs.
int FindConstraint(sqlite3_index_info* info, int column, bool (*match)(unsigned char)) {
  for (int c = 0; c < info->nConstraint; ++c) {
    const auto& constraint = info->aConstraint[c];
    if (!constraint.usable || constraint.iColumn != column || !match(constraint.op)) continue;
    const char* collation = sqlite3_vtab_collation(info, c);
    if (collation == nullptr || sqlite3_stricmp(collation, "BINARY") == 0) return c;
  }
  return -1;
}

bool IsEquality(unsigned char op) {
  return op == SQLITE_INDEX_CONSTRAINT_EQ;
}

// Whether walking the index (forwards or, with `backward`, backwards) gives the ORDER BY's order.
// Key fields whose value the constraints fix (`constant` of them) may be skipped or appear in any
// direction.
bool GivesOrder(const sqlite3_index_info* info, const TIndexPlanInfo& index, int constant, bool& backward) {
  if (info->nOrderBy == 0) return false;
  std::size_t pos = 0;
  int direction = -1;
  for (int t = 0; t < info->nOrderBy; ++t) {
    const auto& term = info->aOrderBy[t];
    while (pos < index.columns.size() && static_cast<int>(pos) < constant &&
           index.columns[pos] != term.iColumn)
      ++pos;
    if (pos >= index.columns.size() || index.columns[pos] != term.iColumn) return false;
    if (static_cast<int>(pos) >= constant) {
      if (!index.use[pos].order) return false;
      const int wanted = (term.desc != 0) != index.descending[pos] ? 1 : 0;
      if (direction >= 0 && direction != wanted) return false;
      direction = wanted;
    }
    ++pos;
  }
  backward = direction == 1;
  return true;
}

TPlan PlanIndex(sqlite3_index_info* info, const TIndexPlanInfo& index, double records) {
  TPlan plan;
  plan.slot = index.slot;
  std::size_t pos = 0;
  for (; pos < index.columns.size(); ++pos) {
    if (!index.use[pos].eq || !index.use[pos].eq_exact) break;
    const int c = FindConstraint(info, index.columns[pos], IsEquality);
    if (c < 0) break;
    plan.eq.push_back(c);
  }
  plan.n_eq = static_cast<int>(plan.eq.size());
  int constant = plan.n_eq;
  if (pos < index.columns.size()) {
    const TKeyUse& use = index.use[pos];
    const int eq = use.eq && !use.eq_exact ? FindConstraint(info, index.columns[pos], IsEquality) : -1;
    if (eq >= 0) {
      plan.lo = plan.hi = eq;
      ++constant;
    } else if (use.range) {
      plan.lo = FindConstraint(info, index.columns[pos], IsLowerBound);
      plan.hi = FindConstraint(info, index.columns[pos], IsUpperBound);
    }
  }
  double rows = records;
  if (index.unique && plan.n_eq == static_cast<int>(index.columns.size())) {
    rows = 1;
  } else {
    for (int i = 0; i < plan.n_eq; ++i) rows /= 10;
    if (plan.lo >= 0 && plan.lo == plan.hi) {
      rows /= 10;
    } else {
      if (plan.lo >= 0) rows /= 4;
      if (plan.hi >= 0) rows /= 4;
    }
  }
  plan.rows = std::max(rows, 1.0);
  // A walk along an index reads records out of slot order.
  plan.cost = 2 * plan.rows + std::log2(records + 1);
  plan.order = GivesOrder(info, index, constant, plan.backward);
  return plan;
}

// What a plan costs when SQLite must still sort its rows.
double CostWithOrder(const sqlite3_index_info* info, const TPlan& plan) {
  if (info->nOrderBy == 0 || plan.order) return plan.cost;
  return plan.cost + plan.rows * std::log2(plan.rows + 1);
}

int BestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    const double records = std::max(1, table.writer->RecordCount());
    TPlan best;
    best.rows = records;
    best.cost = records;
    if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn == -1) {
      best.order = true;
      best.backward = info->aOrderBy[0].desc != 0;
    }
    const int rowid = FindConstraint(info, -1, IsEquality);
    if (rowid >= 0) {
      best = TPlan();
      best.slot = kPlanRowid;
      best.eq = {rowid};
      best.n_eq = 1;
      best.rows = 1;
      best.cost = 1;
      best.order = info->nOrderBy > 0;  // one row is in every order
    } else {
      for (const TIndexPlanInfo& index : table.indexes) {
        const TPlan plan = PlanIndex(info, index, records);
        if (plan.n_eq == 0 && plan.lo < 0 && plan.hi < 0 && !plan.order) continue;
        if (CostWithOrder(info, plan) < CostWithOrder(info, best)) best = plan;
      }
    }
    int argument = 0;
    for (const int c : best.eq) info->aConstraintUsage[c].argvIndex = ++argument;
    int lo_argument = 0;
    int hi_argument = 0;
    if (best.lo >= 0) lo_argument = info->aConstraintUsage[best.lo].argvIndex = ++argument;
    if (best.hi >= 0) {
      hi_argument =
          best.hi == best.lo ? lo_argument : (info->aConstraintUsage[best.hi].argvIndex = ++argument);
    }
    // SQLite checks every constraint on each row again: a walk may be wider, never narrower.
    for (int c = 0; c < info->nConstraint; ++c) info->aConstraintUsage[c].omit = 0;
    // An OFFSET is skipped here only when SQLite has nothing else to check or sort: a walk of
    // every record in the order the query asks for (LIMIT SQLite keeps counting itself).
    int offset_argument = 0;
    const bool whole_walk = best.slot != kPlanRowid && best.eq.empty() && best.lo < 0 && best.hi < 0;
    if (whole_walk && (info->nOrderBy == 0 || best.order)) {
      int offset = -1;
      bool others = false;
      for (int c = 0; c < info->nConstraint; ++c) {
        const unsigned char op = info->aConstraint[c].op;
        if (op == SQLITE_INDEX_CONSTRAINT_OFFSET && info->aConstraint[c].usable) {
          offset = c;
        } else if (op != SQLITE_INDEX_CONSTRAINT_LIMIT) {
          others = true;
        }
      }
      if (offset >= 0 && !others) {
        offset_argument = info->aConstraintUsage[offset].argvIndex = ++argument;
        info->aConstraintUsage[offset].omit = 1;
      }
    }
    info->idxNum = best.slot;
    // Read back by Filter; the walk's name at the end shows in EXPLAIN QUERY PLAN.
    std::string walk = best.slot == kPlanRowid ? "rowid" : best.slot == kPlanSlotOrder ? "slots" : "primary";
    if (best.slot > kPrimarySlot) {
      for (const TIndexPlanInfo& index : table.indexes) {
        if (index.slot == best.slot) walk = "index " + CodePageToUtf8(index.name, table.language);
      }
    }
    info->idxStr = sqlite3_mprintf("%d %d %d %d %d %s", best.n_eq, lo_argument, hi_argument,
                                   best.backward ? 1 : 0, offset_argument, walk.c_str());
    if (info->idxStr == nullptr) return SQLITE_NOMEM;
    info->needToFreeIdxStr = 1;
    info->orderByConsumed = best.order ? 1 : 0;
    info->estimatedCost = best.cost;
    info->estimatedRows = static_cast<sqlite3_int64>(best.rows);
    if (best.rows <= 1 && (best.slot == kPlanRowid || best.n_eq > 0))
      info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
    return SQLITE_OK;
  });
}

// --- Cursors ---

int Open(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    auto cursor = std::make_unique<TTarvoCursor>();
    if (!table.idle.empty()) {
      cursor->cursor = std::move(table.idle.back());
      table.idle.pop_back();
    } else {
      cursor->cursor = std::make_unique<TDataCursor>(table.connection->session, *table.directory);
      TCursorOpenOptions options;
      options.table_name = table.table_name;
      options.read_only = true;
      cursor->cursor->Open(options);
    }
    *out = cursor.release();
    return SQLITE_OK;
  });
}

int Close(sqlite3_vtab_cursor* base) {
  std::unique_ptr<TTarvoCursor> cursor(static_cast<TTarvoCursor*>(base));
  TTarvoTable& table = TableOf(base->pVtab);
  constexpr std::size_t kIdleCursors = 4;
  if (cursor->cursor != nullptr && table.idle.size() < kIdleCursors)
    table.idle.push_back(std::move(cursor->cursor));
  try {
    cursor.reset();
  } catch (...) {
    // Closing an engine cursor reports nothing here; its table stays open through the others.
  }
  return SQLITE_OK;
}

// Whether the current record lies beyond the end of the walk.
bool PastEnd(TTarvoCursor& cursor) {
  if (cursor.index == nullptr || cursor.end_length == 0) return false;
  cursor.key.resize(cursor.index->codec->KeyLength());
  cursor.index->codec->BuildInto(cursor.cursor->CurrentRecord(), cursor.key);
  const int compared = cursor.index->codec->Compare(cursor.key, cursor.end_key, cursor.end_length);
  return cursor.backward ? compared < 0 : compared > 0;
}

// A bound of the walk: `value` put into the record image for field `d`, and how many key bytes
// of that field take part. 0 when the value gives no usable bound (the walk is then wider).
std::size_t PutBound(TTarvoTable& table, std::vector<std::byte>& image, const TFieldDescriptor& d,
                     const TSqlValue& value, bool upper, bool equal) {
  if (std::holds_alternative<std::monostate>(value)) return 0;
  try {
    if (d.FieldType == kTypeText && !equal) {
      const auto* text = std::get_if<std::string>(&value);
      if (text == nullptr) return 0;
      // Up to the first character beyond ASCII, without trailing blanks (never stored).
      std::size_t length = 0;
      while (length < text->size() && static_cast<unsigned char>((*text)[length]) < 0x80) ++length;
      std::string prefix = text->substr(0, length);
      prefix.erase(prefix.find_last_not_of(' ') + 1);
      if (prefix.empty() || prefix.size() > d.FieldSize) return 0;
      PutRecordFieldValue(image, d, table.language, table.sort, prefix);
      return 1 + prefix.size();
    }
    PutRecordFieldValue(image, d, table.language, table.sort, value);
    if (!SameSqlValue(RecordFieldValue(image, d, table.language), value)) return 0;
    const TBytes slot = FieldSlot(image, d);
    if (d.FieldType == kTypeDateTime) PutDateTime(slot, *GetDateTime(slot) + (upper ? 0.5 : -0.5));
    return d.DataSize + 1u;
  } catch (const EFieldValueError&) {
    return 0;
  }
}

// Steps over the first `count` records of a walk that has no end short of the table's (OFFSET).
void Skip(TTarvoCursor& cursor, sqlite3_int64 count) {
  for (sqlite3_int64 i = 0; i < count && !cursor.eof; ++i) {
    cursor.eof = !(cursor.backward ? cursor.cursor->Prior() : cursor.cursor->Next());
  }
}

// Positions on the record in `slot` as the files hold it now.
bool GoToSlotNow(TDataCursor& cursor, std::int32_t slot) {
  (void)cursor.CheckBeforeRead();
  return cursor.GoToSlot(slot);
}

int Filter(sqlite3_vtab_cursor* base, int plan_slot, const char* plan_text, int argc, sqlite3_value** argv) {
  auto& cursor = *static_cast<TTarvoCursor*>(base);
  TTarvoTable& table = TableOf(base->pVtab);
  return GuardedTable(table, [&] {
    int n_eq = 0;
    int lo = 0;
    int hi = 0;
    int backward = 0;
    int offset = 0;
    if (plan_text == nullptr ||
        std::sscanf(plan_text, "%d %d %d %d %d", &n_eq, &lo, &hi, &backward, &offset) != 5 ||
        n_eq + (lo > 0) + (hi > 0 && hi != lo) + (offset > 0) > argc) {
      return SQLITE_INTERNAL;
    }
    TDataCursor& engine = *cursor.cursor;
    cursor.backward = backward != 0;
    cursor.index = nullptr;
    cursor.end_length = 0;
    cursor.eof = true;
    cursor.single = false;
    if (plan_slot == kPlanRowid) {
      engine.SelectSlotOrder();
      if (sqlite3_value_numeric_type(argv[0]) == SQLITE_INTEGER) {
        const sqlite3_int64 slot = sqlite3_value_int64(argv[0]);
        if (slot > 0 && slot <= INT32_MAX) cursor.eof = !GoToSlotNow(engine, static_cast<std::int32_t>(slot));
      } else if (sqlite3_value_numeric_type(argv[0]) == SQLITE_FLOAT) {
        const double slot = sqlite3_value_double(argv[0]);
        if (slot > 0 && slot <= INT32_MAX && slot == std::trunc(slot))
          cursor.eof = !GoToSlotNow(engine, static_cast<std::int32_t>(slot));
      }
      cursor.backward = false;
      cursor.single = true;
      return SQLITE_OK;
    }
    if (plan_slot == kPlanSlotOrder) {
      engine.SelectSlotOrder();
      cursor.eof = !(cursor.backward ? engine.Last() : engine.First());
      if (offset > 0) Skip(cursor, sqlite3_value_int64(argv[offset - 1]));
      return SQLITE_OK;
    }
    const auto found = std::find_if(table.indexes.begin(), table.indexes.end(),
                                    [&](const TIndexPlanInfo& i) { return i.slot == plan_slot; });
    if (found == table.indexes.end()) return SQLITE_INTERNAL;
    const TIndexPlanInfo& index = *found;
    cursor.index = &index;
    engine.SelectIndex(index.name);
    // The key bytes before and after the walk, in the index's order: `first` bounds where it
    // starts, `last` where it ends.
    std::vector<std::byte> first = engine.NewRecordBuffer();
    std::vector<std::byte> last = engine.NewRecordBuffer();
    std::size_t first_length = 0;
    std::size_t last_length = 0;
    bool bounded = true;
    for (int i = 0; i < n_eq && bounded; ++i) {
      const TFieldDescriptor& d =
          table.fields[static_cast<std::size_t>(index.columns[static_cast<std::size_t>(i)])];
      const TSqlValue value = ValueOf(argv[i]);
      bounded = PutBound(table, first, d, value, false, true) == d.DataSize + 1u &&
                PutBound(table, last, d, value, true, true) == d.DataSize + 1u;
    }
    if (bounded) {
      first_length = last_length = n_eq > 0 ? index.field_end[static_cast<std::size_t>(n_eq - 1)] : 0;
      if (static_cast<std::size_t>(n_eq) < index.columns.size() && (lo > 0 || hi > 0)) {
        const auto pos = static_cast<std::size_t>(n_eq);
        const TFieldDescriptor& d = table.fields[static_cast<std::size_t>(index.columns[pos])];
        const bool descending = index.descending[pos];
        if (lo > 0) {
          const std::size_t bytes =
              PutBound(table, descending ? last : first, d, ValueOf(argv[lo - 1]), false, false);
          if (bytes > 0) (descending ? last_length : first_length) += bytes;
        }
        if (hi > 0) {
          const std::size_t bytes =
              PutBound(table, descending ? first : last, d, ValueOf(argv[hi - 1]), true, false);
          if (bytes > 0) (descending ? first_length : last_length) += bytes;
        }
      }
    }
    cursor.single = bounded && index.unique && static_cast<std::size_t>(n_eq) == index.columns.size();
    const TKey first_key = first_length > 0 ? index.codec->Build(first) : TKey();
    const TKey last_key = last_length > 0 ? index.codec->Build(last) : TKey();
    // A look-up starts from what the files hold now: another program may have changed the table
    // since this connection last read it (a walk from either end checks by itself).
    if (first_length > 0 || last_length > 0) (void)engine.CheckBeforeRead();
    if (cursor.backward) {
      cursor.end_key = first_key;
      cursor.end_length = first_length;
      cursor.eof = !(last_length > 0 ? engine.SeekKey(std::span(last_key).first(last_length), TBound::kUpper)
                                     : engine.Last());
    } else {
      cursor.end_key = last_key;
      cursor.end_length = last_length;
      cursor.eof =
          !(first_length > 0 ? engine.SeekKey(std::span(first_key).first(first_length), TBound::kLower)
                             : engine.First());
    }
    if (!cursor.eof && PastEnd(cursor)) cursor.eof = true;
    if (offset > 0) Skip(cursor, sqlite3_value_int64(argv[offset - 1]));
    return SQLITE_OK;
  });
}

int Next(sqlite3_vtab_cursor* base) {
  auto& cursor = *static_cast<TTarvoCursor*>(base);
  TTarvoTable& table = TableOf(base->pVtab);
  return GuardedTable(table, [&] {
    if (cursor.single) {
      cursor.eof = true;
      return SQLITE_OK;
    }
    cursor.eof = !(cursor.backward ? cursor.cursor->Prior() : cursor.cursor->Next());
    if (!cursor.eof && PastEnd(cursor)) cursor.eof = true;
    return SQLITE_OK;
  });
}

int Eof(sqlite3_vtab_cursor* base) {
  return static_cast<TTarvoCursor*>(base)->eof ? 1 : 0;
}

// A text field of the current record as the column's result, written in UTF-8 straight into a
// buffer that SQLite takes over (no copy on either side, as a scan reads many); false for any
// other field and for NULL.
bool ResultText(sqlite3_context* context, TDataCursor& cursor, std::uint16_t field_number) {
  const TFieldDescriptor& d = cursor.Descriptors()[field_number - 1u];
  if (d.FieldType != kTypeText || !IsStored(d)) return false;
  const TConstBytes slot = ConstFieldSlot(cursor.CurrentRecord(), d);
  if (IsNull(slot)) return false;
  const std::string_view chars = GetTextChars(slot);
  auto* text = static_cast<char*>(sqlite3_malloc64(chars.size() * 3 + 1));
  if (text == nullptr) throw std::bad_alloc();
  const std::size_t length = CodePageToUtf8(chars, cursor.LanguageID(), text);
  sqlite3_result_text64(context, text, length, sqlite3_free, SQLITE_UTF8);
  return true;
}

int Column(sqlite3_vtab_cursor* base, sqlite3_context* context, int column) {
  // An UPDATE leaves this column as it is: the write keeps what the record holds then.
  if (sqlite3_vtab_nochange(context)) return SQLITE_OK;
  auto& cursor = *static_cast<TTarvoCursor*>(base);
  TTarvoTable& table = TableOf(base->pVtab);
  return GuardedTable(table, [&] {
    const auto field_number = static_cast<std::uint16_t>(column + 1);
    if (!ResultText(context, *cursor.cursor, field_number)) {
      SetResult(context, CurrentFieldValue(*cursor.cursor, field_number));
    }
    return SQLITE_OK;
  });
}

int Rowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid) {
  *rowid = static_cast<TTarvoCursor*>(base)->cursor->CurrentSlot();
  return SQLITE_OK;
}

// --- Writes ---

// Whether a record in use carries this auto-increment value ("Sys Deleted" holds the deleted flag
// and the identifier of every record: (0, id) is a record in use).
bool IdentifierInUse(TDataCursor& cursor, std::int32_t id) {
  TDataTable& table = cursor.Table();
  TIndexTree identifiers(table.IndexFile(), kSysDeletedSlot, cursor.Descriptors(), cursor.LanguageID(),
                         cursor.SortID());
  std::vector<std::byte> record = cursor.NewRecordBuffer();
  SetRecordAutoIncrement(record, id);
  const TKey key = identifiers.BuildKey(record);
  TTableLockGuard reader(table, TTableLockKind::kReader);
  return identifiers.Find(key);
}

// Puts the column values of an INSERT or UPDATE into `record`; columns that SQLite marks
// unchanged stay. Returns whether the auto-increment field receives a value other than the one
// `record` holds.
bool PutColumns(TTarvoTable& table, std::span<std::byte> record, int count, sqlite3_value** values) {
  TDataCursor& writer = *table.writer;
  bool new_identifier = false;
  for (int i = 0; i < count && i < static_cast<int>(table.fields.size()); ++i) {
    if (sqlite3_value_nochange(values[i])) continue;
    const TFieldDescriptor& d = table.fields[static_cast<std::size_t>(i)];
    const TSqlValue value = ValueOf(values[i]);
    if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
      const std::int32_t before = RecordAutoIncrement(record);
      PutCursorFieldValue(writer, record, static_cast<std::uint16_t>(i + 1), value);
      if (RecordAutoIncrement(record) != before) {
        if (IdentifierInUse(writer, RecordAutoIncrement(record))) {
          throw EFieldValueError(
              d.FieldName, std::to_string(RecordAutoIncrement(record)) + " is the value of another record");
        }
        new_identifier = true;
      }
      continue;
    }
    PutCursorFieldValue(writer, record, static_cast<std::uint16_t>(i + 1), value);
  }
  return new_identifier;
}

// Sets the flag for one write and clears it on every way out.
class TSuppliedIdentifier {
 public:
  TSuppliedIdentifier(TDataCursor& cursor, bool keep) : cursor_(cursor) {
    cursor_.KeepSuppliedAutoIncrement = keep;
  }
  ~TSuppliedIdentifier() { cursor_.KeepSuppliedAutoIncrement = false; }
  TSuppliedIdentifier(const TSuppliedIdentifier&) = delete;
  TSuppliedIdentifier& operator=(const TSuppliedIdentifier&) = delete;

 private:
  TDataCursor& cursor_;
};

void Insert(TTarvoTable& table, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  TDataCursor& writer = *table.writer;
  if (sqlite3_value_type(argv[1]) != SQLITE_NULL) {
    throw std::invalid_argument("the rowid is the record's slot number, which the table chooses");
  }
  std::vector<std::byte> record = writer.NewRecordBuffer();
  try {
    const bool supplied = PutColumns(table, record, argc - 2, argv + 2);
    TSuppliedIdentifier keep(writer, supplied);
    *rowid = writer.AddRecord(record, false);
  } catch (...) {
    writer.CloseBlobValues(record);
    throw;
  }
}

void Update(TTarvoTable& table, int argc, sqlite3_value** argv) {
  TDataCursor& writer = *table.writer;
  const sqlite3_int64 slot = sqlite3_value_int64(argv[0]);
  if (sqlite3_value_type(argv[1]) != SQLITE_INTEGER || sqlite3_value_int64(argv[1]) != slot) {
    throw std::invalid_argument("the rowid is the record's slot number and cannot be changed");
  }
  if (slot <= 0 || slot > INT32_MAX || !GoToSlotNow(writer, static_cast<std::int32_t>(slot))) {
    RaiseEngineError(kRecordChanged, writer.Table().TableName());
  }
  const auto number = static_cast<std::int32_t>(slot);
  // The record as it is under its lock: the columns that SQLite passes as unchanged keep it.
  writer.LockCurrentRecord(number);
  std::vector<std::byte> record;
  try {
    if (!writer.GoToSlot(number)) RaiseEngineError(kRecordChanged, writer.Table().TableName());
    record = writer.CurrentRecord();
    const bool supplied = PutColumns(table, record, argc - 2, argv + 2);
    TSuppliedIdentifier keep(writer, supplied);
    writer.ChangeRecord(record, false, true);
  } catch (...) {
    if (!record.empty()) writer.CloseBlobValues(record);
    if (writer.HoldsRecordLock(number)) writer.UnlockCurrentRecord(number);
    throw;
  }
}

void Delete(TTarvoTable& table, sqlite3_value* rowid) {
  TDataCursor& writer = *table.writer;
  const sqlite3_int64 slot = sqlite3_value_int64(rowid);
  if (slot <= 0 || slot > INT32_MAX || !GoToSlotNow(writer, static_cast<std::int32_t>(slot))) return;
  const std::vector<std::byte> record = writer.CurrentRecord();
  writer.DeleteRecord(record, false);
}

int Update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    if (argc == 1) {
      Delete(table, argv[0]);
    } else if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
      Insert(table, argc, argv, rowid);
    } else {
      Update(table, argc, argv);
    }
    return SQLITE_OK;
  });
}

// --- Transactions: those of the table's directory, shared by every table of the connection
// that lies there ---

int Begin(sqlite3_vtab* vtab) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    if (!table.directory->InTransaction()) table.directory->StartTransaction();
    return SQLITE_OK;
  });
}

// Whether the table's data file is still the file at its path. A table removed or replaced while
// attached would otherwise take changes into a file that no one opens again.
void RequireTableInPlace(TTarvoTable& table) {
  TDataTable& data = table.writer->Table();
  const auto* file = dynamic_cast<const TPhysicalFile*>(data.DataFile().FileObject());
  if (file == nullptr) return;
  std::string path;
  TFileIdentity identity;
  if (ResolveFileName(data.DataFile().FileName(), path) != kOsOk || OsPathIdentity(path, identity) != kOsOk ||
      !file->SameFile(identity)) {
    RaiseEngineError(kInvalidPath, data.TableName());
  }
}

// Before the commit: a table that is no longer where it was refuses it, and SQLite rolls back.
int Sync(sqlite3_vtab* vtab) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    if (table.directory->InTransaction()) RequireTableInPlace(table);
    return SQLITE_OK;
  });
}

int Commit(sqlite3_vtab* vtab) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    if (table.directory->InTransaction()) table.directory->Commit(true);
    return SQLITE_OK;
  });
}

int Rollback(sqlite3_vtab* vtab) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    if (table.directory->InTransaction()) table.directory->Rollback();
    return SQLITE_OK;
  });
}

// Savepoints: SQLite's own (SAVEPOINT, ROLLBACK TO, RELEASE) and the one around each statement
// inside a transaction, so that a statement that fails part-way leaves nothing of it behind. Each
// passes the savepoint's number on to the directory.
template <void (TDataDirectory::*Step)(int)>
int SavepointStep(sqlite3_vtab* vtab, int number) {
  TTarvoTable& table = TableOf(vtab);
  return GuardedTable(table, [&] {
    (table.directory->*Step)(number);
    return SQLITE_OK;
  });
}

const sqlite3_module kModule = {
    .iVersion = 2,
    .xCreate = Connect,
    .xConnect = Connect,
    .xBestIndex = BestIndex,
    .xDisconnect = Disconnect,
    .xDestroy = Disconnect,
    .xOpen = Open,
    .xClose = Close,
    .xFilter = Filter,
    .xNext = Next,
    .xEof = Eof,
    .xColumn = Column,
    .xRowid = Rowid,
    .xUpdate = Update,
    .xBegin = Begin,
    .xSync = Sync,
    .xCommit = Commit,
    .xRollback = Rollback,
    .xFindFunction = nullptr,
    .xRename = nullptr,
    .xSavepoint = SavepointStep<&TDataDirectory::Savepoint>,
    .xRelease = SavepointStep<&TDataDirectory::ReleaseSavepoint>,
    .xRollbackTo = SavepointStep<&TDataDirectory::RollbackToSavepoint>,
    .xShadowName = nullptr,
};

// --- Functions ---

void Attach(sqlite3_context* context, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) != SQLITE_TEXT) {
    sqlite3_result_error(context, "tarvo_attach takes the path of a directory", -1);
    return;
  }
  const std::string folder(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    std::string extension = entry->path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    if (extension == ".DAT" && entry->is_regular_file()) files.push_back(entry->path());
  }
  if (error) {
    const std::string message = "cannot list the directory '" + folder + "': " + error.message();
    sqlite3_result_error(context, message.c_str(), -1);
    return;
  }
  std::sort(files.begin(), files.end());
  sqlite3* db = sqlite3_context_db_handle(context);
  int attached = 0;
  for (const std::filesystem::path& file : files) {
    const std::string statement = "CREATE VIRTUAL TABLE IF NOT EXISTS temp." +
                                  QuoteIdentifier(file.stem().string()) + " USING tarvo(" +
                                  QuoteLiteral(file.string()) + ")";
    char* message = nullptr;
    const int rc = sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      sqlite3_result_error(context, message != nullptr ? message : sqlite3_errstr(rc), -1);
      sqlite3_result_error_code(context, rc);
      sqlite3_free(message);
      return;
    }
    ++attached;
  }
  sqlite3_result_int(context, attached);
}

void Password(sqlite3_context* context, int, sqlite3_value** argv) {
  auto* connection = static_cast<TConnection*>(sqlite3_user_data(context));
  if (sqlite3_value_type(argv[0]) != SQLITE_TEXT) {
    sqlite3_result_error(context, "tarvo_password takes a text", -1);
    return;
  }
  connection->session.AddPassword(std::string(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])),
                                              static_cast<std::size_t>(sqlite3_value_bytes(argv[0]))));
  sqlite3_result_null(context);
}

}  // namespace

int RegisterTarvoModule(sqlite3* db) {
  auto* connection = new (std::nothrow) TConnection();
  if (connection == nullptr) return SQLITE_NOMEM;
  // The module owns the connection's session; SQLite frees it when the connection closes (or
  // here, when registering fails).
  int rc = sqlite3_create_module_v2(db, "tarvo", &kModule, connection,
                                    [](void* p) { delete static_cast<TConnection*>(p); });
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_create_function_v2(db, "tarvo_attach", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, connection, Attach,
                                  nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_create_function_v2(db, "tarvo_password", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY, connection,
                                    Password, nullptr, nullptr, nullptr);
}

}  // namespace tarvo::sql
