// Coordinates as text with 20 significant digits, as "%.20g" writes them:
// the result file and the text labels carry every bit of each double.
#pragma once

namespace velaseg {

// Room that always suffices for one number.
constexpr int kTwentyDigitsRoom = 32;

// Writes v as std::to_chars(general, precision 20) does, from `first` on
// (at least kTwentyDigitsRoom chars); returns the end of the text.
char* writeTwentyDigits(char* first, double v);

}  // namespace velaseg
