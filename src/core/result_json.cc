#include "core/result_json.h"

#include <charconv>

#include "core/json_writer.h"

namespace qm::json {

void append_cell(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: out += "null"; return;
    case Value::Kind::Int: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, v.as_int());
      out.append(buf, res.ptr);
      return;
    }
    case Value::Kind::Decimal:
      out.push_back('"');
      append_decimal(out, v.as_decimal());
      out.push_back('"');
      return;
    case Value::Kind::Text: append_json_string(out, v.as_text()); return;
    case Value::Kind::Blob: {
      out.push_back('[');
      bool first = true;
      for (uint8_t b : v.blob_bytes()) {
        if (!first) out.push_back(',');
        first = false;
        char buf[4];
        auto res = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(b));
        out.append(buf, res.ptr);
      }
      out.push_back(']');
      return;
    }
  }
}

void append_result(std::string& out, const QueryResult& result) {
  if (const auto* rows = std::get_if<RowsResult>(&result)) {
    out += "{\"columns\":[";
    for (size_t i = 0; i < rows->columns.size(); ++i) {
      if (i) out.push_back(',');
      append_json_string(out, rows->columns[i]);
    }
    out += "],\"rows\":[";
    for (size_t r = 0; r < rows->rows.size(); ++r) {
      if (r) out.push_back(',');
      out.push_back('[');
      const Row& row = rows->rows[r];
      for (size_t c = 0; c < row.size(); ++c) {
        if (c) out.push_back(',');
        append_cell(out, row[c]);
      }
      out.push_back(']');
    }
    out += "]}";
  } else if (const auto* m = std::get_if<MutatedResult>(&result)) {
    out += "{\"mutated\":";
    out += std::to_string(m->count);
    out.push_back('}');
  } else {
    out += "{\"done\":true}";
  }
}

std::string result_to_string(const QueryResult& result) {
  std::string out;
  append_result(out, result);
  return out;
}

}  // namespace qm::json
