// The registry walk of section "TORVELIN", run on the driver's main thread of
// a simulated machine, observed through the console and the settings.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "startup/startup.h"
#include "support/driver.h"
#include "support/pc.h"

namespace {

using namespace tvtest;

using Entries = std::vector<std::pair<std::string, std::string>>;
using Bytes = std::array<uint8_t, 6>;

struct Walk {
  std::string console;
  size_t outstandingBlocks;
};

// Runs the walk alone; the settings stay in the driver's globals afterwards.
Walk ReadRegistry(const Entries& entries, bool withSection = true) {
  sim::MachineOptions options = withSection ? PlainOptions(entries) : sim::MachineOptions{};
  options.image = &RegistryOnlyImage;
  sim::Machine machine(std::move(options));
  BootAndWait(machine);
  EXPECT_EQ(machine.EntryResult(), 0u);
  return {machine.Console(), machine.arena().OutstandingBlocks()};
}

Bytes StoredMac() {
  Bytes bytes;
  for (int i = 0; i < 6; ++i) bytes[i] = RegistryMac[i];
  return bytes;
}

// The numeric keys: default, accepted range and the confirmation's wording
// (none for Quiet and HaDetect).
struct NumericKey {
  const char* name;
  uint32_t* setting;
  uint32_t byDefault, low, high;
  const char* confirms;
};
const NumericKey kKeys[] = {
    {"Buffers", &Buffers, 32, 2, 256, "NIC packet buffers"},
    {"ConfigDelay", &ConfigDelay, 500, 10, 500, "Controller Config Delay"},
    {"TestDelay", &TestDelay, 10, 10, 500, "Test Delay"},
    {"ResetDelay", &ResetDelay, 4, 10, 500, "Reset Delay"},  // default below the range
    {"WaitBoot", &WaitBoot, 1, 0, 1, "Wait for system boot"},
    {"UseEeprom", &UseEeprom, 1, 0, 1, "Use EEPROM"},
    {"Quiet", &Quiet, 1, 0, 1, nullptr},
    {"HaDetect", &HaDetect, 0, 0, 1, nullptr},
    {"NegotiateLink", &NegotiateLink, 0, 0, 1, "Link negotiation"},
};

std::string Confirmed(const char* what, uint32_t value) {
  return std::string("TORVELIN: ") + what + " set to " + std::to_string(value) + " in registry.\n";
}
std::string Refused(const std::string& spelled, uint32_t low, uint32_t high) {
  const std::string text = "TORVELIN: registry setting for " + spelled + " must be between " +
                           std::to_string(low) + " and " + std::to_string(high);
  return high == 256 ? text : text + ".\n";  // the Buffers text ends after 256
}
std::string MacAccepted(const std::string& address) {
  return "TORVELIN: MAC address set to " + address + " in system registry.\n";
}
std::string MacRefused(const std::string& key = "MacAddress") {
  return "TORVELIN: registry setting for " + key + " must be of the form 'xx:xx:xx:xx:xx:xx'.\n";
}

TEST(Registry, MissingOrEmptySectionKeepsEveryDefaultSilently) {
  for (bool withSection : {false, true}) {
    SCOPED_TRACE(withSection ? "empty section" : "no section");
    const Walk walk = ReadRegistry({}, withSection);
    EXPECT_EQ(walk.console, "");
    for (const NumericKey& key : kKeys) EXPECT_EQ(*key.setting, key.byDefault) << key.name;
    EXPECT_EQ(RegistryMacSet, 0u);
    EXPECT_EQ(StoredMac(), Bytes{});
    EXPECT_EQ(walk.outstandingBlocks, 0u) << "work area not released";
  }
}

TEST(Registry, EachNumericKeyTakesItsWholeRangeAndRefusesTheRest) {
  struct Case {
    std::string key, value;
    int64_t taken;  // -1: refused
  };
  // Values convert as atol converts them: digits up to the first other
  // character, leading blanks and a sign allowed, no digits at all is 0, and
  // beyond 32 bits the low 32 bits of the platform's 64-bit long.
  std::vector<Case> cases = {
      {"WaitBoot", "yes", 0},      {"Buffers", "abc", -1},       {"ConfigDelay", "250ms", 250},
      {"TestDelay", "  \t42", 42}, {"ResetDelay", "+100", 100},  {"NegotiateLink", "1.9", 1},
      {"UseEeprom", "-0", 0},      {"Buffers", "4294967298", 2},
  };
  for (const NumericKey& key : kKeys) {
    if (key.low > 0) cases.push_back({key.name, std::to_string(key.low - 1), -1});
    cases.push_back({key.name, std::to_string(key.low), key.low});
    cases.push_back({key.name, std::to_string(key.high), key.high});
    cases.push_back({key.name, std::to_string(key.high + 1), -1});
    cases.push_back({key.name, "-1", -1});  // a negative number is above every range
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + "=" + c.value);
    const NumericKey* key = nullptr;
    for (const NumericKey& k : kKeys) key = c.key == k.name ? &k : key;
    const Walk walk = ReadRegistry({{"Quiet", "0"}, {c.key, c.value}});
    if (c.taken >= 0) {
      EXPECT_EQ(walk.console, key->confirms ? Confirmed(key->confirms, c.taken) : "");
      EXPECT_EQ(*key->setting, c.taken);
    } else {
      EXPECT_EQ(walk.console, Refused(c.key, key->low, key->high));
      EXPECT_EQ(*key->setting, key->setting == &Quiet ? 0u : key->byDefault);
    }
  }
}

TEST(Registry, KeysAreTrimmedComparedWithoutCaseAndCutAt127Characters) {
  const Walk walk = ReadRegistry({
      {"Quiet", "0"},
      {"  buffers ", "64"},
      {"\t\r\nBUFFERS\f", "1"},
      {"Buf fers", "100"},
      {"", "1"},
      {"\vQuiet", "1"},        // VT is not a blank
      {"ConfigDelay=", "20"},  // only blanks end a key
      {"configdelay", " 20"},
      {std::string(200, 'K'), "1"},
      {"  Quiet  trailing", "1"},
      {"Buffers", "8"},  // silenced by the Quiet entry just before
  });
  EXPECT_EQ(walk.console, Confirmed("NIC packet buffers", 64) + Refused("BUFFERS", 2, 256) +
                              "TORVELIN: Unrecognized registry key 'Buf' ignored.\n"
                              "TORVELIN: Unrecognized registry key '' ignored.\n"
                              "TORVELIN: Unrecognized registry key '\vQuiet' ignored.\n"
                              "TORVELIN: Unrecognized registry key 'ConfigDelay=' ignored.\n" +
                              Confirmed("Controller Config Delay", 20) +
                              "TORVELIN: Unrecognized registry key '" + std::string(127, 'K') +
                              "' ignored.\n");
  EXPECT_EQ(Buffers, 8u);
  EXPECT_EQ(Quiet, 1u);
}

TEST(Registry, QuietGovernsOnlyTheEntriesAfterIt) {
  {
    SCOPED_TRACE("Quiet 0 last: the walk itself stays silent");
    const Walk walk = ReadRegistry({{"Buffers", "64"}, {"Bogus", "1"}, {"Quiet", "0"}});
    EXPECT_EQ(walk.console, "");
    EXPECT_EQ(Buffers, 64u);
  }
  {
    SCOPED_TRACE("a refused Quiet is reported only after an earlier Quiet 0");
    const Walk walk = ReadRegistry({{"Quiet", "5"},
                                    {"Buffers", "1"},
                                    {"Quiet", "0"},
                                    {"Quiet", "5"},
                                    {"Buffers", "3"},
                                    {"Quiet", "1"},
                                    {"Buffers", "1"},
                                    {"Bogus", "1"}});
    EXPECT_EQ(walk.console, Refused("Quiet", 0, 1) + Confirmed("NIC packet buffers", 3));
    EXPECT_EQ(Quiet, 1u);
  }
}

TEST(Registry, MacAddressFormsAcceptedAndRefused) {
  struct Case {
    const char* value;
    bool accepted;
    Bytes bytes;  // RegistryMac afterwards, from all zeros
  };
  const Case cases[] = {
      {"00:a0:C9:12:34:56", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"00A0c9123456", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"00a0:c912:3456", true, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
      {"12:34", true, {0x12, 0x34, 0, 0, 0, 0}},
      {"ab", true, {0xAB, 0, 0, 0, 0, 0}},
      {"00:11:22:33:44:55:66", true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {"00:11:22:33:44:55:", true, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},
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
      {"zz", false, {0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("value '") + c.value + "'");
    const Walk walk = ReadRegistry({{"Quiet", "0"}, {"MacAddress", c.value}});
    EXPECT_EQ(StoredMac(), c.bytes);
    EXPECT_EQ(RegistryMacSet, c.accepted ? 1u : 0u);
    char address[32];
    snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X", c.bytes[0], c.bytes[1],
             c.bytes[2], c.bytes[3], c.bytes[4], c.bytes[5]);
    EXPECT_EQ(walk.console, c.accepted ? MacAccepted(address) : MacRefused());
  }
}

// Each entry is parsed into the bytes the previous ones left: a refused value
// keeps what it parsed before its fault, and the flag an earlier one set.
TEST(Registry, MacAddressEntriesBuildOnEachOtherAndTheWalkGoesOn) {
  const Walk walk = ReadRegistry({{"Quiet", "0"},
                                  {"macaddress", "AA:BB:CC:DD:EE:FF"},
                                  {"Buffers", "64"},
                                  {"  MACADDRESS", "12:34:"},
                                  {"MacAddress", "zz"},
                                  {"MacAddress", "66 tail"}});
  EXPECT_EQ(walk.console, MacAccepted("AA:BB:CC:DD:EE:FF") + Confirmed("NIC packet buffers", 64) +
                              MacRefused("MACADDRESS") + MacRefused() +
                              MacAccepted("66:34:CC:DD:EE:FF"));
  EXPECT_EQ(RegistryMacSet, 1u);
  EXPECT_EQ(StoredMac(), (Bytes{0x66, 0x34, 0xCC, 0xDD, 0xEE, 0xFF}));

  const Walk quiet = ReadRegistry({{"MacAddress", "12:34"}, {"MacAddress", "bad"}});
  EXPECT_EQ(quiet.console, "");
  EXPECT_EQ(RegistryMacSet, 1u);
}

TEST(Registry, OnlyTheFirstThousandEntriesAreExamined) {
  Entries entries = {{"Quiet", "0"}};
  while (entries.size() < 999) entries.push_back({"TestDelay", "11"});
  entries.push_back({"Buffers", "99"});   // index 999: the last one examined
  entries.push_back({"Buffers", "100"});  // index 1000
  entries.push_back({"Unknown", "1"});
  const Walk walk = ReadRegistry(entries);
  EXPECT_EQ(Buffers, 99u);
  std::string expected;
  for (int i = 1; i < 999; ++i) expected += Confirmed("Test Delay", 11);
  EXPECT_EQ(walk.console, expected + Confirmed("NIC packet buffers", 99));
  EXPECT_EQ(walk.outstandingBlocks, 0u);
}

// A heap nearly exhausted before the walk leaves less than its 384-byte work
// area.
template <bool quiet>
uint32_t StarvedImage() {
  StartupResetImage();
  HwResetImage();
  if (!quiet) Quiet = 0;
  void* hog = host::malloc(4096 - 256);
  NicReadRegistry();
  host::free(hog);
  return 0;
}

TEST(Registry, WithoutAWorkAreaNoEntryIsRead) {
  for (bool quiet : {true, false}) {
    sim::MachineOptions options = PlainOptions({{"Quiet", "0"}, {"Buffers", "64"}});
    options.image = quiet ? &StarvedImage<true> : &StarvedImage<false>;
    options.arena_bytes = 4096;
    sim::Machine machine(std::move(options));
    BootAndWait(machine);
    EXPECT_EQ(machine.Console(),
              quiet ? "" : "TORVELIN: Insufficient resources to read system registry.\n");
    EXPECT_EQ(Buffers, 32u);
    EXPECT_EQ(machine.arena().OutstandingBlocks(), 0u);
  }
}

}  // namespace
