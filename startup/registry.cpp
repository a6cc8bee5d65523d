// Registry settings: the walk over section "TORVELIN", the numeric keys and
// the MacAddress parser.
#include "startup/startup.h"

// Settings. Written only by NicReadRegistry on the main thread before any
// other driver thread exists; constants read without a lock afterwards. Their
// defaults are in NumericKeys below: StartupResetImage puts them in place
// (RegistryResetSettings) before the image does anything else.
uint32_t Buffers = 0;
uint32_t ConfigDelay = 0;
uint32_t TestDelay = 0;
uint32_t ResetDelay = 0;
uint32_t WaitBoot = 0;
uint32_t UseEeprom = 0;
uint32_t Quiet = 0;
uint32_t HaDetect = 0;
uint32_t NegotiateLink = 0;
uint32_t RegistryMacSet = 0;
uint8_t RegistryMac[6] = {0, 0, 0, 0, 0, 0};

namespace {

constexpr const char* RegistrySection = "TORVELIN";
constexpr uint32_t RegistryTextSize = 128;
constexpr uint32_t RegistryWorkAreaSize = 3 * RegistryTextSize;
constexpr uint32_t RegistryEntryLimit = 1000;
constexpr uint32_t MacAddressBytes = 6;

// One numeric key: its default, its accepted range (both ends included), the
// setting it feeds and its two messages. A null confirmation prints nothing.
struct NumericKey {
  const char* Name;
  uint32_t Default;
  uint32_t Minimum;
  uint32_t Maximum;
  uint32_t* Setting;
  const char* Accepted;  // %lu: the converted number
  const char* Rejected;  // %s: the key as spelled in the registry
};

constexpr const char* Between10And500 =
    "TORVELIN: registry setting for %s must be between 10 and 500.\n";
constexpr const char* Between0And1 = "TORVELIN: registry setting for %s must be between 0 and 1.\n";

// In the order keys are compared; MacAddress, the last name, is not numeric.
const NumericKey NumericKeys[] = {
    {"Buffers", 32, 2, 256, &Buffers, "TORVELIN: NIC packet buffers set to %lu in registry.\n",
     // Ends after 256: no full stop, no line end.
     "TORVELIN: registry setting for %s must be between 2 and 256"},
    {"ConfigDelay", 500, 10, 500, &ConfigDelay,
     "TORVELIN: Controller Config Delay set to %lu in registry.\n", Between10And500},
    {"TestDelay", 10, 10, 500, &TestDelay, "TORVELIN: Test Delay set to %lu in registry.\n",
     Between10And500},
    // The default is below the lowest value an entry may give: the built-in 4
    // stays unless an entry sets 10 to 500.
    {"ResetDelay", 4, 10, 500, &ResetDelay, "TORVELIN: Reset Delay set to %lu in registry.\n",
     Between10And500},
    {"WaitBoot", 1, 0, 1, &WaitBoot, "TORVELIN: Wait for system boot set to %lu in registry.\n",
     Between0And1},
    {"UseEeprom", 1, 0, 1, &UseEeprom, "TORVELIN: Use EEPROM set to %lu in registry.\n",
     Between0And1},
    // 1 until an entry says otherwise, so the start-up banner only shows on an
    // image built with 0 here.
    {"Quiet", 1, 0, 1, &Quiet, nullptr, Between0And1},
    {"HaDetect", 0, 0, 1, &HaDetect, nullptr, Between0And1},
    {"NegotiateLink", 0, 0, 1, &NegotiateLink,
     "TORVELIN: Link negotiation set to %lu in registry.\n", Between0And1},
};
constexpr const char* MacAddressKey = "MacAddress";

// Space, TAB, LF, FF and CR. VT is deliberately not one.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// The value of a hexadecimal digit, or -1.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Trims the working copy of the key in place: leading blanks skipped, the key
// ends at the next blank (overwritten with a zero byte) or the end.
char* TrimKey(char* copy) {
  char* key = copy;
  while (IsBlank(*key)) ++key;
  char* end = key;
  while (*end != '\0' && !IsBlank(*end)) ++end;
  *end = '\0';
  return key;
}

void ReadNumericKey(const NumericKey& entry, const char* key, const char* value) {
  // atol's conversion: a negative value becomes a number above every upper
  // bound, text without leading digits becomes 0.
  const uint32_t number = static_cast<uint32_t>(host::atol(value));
  if (number >= entry.Minimum && number <= entry.Maximum) {
    if (entry.Accepted != nullptr && !Quiet) {
      host::printf(entry.Accepted, static_cast<unsigned long>(number));
    }
    // Confirmed first, then stored: a Quiet entry therefore only governs the
    // entries after it.
    *entry.Setting = number;
  } else if (!Quiet) {
    host::printf(entry.Rejected, key);
  }
}

// Two hexadecimal digits per byte, ':' optional between bytes and the only
// separator, one to six bytes. Each byte is stored as soon as it is parsed,
// so a rejected value leaves the bytes before the fault in RegistryMac.
bool ParseMacAddress(const char* text) {
  const char* c = text;
  uint32_t count = 0;
  for (;;) {
    if (*c == '\0') return false;
    const int high = HexValue(c[0]);
    if (high < 0) return false;
    const int low = HexValue(c[1]);  // c[1] is at most the terminating zero
    if (low < 0) return false;
    RegistryMac[count] = static_cast<uint8_t>(high * 16 + low);
    c += 2;
    if (*c == ':') {
      ++c;
    } else if (*c == '\0' || IsBlank(*c)) {
      return true;
    }
    // Any other character starts the next byte as it is.
    if (++count == MacAddressBytes) return true;  // whatever follows
  }
}

void ReadMacAddress(const char* key, const char* value) {
  if (ParseMacAddress(value)) {
    RegistryMacSet = 1;
    if (!Quiet) host::printf("TORVELIN: MAC address set to ");
    if (!Quiet) host::printf("%02X:%02X:", RegistryMac[0], RegistryMac[1]);
    if (!Quiet) host::printf("%02X:%02X:", RegistryMac[2], RegistryMac[3]);
    if (!Quiet) host::printf("%02X:%02X", RegistryMac[4], RegistryMac[5]);
    if (!Quiet) host::printf(" in system registry.\n");
  } else {
    if (!Quiet) host::printf("TORVELIN: registry setting for %s ", key);
    if (!Quiet) host::printf("must be of the form 'xx:xx:xx:xx:xx:xx'.\n");
  }
}

void ReadEntry(const char* key, const char* value) {
  for (const NumericKey& entry : NumericKeys) {
    if (host::strcmpi(key, entry.Name) == 0) {
      ReadNumericKey(entry, key, value);
      return;
    }
  }
  if (host::strcmpi(key, MacAddressKey) == 0) {
    ReadMacAddress(key, value);
    return;
  }
  if (!Quiet) host::printf("TORVELIN: Unrecognized registry key '%s' ignored.\n", key);
}

}  // namespace

void RegistryResetSettings() {
  for (const NumericKey& entry : NumericKeys) *entry.Setting = entry.Default;
  RegistryMacSet = 0;
  for (uint8_t& byte : RegistryMac) byte = 0;
}

void NicReadRegistry() {
  // One block for the walk: the key as delivered, the value as delivered and
  // the working copy of the key that trimming cuts up.
  char* area = static_cast<char*>(MacAllocateMemory(RegistryWorkAreaSize));
  if (area == nullptr) {
    if (!Quiet) host::printf("TORVELIN: Insufficient resources to read system registry.\n");
    return;
  }
  char* keyText = area;
  char* valueText = area + RegistryTextSize;
  char* keyCopy = area + 2 * RegistryTextSize;

  // Every index is examined exactly once, in order, up to the limit or the
  // first index the kernel has no entry for.
  for (uint32_t index = 0; index < RegistryEntryLimit; ++index) {
    if (KeEnumRegSection(RegistrySection, index, keyText, RegistryTextSize, valueText,
                         RegistryTextSize) != 0) {
      break;
    }
    host::strcpy(keyCopy, keyText);
    ReadEntry(TrimKey(keyCopy), valueText);
  }

  MacDeallocateMemory(area);
}
