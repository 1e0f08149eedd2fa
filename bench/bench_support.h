// Helpers the benchmark programs share: timing, stopping loudly on a failure, and running
// SQL on either engine.
#pragma once

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "quilmarr.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

[[noreturn]] inline void die(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::exit(1);
}

// Runs one statement on a QuilMarr handle, or stops the program with its error.
inline void qm(QmDb* db, const std::string& sql) {
  char* out = qm_query(db, sql.c_str());
  if (!out) die(sql + ": " + qm_last_error());
  qm_string_free(out);
}

// Runs statements on an SQLite handle, or stops the program with its error.
inline void sq(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) die(sql + ": " + (err ? err : "?"));
}

// A JSON string of `s` for a request (control bytes become spaces).
inline std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    out += c;
  }
  return out + "\"";
}

// Frees a result, or stops the program with the call's error.
inline void must(char* result, const char* what) {
  if (!result) die(std::string(what) + ": " + qm_last_error());
  qm_string_free(result);
}

}  // namespace bench
