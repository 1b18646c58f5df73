#include "serial/port_name.h"

int ComPortNumber(const std::string& text, int most) {
  std::string::size_type at = 0;
  if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
      (text[2] == 'M' || text[2] == 'm')) {
    at = 3;
  }
  if (at == text.size()) return 0;
  int number = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return 0;
    const int digit = text[at] - '0';
    if (number > (most - digit) / 10) return 0;  // beyond `most`, without overflow
    number = number * 10 + digit;
  }
  return number;
}
