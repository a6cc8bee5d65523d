// Discovery: the table of supported controllers and the walk over every PCI
// bus that hands each one to instance creation.
#include "controller/controller.h"
#include "hw/hw.h"
#include "startup/startup.h"

const DeviceTableRow DeviceTable[] = {
    {0x8086, 0x1229, "Intel EtherExpressPro100"},
    {0x8086, 0x1209, "Intel EtherExpressPro100 82559ER"},
    {0x8086, 0x1029, "Intel EtherExpressPro100 ID1029"},
    {0x8086, 0x1030, "Intel Corporation 82559 InBusiness 10/100"},
    {0x8086, 0x2449, "Intel EtherExpressPro100 82562EM"},
    {0, 0, nullptr},
};

namespace {

constexpr uint32_t PciBusCount = 256;
// devfn 0xFF (device 31, function 7) is never probed.
constexpr uint32_t PciDevFnCount = 255;

// One adapter per I/O base address register of a supported function; gives
// the number created.
uint32_t CreateAdapters(const DeviceTableRow& row, uint8_t devfn, uint32_t bus) {
  uint32_t created = 0;
  for (uint32_t bar = PciFirstBar; bar <= PciLastBar; bar += 4) {
    const uint32_t ioBase = PciBarIoBase(PciReadDword(bar, devfn, bus));
    if (ioBase == 0) continue;
    const uint8_t irq = static_cast<uint8_t>(PciReadByte(PciInterruptLine, devfn, bus));
    // From here on a published device, its interrupt handler or a resume may
    // make configuration accesses while the scan goes on.
    PciShareAccess();
    NicAdapter* adapter = nullptr;
    // A failed creation has reported itself; it is simply not counted.
    if (NicCreateAdapter(row.VendorId, row.DeviceId, row.Description, devfn,
                         static_cast<uint8_t>(bus), ioBase, irq, &adapter) == 0) {
      ++created;
    }
  }
  return created;
}

}  // namespace

uint32_t NicScanPci() {
  uint32_t created = 0;
  uint32_t headerType = 0;
  for (uint32_t bus = 0; bus < PciBusCount; ++bus) {
    for (uint32_t number = 0; number < PciDevFnCount; ++number) {
      const uint8_t devfn = static_cast<uint8_t>(number);
      if ((devfn & 7) == 0) {
        headerType = PciReadByte(PciHeaderType, devfn, bus);
      } else if ((headerType & PciMultiFunction) == 0) {
        continue;  // single-function device
      }
      const uint32_t id = PciReadDword(PciVendorDevice, devfn, bus);
      if (id == 0xFFFFFFFF || id == 0) {
        // Absent: the rest of this device's functions are skipped too.
        headerType = 0;
        continue;
      }
      const uint16_t vendor = static_cast<uint16_t>(id);
      const uint16_t device = static_cast<uint16_t>(id >> 16);
      for (const DeviceTableRow* row = DeviceTable; row->VendorId != 0; ++row) {
        if (row->VendorId == vendor && row->DeviceId == device) {
          created += CreateAdapters(*row, devfn, bus);
        }
      }
    }
  }
  return created != 0 ? StatusSuccess : StatusNoController;
}
