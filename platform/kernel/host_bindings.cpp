// The driver's imports (host/host.h) on the simulated PC: every kernel
// operation goes to the machine that runs now (port accesses: host_ports.cpp).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/host.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/machine.h"

namespace {

sim::Kernel& K(const char* operation) { return sim::CurrentMachine(operation).kernel(); }

// Kernel calls on the machine trace: a begin event with the arguments, an
// end event with the result and what the call wrote back. Off, a call costs
// one test of the active trace.
using sim::Trace;
using Args = Trace::Args;

// A pointer into the machine's memory is shown as its bus address; any other
// (the driver's static data) by its distance from a static of this program,
// which does not change from run to run as the program's load address does.
const char g_anchor = 0;
std::string Ptr(const void* p) {
  if (p == nullptr) return "(null)";
  const uint32_t address = sim::Arena::ToAddress(p);
  if (sim::Machine* machine = sim::Machine::Current();
      machine != nullptr && machine->arena().ToPointer(address) == p) {
    return Trace::Hex(address);
  }
  const auto offset =
      static_cast<int64_t>(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(&g_anchor));
  return offset < 0 ? "image-" + Trace::Hex(static_cast<uint64_t>(-offset))
                    : "image+" + Trace::Hex(static_cast<uint64_t>(offset));
}
std::string Str(const char* text) { return text == nullptr ? "(null)" : text; }
template <class T>
std::string Out(const T* p) {
  return p == nullptr ? "(null)" : Trace::Hex(*p);
}

// Runs `call` between a begin and an end event. `result` tells whether the
// call's value is the kernel's result (void calls and malloc have none). Kept
// out of line: inlined, its strings and exception handling would keep the
// compiler from inlining the untraced path below into every kernel call.
template <class Call, class MakeArgs, class MakeOut>
[[gnu::noinline]] uint32_t TracedCall(Trace* trace, const char* name, Call call, MakeArgs args,
                                      MakeOut out, bool result) {
  trace->Begin("kernel", name, args());
  uint32_t value;
  try {
    value = call();
  } catch (...) {
    trace->End(name, {{"result", "unwound"}});
    throw;
  }
  Args after = out();
  if (result) after.insert(after.begin(), {"result", Trace::Hex(value)});
  trace->End(name, std::move(after));
  return value;
}

// A kernel call: with the trace off, one test and the call itself. The
// closures capture the call's arguments by value and reach the traced path
// as copies: taken by reference, their addresses would escape into it, and
// the compiler would store every argument on the stack before the test.
template <class Call, class MakeArgs, class MakeOut>
[[gnu::always_inline]] inline uint32_t Traced(const char* name, Call call, MakeArgs args,
                                              MakeOut out, bool result = true) {
  Trace* trace = Trace::Active();
  if (trace == nullptr) [[likely]]
    return call();
  return TracedCall(trace, name, call, args, out, result);
}

template <class Call, class MakeArgs>
[[gnu::always_inline]] inline uint32_t Traced(const char* name, Call call, MakeArgs args) {
  return Traced(name, call, args, [] { return Args{}; });
}

template <class Call, class MakeArgs, class MakeOut>
[[gnu::always_inline]] inline void TracedVoid(const char* name, Call call, MakeArgs args,
                                              MakeOut out) {
  Traced(
      name,
      [call] {
        call();
        return 0u;
      },
      args, out, false);
}

template <class Call, class MakeArgs>
[[gnu::always_inline]] inline void TracedVoid(const char* name, Call call, MakeArgs args) {
  TracedVoid(name, call, args, [] { return Args{}; });
}

auto NoArgs() {
  return [] { return Args{}; };
}

}  // namespace

uint32_t KeGetCurrentProcessHandle(KHandle* process) {
  return Traced(
      __func__, [=] { return K(__func__).GetCurrentProcessHandle(process); }, NoArgs(),
      [=] {
        return Args{{"process", Out(process)}};
      });
}
uint32_t KeAllocateMutex(KHandle* mutex) {
  return Traced(
      __func__, [=] { return K(__func__).AllocateMutex(mutex); }, NoArgs(),
      [=] {
        return Args{{"mutex", Out(mutex)}};
      });
}
uint32_t KeDeallocateMutex(KHandle mutex) {
  return Traced(
      __func__, [=] { return K(__func__).DeallocateMutex(mutex); },
      [=] {
        return Args{{"mutex", Trace::Hex(mutex)}};
      });
}
uint32_t KeAcquireMutex(KHandle mutex) {
  return Traced(
      __func__, [=] { return K(__func__).AcquireMutex(mutex); },
      [=] {
        return Args{{"mutex", Trace::Hex(mutex)}};
      });
}
uint32_t KeReleaseMutex(KHandle mutex) {
  return Traced(
      __func__, [=] { return K(__func__).ReleaseMutex(mutex); },
      [=] {
        return Args{{"mutex", Trace::Hex(mutex)}};
      });
}
uint32_t KeAllocateEvent(KHandle* event) {
  return Traced(
      __func__, [=] { return K(__func__).AllocateEvent(event); }, NoArgs(),
      [=] {
        return Args{{"event", Out(event)}};
      });
}
uint32_t KeDeallocateEvent(KHandle event) {
  return Traced(
      __func__, [=] { return K(__func__).DeallocateEvent(event); },
      [=] {
        return Args{{"event", Trace::Hex(event)}};
      });
}
uint32_t KeSetEvent(KHandle event) {
  return Traced(
      __func__, [=] { return K(__func__).SetEvent(event); },
      [=] {
        return Args{{"event", Trace::Hex(event)}};
      });
}
uint32_t KeClearEvent(KHandle event) {
  return Traced(
      __func__, [=] { return K(__func__).ClearEvent(event); },
      [=] {
        return Args{{"event", Trace::Hex(event)}};
      });
}
uint32_t KeWaitEvent(KHandle event) {
  return Traced(
      __func__, [=] { return K(__func__).WaitEvent(event); },
      [=] {
        return Args{{"event", Trace::Hex(event)}};
      });
}
uint32_t KePulseEvent(KHandle event) {
  return Traced(
      __func__, [=] { return K(__func__).PulseEvent(event); },
      [=] {
        return Args{{"event", Trace::Hex(event)}};
      });
}
uint32_t KeGrantHandleRights(KHandle handle, uint32_t rights, KHandle process) {
  return Traced(
      __func__, [=] { return K(__func__).GrantHandleRights(handle, rights, process); },
      [=] {
        return Args{{"handle", Trace::Hex(handle)},
                    {"rights", Trace::Hex(rights)},
                    {"process", Trace::Hex(process)}};
      });
}
uint32_t KeAppendList(KeList* list, void* element) {
  return Traced(
      __func__, [=] { return K(__func__).AppendList(list, element); },
      [=] {
        return Args{{"list", Ptr(list)}, {"element", Ptr(element)}};
      });
}
uint32_t KeRemoveList(KeList* list, void* element) {
  return Traced(
      __func__, [=] { return K(__func__).RemoveList(list, element); },
      [=] {
        return Args{{"list", Ptr(list)}, {"element", Ptr(element)}};
      });
}
uint32_t KeEnumRegSection(const char* section, uint32_t index, char* key, uint32_t keySize,
                          char* value, uint32_t valueSize) {
  return Traced(
      __func__,
      [=] { return K(__func__).EnumRegSection(section, index, key, keySize, value, valueSize); },
      [=] {
        return Args{{"section", Str(section)},
                    {"index", std::to_string(index)},
                    {"keySize", std::to_string(keySize)},
                    {"valueSize", std::to_string(valueSize)}};
      },
      [=] {
        // What was written back, up to the sizes given (a result that does
        // not fit is not terminated).
        auto text = [](const char* p, uint32_t size) {
          return p == nullptr ? std::string("(null)") : std::string(p, strnlen(p, size));
        };
        return Args{{"key", text(key, keySize)}, {"value", text(value, valueSize)}};
      });
}
uint32_t KeAllocateInterrupt(uint32_t line, KeInterruptHandler handler, uintptr_t context,
                             KHandle* interrupt) {
  return Traced(
      __func__, [=] { return K(__func__).AllocateInterrupt(line, handler, context, interrupt); },
      [=] {
        return Args{{"line", std::to_string(line)}, {"context", Trace::Hex(context)}};
      },
      [=] {
        return Args{{"interrupt", Out(interrupt)}};
      });
}
uint32_t KeDeallocateInterrupt(KHandle interrupt) {
  return Traced(
      __func__, [=] { return K(__func__).DeallocateInterrupt(interrupt); },
      [=] {
        return Args{{"interrupt", Trace::Hex(interrupt)}};
      });
}
uint32_t KeEndOfInterrupt(KHandle interrupt) {
  return Traced(
      __func__, [=] { return K(__func__).EndOfInterrupt(interrupt); },
      [=] {
        return Args{{"interrupt", Trace::Hex(interrupt)}};
      });
}
uint32_t KeGetIntInformation(KHandle interrupt, uint32_t what, uint32_t* value) {
  return Traced(
      __func__, [=] { return K(__func__).GetIntInformation(interrupt, what, value); },
      [=] {
        return Args{{"interrupt", Trace::Hex(interrupt)}, {"what", std::to_string(what)}};
      },
      [=] {
        return Args{{"value", Out(value)}};
      });
}
uint32_t KeQueryInterruptHistory(uint32_t query) {
  return Traced(
      __func__, [=] { return K(__func__).QueryInterruptHistory(query); },
      [=] {
        return Args{{"query", std::to_string(query)}};
      });
}
uint32_t KeSignalInterrupt(uint32_t signal) {
  return Traced(
      __func__, [=] { return K(__func__).SignalInterrupt(signal); },
      [=] {
        return Args{{"signal", std::to_string(signal)}};
      });
}
uint32_t KePassTimeSlice() {
  return Traced(
      __func__, [=] { return K(__func__).PassTimeSlice(); }, NoArgs());
}
uint32_t KeCreateDevice(const char* name, void* context, KeDeviceEntry entry, uint32_t flags,
                        KHandle* device) {
  return Traced(
      __func__, [=] { return K(__func__).CreateDevice(name, context, entry, flags, device); },
      [=] {
        return Args{{"name", Str(name)}, {"flags", Trace::Hex(flags)}};
      },
      [=] {
        return Args{{"device", Out(device)}};
      });
}
uint32_t KeAllocateHaObject(const char* name, void* context, KHandle* object) {
  return Traced(
      __func__, [=] { return K(__func__).AllocateHaObject(name, context, object); },
      [=] {
        return Args{{"name", Str(name)}};
      },
      [=] {
        return Args{{"object", Out(object)}};
      });
}
uint32_t KeAllocateExceptionHandler(uint32_t code, uint32_t zero, KeAvailabilityHandler handler,
                                    KHandle* handle) {
  return Traced(
      __func__, [=] { return K(__func__).AllocateExceptionHandler(code, zero, handler, handle); },
      [=] {
        return Args{{"code", std::to_string(code)}, {"zero", std::to_string(zero)}};
      },
      [=] {
        return Args{{"handle", Out(handle)}};
      });
}
uint32_t KeNotifyHaEvent(KHandle object, uint32_t code) {
  return Traced(
      __func__, [=] { return K(__func__).NotifyHaEvent(object, code); },
      [=] {
        return Args{{"object", Trace::Hex(object)}, {"code", std::to_string(code)}};
      });
}
void debug_assert_bit(uint32_t bit) {
  TracedVoid(
      __func__, [=] { K(__func__).DebugAssertBit(bit); },
      [=] {
        return Args{{"bit", std::to_string(bit)}};
      });
}
void debug_deassert_bit(uint32_t bit) {
  TracedVoid(
      __func__, [=] { K(__func__).DebugDeassertBit(bit); },
      [=] {
        return Args{{"bit", std::to_string(bit)}};
      });
}
void KeDisableInterrupts() {
  TracedVoid(
      __func__, [=] { K(__func__).DisableInterrupts(); }, NoArgs());
}
void KeEnableInterrupts() {
  TracedVoid(
      __func__, [=] { K(__func__).EnableInterrupts(); }, NoArgs());
}

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
    if (Trace* trace = Trace::Active()) [[unlikely]] {
      trace->Instant("kernel", "printf", {{"text", std::string(small, length)}});
    }
    kernel.Print(small, static_cast<size_t>(length));
  } else {
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    if (Trace* trace = Trace::Active()) [[unlikely]] {
      trace->Instant("kernel", "printf", {{"text", text.substr(0, length)}});
    }
    kernel.Print(text.data(), static_cast<size_t>(length));
  }
  va_end(again);
  return length;
}

void* malloc(uint32_t size) {
  void* block = nullptr;
  TracedVoid(
      "malloc", [&block, size] { block = K("malloc").Allocate(size); },
      [=] {
        return Args{{"size", std::to_string(size)}};
      },
      [&block] {
        return Args{{"block", Ptr(block)}};
      });
  return block;
}
void free(void* block) {
  TracedVoid(
      "free", [=] { K("free").Free(block); },
      [=] {
        return Args{{"block", Ptr(block)}};
      });
}

void* memset(void* block, int value, uint32_t count) { return std::memset(block, value, count); }
int memcmp(const void* a, const void* b, uint32_t count) { return std::memcmp(a, b, count); }
// strcpy, strcat, strcmpi, atol and ultoa: host_text.cpp, shared with the
// bare-metal kernel.

}  // namespace host
