// SQL over Tarvo tables gives what the same SQL gives over plain SQLite tables holding the same
// rows: every query of the corpus runs on both connections, and the rows must be the same, in the
// same order where the query fixes one. Look-ups that an index serves must show it in the plan.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sql/tarvo_module.h"
#include "tests/sql/sql_tables.h"
#include "tests/testing/temp_dir.h"

namespace tarvo::testing {
namespace {

// kFixed: the rows come in the query's order, which the index named gives (SQLite sorts nothing);
// kSorted: in the query's order, which SQLite may make itself; kAny: any order.
enum class TOrder { kAny, kFixed, kSorted };

struct TQuery {
  const char* sql;  // "$K" stands for each customer table in turn
  TOrder order = TOrder::kAny;
  const char* index = "";  // the index the plan must name ("" when any plan will do)
};

// The primary index as the plan names it.
constexpr const char* kPrimary = "primary";

const std::vector<TQuery> kCustomerQueries = {
    // Every row and every value's type.
    {"SELECT rowid, * FROM $K"},
    {"SELECT * FROM $K ORDER BY ID", TOrder::kFixed},
    {"SELECT typeof(ID), typeof(Name), typeof(Born), typeof(Notes), typeof(Active), typeof(Small), "
     "typeof(Amount),"
     " typeof(Price), typeof(Dec), typeof(Raw), typeof(At), typeof(Stamp), typeof(U), typeof(VB), "
     "typeof(Pic),"
     " count(*) FROM $K GROUP BY 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15"},
    // The primary index; the record's slot is the rowid.
    {"SELECT rowid, Name FROM $K WHERE ID = 107", TOrder::kAny, kPrimary},
    {"SELECT ID, Name FROM $K WHERE ID BETWEEN 500 AND 600 ORDER BY ID", TOrder::kFixed, kPrimary},
    {"SELECT ID FROM $K WHERE ID > 2000 ORDER BY ID DESC", TOrder::kFixed, kPrimary},
    {"SELECT ID FROM $K WHERE ID IN (107, 114, 135, 999, 2200) ORDER BY ID", TOrder::kSorted, kPrimary},
    {"SELECT ID FROM $K WHERE ID < 130.5 ORDER BY ID", TOrder::kFixed},
    {"SELECT ID FROM $K WHERE ID = '142'"},
    {"SELECT ID FROM $K WHERE ID = 4294967403 OR ID = -4294967189"},
    {"SELECT ID FROM $K ORDER BY ID DESC LIMIT 7 OFFSET 3", TOrder::kFixed, kPrimary},
    {"SELECT ID FROM $K WHERE ID >= 1500 ORDER BY ID LIMIT 5 OFFSET 2", TOrder::kFixed, kPrimary},
    {"SELECT count(*) FROM (SELECT * FROM $K LIMIT 40)"},
    {"SELECT count(*) FROM (SELECT ID FROM $K LIMIT 1000 OFFSET 250)"},
    {"SELECT rowid, ID FROM $K WHERE rowid BETWEEN 10 AND 20 ORDER BY rowid", TOrder::kFixed},
    {"SELECT ID FROM $K WHERE rowid = 16 OR rowid = 17"},
    // The case-insensitive index: SQL compares case and bytes.
    {"SELECT ID, Name FROM $K WHERE Name = 'Müller'", TOrder::kAny, "ByName"},
    {"SELECT ID, Name FROM $K WHERE Name = 'müller'", TOrder::kAny, "ByName"},
    {"SELECT Name FROM $K WHERE Name >= 'M' AND Name < 'N'"},
    {"SELECT Name FROM $K WHERE Name > 'Z'"},
    {"SELECT Name FROM $K WHERE Name < 'B'"},
    {"SELECT Name FROM $K ORDER BY Name", TOrder::kFixed},
    {"SELECT Name FROM $K ORDER BY Name DESC", TOrder::kFixed},
    {"SELECT Name FROM $K WHERE Name LIKE 'm%'"},
    {"SELECT Name FROM $K WHERE Name LIKE '%ß%' OR Name LIKE 'a\\_b' ESCAPE '\\'"},
    {"SELECT Name FROM $K WHERE Name GLOB '[ÄÖÜ]*'"},
    {"SELECT ID FROM $K WHERE Name IS NULL"},
    {"SELECT ID FROM $K WHERE Name = NULL"},
    {"SELECT Name, count(*) FROM $K GROUP BY Name ORDER BY Name", TOrder::kFixed},
    {"SELECT Name FROM $K WHERE Name COLLATE NOCASE = 'ADAMS'"},
    {"SELECT min(Name), max(Name), min(City), max(City) FROM $K"},
    // Two text fields: locale order and byte order differ (Å, Š, Œ, Ö).
    {"SELECT ID, City, Name FROM $K WHERE City = 'Köln'", TOrder::kAny, "ByCity"},
    {"SELECT City, Name FROM $K WHERE City = 'Köln' AND Name = 'Möller'", TOrder::kAny, "ByCity"},
    {"SELECT City, Name FROM $K WHERE City = 'Paris' AND Name > 'M'"},
    {"SELECT City FROM $K WHERE City > 'M'"},
    {"SELECT City FROM $K WHERE City < 'Ö' AND City >= 'Ä'"},
    {"SELECT City, Name FROM $K ORDER BY City, Name", TOrder::kFixed},
    {"SELECT City, Name FROM $K ORDER BY City DESC, Name DESC", TOrder::kFixed},
    {"SELECT City, count(*) FROM $K GROUP BY City ORDER BY 2 DESC, 1", TOrder::kFixed},
    // The descending index on a date.
    {"SELECT ID, Born FROM $K WHERE Born = (SELECT Born FROM $K WHERE ID = 205)", TOrder::kAny, "ByBorn"},
    {"SELECT Born FROM $K WHERE Born BETWEEN '1950-01-01' AND '1959-12-31' ORDER BY Born", TOrder::kFixed,
     "ByBorn"},
    {"SELECT Born FROM $K WHERE Born < '1910-01-01' ORDER BY Born DESC", TOrder::kFixed, "ByBorn"},
    {"SELECT Born FROM $K ORDER BY Born DESC", TOrder::kFixed, "ByBorn"},
    {"SELECT Born FROM $K ORDER BY Born", TOrder::kFixed, "ByBorn"},
    {"SELECT ID FROM $K WHERE Born IS NULL"},
    // Date functions on the text forms.
    {"SELECT strftime('%Y', Born) AS y, count(*) FROM $K WHERE Born IS NOT NULL GROUP BY y ORDER BY y",
     TOrder::kFixed},
    {"SELECT ID, julianday(Stamp) - julianday(Born) FROM $K WHERE Born < Stamp"},
    {"SELECT ID, date(Stamp), time(Stamp), time(At), strftime('%w %j', Born), unixepoch(Stamp) FROM $K"},
    {"SELECT ID FROM $K WHERE Born < date('1950-01-01', '+1 month')"},
    {"SELECT ID FROM $K WHERE Stamp >= datetime('2000-01-01') AND At < time('12:00')"},
    // The unique index.
    {"SELECT ID, Count FROM $K WHERE Count = -463", TOrder::kAny, "ByCount"},
    {"SELECT ID FROM $K WHERE Count = '-463'"},
    {"SELECT Count FROM $K WHERE Count BETWEEN -100 AND 100 ORDER BY Count", TOrder::kFixed, "ByCount"},
    {"SELECT Count FROM $K WHERE Count > 100.5 AND Count < 110.5"},
    {"SELECT Count FROM $K ORDER BY Count DESC", TOrder::kFixed, "ByCount"},
    {"SELECT Count FROM $K WHERE Count >= 450 ORDER BY Count LIMIT 3", TOrder::kFixed},
    {"SELECT ID FROM $K WHERE Count IS NULL"},
    // A float index: -0.0 equals 0.0 in SQL.
    {"SELECT ID, Amount FROM $K WHERE Amount = 0"},
    {"SELECT Amount FROM $K WHERE Amount < -60000 ORDER BY Amount", TOrder::kFixed, "ByAmount"},
    {"SELECT Amount FROM $K WHERE Amount > 1e100 OR Amount BETWEEN -1e-200 AND 1e-200"},
    {"SELECT Amount FROM $K ORDER BY Amount DESC", TOrder::kFixed, "ByAmount"},
    // An index with a descending second field.
    {"SELECT ID, Stamp FROM $K WHERE Active = 1 AND Stamp > '2000-01-01'"},
    {"SELECT Stamp FROM $K WHERE Active = 0 ORDER BY Stamp DESC", TOrder::kFixed},
    {"SELECT Active, Stamp FROM $K ORDER BY Active, Stamp DESC", TOrder::kFixed, "ByStamp"},
    {"SELECT Active, Stamp FROM $K ORDER BY Active DESC, Stamp", TOrder::kFixed, "ByStamp"},
    {"SELECT ID FROM $K WHERE Stamp > '2000' AND Stamp < '2001'"},
    {"SELECT ID FROM $K WHERE Active IS NULL"},
    // Indexes whose byte order is not SQL's: a 32-bit unsigned integer and variable bytes.
    {"SELECT U FROM $K WHERE U > 4000000000"},
    {"SELECT U FROM $K WHERE U BETWEEN 1000000 AND 3000000000"},
    {"SELECT U FROM $K ORDER BY U", TOrder::kFixed},
    {"SELECT ID FROM $K WHERE U = 4294967295"},
    {"SELECT hex(VB) FROM $K WHERE VB > x'80' ORDER BY VB", TOrder::kFixed},
    {"SELECT VB FROM $K ORDER BY VB DESC", TOrder::kFixed},
    {"SELECT ID FROM $K WHERE VB = x'80' OR VB = x'80000000000000000000'"},
    {"SELECT ID FROM $K WHERE Raw >= x'7f' AND Raw < x'8000'"},
    // Values outside a field's range.
    {"SELECT ID FROM $K WHERE Small > 40000 OR Small < -40000 OR W > 70000 OR W < -1"},
    {"SELECT count(*) FROM $K WHERE U > -1 AND W >= -5 AND Small <= 32767"},
    {"SELECT Small, W FROM $K WHERE Small = -32768 OR Small = 32767"},
    {"SELECT ID FROM $K WHERE Count > -3000000000 AND Count < 3000000000"},
    {"SELECT ID FROM $K WHERE Count = 4294966833"},
    {"SELECT ID FROM $K WHERE ID > -5000000000 AND ID < 130"},
    // Values of another type than the field's, and texts that are no date or no number.
    {"SELECT Born FROM $K WHERE Born BETWEEN '1950' AND '1951'"},
    {"SELECT ID FROM $K WHERE Born > 5"},
    {"SELECT count(*) FROM $K WHERE Born < 'X'"},
    {"SELECT count(*) FROM $K WHERE Amount < 'abc'"},
    {"SELECT ID FROM $K WHERE Amount > '60000'"},
    {"SELECT ID FROM $K WHERE Count < '-400'"},
    {"SELECT ID FROM $K WHERE Name = 'Łódź' OR City = '東京'"},
    {"SELECT ID FROM $K WHERE Name = 'Müller   ' OR Name = 'Ein Name, länger als das Feld es fasst'"},
    {"SELECT Name FROM $K WHERE Name > 'Ÿ'"},
    {"SELECT City FROM $K WHERE City >= 'Ä' AND City <= 'Ž'"},
    // Aggregates.
    {"SELECT count(*), count(Name), count(Born), count(Notes), count(Pic), sum(Small), min(Small), "
     "max(Small),"
     " sum(W), sum(U), round(avg(Amount), 3), round(sum(Price), 2), min(Born), max(Stamp), min(Count), "
     "max(Count)"
     " FROM $K"},
    {"SELECT City, count(*), sum(Small), round(avg(Price), 2) FROM $K GROUP BY City HAVING count(*) > 10"},
    {"SELECT Active, count(*), max(Amount), min(Amount) FROM $K GROUP BY Active"},
    // Memo, blob, bytes and fixed-point values.
    {"SELECT ID, length(Notes), substr(Notes, 1, 12), length(Pic), hex(substr(Pic, 1, 8)) FROM $K"
     " WHERE Pic IS NOT NULL OR Notes LIKE '%Köln%'"},
    {"SELECT ID, hex(Raw), length(VB) FROM $K WHERE Raw > x'7f'"},
    {"SELECT ID, Dec FROM $K WHERE Dec BETWEEN 10 AND 20000"},
    {"SELECT Dec, typeof(Dec) FROM $K WHERE ID IN (149, 156)"},
    {"SELECT ID, Price, At FROM $K WHERE At BETWEEN '08:00' AND '12:00'"},
};

const std::vector<TQuery> kJoinQueries = {
    {"SELECT k.ID, k.Name, o.OrderID, o.Total FROM Kunden k JOIN Bestellungen o ON o.KundeID = k.ID"},
    {"SELECT o.OrderID, k.Name FROM Bestellungen o LEFT JOIN Kunden k ON k.ID = o.KundeID"},
    {"SELECT k.Name, k0.Name FROM Kunden k JOIN Kunden0 k0 ON k0.ID = k.ID WHERE k.Name IS NOT k0.Name"},
    {"SELECT k.ID, k0.ID FROM Kunden k JOIN Kunden0 k0 ON k0.Name = k.Name AND k0.City = k.City"},
    {"SELECT k.City, r.Region, count(*) FROM Kunden k JOIN Regionen r ON r.City = k.City GROUP BY 1, 2"},
    {"SELECT r.City, count(k.ID) FROM Regionen r LEFT JOIN Kunden0 k ON k.City = r.City GROUP BY r.City"},
    {"SELECT k.Name, round(sum(o.Total), 2) FROM Kunden k JOIN Bestellungen o ON o.KundeID = k.ID"
     " GROUP BY k.ID HAVING count(*) > 1"},
    {"SELECT OrderID FROM Bestellungen WHERE KundeID NOT IN (SELECT ID FROM Kunden)"},
    {"SELECT OrderID, Day FROM Bestellungen WHERE KundeID = 471 ORDER BY Day", TOrder::kFixed, "ByKunde"},
    {"SELECT Day FROM Bestellungen ORDER BY Day DESC", TOrder::kFixed, "ByDay"},
    {"SELECT OrderID FROM Bestellungen WHERE Day BETWEEN '2022-01-01' AND '2022-03-31' ORDER BY Day, OrderID",
     TOrder::kSorted, "ByDay"},
    {"WITH t AS (SELECT City, count(*) AS n FROM Kunden GROUP BY City) SELECT * FROM t WHERE n > 15"},
    {"SELECT Name, row_number() OVER (PARTITION BY City ORDER BY ID) FROM Kunden0"},
};

std::string Replaced(std::string text, const std::string& name) {
  for (std::size_t at = text.find("$K"); at != std::string::npos; at = text.find("$K", at)) {
    text.replace(at, 2, name);
  }
  return text;
}

class DifferentialTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TTempDir();
    tables_ = new std::vector<TSqlTable>{CustomerTable("Kunden", 1031), CustomerTable("Kunden0", 0),
                                         OrderTable("Bestellungen")};
    for (const TSqlTable& table : *tables_) CreateTarvoTable(dir_->Dir(), table);
    tables_->push_back(RegionTable("Regionen"));
  }
  static void TearDownTestSuite() {
    delete tables_;
    delete dir_;
  }

  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &tarvo_), SQLITE_OK);
    ASSERT_EQ(sqlite3_open(":memory:", &plain_), SQLITE_OK);
    ASSERT_EQ(sql::RegisterTarvoModule(tarvo_), SQLITE_OK);
    for (const TSqlTable& table : *tables_) {
      CreatePlainTable(plain_, table);
      if (table.definition.empty()) {
        CreatePlainTable(tarvo_, table);
      } else {
        ASSERT_EQ(Execute(tarvo_, "CREATE VIRTUAL TABLE \"" + table.name + "\" USING tarvo('" + dir_->Dir() +
                                      table.name + ".DAT')"),
                  "");
      }
    }
  }
  void TearDown() override {
    sqlite3_close(tarvo_);
    sqlite3_close(plain_);
  }

  void Compare(const TQuery& query, const std::string& sql) {
    SCOPED_TRACE(sql);
    std::string tarvo_error;
    std::string plain_error;
    std::vector<TRow> ours = QueryRows(tarvo_, sql, &tarvo_error);
    std::vector<TRow> theirs = QueryRows(plain_, sql, &plain_error);
    ASSERT_EQ(plain_error, "");
    ASSERT_EQ(tarvo_error, "");
    if (query.order == TOrder::kAny) {
      std::sort(ours.begin(), ours.end());
      std::sort(theirs.begin(), theirs.end());
    }
    EXPECT_TRUE(ours == theirs) << "Tarvo:\n" << RowsText(ours) << "plain:\n" << RowsText(theirs);
    if (*query.index != '\0') {
      const std::string plan = QueryPlan(tarvo_, sql);
      EXPECT_NE(plan.find(query.index), std::string::npos) << plan;
      // An index that gives the order asked for spares SQLite the sorting.
      if (query.order == TOrder::kFixed) {
        EXPECT_EQ(plan.find("FOR ORDER BY"), std::string::npos) << plan;
      }
    }
    ++compared_;
  }

  static TTempDir* dir_;
  static std::vector<TSqlTable>* tables_;
  static int compared_;
  sqlite3* tarvo_ = nullptr;
  sqlite3* plain_ = nullptr;
};

TTempDir* DifferentialTest::dir_ = nullptr;
std::vector<TSqlTable>* DifferentialTest::tables_ = nullptr;
int DifferentialTest::compared_ = 0;

TEST_F(DifferentialTest, EveryQueryOfTheCorpusGivesThePlainTablesRows) {
  for (const char* name : {"Kunden", "Kunden0"}) {
    for (const TQuery& query : kCustomerQueries) Compare(query, Replaced(query.sql, name));
  }
  for (const TQuery& query : kJoinQueries) Compare(query, query.sql);
  EXPECT_GE(compared_, 60);
}

}  // namespace
}  // namespace tarvo::testing
