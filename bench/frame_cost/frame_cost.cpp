// Instructions per frame, for callgrind (scripts/callgrind.sh). One machine
// with one controller alone on its segment; every step runs on this thread,
// so each path is one function callgrind can count on its own:
//   FrameCostWrite    device function 5 (NicWrite) down to the command unit,
//                     the block's execution and the send on the segment;
//   FrameCostService  the interrupt service for one received frame: the
//                     acknowledge, the drain into the receive queue and the
//                     delivery to the open clients;
//   FrameCostRead     an immediate read (NicRead) of that frame.
// The model's own receive of the injected frame is outside all three.
//
//   torvelin_frame_cost FRAMES [SIZE [CLIENTS]]
//
// White-box on purpose: each path is counted as the driver's own function
// (NicWrite, NicInterrupt, NicRead), so the program includes the driver's
// headers and holds NicClient records, as no client does.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "controller/controller.h"
#include "device/device.h"
#include "platform/machine.h"
#include "platform/net/segment.h"
#include "platform/nic/i8255x.h"

extern "C" {
__attribute__((noinline)) uint32_t FrameCostWrite(NicClient* client, const uint8_t* frame,
                                                  uint32_t length) {
  uint32_t transferred = 0;
  return NicWrite(client, frame, length, &transferred);
}
__attribute__((noinline)) void FrameCostService(uintptr_t line) { NicInterrupt(line); }
__attribute__((noinline)) uint32_t FrameCostRead(NicClient* client, uint8_t* buffer,
                                                 uint32_t size) {
  uint32_t length = 0;
  return NicRead(client, buffer, size, &length);
}
}

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: torvelin_frame_cost FRAMES [SIZE [CLIENTS]]\n");
    return 2;
  }
  const unsigned long frames = std::strtoul(argv[1], nullptr, 10);
  const uint32_t size = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 60;
  const unsigned clients = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 1;
  if (size < 60 || size > 1514 || clients < 1 || clients > 16) {
    std::fprintf(stderr, "torvelin_frame_cost: SIZE 60-1514, CLIENTS 1-16\n");
    return 2;
  }

  sim::Machine machine;
  auto& segment = machine.Own(std::make_unique<sim::Segment>("segment0"));
  sim::I8255xConfig config;
  auto& nic = machine.Own(std::make_unique<sim::I8255x>(machine, config, &segment));
  machine.Boot();
  if (!machine.WaitStarted()) {
    std::fprintf(stderr, "torvelin_frame_cost: the driver did not start\n");
    return 1;
  }
  sim::ClientProcess process(machine);
  std::vector<NicClient*> opens;
  for (unsigned i = 0; i < clients; ++i) {
    uintptr_t open = 0;
    if (process.Open("/DEV/MAC/TORVELIN/0", &open) != 0) {
      std::fprintf(stderr, "torvelin_frame_cost: open failed\n");
      return 1;
    }
    opens.push_back(reinterpret_cast<NicClient*>(open));
  }

  std::vector<uint8_t> frame(size, 0x5A);
  for (int i = 0; i < 6; ++i) {
    frame[i] = config.station[i];  // to this controller
    frame[6 + i] = static_cast<uint8_t>(0x10 + i);
  }
  std::vector<uint8_t> buffer(1536);
  unsigned long failures = 0;
  for (unsigned long i = 0; i < frames; ++i) {
    if (FrameCostWrite(opens[0], frame.data(), size) != 0) ++failures;
  }
  for (unsigned long i = 0; i < frames; ++i) {
    // Interrupts stay excluded from the frame's arrival to the end of the
    // service, so the kernel's interrupt thread never services it first.
    KeDisableInterrupts();
    nic.InjectFrame(frame);
    FrameCostService(config.irq);
    KeEnableInterrupts();
    for (NicClient* client : opens) {
      if (FrameCostRead(client, buffer.data(), static_cast<uint32_t>(buffer.size())) != 0) {
        ++failures;
      }
    }
  }
  machine.Stop();
  if (failures != 0) {
    std::fprintf(stderr, "torvelin_frame_cost: %lu calls failed\n", failures);
    return 1;
  }
  return 0;
}
