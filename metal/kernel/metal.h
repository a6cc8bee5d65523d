// The bare-metal kernel's internal interface: the CPU, the PC's interrupt
// controllers and timer, the console, threads and processes, and the device
// calls a client makes. The driver sees none of this; it sees host/host.h,
// which the kernel implements in calls.cpp, ports.cpp and runtime.cpp.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "host/host.h"

// ---- CPU
inline void CpuOut8(uint16_t port, uint8_t v) { asm volatile("outb %0, %1" ::"a"(v), "Nd"(port)); }
inline uint8_t CpuIn8(uint16_t port) {
  uint8_t v;
  asm volatile("inb %1, %0" : "=a"(v) : "Nd"(port));
  return v;
}
// Interrupt flag: saved and cleared, then put back. The kernel's own lists
// (threads, pending lines) change only with the flag clear.
inline uint32_t CpuSaveDisable() {
  uint32_t flags;
  asm volatile("pushfl; popl %0; cli" : "=r"(flags)::"memory");
  return flags;
}
inline void CpuRestore(uint32_t flags) {
  if (flags & 0x200) asm volatile("sti" ::: "memory");
}
inline void CpuEnable() { asm volatile("sti" ::: "memory"); }

// ---- console (COM1) and formatting
void ConsoleInit();
void ConsoleWrite(const char* text, uint32_t length);
int FormatV(char* out, uint32_t size, const char* format, va_list arguments);
// FormatV into `text` (`size` bytes), then what fits of it to the console;
// returns FormatV's count.
int ConsoleFormatV(char* text, uint32_t size, const char* format, va_list arguments);
// Kernel messages: one prefix for all, so that the driver's own lines stand
// out on the shared console.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- machine
void PcInit();                // IDT, 8259 pair, timer channel 0
void PicMask(uint32_t line);  // 8259 interrupt mask register
void PicUnmask(uint32_t line);
void PicEndOfInterrupt(uint32_t line);  // specific EOI (and the cascade for 8-15)
// Milliseconds since PcInit, counted from timer channel 0; callers read it
// at least once per counter period (27 ms) or lose the periods in between.
uint32_t ClockMilliseconds();
[[noreturn]] void MachineExit(uint32_t code);  // the emulator's exit device

// ---- memory
void HeapInit(uintptr_t start, uintptr_t end);
uint32_t HeapInUse();

// ---- threads and processes
using ThreadEntry = void (*)(uintptr_t argument);
// A thread of `process` (a process handle); runs as soon as the scheduler
// picks it. Returns false when the kernel has no room.
bool ThreadCreate(const char* name, KHandle process, ThreadEntry entry, uintptr_t argument);
KHandle ProcessCreate(const char* name);
[[noreturn]] void SchedulerStart();
void ThreadExit();
// Called from the interrupt stubs for lines 0-15.
void InterruptArrived(uint32_t line);

// Kernel bookkeeping the report and the checks read.
struct KernelCounters {
  uint32_t EndOfInterrupts;
  uint32_t InterruptsTaken;
  uint32_t HandlerRounds;
  uint32_t SpuriousInterrupts;
  uint32_t RightsViolations;
  uint32_t ContextSwitches;
  uint32_t IdleHalts;
};
extern KernelCounters Counters;

// The state of start-up as the kernel sees it.
bool SignalRaised(uint32_t signal);
// Blocks the calling thread until `signal` has been raised.
void WaitForSignal(uint32_t signal);
// The driver process's entry returned (with its status in *status).
bool DriverEnded(uint32_t* status);

// ---- devices, as a client process reaches them
struct ClientOpen;  // one open of a device by a client
// Function 2 on the named device; null when no such device or the driver
// refused (its status in *status).
ClientOpen* DeviceOpenByName(const char* name, uint32_t* status);
uint32_t DeviceCall(ClientOpen* open, uint32_t function, uintptr_t a1, uintptr_t a2, uintptr_t a3);
uint32_t CloseDevice(ClientOpen* open);
uint32_t DeviceCount();
// Shows, read-only, the first `descriptors` receive descriptors of every
// device's adapter and its controller's status (diag.cpp).
void DiagnoseDevices(uint32_t descriptors);
void DiagnoseReceiveLists(uint32_t index, void* context, uint32_t descriptors);
const char* DeviceName(uint32_t index);

// ---- the built-in registry
struct RegistryEntry {
  const char* Section;
  const char* Key;
  const char* Value;
};
extern const RegistryEntry Registry[];

// ---- the boot command line (multiboot), parsed once
uint32_t CommandLineValue(const char* key, uint32_t fallback);

// ---- the client program
void ClientMain(uintptr_t argument);
