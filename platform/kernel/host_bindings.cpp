// The driver's imports (host/host.h) on the simulated PC: every kernel
// operation and port access goes to the machine that runs now.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/host.h"
#include "platform/kernel/kernel.h"
#include "platform/machine.h"

namespace {

sim::Machine& CurrentMachine(const char* operation) {
  sim::Machine* machine = sim::Machine::Current();
  if (machine == nullptr) [[unlikely]] {
    std::fprintf(stderr, "torvelin platform: %s called with no machine running\n", operation);
    std::abort();
  }
  return *machine;
}

sim::Kernel& K(const char* operation) { return CurrentMachine(operation).kernel(); }

// Port accesses end a stopping machine's driver threads like kernel calls
// do: a thread busy-waiting on the timer must come out too.
uint32_t PortRead(const char* operation, uint32_t port, unsigned width) {
  sim::Machine& machine = CurrentMachine(operation);
  machine.kernel().CheckStop();
  return machine.ports().Read(port, width);
}

void PortWrite(const char* operation, uint32_t port, unsigned width, uint32_t value) {
  sim::Machine& machine = CurrentMachine(operation);
  machine.kernel().CheckStop();
  machine.ports().Write(port, width, value);
}

}  // namespace

uint32_t KeGetCurrentProcessHandle(KHandle* process) {
  return K(__func__).GetCurrentProcessHandle(process);
}
uint32_t KeAllocateMutex(KHandle* mutex) { return K(__func__).AllocateMutex(mutex); }
uint32_t KeDeallocateMutex(KHandle mutex) { return K(__func__).DeallocateMutex(mutex); }
uint32_t KeAcquireMutex(KHandle mutex) { return K(__func__).AcquireMutex(mutex); }
uint32_t KeReleaseMutex(KHandle mutex) { return K(__func__).ReleaseMutex(mutex); }
uint32_t KeAllocateEvent(KHandle* event) { return K(__func__).AllocateEvent(event); }
uint32_t KeDeallocateEvent(KHandle event) { return K(__func__).DeallocateEvent(event); }
uint32_t KeSetEvent(KHandle event) { return K(__func__).SetEvent(event); }
uint32_t KeClearEvent(KHandle event) { return K(__func__).ClearEvent(event); }
uint32_t KeWaitEvent(KHandle event) { return K(__func__).WaitEvent(event); }
uint32_t KePulseEvent(KHandle event) { return K(__func__).PulseEvent(event); }
uint32_t KeGrantHandleRights(KHandle handle, uint32_t rights, KHandle process) {
  return K(__func__).GrantHandleRights(handle, rights, process);
}
uint32_t KeAppendList(KeList* list, void* element) { return K(__func__).AppendList(list, element); }
uint32_t KeRemoveList(KeList* list, void* element) { return K(__func__).RemoveList(list, element); }
uint32_t KeEnumRegSection(const char* section, uint32_t index, char* key, uint32_t keySize,
                          char* value, uint32_t valueSize) {
  return K(__func__).EnumRegSection(section, index, key, keySize, value, valueSize);
}
uint32_t KeAllocateInterrupt(uint32_t line, KeInterruptHandler handler, uintptr_t context,
                             KHandle* interrupt) {
  return K(__func__).AllocateInterrupt(line, handler, context, interrupt);
}
uint32_t KeDeallocateInterrupt(KHandle interrupt) {
  return K(__func__).DeallocateInterrupt(interrupt);
}
uint32_t KeEndOfInterrupt(KHandle interrupt) { return K(__func__).EndOfInterrupt(interrupt); }
uint32_t KeGetIntInformation(KHandle interrupt, uint32_t what, uint32_t* value) {
  return K(__func__).GetIntInformation(interrupt, what, value);
}
uint32_t KeQueryInterruptHistory(uint32_t query) {
  return K(__func__).QueryInterruptHistory(query);
}
uint32_t KeSignalInterrupt(uint32_t signal) { return K(__func__).SignalInterrupt(signal); }
uint32_t KePassTimeSlice() { return K(__func__).PassTimeSlice(); }
uint32_t KeCreateDevice(const char* name, void* context, KeDeviceEntry entry, uint32_t flags,
                        KHandle* device) {
  return K(__func__).CreateDevice(name, context, entry, flags, device);
}
uint32_t KeAllocateHaObject(const char* name, void* context, KHandle* object) {
  return K(__func__).AllocateHaObject(name, context, object);
}
uint32_t KeAllocateExceptionHandler(uint32_t code, uint32_t zero, KeAvailabilityHandler handler,
                                    KHandle* handle) {
  return K(__func__).AllocateExceptionHandler(code, zero, handler, handle);
}
uint32_t KeNotifyHaEvent(KHandle object, uint32_t code) {
  return K(__func__).NotifyHaEvent(object, code);
}
void debug_assert_bit(uint32_t bit) { K(__func__).DebugAssertBit(bit); }
void debug_deassert_bit(uint32_t bit) { K(__func__).DebugDeassertBit(bit); }
void KeDisableInterrupts() { K(__func__).DisableInterrupts(); }
void KeEnableInterrupts() { K(__func__).EnableInterrupts(); }

uint8_t inportb(uint32_t port) { return static_cast<uint8_t>(PortRead(__func__, port, 1)); }
uint16_t inportw(uint32_t port) { return static_cast<uint16_t>(PortRead(__func__, port, 2)); }
uint32_t inportd(uint32_t port) { return PortRead(__func__, port, 4); }
void outportb(uint32_t port, uint8_t value) { PortWrite(__func__, port, 1, value); }
void outportw(uint32_t port, uint16_t value) { PortWrite(__func__, port, 2, value); }
void outportd(uint32_t port, uint32_t value) { PortWrite(__func__, port, 4, value); }

namespace host {

int printf(const char* format, ...) {
  sim::Kernel& kernel = K("printf");
  char small[256];
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  const int length = std::vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (length < 0) {
    va_end(again);
    return length;
  }
  if (static_cast<size_t>(length) < sizeof small) {
    kernel.Print(small, static_cast<size_t>(length));
  } else {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    kernel.Print(text.data(), static_cast<size_t>(length));
  }
  va_end(again);
  return length;
}

void* malloc(uint32_t size) { return K("malloc").Allocate(size); }
void free(void* block) { K("free").Free(block); }

void* memset(void* block, int value, uint32_t count) { return std::memset(block, value, count); }
int memcmp(const void* a, const void* b, uint32_t count) { return std::memcmp(a, b, count); }
char* strcpy(char* destination, const char* source) { return std::strcpy(destination, source); }
char* strcat(char* destination, const char* source) { return std::strcat(destination, source); }

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
  // first other character. Overflow wraps (modulo 2^64) instead of being
  // undefined.
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
