// The registry walk of section "TORVELIN", run on the driver's main thread of
// a simulated machine, observed through the console and the settings.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "startup/startup.h"
#include "support/harness.h"
#include "support/startup_helpers.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

struct Settings {
  uint32_t buffers, configDelay, testDelay, resetDelay, waitBoot, useEeprom, quiet, haDetect,
      negotiateLink, macSet;
  std::array<uint8_t, 6> mac;
};

struct Walk {
  std::string console;
  Settings settings;
  size_t outstandingBlocks;
};

Walk ReadRegistry(const Entries& entries, bool withSection = true) {
  sim::MachineOptions options =
      withSection ? testing_support::OptionsWithRegistry(entries) : sim::MachineOptions{};
  options.image = &startup_support::RegistryOnlyImage;
  sim::Machine machine(std::move(options));
  Walk walk{};
  machine.Boot();
  EXPECT_TRUE(machine.WaitStarted());
  EXPECT_EQ(machine.EntryResult(), 0u);
  walk.console = machine.Console();
  walk.settings = {Buffers, ConfigDelay, TestDelay,     ResetDelay,     WaitBoot, UseEeprom,
                   Quiet,   HaDetect,    NegotiateLink, RegistryMacSet, {}};
  for (int i = 0; i < 6; ++i) walk.settings.mac[i] = RegistryMac[i];
  walk.outstandingBlocks = machine.arena().OutstandingBlocks();
  return walk;
}

std::string Reject(const std::string& key, const char* range) {
  return "TORVELIN: registry setting for " + key + " must be between " + range + ".\n";
}
std::string RejectBuffers(const std::string& key) {
  return "TORVELIN: registry setting for " + key + " must be between 2 and 256";
}
std::string MacRejected(const std::string& key = "MacAddress") {
  return "TORVELIN: registry setting for " + key + " must be of the form 'xx:xx:xx:xx:xx:xx'.\n";
}
std::string MacAccepted(const std::string& address) {
  return "TORVELIN: MAC address set to " + address + " in system registry.\n";
}

TEST(Registry, MissingOrEmptySectionKeepsEveryDefaultSilently) {
  for (bool withSection : {false, true}) {
    const Walk walk = ReadRegistry({}, withSection);
    EXPECT_EQ(walk.console, "");
    EXPECT_EQ(walk.settings.buffers, 32u);
    EXPECT_EQ(walk.settings.configDelay, 500u);
    EXPECT_EQ(walk.settings.testDelay, 10u);
    EXPECT_EQ(walk.settings.resetDelay, 4u);  // below the registry's own range
    EXPECT_EQ(walk.settings.waitBoot, 1u);
    EXPECT_EQ(walk.settings.useEeprom, 1u);
    EXPECT_EQ(walk.settings.quiet, 1u);
    EXPECT_EQ(walk.settings.haDetect, 0u);
    EXPECT_EQ(walk.settings.negotiateLink, 0u);
    EXPECT_EQ(walk.settings.macSet, 0u);
    EXPECT_EQ(walk.settings.mac, (std::array<uint8_t, 6>{}));
    EXPECT_EQ(walk.outstandingBlocks, 0u) << "work area not released";
  }
}

TEST(Registry, EveryKeyAcceptsBothEndsOfItsRangeAndRejectsBeyondThem) {
  const Walk walk = ReadRegistry({
      {"Quiet", "0"},         {"Buffers", "2"},      {"Buffers", "1"},
      {"Buffers", "257"},     {"Buffers", "-1"},     {"Buffers", "256"},
      {"ConfigDelay", "9"},   {"ConfigDelay", "10"}, {"ConfigDelay", "501"},
      {"ConfigDelay", "500"}, {"TestDelay", "10"},   {"TestDelay", "-1"},
      {"TestDelay", "500"},   {"ResetDelay", "4"},   {"ResetDelay", "10"},
      {"ResetDelay", "500"},  {"ResetDelay", "501"}, {"WaitBoot", "0"},
      {"WaitBoot", "2"},      {"WaitBoot", "-1"},    {"UseEeprom", "0"},
      {"UseEeprom", "1"},     {"UseEeprom", "2"},    {"HaDetect", "1"},
      {"HaDetect", "2"},      {"HaDetect", "-1"},    {"NegotiateLink", "1"},
      {"NegotiateLink", "2"}, {"Quiet", "2"},        {"Quiet", "-1"},
  });
  const std::string expected =
      "TORVELIN: NIC packet buffers set to 2 in registry.\n" + RejectBuffers("Buffers") +
      RejectBuffers("Buffers") + RejectBuffers("Buffers") +
      "TORVELIN: NIC packet buffers set to 256 in registry.\n" +
      Reject("ConfigDelay", "10 and 500") +
      "TORVELIN: Controller Config Delay set to 10 in registry.\n" +
      Reject("ConfigDelay", "10 and 500") +
      "TORVELIN: Controller Config Delay set to 500 in registry.\n" +
      "TORVELIN: Test Delay set to 10 in registry.\n" + Reject("TestDelay", "10 and 500") +
      "TORVELIN: Test Delay set to 500 in registry.\n" + Reject("ResetDelay", "10 and 500") +
      "TORVELIN: Reset Delay set to 10 in registry.\n" +
      "TORVELIN: Reset Delay set to 500 in registry.\n" + Reject("ResetDelay", "10 and 500") +
      "TORVELIN: Wait for system boot set to 0 in registry.\n" + Reject("WaitBoot", "0 and 1") +
      Reject("WaitBoot", "0 and 1") + "TORVELIN: Use EEPROM set to 0 in registry.\n" +
      "TORVELIN: Use EEPROM set to 1 in registry.\n" + Reject("UseEeprom", "0 and 1") +
      Reject("HaDetect", "0 and 1") + Reject("HaDetect", "0 and 1") +
      "TORVELIN: Link negotiation set to 1 in registry.\n" + Reject("NegotiateLink", "0 and 1") +
      Reject("Quiet", "0 and 1") + Reject("Quiet", "0 and 1");
  EXPECT_EQ(walk.console, expected);
  EXPECT_EQ(walk.settings.buffers, 256u);
  EXPECT_EQ(walk.settings.configDelay, 500u);
  EXPECT_EQ(walk.settings.testDelay, 500u);
  EXPECT_EQ(walk.settings.resetDelay, 500u);
  EXPECT_EQ(walk.settings.waitBoot, 0u);
  EXPECT_EQ(walk.settings.useEeprom, 1u);
  EXPECT_EQ(walk.settings.haDetect, 1u);  // Quiet and HaDetect confirm nothing
  EXPECT_EQ(walk.settings.negotiateLink, 1u);
  EXPECT_EQ(walk.settings.quiet, 0u);
}

TEST(Registry, ValuesConvertAsAtolDoes) {
  const Walk walk = ReadRegistry({
      {"Quiet", "0"},
      {"WaitBoot", "yes"},       // no digits: 0, in range
      {"Buffers", "abc"},        // no digits: 0, out of range
      {"ConfigDelay", "250ms"},  // digits up to the first other character
      {"TestDelay", "  \t42"},   // leading white space skipped
      {"ResetDelay", "+100"},    // optional sign
      {"NegotiateLink", "1.9"},
      {"UseEeprom", "-0"},
      {"Buffers", "4294967298"},  // beyond 32 bits: as the platform's atol gives it
  });
  const std::string prefix = "TORVELIN: Wait for system boot set to 0 in registry.\n" +
                             RejectBuffers("Buffers") +
                             "TORVELIN: Controller Config Delay set to 250 in registry.\n" +
                             "TORVELIN: Test Delay set to 42 in registry.\n" +
                             "TORVELIN: Reset Delay set to 100 in registry.\n" +
                             "TORVELIN: Link negotiation set to 1 in registry.\n" +
                             "TORVELIN: Use EEPROM set to 0 in registry.\n";
  ASSERT_EQ(walk.console.substr(0, prefix.size()), prefix);
  // A number beyond 32 bits converts as the platform's atol converts it: a
  // 64-bit long keeps 4294967298, whose low 32 bits (2) are in range.
  EXPECT_EQ(walk.console.substr(prefix.size()),
            "TORVELIN: NIC packet buffers set to 2 in registry.\n");
  EXPECT_EQ(walk.settings.buffers, 2u);
  EXPECT_EQ(walk.settings.waitBoot, 0u);
  EXPECT_EQ(walk.settings.configDelay, 250u);
  EXPECT_EQ(walk.settings.testDelay, 42u);
  EXPECT_EQ(walk.settings.resetDelay, 100u);
  EXPECT_EQ(walk.settings.negotiateLink, 1u);
  EXPECT_EQ(walk.settings.useEeprom, 0u);
}

TEST(Registry, KeysAreTrimmedAndComparedWithoutCase) {
  const Walk walk = ReadRegistry({
      {"Quiet", "0"},
      {"  buffers ", "64"},
      {"\t\r\nBUFFERS\f", "1"},
      {"Buf fers", "100"},
      {"", "1"},
      {"   ", "1"},
      {"\vQuiet", "1"},        // VT is not a blank
      {"ConfigDelay=", "20"},  // only blanks end a key
      {"configdelay", " 20"},
      {"  Quiet  trailing", "1"},
      {"Buffers", "8"},  // silenced by the Quiet entry just before
  });
  EXPECT_EQ(walk.console, "TORVELIN: NIC packet buffers set to 64 in registry.\n" +
                              RejectBuffers("BUFFERS") +
                              "TORVELIN: Unrecognized registry key 'Buf' ignored.\n"
                              "TORVELIN: Unrecognized registry key '' ignored.\n"
                              "TORVELIN: Unrecognized registry key '' ignored.\n"
                              "TORVELIN: Unrecognized registry key '\vQuiet' ignored.\n"
                              "TORVELIN: Unrecognized registry key 'ConfigDelay=' ignored.\n"
                              "TORVELIN: Controller Config Delay set to 20 in registry.\n");
  EXPECT_EQ(walk.settings.buffers, 8u);
  EXPECT_EQ(walk.settings.configDelay, 20u);
  EXPECT_EQ(walk.settings.quiet, 1u);
}

TEST(Registry, QuietGovernsOnlyTheEntriesAfterIt) {
  {
    SCOPED_TRACE("Quiet 0 last: the walk itself stays silent");
    const Walk walk = ReadRegistry({{"Buffers", "64"}, {"Bogus", "1"}, {"Quiet", "0"}});
    EXPECT_EQ(walk.console, "");
    EXPECT_EQ(walk.settings.buffers, 64u);
    EXPECT_EQ(walk.settings.quiet, 0u);
  }
  {
    SCOPED_TRACE("a rejected Quiet is reported only after an earlier Quiet 0");
    const Walk walk = ReadRegistry({{"Quiet", "5"},
                                    {"Buffers", "1"},
                                    {"Quiet", "0"},
                                    {"Quiet", "5"},
                                    {"Buffers", "3"},
                                    {"Quiet", "1"},
                                    {"Buffers", "1"},
                                    {"Bogus", "1"}});
    EXPECT_EQ(walk.console,
              Reject("Quiet", "0 and 1") + "TORVELIN: NIC packet buffers set to 3 in registry.\n");
    EXPECT_EQ(walk.settings.quiet, 1u);
    EXPECT_EQ(walk.settings.buffers, 3u);
  }
}

TEST(Registry, MacAddressFormsAcceptedAndRefused) {
  struct Case {
    const char* value;
    bool accepted;
    std::array<uint8_t, 6> bytes;  // RegistryMac afterwards, from all zeros
  };
  const Case cases[] = {
      {"00:a0:C9:12:34:56", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"00A0c9123456", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"00a0:c912:3456", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"12:34", true, {0x12, 0x34, 0, 0, 0, 0}},
      {"ab", true, {0xAB, 0, 0, 0, 0, 0}},
      {"00:11:22:33:44:55:66", true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {"00:11:22:33:44:55:", true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {"00A0C9123456 and more", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"00A0C9123456zz", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"12:34\tzz", true, {0x12, 0x34, 0, 0, 0, 0}},
      {"12:34\r", true, {0x12, 0x34, 0, 0, 0, 0}},
      {"12:34:", false, {0x12, 0x34, 0, 0, 0, 0}},
      {"0:1:2:3:4:5", false, {0, 0, 0, 0, 0, 0}},
      {"00-11-22-33-44-55", false, {0x00, 0, 0, 0, 0, 0}},
      {"00::11", false, {0x00, 0, 0, 0, 0, 0}},
      {"00A0C91", false, {0x00, 0xA0, 0xC9, 0, 0, 0}},
      {"", false, {0, 0, 0, 0, 0, 0}},
      {" 00:11:22:33:44:55", false, {0, 0, 0, 0, 0, 0}},
      {"12:34\v", false, {0x12, 0x34, 0, 0, 0, 0}},  // VT is not a blank
      {"0g", false, {0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("value '") + c.value + "'");
    const Walk walk = ReadRegistry({{"Quiet", "0"}, {"MacAddress", c.value}});
    EXPECT_EQ(walk.settings.mac, c.bytes);
    EXPECT_EQ(walk.settings.macSet, c.accepted ? 1u : 0u);
    if (c.accepted) {
      char address[32];
      snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X", c.bytes[0], c.bytes[1],
               c.bytes[2], c.bytes[3], c.bytes[4], c.bytes[5]);
      EXPECT_EQ(walk.console, MacAccepted(address));
    } else {
      EXPECT_EQ(walk.console, MacRejected());
    }
  }
}

TEST(Registry, RejectedMacAddressKeepsItsStoredBytesAndTheEarlierFlag) {
  const Walk walk = ReadRegistry({{"Quiet", "0"},
                                  {"macaddress", "AA:BB:CC:DD:EE:FF"},
                                  {"  MACADDRESS", "12:34:"},
                                  {"MacAddress", "zz"}});
  EXPECT_EQ(walk.console,
            MacAccepted("AA:BB:CC:DD:EE:FF") + MacRejected("MACADDRESS") + MacRejected());
  EXPECT_EQ(walk.settings.macSet, 1u);
  EXPECT_EQ(walk.settings.mac, (std::array<uint8_t, 6>{0x12, 0x34, 0xCC, 0xDD, 0xEE, 0xFF}));

  const Walk quiet = ReadRegistry({{"MacAddress", "12:34"}, {"MacAddress", "bad"}});
  EXPECT_EQ(quiet.console, "");
  EXPECT_EQ(quiet.settings.macSet, 1u);
}

TEST(Registry, MacAddressEntryIsFollowedByExactlyTheNextEntry) {
  const Walk walk = ReadRegistry({{"Quiet", "0"},
                                  {"MacAddress", "00:11:22:33:44:55"},
                                  {"Buffers", "64"},
                                  {"MacAddress", "0"},
                                  {"Buffers", "65"},
                                  {"MacAddress", "00A0C9123456 tail"},
                                  {"Buffers", "66"},
                                  {"MacAddress", "66:77"}});
  EXPECT_EQ(walk.console, MacAccepted("00:11:22:33:44:55") +
                              "TORVELIN: NIC packet buffers set to 64 in registry.\n" +
                              MacRejected() +
                              "TORVELIN: NIC packet buffers set to 65 in registry.\n" +
                              MacAccepted("00:A0:C9:12:34:56") +
                              "TORVELIN: NIC packet buffers set to 66 in registry.\n" +
                              MacAccepted("66:77:C9:12:34:56"));
}

TEST(Registry, OnlyTheFirstThousandEntriesAreExamined) {
  Entries entries = {{"Quiet", "0"}};
  while (entries.size() < 999) entries.push_back({"TestDelay", "11"});
  entries.push_back({"Buffers", "99"});   // index 999: the last one examined
  entries.push_back({"Buffers", "100"});  // index 1000
  entries.push_back({"Unknown", "1"});    // index 1001
  const Walk walk = ReadRegistry(entries);
  EXPECT_EQ(walk.settings.buffers, 99u);
  EXPECT_EQ(walk.settings.testDelay, 11u);
  std::string expected;
  for (int i = 1; i < 999; ++i) expected += "TORVELIN: Test Delay set to 11 in registry.\n";
  expected += "TORVELIN: NIC packet buffers set to 99 in registry.\n";
  EXPECT_EQ(walk.console, expected);
  EXPECT_EQ(walk.outstandingBlocks, 0u);
}

TEST(Registry, LongTextsArriveCutAndStillTerminated) {
  const std::string longKey = "Buffers" + std::string(200, ' ') + "x";
  const std::string longValue = "00:11:22:33:44:55" + std::string(300, 'q');
  const Walk walk = ReadRegistry(
      {{"Quiet", "0"}, {longKey, "64"}, {"MacAddress", longValue}, {std::string(200, 'K'), "1"}});
  EXPECT_EQ(walk.console, "TORVELIN: NIC packet buffers set to 64 in registry.\n" +
                              MacAccepted("00:11:22:33:44:55") +
                              "TORVELIN: Unrecognized registry key '" + std::string(127, 'K') +
                              "' ignored.\n");
}

// Images whose heap is nearly exhausted before the walk, leaving less than the
// 384-byte work area; the second one is built with Quiet 0.
uint32_t StarvedImage(bool quiet) {
  StartupResetImage();
  HwResetImage();
  if (!quiet) Quiet = 0;
  void* hog = host::malloc(4096 - 256);
  NicReadRegistry();
  host::free(hog);
  return 0;
}
uint32_t StarvedQuietImage() { return StarvedImage(true); }
uint32_t StarvedLoudImage() { return StarvedImage(false); }

TEST(Registry, WithoutAWorkAreaNoEntryIsRead) {
  for (auto image : {&StarvedQuietImage, &StarvedLoudImage}) {
    sim::MachineOptions options =
        testing_support::OptionsWithRegistry({{"Quiet", "0"}, {"Buffers", "64"}});
    options.image = image;
    options.arena_bytes = 4096;
    sim::Machine machine(std::move(options));
    startup_support::BootAndWait(machine);
    EXPECT_EQ(machine.Console(),
              image == &StarvedQuietImage
                  ? ""
                  : "TORVELIN: Insufficient resources to read system registry.\n");
    EXPECT_EQ(Buffers, 32u);
    EXPECT_EQ(machine.arena().OutstandingBlocks(), 0u);
  }
}

}  // namespace
