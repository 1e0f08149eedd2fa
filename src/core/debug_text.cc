#include "core/debug_text.h"

namespace qm {

void append_debug_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (c >= 0x10) out += kHex[c >> 4];
          out += kHex[c & 0xF];
          out += '}';
        } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
          // C1 controls (U+0080 to U+009F) are escaped like the C0 ones.
          static constexpr char kHex[] = "0123456789abcdef";
          auto low = static_cast<unsigned char>(s[i + 1]);
          out += "\\u{";
          out += kHex[(low >> 4) & 0xF];  // 0x80..0x9F -> 8 or 9
          out += kHex[low & 0xF];
          out += '}';
          ++i;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

}  // namespace qm
