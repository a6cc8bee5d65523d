// The kernel's entry from the multiboot loader: console, memory, the PC, the
// registry, a look at the PCI bus for the report, then the scheduler.
#include "metal/kernel/metal.h"

extern "C" uint8_t metal_image_end[];

// The driver's registry section. Quiet 0 shows bring-up on the console;
// ConfigDelay 10 (its smallest value) keeps each configure command's settling
// wait at 10 ms of real (emulated) time instead of the built-in 500 ms. The
// rest are the built-in values, written out so the console shows them
// accepted. The host's comparison with the simulated PC boots that one with
// this same table (metal/registry.txt holds it in the simulator's format).
const RegistryEntry Registry[] = {
    {"TORVELIN", "Quiet", "0"},    {"TORVELIN", "ConfigDelay", "10"}, {"TORVELIN", "Buffers", "32"},
    {"TORVELIN", "WaitBoot", "1"}, {"TORVELIN", "UseEeprom", "1"},    {nullptr, nullptr, nullptr},
};

namespace {

constexpr uint32_t MultibootMagic = 0x2BADB002;
constexpr uint32_t MultibootHasMemory = 0x1;
constexpr uint32_t MultibootHasCommandLine = 0x4;
// The heap stops below this even on a bigger machine: the image needs a few
// MiB, and keeping every address low keeps DMA addresses easy to read.
constexpr uintptr_t HeapLimit = 64u << 20;

struct MultibootInfo {
  uint32_t Flags;
  uint32_t MemLower;  // KiB below 1 MiB
  uint32_t MemUpper;  // KiB above 1 MiB
  uint32_t BootDevice;
  uint32_t CommandLine;
};

char CommandLine[256];

// Configuration mechanism 1; only used before the first thread runs.
uint32_t PciRead(uint32_t bus, uint32_t devfn, uint32_t offset) {
  asm volatile("outl %0, %w1" ::"a"(0x80000000u | bus << 16 | devfn << 8 | (offset & 0xFC)),
               "Nd"(0xCF8));
  uint32_t v;
  asm volatile("inl %w1, %0" : "=a"(v) : "Nd"(0xCFC));
  return v;
}

// The network controllers on bus 0 as the firmware left them: the machine's
// part of the report, and what the host describes the simulated PC with.
void ReportPci() {
  for (uint32_t devfn = 0; devfn < 256; devfn += 8) {
    const uint32_t id = PciRead(0, devfn, 0);
    if (id == 0xFFFFFFFF || id == 0) continue;
    const uint32_t classCode = PciRead(0, devfn, 8) >> 8;
    if ((classCode >> 16) != 0x02) continue;  // network controllers only
    uint32_t io = 0;
    for (uint32_t bar = 0x10; bar <= 0x24 && io == 0; bar += 4) {
      const uint32_t value = PciRead(0, devfn, bar);
      if (value & 1) io = value & 0xFFFFFFFC;
    }
    const uint32_t irq = PciRead(0, devfn, 0x3C) & 0xFF;
    const uint32_t command = PciRead(0, devfn, 4) & 0xFFFF;
    Log("pci 00:%02x.%u id=%04x:%04x rev=%02x io=0x%x irq=%u command=0x%04x", devfn >> 3, devfn & 7,
        id & 0xFFFF, id >> 16, PciRead(0, devfn, 8) & 0xFF, io, irq, command);
  }
}

}  // namespace

uint32_t CommandLineValue(const char* key, uint32_t fallback) {
  uint32_t keyLength = 0;
  while (key[keyLength] != '\0') ++keyLength;
  for (const char* p = CommandLine; *p != '\0'; ++p) {
    if ((p != CommandLine && p[-1] != ' ') || host::memcmp(p, key, keyLength) != 0 ||
        p[keyLength] != '=') {
      continue;
    }
    return static_cast<uint32_t>(host::atol(p + keyLength + 1));
  }
  return fallback;
}

extern "C" [[noreturn]] void MetalMain(uint32_t magic, const MultibootInfo* info) {
  ConsoleInit();
  Log("torvelin bare-metal kernel");
  if (magic != MultibootMagic) {
    Log("not started by a multiboot loader (magic %x)", magic);
    MachineExit(0x7F);
  }
  uintptr_t memoryTop = 16u << 20;
  if (info->Flags & MultibootHasMemory) memoryTop = (1u << 20) + info->MemUpper * 1024u;
  if (memoryTop > HeapLimit) memoryTop = HeapLimit;
  if (info->Flags & MultibootHasCommandLine) {
    const char* text = reinterpret_cast<const char*>(static_cast<uintptr_t>(info->CommandLine));
    uint32_t i = 0;
    for (; text[i] != '\0' && i + 1 < sizeof CommandLine; ++i) CommandLine[i] = text[i];
    CommandLine[i] = '\0';
  }
  const uintptr_t heapStart = reinterpret_cast<uintptr_t>(metal_image_end);
  HeapInit(heapStart, memoryTop);
  Log("image end 0x%x, heap 0x%x-0x%x, command line '%s'", static_cast<uint32_t>(heapStart),
      static_cast<uint32_t>(heapStart), static_cast<uint32_t>(memoryTop), CommandLine);
  PcInit();
  ReportPci();
  SchedulerStart();
}
