// Running nlohmann's SAX parser over a whole text with one of our handlers. The handler
// keeps its own error text; what this adds is the parser's exceptions turned into their
// message, except running out of memory, which is no fault of the document and goes to the
// call's frame.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/expected.h"

namespace qm {

// The parser's verdict (false when the handler refused the document), or the text of the
// exception it threw.
template <class Handler>
std::expected<bool, std::string> sax_parse_text(std::string_view text, Handler& handler) {
  try {
    return nlohmann::json::sax_parse(text.begin(), text.end(), &handler, nlohmann::json::input_format_t::json, true);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

}  // namespace qm
