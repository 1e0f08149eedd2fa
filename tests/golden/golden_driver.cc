// Runs golden SQL scripts through the C interface exactly as a host would, and compares what
// the host receives (the JSON text, or the thread's last error) with the text the script
// states. Each script is one CTest test; a failure names the script and the line.
//
// Script format, one item per line:
//   # comment                      (blank lines are ignored too)
//   SELECT a FROM t                a statement; a line ending in " \" continues on the next
//                                  line (joined by a newline, as a host's multi-line text)
//   -> {"columns":["a"],"rows":[]} the exact text the statement returns
//   -> error: table not found: x   the exact last error of a failing statement
//   -> error: schema error: ...    a trailing "..." compares only the text before it
//   | more text                    continues the expectation above on a new line
//   A statement with no "->" line must succeed, whatever it returns.
// Directives:
//   @params <json>                 the next statement runs through qm_query_params
//   @many <json>                   the next statement runs through qm_execute_many
//   @memory                        a new memory database (every script starts with one)
//   @workspace                     a new workspace in a fresh temporary directory
//   @reopen                        closes the workspace and opens it again
//   @image                         exports the database, opens the image read-only in its
//                                  place and empties the file: an open image keeps no need of it
//   @clock <n>                     qm_current_tx must be n
//   @in_transaction yes|no         qm_in_transaction must say so
//
// With --rewrite the driver writes each script back with the outcomes it received in place
// of the stated ones (a statement without an expectation gains one only when it fails), so
// a deliberate change of behaviour is reviewed as a diff of the scripts.
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "quilmarr.h"
#include "support/c_api.h"
#include "support/temp_dir.h"

namespace {

using qm::test::CDb;
using qm::test::take_json;

struct Line {
  size_t number;
  std::string text;
};

std::vector<Line> read_lines(const std::string& bytes) {
  std::vector<Line> lines;
  std::istringstream in(bytes);
  std::string text;
  for (size_t number = 1; std::getline(in, text); ++number) lines.push_back({number, text});
  return lines;
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool matches(const std::string& expected, const std::string& got) {
  if (expected.size() >= 3 && expected.ends_with("...")) return starts_with(got, expected.substr(0, expected.size() - 3).c_str());
  return expected == got;
}

class Runner {
 public:
  Runner(std::string path, bool rewrite) : path_(std::move(path)), rewrite_(rewrite), db_(CDb::memory()) {}

  // Runs the script; true when every expectation held (or, rewriting, the file was written).
  bool run(const std::string& bytes) {
    lines_ = read_lines(bytes);
    for (i_ = 0; i_ < lines_.size(); ++i_) {
      const Line& line = lines_[i_];
      const std::string& text = line.text;
      if (text.empty() || text[0] == '#') {
        keep(text);
      } else if (text[0] == '@') {
        keep(text);
        directive(line);
      } else if (starts_with(text, "->") || text[0] == '|') {
        fail(line, "an expectation must follow a statement");
      } else {
        statement();
      }
    }
    if (rewrite_) {
      qm::test::write_file(path_, out_);
      return true;
    }
    return failures_ == 0;
  }

 private:
  enum class Call { Query, Params, Many };

  void keep(const std::string& text) { out_ += text + "\n"; }

  void fail(const Line& line, const std::string& what) {
    ++failures_;
    std::fprintf(stderr, "%s:%zu: %s\n", path_.c_str(), line.number, what.c_str());
  }

  void directive(const Line& line) {
    const std::string& text = line.text;
    const size_t space = text.find(' ');
    const std::string name = text.substr(1, space == std::string::npos ? std::string::npos : space - 1);
    const std::string arg = space == std::string::npos ? "" : text.substr(space + 1);
    if (name == "params" || name == "many") {
      call_ = name == "params" ? Call::Params : Call::Many;
      call_arg_ = arg;
    } else if (name == "memory") {
      db_ = CDb::memory();
    } else if (name == "workspace") {
      workspace_ = dir_.join("ws" + std::to_string(++opened_));
      open_workspace(line);
    } else if (name == "reopen") {
      if (workspace_.empty()) return fail(line, "@reopen without a workspace");
      db_.close();
      open_workspace(line);
    } else if (name == "image") {
      open_image(line);
    } else if (name == "clock") {
      const std::string got = std::to_string(qm_current_tx(db_.get()));
      if (got != arg) fail(line, "clock is " + got + ", expected " + arg);
    } else if (name == "in_transaction") {
      const std::string got = qm_in_transaction(db_.get()) ? "yes" : "no";
      if (got != arg) fail(line, "in_transaction is " + got + ", expected " + arg);
    } else {
      fail(line, "unknown directive @" + name);
    }
  }

  void open_workspace(const Line& line) {
    QmDb* db = qm_open_dev(workspace_.c_str());
    if (db == nullptr) fail(line, "workspace open failed: " + qm::test::last_error());
    db_ = CDb(db);
  }

  void open_image(const Line& line) {
    size_t len = 0;
    uint8_t* bytes = qm_export(db_.get(), &len);
    if (bytes == nullptr) return fail(line, "export failed: " + qm::test::last_error());
    const std::string file = dir_.join("image" + std::to_string(++opened_) + ".qmdb");
    qm::test::write_file(file, std::string(reinterpret_cast<const char*>(bytes), len));
    qm_bytes_free(bytes, len);
    QmDb* db = qm_open_prod(file.c_str());
    if (db == nullptr) fail(line, "image open failed: " + qm::test::last_error());
    db_ = CDb(db);
    qm::test::write_file(file, "");
  }

  void statement() {
    const Line& first = lines_[i_];
    std::string sql = first.text;
    keep(sql);
    while (sql.ends_with(" \\") && i_ + 1 < lines_.size()) {
      sql.resize(sql.size() - 2);
      keep(lines_[++i_].text);
      sql += "\n" + lines_[i_].text;
    }
    std::string got;
    switch (call_) {
      case Call::Query: got = take_json(qm_query(db_.get(), sql.c_str())); break;
      case Call::Params: got = take_json(qm_query_params(db_.get(), sql.c_str(), call_arg_.c_str())); break;
      case Call::Many: got = take_json(qm_execute_many(db_.get(), sql.c_str(), call_arg_.c_str())); break;
    }
    call_ = Call::Query;

    std::optional<std::string> expected;
    if (i_ + 1 < lines_.size() && starts_with(lines_[i_ + 1].text, "->")) {
      std::string text = lines_[++i_].text.substr(2);
      if (starts_with(text, " ")) text.erase(0, 1);
      while (i_ + 1 < lines_.size() && starts_with(lines_[i_ + 1].text, "|")) {
        std::string more = lines_[++i_].text.substr(1);
        if (starts_with(more, " ")) more.erase(0, 1);
        text += "\n" + more;
      }
      expected = std::move(text);
    }
    const bool failed = starts_with(got, "error: ");
    if (rewrite_) {
      if (expected && matches(*expected, got)) return write_expectation(*expected);
      if (expected || failed) write_expectation(got);
      return;
    }
    if (expected ? !matches(*expected, got) : failed)
      fail(first, sql + "\n  expected: " + (expected ? *expected : "success") + "\n  received: " + got);
  }

  void write_expectation(const std::string& text) {
    size_t start = 0;
    const char* mark = "-> ";
    while (true) {
      const size_t end = text.find('\n', start);
      out_ += mark + text.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
      if (end == std::string::npos) break;
      start = end + 1;
      mark = "| ";
    }
  }

  std::string path_;
  bool rewrite_;
  std::vector<Line> lines_;
  size_t i_ = 0;
  std::string out_;
  int failures_ = 0;
  qm::test::TempDir dir_;
  std::string workspace_;
  int opened_ = 0;
  Call call_ = Call::Query;
  std::string call_arg_;
  CDb db_;
};

}  // namespace

int main(int argc, char** argv) {
  bool rewrite = false;
  int scripts = 0, failed = 0;
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--rewrite") == 0) {
      rewrite = true;
      continue;
    }
    const std::string bytes = qm::test::read_file(argv[a]);
    if (bytes.empty()) {
      std::fprintf(stderr, "%s: missing or empty script\n", argv[a]);
      ++failed;
      continue;
    }
    ++scripts;
    if (!Runner(argv[a], rewrite).run(bytes)) ++failed;
  }
  if (scripts == 0 && failed == 0) {
    std::fprintf(stderr, "usage: %s [--rewrite] SCRIPT...\n", argv[0]);
    return 2;
  }
  std::printf("%d script(s), %d failed\n", scripts, failed);
  return failed == 0 ? 0 : 1;
}
