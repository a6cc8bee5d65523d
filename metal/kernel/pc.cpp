// The PC around the CPU: the interrupt descriptor table, the 8259 pair, timer
// channel 0, exceptions and the emulator's exit device.
#include "metal/kernel/metal.h"

extern "C" const uint32_t metal_trap_stubs[48];

namespace {

struct IdtEntry {
  uint16_t OffsetLow;
  uint16_t Selector;
  uint8_t Zero;
  uint8_t Type;
  uint16_t OffsetHigh;
};
static_assert(sizeof(IdtEntry) == 8);

struct __attribute__((packed)) IdtPointer {
  uint16_t Limit;
  uint32_t Base;
};

IdtEntry Idt[48];

constexpr uint16_t PicMasterCommand = 0x20, PicMasterData = 0x21;
constexpr uint16_t PicSlaveCommand = 0xA0, PicSlaveData = 0xA1;
constexpr uint16_t Elcr[2] = {0x4D0, 0x4D1};  // edge/level control of the PIIX
constexpr uint8_t VectorBase = 32;
constexpr uint8_t CascadeLine = 2;

// Timer channel 0 as a PC BIOS leaves it, and as the driver's timing assumes:
// mode 3 (square wave) with the full 16-bit reload, so the count runs down
// in steps of two at 1.193182 MHz: 2386 steps per millisecond, 27.5 ms per
// period. The kernel never takes its interrupt.
constexpr uint16_t PitData0 = 0x40, PitCommand = 0x43;
constexpr uint32_t StepsPerMillisecond = 2386;

constexpr uint16_t DebugExitPort = 0xF4;

uint16_t ClockLast = 0;
uint32_t ClockSteps = 0;  // steps not yet counted as a whole millisecond
uint32_t ClockMs = 0;

struct TrapFrame {
  uint32_t Edi, Esi, Ebp, Esp, Ebx, Edx, Ecx, Eax;
  uint32_t Vector, Error;
  uint32_t Eip, Cs, Eflags;
};

uint16_t ReadCount() {
  CpuOut8(PitCommand, 0x00);
  const uint8_t low = CpuIn8(PitData0);
  const uint8_t high = CpuIn8(PitData0);
  return static_cast<uint16_t>(high << 8 | low);
}

// Reads the in-service register of one 8259.
uint8_t PicInService(uint16_t command) {
  CpuOut8(command, 0x0B);
  return CpuIn8(command);
}

}  // namespace

void PcInit() {
  for (uint32_t v = 0; v < 48; ++v) {
    Idt[v].OffsetLow = static_cast<uint16_t>(metal_trap_stubs[v]);
    Idt[v].Selector = 0x08;
    Idt[v].Zero = 0;
    Idt[v].Type = 0x8E;  // present, ring 0, 32-bit interrupt gate (IF cleared on entry)
    Idt[v].OffsetHigh = static_cast<uint16_t>(metal_trap_stubs[v] >> 16);
  }
  IdtPointer pointer{sizeof Idt - 1, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Idt))};
  asm volatile("lidt %0" ::"m"(pointer));

  // The 8259 pair at vectors 32-47, master's line 2 cascading the slave,
  // every line masked until a handler is allocated for it.
  CpuOut8(PicMasterCommand, 0x11);
  CpuOut8(PicSlaveCommand, 0x11);
  CpuOut8(PicMasterData, VectorBase);
  CpuOut8(PicSlaveData, VectorBase + 8);
  CpuOut8(PicMasterData, 1 << CascadeLine);
  CpuOut8(PicSlaveData, CascadeLine);
  CpuOut8(PicMasterData, 0x01);  // 8086 mode
  CpuOut8(PicSlaveData, 0x01);
  CpuOut8(PicMasterData, static_cast<uint8_t>(~(1 << CascadeLine)));
  CpuOut8(PicSlaveData, 0xFF);

  CpuOut8(PitCommand, 0x36);  // channel 0, low then high byte, mode 3, binary
  CpuOut8(PitData0, 0x00);
  CpuOut8(PitData0, 0x00);
  ClockLast = ReadCount();
}

void PicMask(uint32_t line) {
  const uint16_t port = line < 8 ? PicMasterData : PicSlaveData;
  CpuOut8(port, static_cast<uint8_t>(CpuIn8(port) | (1 << (line & 7))));
}

void PicUnmask(uint32_t line) {
  // PCI interrupt lines are level-triggered and shared: the line is put in
  // level mode at the PIIX's edge/level register before it is unmasked, so a
  // controller that still asserts after its handler ran interrupts again.
  if (line != 0 && line != 1 && line != 2 && line != 8 && line != 13) {
    const uint16_t elcr = Elcr[line >> 3];
    CpuOut8(elcr, static_cast<uint8_t>(CpuIn8(elcr) | (1 << (line & 7))));
  }
  const uint16_t port = line < 8 ? PicMasterData : PicSlaveData;
  CpuOut8(port, static_cast<uint8_t>(CpuIn8(port) & ~(1 << (line & 7))));
}

void PicEndOfInterrupt(uint32_t line) {
  if (line >= 8) {
    CpuOut8(PicSlaveCommand, static_cast<uint8_t>(0x60 | (line & 7)));
    CpuOut8(PicMasterCommand, 0x60 | CascadeLine);
  } else {
    CpuOut8(PicMasterCommand, static_cast<uint8_t>(0x60 | line));
  }
}

uint32_t ClockMilliseconds() {
  const uint32_t flags = CpuSaveDisable();
  const uint16_t now = ReadCount();
  ClockSteps += static_cast<uint16_t>(ClockLast - now);
  ClockLast = now;
  while (ClockSteps >= StepsPerMillisecond) {
    ClockSteps -= StepsPerMillisecond;
    ++ClockMs;
  }
  const uint32_t ms = ClockMs;
  CpuRestore(flags);
  return ms;
}

void MachineExit(uint32_t code) {
  Log("halting the machine, exit code %u", code);
  CpuSaveDisable();
  // The emulator's exit device ends the emulator with status code * 2 + 1.
  asm volatile("outl %0, %1" ::"a"(code), "Nd"(DebugExitPort));
  for (;;) asm volatile("hlt");
}

extern "C" void MetalTrap(TrapFrame* frame) {
  const uint32_t vector = frame->Vector;
  if (vector >= VectorBase && vector < VectorBase + 16) {
    const uint32_t line = vector - VectorBase;
    // Lines 7 and 15 also carry the 8259's spurious interrupt: it sets no
    // in-service bit and takes no EOI (a spurious 15 still does at the master).
    if (line == 7 && !(PicInService(PicMasterCommand) & 0x80)) {
      ++Counters.SpuriousInterrupts;
      return;
    }
    if (line == 15 && !(PicInService(PicSlaveCommand) & 0x80)) {
      ++Counters.SpuriousInterrupts;
      CpuOut8(PicMasterCommand, 0x60 | CascadeLine);
      return;
    }
    InterruptArrived(line);
    return;
  }
  uint32_t cr2;
  asm volatile("movl %%cr2, %0" : "=r"(cr2));
  Log("exception %u, error %x, at eip %x (cr2 %x, eax %x, ebx %x, ecx %x, edx %x, esp %x)", vector,
      frame->Error, frame->Eip, cr2, frame->Eax, frame->Ebx, frame->Ecx, frame->Edx, frame->Esp);
  MachineExit(0x7E);
}
