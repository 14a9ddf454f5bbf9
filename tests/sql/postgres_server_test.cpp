// The throw-away PostgreSQL server of the test command: each test gets a database of its own,
// reachable through the connection string that the tool is given, and gone afterwards.
#include <gtest/gtest.h>

#include "tests/testing/postgres_database.h"

namespace tarvo::testing {
namespace {

using PostgresServer = TPostgresTest<>;

TEST_F(PostgresServer, EachDatabaseIsFreshReachableAndDroppedAfterwards) {
  std::string other_name;
  {
    TPostgresDatabase other;
    other_name = other.Name();
    EXPECT_NE(other_name, Database().Name());
    EXPECT_EQ(other.Value("SELECT current_database()"), other_name);
    other.Execute("CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('Grüße')");
    EXPECT_EQ(other.Value("SELECT v FROM t"), "Grüße");
    EXPECT_EQ(Database().Value("SELECT count(*) FROM pg_tables WHERE tablename = 't'"), "0");
  }
  EXPECT_EQ(Database().Value("SELECT count(*) FROM pg_database WHERE datname = '" + other_name + "'"), "0");
}

}  // namespace
}  // namespace tarvo::testing
