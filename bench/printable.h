// Text from outside (a file name, a flag's value) as lock_bench shows it on
// a terminal or in its results: one line, nothing a terminal obeys.
#pragma once
#include <string>

// S with every control character (C0, DEL, and C1 as UTF-8) and every byte
// that is not part of valid UTF-8 replaced by '?'.
inline std::string printable(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool valid = n > 0 && i + n <= s.size() && c != 0xC0 && c != 0xC1 && c < 0xF5;
    for (std::size_t k = 1; valid && k < n; ++k)
      valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    // C0 controls and DEL; C1 controls are U+0080 to U+009F, C2 80 to C2 9F.
    if (valid && n == 1 && (c < 0x20 || c == 0x7F)) valid = false;
    if (valid && n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0) valid = false;
    if (!valid) {
      out += '?';
      i += n ? n : 1;
      continue;
    }
    out.append(s, i, n);
    i += n;
  }
  return out;
}
