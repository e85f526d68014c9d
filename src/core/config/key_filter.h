#pragma once
// Key filters of the configuration fields. Each takes one typed Windows-1251
// character and returns what the field receives: the character, a replacement,
// or 0 when the keystroke is discarded.
#include <bitset>
#include <functional>
#include <string_view>

namespace tagris {

inline constexpr char kBackspace = 8;

// The numeric-key set, indexed by character code: "0".."9", ".", "+", "-" and
// backspace, the characters the decimal filter lets through.
std::bitset<256> NumericKeySet();

// Integer fields (ed_Adr, ed_Chan, ed_AdrNew): only "0".."9". Control characters,
// backspace included, and every byte from 0x80 up are discarded.
char DigitKeyFilter(char key);

// Grade and salinity fields: "," becomes ".", then only the numeric-key set passes.
char DecimalKeyFilter(char key, const std::bitset<256>& numericKeys);

// cmb_Rate and cmb_Par: their text changes only by choosing from the list.
char DiscardKeyFilter(char key);

using KeyFilter = std::function<char(char)>;

// Pasted, dropped or composed text may enter a field only if typing it would
// put exactly that text there: no character discarded or replaced, and no
// backspace (an editing key, never text).
bool IsInsertableText(std::string_view text, const KeyFilter& filter);

}  // namespace tagris
