#include "config/key_filter.h"

namespace tagris {

std::bitset<256> NumericKeySet() {
  std::bitset<256> set;
  for (char c = '0'; c <= '9'; ++c) set.set(static_cast<unsigned char>(c));
  for (char c : {'.', '+', '-', kBackspace}) set.set(static_cast<unsigned char>(c));
  return set;
}

char DigitKeyFilter(char key) {
  // Taken as signed: bytes from 0x80 up fall below "0" with the control characters.
  const auto k = static_cast<signed char>(key);
  if (k < '0' || k > '9') return 0;
  return key;
}

char DecimalKeyFilter(char key, const std::bitset<256>& numericKeys) {
  if (key == ',') key = '.';
  if (static_cast<unsigned char>(key) >= 0x80) return 0;
  return numericKeys.test(static_cast<unsigned char>(key)) ? key : 0;
}

char DiscardKeyFilter(char) { return 0; }

bool IsInsertableText(std::string_view text, const KeyFilter& filter) {
  for (char c : text)
    if (c == kBackspace || filter(c) != c) return false;
  return true;
}

}  // namespace tagris
