// The host runtime's string functions (host:: in host/host.h), one
// implementation for every kernel the driver runs on: the simulated PC's
// kernel library links it, and the bare-metal kernel compiles this same
// file freestanding. So it includes nothing but host/host.h and calls
// nothing outside this file.
#include "host/host.h"

namespace host {

char* strcpy(char* destination, const char* source) {
  char* d = destination;
  while ((*d++ = *source++) != '\0') {
  }
  return destination;
}

char* strcat(char* destination, const char* source) {
  char* d = destination;
  while (*d != '\0') ++d;
  strcpy(d, source);
  return destination;
}

int strcmpi(const char* a, const char* b) {
  // ASCII only, as the target's runtime: no locale.
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  for (;; ++a, ++b) {
    const int ca = lower(static_cast<unsigned char>(*a));
    const int cb = lower(static_cast<unsigned char>(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

long atol(const char* text) {
  // Leading white space, an optional sign, then decimal digits up to the
  // first other character. Overflow wraps (modulo 2 to the width of long)
  // instead of being undefined.
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  unsigned long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<unsigned long>(*text - '0');
  return static_cast<long>(negative ? 0 - value : value);
}

char* ultoa(unsigned long value, char* buffer, int radix) {
  if (radix < 2 || radix > 36) {
    buffer[0] = '\0';
    return buffer;
  }
  char digits[sizeof(unsigned long) * 8 + 1];
  size_t count = 0;
  do {
    const unsigned digit = static_cast<unsigned>(value % static_cast<unsigned long>(radix));
    digits[count++] = static_cast<char>(digit < 10 ? '0' + digit : 'a' + digit - 10);
    value /= static_cast<unsigned long>(radix);
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) buffer[i] = digits[count - 1 - i];
  buffer[count] = '\0';
  return buffer;
}

}  // namespace host
