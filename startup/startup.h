// Start-up, registry settings and the memory service: the driver-wide state
// that every other subsystem reads.
#pragma once

#include <cstdint>

#include "device/interface.h"
#include "host/host.h"

// ---- Driver-wide state (start-up) ----
// Written by DriverEntry on the main thread before any device exists; read
// without a lock afterwards.
extern KHandle DriverProcess;
// The lock of the driver's own state: client lists, every controller command
// and every timed operation (the timeout state is one for the whole driver).
extern KHandle DriverMutex;
// All adapters. Appended by creation with interrupts disabled, never shrunk;
// walked by the interrupt service.
extern KeList AdapterList;

// ---- Settings: written only by NicReadRegistry, constants afterwards ----
extern uint32_t Buffers;
extern uint32_t ConfigDelay;
extern uint32_t TestDelay;
extern uint32_t ResetDelay;
extern uint32_t WaitBoot;
extern uint32_t UseEeprom;
extern uint32_t Quiet;
extern uint32_t HaDetect;
extern uint32_t NegotiateLink;
extern uint32_t RegistryMacSet;
extern uint8_t RegistryMac[6];

// ---- Memory service ----
// Shared between the requester holding MemoryServiceMutex and the service.
extern uint32_t MemoryServiceActive;
extern KHandle MemoryServiceMutex;
extern KHandle MemoryRequestEvent;
extern KHandle MemoryReplyEvent;
extern uint32_t MemoryRequestCode;
extern uint32_t MemoryRequestSize;
extern void* MemoryRequestPointer;

uint32_t DriverEntry();
void NicReadRegistry();
void* MacAllocateMemory(uint32_t size);
void MacDeallocateMemory(void* block);
uint32_t MacMemoryServer();
uint32_t MacCheckPointer(const void* pointer, const char* label);
void MacCopyMemory(void* destination, const void* source, uint32_t count);

// Puts the start-up state, the settings (RegistryResetSettings) and the memory
// service back to their initial values, as loading a fresh image does. Each
// subsystem declares its own such function; DriverImageEntry calls them all.
void StartupResetImage();
void RegistryResetSettings();
