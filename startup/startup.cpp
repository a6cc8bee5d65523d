// Driver entry: the image entry point, the start-up sequence and the
// driver-wide handles every other subsystem shares.
#include "startup/startup.h"

#include "controller/controller.h"
#include "device/device.h"
#include "hw/hw.h"

// Written once by DriverEntry on the main thread before the first device is
// published; read without a lock by every thread afterwards.
KHandle DriverProcess = 0;
KHandle DriverMutex = 0;
// Appended by instance creation with interrupts disabled; never shrunk; walked
// by the interrupt service without a lock.
KeList AdapterList = {nullptr};

namespace {

constexpr uint32_t BootQuery = 312;
constexpr uint32_t StartedSignal = 10000;

}  // namespace

void StartupResetImage() {
  DriverProcess = 0;
  DriverMutex = 0;
  AdapterList.First = nullptr;

  RegistryResetSettings();

  MemoryServiceActive = 0;
  MemoryServiceMutex = 0;
  MemoryRequestEvent = 0;
  MemoryReplyEvent = 0;
  MemoryRequestCode = 0;
  MemoryRequestSize = 0;
  MemoryRequestPointer = nullptr;
}

uint32_t DriverImageEntry() {
  // A loader would map a fresh copy of the image's data; many machines run
  // one after another in one process here, so every subsystem puts its
  // driver-wide variables back to their initial values first.
  StartupResetImage();
  HwResetImage();
  ControllerResetImage();
  DeviceResetImage();
  return DriverEntry();
}

uint32_t DriverEntry() {
  // The registry has not been read yet, so Quiet holds its built-in 1 here and
  // the banner only shows on an image built with Quiet 0.
  if (!Quiet) host::printf("\nTORVELIN: Intel 82558/82559 Ethernet MAC driver, V1.2.\n");

  KeGetCurrentProcessHandle(&DriverProcess);

  // The mutex must exist before any device is published: a client's first
  // device function takes it at once.
  if (KeAllocateMutex(&DriverMutex) != 0) {
    if (!Quiet) host::printf("TORVELIN: Unable to allocate system resources.\n");
    return StatusNoResources;
  }
  KeGrantHandleRights(DriverMutex, KeRightsMutex, KeEveryProcess);

  // Settings are in force before discovery reads Buffers, UseEeprom,
  // ResetDelay and the others.
  NicReadRegistry();

  if (WaitBoot != 0) {
    if (!Quiet) host::printf("TORVELIN: Waiting system boot...");
    // No time limit: the driver has nothing to do before the system is up.
    while (KeQueryInterruptHistory(BootQuery) != 0) KePassTimeSlice();
    if (!Quiet) host::printf("[BOOTED].\n");
  }

  if (NicScanPci() == StatusNoController) {
    if (!Quiet) host::printf("TORVELIN: No compatible controllers found system.\n");
    return StatusNoController;
  }

  // Every adapter has been published with KeCreateDevice by now.
  KeSignalInterrupt(StartedSignal);

  // Returns only on failure (3) or after an unrecognised request (7).
  const uint32_t status = MacMemoryServer();
  if (!Quiet) host::printf("TORVELIN: Unable to allocate system resources.\n");
  return status;
}
