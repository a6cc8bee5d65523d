// What the emulator's controller did with the driver's receive lists, read
// the way a debugger would: the kernel holds each device's context (the
// adapter record) and reads, never writes, the descriptors in it and the
// controller's status register. Only run when the boot command line asks
// for it (diag=1), after the traffic; nothing here changes what the driver
// does.
#include "controller/adapter.h"
#include "metal/kernel/metal.h"

namespace {

uint16_t Read16(const void* p) { return *static_cast<const volatile uint16_t*>(p); }
uint32_t Read32(const void* p) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return static_cast<uint32_t>(Read16(b)) | static_cast<uint32_t>(Read16(b + 2)) << 16;
}

}  // namespace

void DiagnoseReceiveLists(uint32_t index, void* context, uint32_t descriptors) {
  const NicAdapter* adapter = static_cast<const NicAdapter*>(context);
  const uint16_t scb = inportw(adapter->IoBase + ScbStatus);
  Log("diag dev%u io=0x%x scb_status=0x%04x cu_state=%u ru_state=%u", index, adapter->IoBase, scb,
      (scb >> 6) & 3, (scb >> 2) & 15);
  for (uint32_t j = 0; j < descriptors && j < RfdCount; ++j) {
    const ReceiveFrameDescriptor* rfd = &adapter->Rfds[j];
    Log("diag dev%u rfd%u at 0x%x status=0x%04x command=0x%04x link=0x%x rbd=0x%x count=0x%04x "
        "size=0x%04x",
        index, j, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(rfd)), Read16(&rfd->Status),
        Read16(&rfd->Command), Read32(&rfd->Link), Read32(&rfd->RbdAddress),
        Read16(&rfd->ActualCount), Read16(&rfd->Size));
    // The bytes right behind the descriptor: where a controller that ignores
    // the flexible bit would put the frame.
    const uint8_t* after = reinterpret_cast<const uint8_t*>(rfd + 1);
    Log("diag dev%u rfd%u next16 %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x "
        "%02x%02x%02x%02x",
        index, j, after[0], after[1], after[2], after[3], after[4], after[5], after[6], after[7],
        after[8], after[9], after[10], after[11], after[12], after[13], after[14], after[15]);
  }
  for (uint32_t k = 0; k < descriptors && k < RbdCount; ++k) {
    const uint8_t* rbd = adapter->Rbds[k].Bytes;
    const uint8_t* buffer = adapter->RxBuffers[k];
    Log("diag dev%u rbd%u at 0x%x count=0x%04x link=0x%x buffer=0x%x size=0x%04x data "
        "%02x%02x%02x%02x%02x%02x",
        index, k, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(rbd)),
        Read16(rbd + RbdOffsetCount), Read32(rbd + RbdOffsetLink),
        Read32(rbd + RbdOffsetBufferAddress), Read16(rbd + RbdOffsetSize), buffer[0], buffer[1],
        buffer[2], buffer[3], buffer[4], buffer[5]);
  }
}
