// Generated GROUP BY and JOIN queries answered by this library and by SQLite over the same
// random data, on the part of SQL where the two agree: integer and text values (mixed in
// some columns, NULLs included), columns without declared types (so SQLite converts
// nothing), comparisons, IN, BETWEEN and IS NULL (no LIKE, whose case rules differ),
// COUNT, SUM, MIN, MAX and AVG (SQLite's floating AVG compared to within the last of our
// six decimal places), inner and left equality joins. Rows are compared as multisets
// unless the query orders by every output column. Each query also runs on a copy of the
// database with secondary indexes, so the index probe of joins and the index paths of
// WHERE are held to the same answers as the scans.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "support/c_api.h"

namespace {

using qm::test::CDb;

struct Cell {
  std::variant<std::monostate, int64_t, std::string, double> v;
  bool operator==(const Cell& o) const {
    if (v.index() == 3 && o.v.index() == 3) return std::fabs(std::get<3>(v) - std::get<3>(o.v)) <= 1.01e-6;
    return v == o.v;
  }
  // AVG values sort together: their rows differ elsewhere or compare by tolerance.
  std::string key() const { return v.index() == 3 ? "3" : std::to_string(v.index()) + show(); }
  std::string show() const {
    switch (v.index()) {
      case 0: return "NULL";
      case 1: return std::to_string(std::get<1>(v));
      case 2: return "'" + std::get<2>(v) + "'";
      default: return std::to_string(std::get<3>(v));
    }
  }
};
using Rows = std::vector<std::vector<Cell>>;

class Lite {
 public:
  Lite() { sqlite3_open(":memory:", &db_); }
  ~Lite() { sqlite3_close(db_); }
  Lite(const Lite&) = delete;
  Lite& operator=(const Lite&) = delete;

  void exec(const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      ADD_FAILURE() << "sqlite: " << (err ? err : "?") << " in " << sql;
      sqlite3_free(err);
    }
  }
  Rows query(const std::string& sql) {
    Rows out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "sqlite: " << sqlite3_errmsg(db_) << " in " << sql;
      return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<Cell> row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        switch (sqlite3_column_type(st, i)) {
          case SQLITE_INTEGER: row.push_back({sqlite3_column_int64(st, i)}); break;
          case SQLITE_FLOAT: row.push_back({sqlite3_column_double(st, i)}); break;
          case SQLITE_TEXT:
            row.push_back({std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                                       static_cast<size_t>(sqlite3_column_bytes(st, i)))});
            break;
          default: row.push_back({std::monostate{}}); break;
        }
      }
      out.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

// Our JSON rows; the columns in `avg_columns` hold AVG's decimal text, read as a number.
Rows parse_ours(const std::string& text, const std::vector<bool>& avg_columns) {
  Rows out;
  auto doc = nlohmann::json::parse(text);
  for (const auto& jrow : doc["rows"]) {
    std::vector<Cell> row;
    for (size_t i = 0; i < jrow.size(); ++i) {
      const auto& v = jrow[i];
      if (v.is_null()) {
        row.push_back({std::monostate{}});
      } else if (v.is_number_integer()) {
        row.push_back({v.get<int64_t>()});
      } else if (i < avg_columns.size() && avg_columns[i]) {
        row.push_back({std::stod(v.get<std::string>())});
      } else {
        row.push_back({v.get<std::string>()});
      }
    }
    out.push_back(std::move(row));
  }
  return out;
}

std::string show(const Rows& rows) {
  std::string out;
  for (const auto& row : rows) {
    out += "(";
    for (size_t i = 0; i < row.size(); ++i) out += (i ? ", " : "") + row[i].show();
    out += ") ";
  }
  return out;
}

void sort_rows(Rows& rows) {
  std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](const Cell& x, const Cell& y) { return x.key() < y.key(); });
  });
}

struct Column {
  std::string name;  // as written in a query
  enum Kind { Int, Text, Mixed } kind;
};

class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}
  int num(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool chance(int percent) { return num(0, 99) < percent; }
  template <class T>
  const T& pick(const std::vector<T>& v) {
    return v[static_cast<size_t>(num(0, static_cast<int>(v.size()) - 1))];
  }

  std::string int_literal() { return std::to_string(num(-5, 45)); }
  std::string text_literal() { return "'" + pick(std::vector<std::string>{"a", "b", "c", "B", "x", "y", "z", "3"}) + "'"; }
  std::string literal(Column::Kind k) {
    if (k == Column::Int) return int_literal();
    if (k == Column::Text) return text_literal();
    return chance(70) ? int_literal() : text_literal();
  }

  std::string atom(const std::vector<Column>& cols) {
    const Column& c = pick(cols);
    switch (num(0, 5)) {
      case 0: return c.name + (chance(50) ? " IS NULL" : " IS NOT NULL");
      case 1: return c.name + (chance(25) ? " NOT IN (" : " IN (") + literal(c.kind) + ", " + literal(c.kind) + ")";
      case 2: {
        std::string lo = literal(c.kind), hi = literal(c.kind);
        return c.name + (chance(20) ? " NOT BETWEEN " : " BETWEEN ") + lo + " AND " + hi;
      }
      default:
        return c.name + " " + pick(std::vector<std::string>{"=", "<>", "<", "<=", ">", ">="}) + " " + literal(c.kind);
    }
  }
  std::string predicate(const std::vector<Column>& cols, int depth = 0) {
    if (depth >= 2 || chance(50)) return atom(cols);
    return "(" + predicate(cols, depth + 1) + (chance(50) ? " AND " : " OR ") + predicate(cols, depth + 1) + ")";
  }

 private:
  std::mt19937 rng_;
};

// The same rows in every database: a(id, g, s, v), b(id, aid, t, w), c(k, n).
std::vector<std::string> data_statements(Gen& gen) {
  auto null_or = [&](const std::string& v) { return gen.chance(15) ? std::string("NULL") : v; };
  std::vector<std::string> out{"CREATE TABLE a (id, g, s, v)", "CREATE TABLE b (id, aid, t, w)",
                               "CREATE TABLE c (k, n)"};
  std::string rows;
  for (int i = 1; i <= 40; ++i) {
    rows += std::string(i > 1 ? ", " : "") + "(" + std::to_string(i) + ", " + null_or(std::to_string(gen.num(0, 3))) +
            ", " + null_or(gen.pick(std::vector<std::string>{"'a'", "'b'", "'c'", "'B'"})) + ", " +
            null_or(std::to_string(gen.num(-20, 20))) + ")";
  }
  out.push_back("INSERT INTO a VALUES " + rows);
  rows.clear();
  for (int i = 0; i < 80; ++i) {
    std::string aid = gen.chance(5) ? "'3'" : null_or(std::to_string(gen.num(1, 45)));
    rows += std::string(i ? ", " : "") + "(" + std::to_string(100 + i) + ", " + aid + ", " +
            null_or(gen.pick(std::vector<std::string>{"'a'", "'b'", "'x'", "'y'", "'3'"})) + ", " +
            null_or(std::to_string(gen.num(0, 30))) + ")";
  }
  out.push_back("INSERT INTO b VALUES " + rows);
  out.push_back("INSERT INTO c VALUES ('a', 1), ('b', 2), ('x', 3), ('z', 4), (NULL, 5), (3, 6), ('a', 7), ('3', 8)");
  return out;
}

const std::vector<Column> kA{{"a.id", Column::Int}, {"a.g", Column::Int}, {"a.s", Column::Text}, {"a.v", Column::Int}};
const std::vector<Column> kB{{"b.id", Column::Int}, {"b.aid", Column::Mixed}, {"b.t", Column::Text}, {"b.w", Column::Int}};
const std::vector<Column> kC{{"c.k", Column::Mixed}, {"c.n", Column::Int}};

struct Query {
  std::string sql;
  std::vector<bool> avg_columns;
  bool ordered = false;  // ORDER BY every output column
};

std::string bare(const std::string& qualified) { return qualified.substr(qualified.find('.') + 1); }

// Aggregates over `cols` with aliases c0, c1, ...; records which are AVG.
std::string aggregates(Gen& gen, const std::vector<Column>& cols, bool qualified, Query& q, size_t first_alias) {
  std::string out;
  const int n = gen.num(1, 4);
  for (int i = 0; i < n; ++i) {
    const Column& c = gen.pick(cols);
    const std::string name = qualified ? c.name : bare(c.name);
    std::string fn;
    switch (gen.num(0, 5)) {
      case 0: fn = "COUNT(*)"; break;
      case 1: fn = "COUNT(" + name + ")"; break;
      case 2: fn = "MIN(" + name + ")"; break;
      case 3: fn = "MAX(" + name + ")"; break;
      default: {
        std::vector<Column> ints;
        for (const Column& x : cols)
          if (x.kind == Column::Int) ints.push_back(x);
        const Column& ic = gen.pick(ints);
        const bool avg = gen.chance(40);
        fn = std::string(avg ? "AVG(" : "SUM(") + (qualified ? ic.name : bare(ic.name)) + ")";
        q.avg_columns.resize(first_alias + static_cast<size_t>(i) + 1, false);
        q.avg_columns[first_alias + static_cast<size_t>(i)] = avg;
      }
    }
    out += (i ? ", " : "") + fn + " AS c" + std::to_string(first_alias + static_cast<size_t>(i));
  }
  q.avg_columns.resize(first_alias + static_cast<size_t>(n), false);
  return out;
}

std::string order_all(size_t n, Gen& gen) {
  std::string out = " ORDER BY ";
  for (size_t i = 0; i < n; ++i) out += (i ? ", c" : "c") + std::to_string(i) + (gen.chance(30) ? " DESC" : "");
  return out;
}

Query grouped_single(Gen& gen) {
  Query q;
  std::vector<Column> groups;
  if (gen.chance(80)) groups.push_back(gen.pick(kA));
  if (gen.chance(30)) groups.push_back(gen.pick(kA));
  if (groups.size() == 2 && groups[0].name == groups[1].name) groups.pop_back();
  std::string select, group_by;
  for (size_t i = 0; i < groups.size(); ++i) {
    select += (i ? ", " : "") + bare(groups[i].name) + " AS c" + std::to_string(i);
    group_by += (i ? ", " : "") + bare(groups[i].name);
  }
  q.avg_columns.assign(groups.size(), false);
  std::string aggs = aggregates(gen, kA, false, q, groups.size());
  q.sql = "SELECT " + select + (select.empty() ? "" : ", ") + aggs + " FROM a";
  if (gen.chance(40)) {
    std::vector<Column> bare_cols;
    for (const Column& c : kA) bare_cols.push_back({bare(c.name), c.kind});
    q.sql += " WHERE " + gen.predicate(bare_cols);
  }
  if (!group_by.empty()) q.sql += " GROUP BY " + group_by;
  if (gen.chance(30)) q.sql += " HAVING COUNT(*) > " + std::to_string(gen.num(0, 8));
  if (gen.chance(40)) {
    q.ordered = true;
    q.sql += order_all(q.avg_columns.size(), gen);
    if (gen.chance(50)) q.sql += " LIMIT " + std::to_string(gen.num(0, 5));
  }
  return q;
}

std::string join_clause(Gen& gen, const std::string& left, const std::string& right, const char* table) {
  const std::string kind = gen.chance(50) ? " LEFT JOIN " : (gen.chance(50) ? " JOIN " : " INNER JOIN ");
  return kind + table + " ON " + (gen.chance(50) ? left + " = " + right : right + " = " + left);
}

Query joined(Gen& gen) {
  Query q;
  std::vector<Column> cols = kA;
  std::string from = " FROM a" + join_clause(gen, "a.id", "b.aid", "b");
  cols.insert(cols.end(), kB.begin(), kB.end());
  if (gen.chance(40)) {
    from += join_clause(gen, gen.chance(50) ? "b.t" : "b.aid", "c.k", "c");
    cols.insert(cols.end(), kC.begin(), kC.end());
  }
  const bool grouped = gen.chance(40);
  std::string select;
  size_t width = 0;
  if (grouped) {
    const Column& g = gen.pick(cols);
    select = g.name + " AS c0, " + aggregates(gen, cols, true, q, 1);
    q.avg_columns[0] = false;
    width = q.avg_columns.size();
    q.sql = "SELECT " + select + from;
    if (gen.chance(50)) q.sql += " WHERE " + gen.predicate(cols);
    q.sql += " GROUP BY " + g.name;
    if (gen.chance(30)) q.sql += " HAVING c1 >= " + std::to_string(gen.num(0, 3));
  } else {
    width = static_cast<size_t>(gen.num(1, 4));
    for (size_t i = 0; i < width; ++i) select += (i ? ", " : "") + gen.pick(cols).name + " AS c" + std::to_string(i);
    q.avg_columns.assign(width, false);
    q.sql = "SELECT " + select + from;
    if (gen.chance(60)) q.sql += " WHERE " + gen.predicate(cols);
  }
  if (gen.chance(40)) {
    q.ordered = true;
    if (grouped) {
      q.sql += order_all(width, gen);
    } else {
      // Plain queries order by source columns: name them as selected.
      std::string order;
      size_t pos = 0, i = 0;
      while ((pos = select.find(" AS c", pos)) != std::string::npos) {
        size_t start = select.rfind(", ", pos);
        start = start == std::string::npos ? 0 : start + 2;
        order += (i++ ? ", " : "") + select.substr(start, pos - start) + (gen.chance(30) ? " DESC" : "");
        pos += 5;
      }
      q.sql += " ORDER BY " + order;
    }
    if (gen.chance(50)) q.sql += " LIMIT " + std::to_string(gen.num(0, 6));
  }
  return q;
}

TEST(SelectDifferential, GroupedAndJoinedQueriesAgreeWithSqlite) {
  Gen gen(20261206);
  const auto setup = data_statements(gen);
  Lite lite;
  CDb plain = CDb::memory();
  CDb indexed = CDb::memory();
  for (const std::string& sql : setup) {
    lite.exec(sql);
    ASSERT_EQ(plain.query(sql).rfind("error", 0), std::string::npos) << sql;
    ASSERT_EQ(indexed.query(sql).rfind("error", 0), std::string::npos) << sql;
  }
  for (const char* sql : {"CREATE INDEX ON b (aid)", "CREATE INDEX ON c (k)", "CREATE INDEX ON a (g)",
                          "CREATE INDEX ON b (t)", "CREATE INDEX ON a (id)"})
    ASSERT_EQ(indexed.query(sql), R"({"done":true})");

  int compared = 0, nonempty = 0;
  for (int i = 0; i < 400; ++i) {
    Query q = gen.chance(40) ? grouped_single(gen) : joined(gen);
    Rows expected = lite.query(q.sql);
    for (const CDb* db : {&plain, &indexed}) {
      const std::string text = db->query(q.sql);
      if (text.rfind("error: ", 0) == 0) {
        ADD_FAILURE() << q.sql << "\n" << text;
        continue;
      }
      Rows got = parse_ours(text, q.avg_columns), want = expected;
      if (!q.ordered) {
        sort_rows(got);
        sort_rows(want);
      }
      EXPECT_EQ(got, want) << q.sql << (db == &plain ? " (no indexes)" : " (indexed)") << "\nours:   " << show(got)
                           << "\nsqlite: " << show(want);
      ++compared;
    }
    if (!expected.empty()) ++nonempty;
  }
  EXPECT_EQ(compared, 800);
  EXPECT_GT(nonempty, 200);  // the generator must not drift into empty answers
}

}  // namespace
