// The command unit: the two command blocks of an adapter, the configure,
// individual address setup and transmit commands, and the driver-wide
// configure bytes they carry.
//
// Every function here that waits uses the driver's single timeout, so its
// callers hold DriverMutex (clients, creation, resume); nothing here takes it.

#include "controller/controller.h"
#include "hw/hw.h"
#include "startup/startup.h"

namespace {

// A controller that has not taken a command within this many timeout units
// (65 units, about 0.9 s) is taken as broken. A working one takes a command
// within microseconds, so the bound never shortens a wait that would have
// succeeded.
constexpr uint32_t CommandAcceptTimeout = 64;
constexpr uint32_t CommandUnitTimeout = 64;
constexpr uint32_t CommandBlockTimeout = 1;
constexpr unsigned CommandBlockTries = 4;
constexpr unsigned CommandIssueAttempts = 10;

uint8_t* BlockBytes(CommandBlock* block) { return reinterpret_cast<uint8_t*>(block); }

// The first 32-bit word of a block is its status (low half, 0 while in flight)
// and its command (high half); both go in with one release store.
void NicWriteBlockHeader(CommandBlock* block, uint32_t firstWord) {
  HwStore32(&block->Link, CbLinkNone);
  HwStore32(BlockBytes(block) + CbOffsetStatus, firstWord);
}

CommandBlock* NicGetCommandBlockTries(NicAdapter* adapter, unsigned tries) {
  CommandBlock* block = nullptr;
  for (unsigned i = 0; i < tries && block == nullptr; ++i) block = NicGetCommandBlock(adapter);
  return block;
}

// The configure bytes as the image is loaded: 22 bytes to read, FIFO limits
// and DMA counts, bad and overrun frames dropped, short frames discarded,
// the 82503 serial interface, frames sent with the source address the client
// wrote, a 7-byte preamble, broadcasts accepted and neither promiscuous nor
// all-multicast reception, carrier-sense filter on, pad stripping and
// transmit padding on, half duplex, multiple individual addresses.
constexpr uint8_t ConfigBlockInitial[ConfigBlockSize] = {
    0x16, 0x08, 0x00, 0x00, 0x00, 0x80, 0x3B, 0x03, 0x00, 0x00, 0x2E, 0x00,
    0xF0, 0x00, 0xF2, 0xC8, 0x00, 0x40, 0xF3, 0x00, 0x3F, 0x05, 0x00, 0x00,
};

// Clears `bits` in a configure byte, then sets those of them that `on` names.
void SetConfigBits(uint32_t byte, uint8_t bits, uint8_t on) {
  ConfigBlock[byte] = static_cast<uint8_t>((ConfigBlock[byte] & ~bits) | (on & bits));
}

}  // namespace

// Changed only by bring-up (NicSetupPhy) and NicConfigure, both of which run
// under DriverMutex; read by every configure command of every adapter. Set
// to ConfigBlockInitial by ControllerResetImage, which every image entry
// runs before anything reads it.
uint8_t ConfigBlock[ConfigBlockSize] = {};

// Start-up thread only (creation).
uint32_t InstanceCounter = 0;

void ControllerResetImage() {
  for (uint32_t i = 0; i < ConfigBlockSize; ++i) ConfigBlock[i] = ConfigBlockInitial[i];
  InstanceCounter = 0;
}

void NicInitCommandBlocks(NicAdapter* adapter) {
  HwStore16(&adapter->Blocks[0].Status, CbStatusComplete);
  HwStore16(&adapter->Blocks[1].Status, CbStatusComplete);
  adapter->CommandBlocks[0] = &adapter->Blocks[0];
  adapter->CommandBlocks[1] = &adapter->Blocks[1];
  adapter->NextCommandBlock = 0;
}

CommandBlock* NicGetCommandBlock(NicAdapter* adapter) {
  adapter->CurrentCommandBlock = adapter->NextCommandBlock;
  uint32_t next = adapter->NextCommandBlock + 1;
  adapter->NextCommandBlock = next >= 2 ? 0 : next;

  CommandBlock* block = adapter->CommandBlocks[adapter->CurrentCommandBlock & 1];
  TimeoutStart(CommandBlockTimeout);
  for (;;) {
    if (HwLoad16(&block->Status) & CbStatusComplete) return block;
    if (TimeoutPoll() == 0) break;
  }
  // Blocks are never skipped: the next request waits for this one again.
  adapter->NextCommandBlock = adapter->CurrentCommandBlock;
  return nullptr;
}

uint32_t NicWaitCommandAccepted(NicAdapter* adapter) {
  const uint32_t port = adapter->IoBase + ScbCommand;
  if (inportb(port) == 0) return StatusSuccess;
  // Left open by the design (a controller that never takes a command would
  // stop the caller here for good). Bounded by its own timeout, which is why
  // this wait always comes before, never inside, another timed wait.
  TimeoutStart(CommandAcceptTimeout);
  for (;;) {
    if (inportb(port) == 0) return StatusSuccess;
    if (TimeoutPoll() == 0) return StatusControllerFailure;
  }
}

// The general pointer is one register for both units, and the controller
// takes whatever it holds at the moment a command byte arrives. A pair is
// therefore only correct if no other pair lands between its two writes: the
// interrupt service's receive restart (pointer = head RFD, RU start) split by
// a client's command (pointer = command block, CU start) starts the receive
// unit on a command block, which it takes for a frame descriptor whose bytes
// name buffers anywhere in memory; the mirror order walks the RFD ring as
// commands. Client pairs are serialised by DriverMutex and the service runs
// with interrupts excluded, so excluding interrupts around every pair keeps
// each one whole; on the interrupt thread the exclusion is already held and
// the calls cost nothing. The re-read of ScbCommand belongs inside the same
// step: read before it, a restart's command could still come in between.
bool NicWritePointerCommand(NicAdapter* adapter, uint32_t pointer, uint8_t command,
                            bool onlyIfAccepted) {
  const uint32_t io = adapter->IoBase;
  KeDisableInterrupts();
  const bool write = !onlyIfAccepted || inportb(io + ScbCommand) == 0;
  if (write) {
    outportd(io + ScbGeneralPointer, pointer);
    outportb(io + ScbCommand, command);
  }
  KeEnableInterrupts();
  return write;
}

uint32_t NicWaitCommandUnit(NicAdapter* adapter, uint16_t timeout) {
  const uint32_t port = adapter->IoBase + ScbStatus;
  TimeoutStart(timeout);
  for (;;) {
    if ((inportw(port) & ScbStatusCuMask) != ScbStatusCuActive) return StatusSuccess;
    if (TimeoutPoll() == 0) return StatusControllerFailure;
  }
}

uint32_t NicIssueCommand(NicAdapter* adapter, CommandBlock* block) {
  for (unsigned attempt = 0; attempt < CommandIssueAttempts; ++attempt) {
    // A command that is never taken ends the issue with 11, like a command
    // unit that never leaves the active state.
    if (NicWaitCommandAccepted(adapter) != StatusSuccess) return StatusControllerFailure;
    if (NicWaitCommandUnit(adapter, CommandUnitTimeout) != StatusSuccess) {
      return StatusControllerFailure;
    }
    // The interrupt service writes receive-unit commands at any moment; if
    // one came in since the wait, start over rather than overwrite it.
    if (NicWritePointerCommand(adapter, HwAddress(block), ScbCommandCuStart, true)) {
      return StatusSuccess;
    }
  }
  return StatusControllerFailure;
}

uint32_t NicIssueConfigure(NicAdapter* adapter) {
  CommandBlock* block = NicGetCommandBlockTries(adapter, CommandBlockTries);
  if (block == nullptr) {
    host::printf("TORVELIN: Insufficient resources to configure controller.\n");
    return StatusControllerFailure;
  }
  MacCopyMemory(BlockBytes(block) + CbOffsetConfig, ConfigBlock, ConfigBlockSize);
  NicWriteBlockHeader(block, CbFirstWordConfigure);
  if (NicIssueCommand(adapter, block) != StatusSuccess) return StatusControllerFailure;
  MillisecondDelay(ConfigDelay);
  return StatusSuccess;
}

uint32_t NicConfigure(NicAdapter* adapter, uint32_t filter) {
  SetConfigBits(ConfigByteSaveBad, ConfigSaveBadFrames, ConfigSaveBadFrames);
  SetConfigBits(ConfigByteDiscardShort, ConfigDiscardShortFrames, 0);  // keep short frames
  uint8_t receive = 0;
  if (filter & FilterPromiscuous) receive |= ConfigPromiscuous;
  if (!(filter & FilterBroadcast)) receive |= ConfigBroadcastDisabled;
  SetConfigBits(ConfigByteFilter, ConfigPromiscuous | ConfigBroadcastDisabled, receive);
  SetConfigBits(ConfigByteAddresses, ConfigMultipleIndividualAddresses, 0);  // one address
  SetConfigBits(ConfigByteMulticast, ConfigMulticastAll,
                (filter & FilterAllMulticast) ? ConfigMulticastAll : 0);
  return NicIssueConfigure(adapter);
}

uint32_t NicSetAddress(NicAdapter* adapter) {
  CommandBlock* block = NicGetCommandBlockTries(adapter, CommandBlockTries);
  if (block == nullptr) {
    host::printf("TORVELIN: Insufficient resources to set MAC address.\n");
    return StatusControllerFailure;
  }
  MacCopyMemory(BlockBytes(block) + CbOffsetAddress, adapter->MacAddress, 6);
  NicWriteBlockHeader(block, CbFirstWordAddressSetup);
  return NicIssueCommand(adapter, block) == StatusSuccess ? StatusSuccess : StatusControllerFailure;
}

uint32_t NicTransmit(NicAdapter* adapter, const void* frame, uint32_t length) {
  if (length > MaximumFrameLength) return StatusFrameTooLong;
  if (frame == nullptr) return StatusBadParameter;
  // A frame shorter than the minimum goes out padded with zeros: only the
  // bytes the caller gave are read, never anything beyond its buffer.
  const uint32_t given = length;
  if (length < MinimumFrameLength) length = MinimumFrameLength;

  CommandBlock* block = NicGetCommandBlock(adapter);
  if (block == nullptr) return StatusBadParameter;

  uint8_t* bytes = BlockBytes(block);
  HwStore32(bytes + CbOffsetTbdArray, CbTbdArrayNone);
  HwStore32(bytes + CbOffsetTcbCount, length | CbTransmitCountFlags);
  MacCopyMemory(block->Data, frame, given);
  if (given < length) host::memset(block->Data + given, 0, length - given);
  NicWriteBlockHeader(block, CbFirstWordTransmit);
  return NicIssueCommand(adapter, block);
}
