// The driver's whole view of the world: the kernel operations it imports, the
// runtime library it calls, the six port operations and interrupt exclusion.
// The driver includes nothing else from outside its own folders; a platform
// (the simulated PC here, the real kernel elsewhere) defines every symbol below.
#pragma once

#include <cstddef>
#include <cstdint>

// Kernel handles are 32-bit values; 0 is never a valid handle.
using KHandle = uint32_t;

// Process argument of KeGrantHandleRights meaning "every process" (-1).
constexpr KHandle KeEveryProcess = 0xFFFFFFFFu;

// Rights passed to KeGrantHandleRights.
constexpr uint32_t KeRightsMutex = 4;
constexpr uint32_t KeRightsEvent = 5;
constexpr uint32_t KeRightsHaObject = 15;

// A list head. Elements link through their first field, a pointer to the next
// element (null at the end).
struct KeList {
  void* First;
};

using KeInterruptHandler = void (*)(uintptr_t context);
// Device entry: function code, device context, open instance (for open: the
// place for the new client record), then three operation arguments.
using KeDeviceEntry = uint32_t (*)(uint32_t function, void* context, void* instance, uintptr_t arg1,
                                   uintptr_t arg2, uintptr_t arg3);
using KeAvailabilityHandler = void (*)(uint32_t code, uint32_t value, void* context);

// Every operation returns 0 on success and non-zero on failure, except where
// the comment says otherwise.
uint32_t KeGetCurrentProcessHandle(KHandle* process);
uint32_t KeAllocateMutex(KHandle* mutex);
uint32_t KeDeallocateMutex(KHandle mutex);
uint32_t KeAcquireMutex(KHandle mutex);
uint32_t KeReleaseMutex(KHandle mutex);
uint32_t KeAllocateEvent(KHandle* event);
uint32_t KeDeallocateEvent(KHandle event);
uint32_t KeSetEvent(KHandle event);
uint32_t KeClearEvent(KHandle event);
// Blocks until the event is set or pulsed. Called with interrupts disabled
// (KeDisableInterrupts), the wait re-enables them while the thread sleeps and
// disables them again before returning: a pulse from the interrupt handler
// cannot fall between the caller's last check and the start of its wait.
uint32_t KeWaitEvent(KHandle event);
uint32_t KePulseEvent(KHandle event);
uint32_t KeGrantHandleRights(KHandle handle, uint32_t rights, KHandle process);
uint32_t KeAppendList(KeList* list, void* element);
uint32_t KeRemoveList(KeList* list, void* element);
uint32_t KeEnumRegSection(const char* section, uint32_t index, char* key, uint32_t keySize,
                          char* value, uint32_t valueSize);
uint32_t KeAllocateInterrupt(uint32_t line, KeInterruptHandler handler, uintptr_t context,
                             KHandle* interrupt);
uint32_t KeDeallocateInterrupt(KHandle interrupt);
uint32_t KeEndOfInterrupt(KHandle interrupt);
uint32_t KeGetIntInformation(KHandle interrupt, uint32_t what, uint32_t* value);
// Non-zero until system boot has completed.
uint32_t KeQueryInterruptHistory(uint32_t query);
uint32_t KeSignalInterrupt(uint32_t signal);
uint32_t KePassTimeSlice();
uint32_t KeCreateDevice(const char* name, void* context, KeDeviceEntry entry, uint32_t flags,
                        KHandle* device);
uint32_t KeAllocateHaObject(const char* name, void* context, KHandle* object);
uint32_t KeAllocateExceptionHandler(uint32_t code, uint32_t zero, KeAvailabilityHandler handler,
                                    KHandle* handle);
uint32_t KeNotifyHaEvent(KHandle object, uint32_t code);
void debug_assert_bit(uint32_t bit);
void debug_deassert_bit(uint32_t bit);

// Interrupt exclusion, as a uniprocessor kernel gives it: between the two
// calls no interrupt handler runs. Calls nest; on the interrupt thread itself
// they do nothing.
void KeDisableInterrupts();
void KeEnableInterrupts();

// Port I/O. Ports are 32-bit here so that no I/O base is silently truncated.
uint8_t inportb(uint32_t port);
uint16_t inportw(uint32_t port);
uint32_t inportd(uint32_t port);
void outportb(uint32_t port, uint8_t value);
void outportw(uint32_t port, uint16_t value);
void outportd(uint32_t port, uint32_t value);

// The host's runtime library. Sizes are 32-bit as on the target.
namespace host {
int printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void* malloc(uint32_t size);
void free(void* block);
void* memset(void* block, int value, uint32_t count);
int memcmp(const void* a, const void* b, uint32_t count);
char* strcpy(char* destination, const char* source);
char* strcat(char* destination, const char* source);
int strcmpi(const char* a, const char* b);
long atol(const char* text);
char* ultoa(unsigned long value, char* buffer, int radix);
}  // namespace host

// The driver image's entry point: prepares the image's static data as a
// loader would (every driver-wide variable at its initial value), then runs
// DriverEntry and returns its status. Defined by the driver.
uint32_t DriverImageEntry();
