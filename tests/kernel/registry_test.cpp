// The registry file's syntax, and entries as the driver enumerates them.
#include "platform/kernel/registry.h"

#include <cstdio>
#include <fstream>

#include "support/kernel.h"

namespace {

using namespace tvtest;

using Entries = std::vector<sim::Registry::Entry>;

std::string ErrorOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(Registry, ParseKeepsRawTextsAndUnquotes) {
  const auto registry = sim::Registry::Parse(
      "# settings\n[TORVELIN]\nQuiet=0\n  Buffers  = 32 \nMacAddress=00=A0\nEmpty=\n\n   \t\n"
      "[OTHER SECTION]\na=b\r\n[TORVELIN]\nLate=1\n"
      "[QUOTED]\n\" Quiet \"=\"  1\"\n\"a=b\" = \"#x\\ty\\\\z\\\"q\\x41\\x4a\"  \n\"\"=\"\"\n"
      "[EMPTY]\n");
  const std::pair<const char*, Entries> sections[] = {
      {"TORVELIN",
       {{"Quiet", "0"},
        {"  Buffers  ", " 32 "},
        {"MacAddress", "00=A0"},
        {"Empty", ""},
        {"Late", "1"}}},
      {"OTHER SECTION", {{"a", "b"}}},
      {"QUOTED", {{" Quiet ", "  1"}, {"a=b", "#x\ty\\z\"qAJ"}, {"", ""}}},
      {"EMPTY", {}},  // an empty section exists
  };
  for (const auto& [name, entries] : sections) {
    ASSERT_NE(registry.Section(name), nullptr) << name;
    EXPECT_EQ(*registry.Section(name), entries) << name;
  }
  EXPECT_EQ(registry.Section("torvelin"), nullptr) << "section names match exactly";
  EXPECT_EQ(registry.Section("MISSING"), nullptr);
}

TEST(Registry, ErrorsNameFileAndLine) {
  const std::pair<const char*, const char*> errors[] = {
      {"Quiet=1\n", "test.reg:1: entry before the first [SECTION]"},
      {"[S]\n# c\nno equals sign\n", "test.reg:3: expected key=value"},
      {"[S]\n=5\n", "test.reg:2: empty key"},
      {"[S\n", "test.reg:1: section header without closing ']'"},
      {"[S]\n\"open=1\n", "test.reg:2: unterminated quoted text"},
      {"[S]\n\"k\" \"v\"\n", "test.reg:2: expected '=' after the quoted key"},
      {"[S]\n\"k\"=v\n", "test.reg:2: expected a quoted value after '='"},
      {"[S]\n\"k\"=\"v\" x\n", "test.reg:2: unexpected text after the quoted value"},
      {"[S]\n\"k\\q\"=\"v\"\n", "test.reg:2: unknown escape \\q"},
      {"[S]\n\"k\\x\"=\"v\"\n", "test.reg:2: \\x needs hexadecimal digits"},
  };
  for (auto [text, error] : errors) {
    EXPECT_EQ(ErrorOf([&] { sim::Registry::Parse(text, "test.reg"); }), error);
  }

  // A file: read as written, its errors named by its path.
  const std::string path = ::testing::TempDir() + "kernel_registry_test.reg";
  std::ofstream(path, std::ios::binary) << "[TORVELIN]\r\n\"  spaced  \"=\"x\"\r\nBuffers=8\r\n";
  EXPECT_EQ(*sim::Registry::Load(path).Section("TORVELIN"),
            (Entries{{"  spaced  ", "x"}, {"Buffers", "8"}}));
  std::ofstream(path, std::ios::binary | std::ios::app) << "broken line\r\n";
  EXPECT_EQ(ErrorOf([&] { sim::Registry::Load(path); }), path + ":4: expected key=value");
  std::remove(path.c_str());
  EXPECT_THROW(sim::Registry::Load(path), std::runtime_error);
}

TEST(Registry, EnumRegSectionCutsAt127Characters) {
  sim::MachineOptions options = SmallMachine();
  const Entries entries = {{" Quiet ", " 0 "},
                           {std::string(200, 'k'), std::string(127, 'v')},
                           {"", std::string(128, 'w')}};
  for (const auto& [key, value] : entries) options.registry.Add("TORVELIN", key, value);
  sim::Machine machine(std::move(options));

  char key[128];
  char value[128];
  for (uint32_t i = 0; i < entries.size(); ++i) {
    ASSERT_EQ(KeEnumRegSection("TORVELIN", i, key, 128, value, 128), 0u);
    EXPECT_EQ(key, entries[i].first.substr(0, 127));
    EXPECT_EQ(value, entries[i].second.substr(0, 127));
  }
  // Smaller buffers cut at their own size.
  char small[4];
  ASSERT_EQ(KeEnumRegSection("TORVELIN", 1, small, 4, value, 128), 0u);
  EXPECT_STREQ(small, "kkk");

  EXPECT_NE(KeEnumRegSection("TORVELIN", 3, key, 128, value, 128), 0u) << "past the last entry";
  EXPECT_NE(KeEnumRegSection("MISSING", 0, key, 128, value, 128), 0u);
  EXPECT_NE(KeEnumRegSection("TORVELIN", 0, key, 0, value, 128), 0u);
}

}  // namespace
