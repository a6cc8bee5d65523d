// The serial console (COM1, polled) and the formatter behind the runtime's
// printf and the kernel's own messages.
#include "metal/kernel/metal.h"

namespace {

constexpr uint16_t Com1 = 0x3F8;
constexpr uint8_t LineStatusTransmitEmpty = 0x20;

void PutChar(char c) {
  // Bounded: a UART that never empties (no UART at all) costs a little time
  // per character instead of hanging the machine.
  for (uint32_t spin = 0; spin < 100000; ++spin) {
    if (CpuIn8(Com1 + 5) & LineStatusTransmitEmpty) break;
  }
  CpuOut8(Com1, static_cast<uint8_t>(c));
}

struct Sink {
  char* out;
  uint32_t size;
  uint32_t length;
  void Put(char c) {
    if (length + 1 < size) out[length] = c;
    ++length;
  }
};

void PutNumber(Sink& sink, uint32_t value, uint32_t base, bool upper, bool negative, int width,
               bool zero, bool left) {
  char digits[12];
  int count = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[count++] = set[value % base];
    value /= base;
  } while (value != 0);
  int total = count + (negative ? 1 : 0);
  if (!left && !zero)
    for (; total < width; ++total) sink.Put(' ');
  if (negative) sink.Put('-');
  if (!left && zero)
    for (; total < width; ++total) sink.Put('0');
  while (count > 0) sink.Put(digits[--count]);
  if (left)
    for (; total < width; ++total) sink.Put(' ');
}

}  // namespace

void ConsoleInit() {
  CpuOut8(Com1 + 1, 0x00);  // no UART interrupts: the console is polled
  CpuOut8(Com1 + 3, 0x80);  // divisor latch
  CpuOut8(Com1 + 0, 0x01);  // 115200 baud
  CpuOut8(Com1 + 1, 0x00);
  CpuOut8(Com1 + 3, 0x03);  // 8 bits, no parity, one stop bit
  CpuOut8(Com1 + 2, 0xC7);  // FIFO on and cleared
  CpuOut8(Com1 + 4, 0x03);  // DTR, RTS
}

void ConsoleWrite(const char* text, uint32_t length) {
  // Bytes go out as given: the host captures the port to a file and reads
  // lines ended by '\n' alone.
  for (uint32_t i = 0; i < length; ++i) PutChar(text[i]);
}

// printf's conversions as the driver and the kernel use them: d i u x X c s p
// and %, with '-', '0', a width and the length modifiers l and z (both 32-bit
// here). Returns the length the whole text needs, as vsnprintf does.
int FormatV(char* out, uint32_t size, const char* format, va_list arguments) {
  Sink sink{out, size, 0};
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      sink.Put(*p);
      continue;
    }
    ++p;
    bool left = false, zero = false;
    for (;; ++p) {
      if (*p == '-') {
        left = true;
      } else if (*p == '0') {
        zero = true;
      } else {
        break;
      }
    }
    int width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    while (*p == 'l' || *p == 'z' || *p == 'h') ++p;
    switch (*p) {
      case 'd':
      case 'i': {
        const int32_t v = va_arg(arguments, int32_t);
        const uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
        PutNumber(sink, magnitude, 10, false, v < 0, width, zero, left);
        break;
      }
      case 'u':
        PutNumber(sink, va_arg(arguments, uint32_t), 10, false, false, width, zero, left);
        break;
      case 'x':
      case 'X':
        PutNumber(sink, va_arg(arguments, uint32_t), 16, *p == 'X', false, width, zero, left);
        break;
      case 'p':
        sink.Put('0');
        sink.Put('x');
        PutNumber(sink, reinterpret_cast<uintptr_t>(va_arg(arguments, void*)), 16, false, false, 8,
                  true, false);
        break;
      case 'c':
        sink.Put(static_cast<char>(va_arg(arguments, int)));
        break;
      case 's': {
        const char* s = va_arg(arguments, const char*);
        if (s == nullptr) s = "(null)";
        int n = 0;
        while (s[n] != '\0') ++n;
        if (!left)
          for (int i = n; i < width; ++i) sink.Put(' ');
        for (int i = 0; i < n; ++i) sink.Put(s[i]);
        if (left)
          for (int i = n; i < width; ++i) sink.Put(' ');
        break;
      }
      case '%':
        sink.Put('%');
        break;
      case '\0':
        --p;
        break;
      default:  // unknown: shown as written
        sink.Put('%');
        sink.Put(*p);
        break;
    }
  }
  if (size != 0) out[sink.length < size ? sink.length : size - 1] = '\0';
  return static_cast<int>(sink.length);
}

int ConsoleFormatV(char* text, uint32_t size, const char* format, va_list arguments) {
  const int n = FormatV(text, size, format, arguments);
  ConsoleWrite(text, static_cast<uint32_t>(n < static_cast<int>(size) ? n : size - 1));
  return n;
}

void Log(const char* format, ...) {
  char text[256];
  va_list arguments;
  va_start(arguments, format);
  ConsoleWrite("metal: ", 7);
  ConsoleFormatV(text, sizeof text, format, arguments);
  va_end(arguments);
  ConsoleWrite("\n", 1);
}
