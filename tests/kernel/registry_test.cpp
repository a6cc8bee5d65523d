#include "platform/kernel/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "kernel_test_util.h"

namespace {

using Entries = std::vector<sim::Registry::Entry>;

std::string ParseError(const std::string& text, const std::string& origin = "test.reg") {
  try {
    sim::Registry::Parse(text, origin);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(Registry, ParseKeepsRawTexts) {
  const auto registry = sim::Registry::Parse(
      "# settings\n"
      "[TORVELIN]\n"
      "Quiet=0\n"
      "  Buffers  = 32 \n"
      "MacAddress=00=A0\n"
      "Empty=\n"
      "\n"
      "   \t\n"
      "[OTHER SECTION]\n"
      "a=b\r\n"
      "[TORVELIN]\n"
      "Late=1\n");
  const auto* section = registry.Section("TORVELIN");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(*section, (Entries{{"Quiet", "0"},
                               {"  Buffers  ", " 32 "},
                               {"MacAddress", "00=A0"},
                               {"Empty", ""},
                               {"Late", "1"}}));
  ASSERT_NE(registry.Section("OTHER SECTION"), nullptr);
  EXPECT_EQ(*registry.Section("OTHER SECTION"), (Entries{{"a", "b"}}));
  EXPECT_EQ(registry.Section("torvelin"), nullptr) << "section names match exactly";
  EXPECT_EQ(registry.Section("MISSING"), nullptr);
}

TEST(Registry, ParseQuotedForm) {
  const auto registry = sim::Registry::Parse(
      "[S]\n"
      "\" Quiet \"=\"  1\"\n"
      "\"a=b\" = \"#x\\ty\\\\z\\\"q\\x41\\x4a\"  \n"
      "\"\"=\"\"\n");
  ASSERT_NE(registry.Section("S"), nullptr);
  EXPECT_EQ(*registry.Section("S"),
            (Entries{{" Quiet ", "  1"}, {"a=b", "#x\ty\\z\"qAJ"}, {"", ""}}));

  // An empty section exists.
  const auto empty = sim::Registry::Parse("[EMPTY]\n");
  ASSERT_NE(empty.Section("EMPTY"), nullptr);
  EXPECT_TRUE(empty.Section("EMPTY")->empty());

  // Built in code.
  sim::Registry built;
  built.Add("S", "k1", "v1");
  built.Add("T", "k", "v");
  built.Add("S", "k2", "v2");
  EXPECT_EQ(*built.Section("S"), (Entries{{"k1", "v1"}, {"k2", "v2"}}));
}

TEST(Registry, ParseErrorsNameFileAndLine) {
  EXPECT_EQ(ParseError("Quiet=1\n"), "test.reg:1: entry before the first [SECTION]");
  EXPECT_EQ(ParseError("[S]\n# c\nno equals sign\n"), "test.reg:3: expected key=value");
  EXPECT_EQ(ParseError("[S]\n=5\n"), "test.reg:2: empty key");
  EXPECT_EQ(ParseError("[S\n"), "test.reg:1: section header without closing ']'");
  EXPECT_EQ(ParseError("[S]\n\"open=1\n"), "test.reg:2: unterminated quoted text");
  EXPECT_EQ(ParseError("[S]\n\"k\" \"v\"\n"), "test.reg:2: expected '=' after the quoted key");
  EXPECT_EQ(ParseError("[S]\n\"k\"=v\n"), "test.reg:2: expected a quoted value after '='");
  EXPECT_EQ(ParseError("[S]\n\"k\"=\"v\" x\n"),
            "test.reg:2: unexpected text after the quoted value");
  EXPECT_EQ(ParseError("[S]\n\"k\\q\"=\"v\"\n", "<cli>"), "<cli>:2: unknown escape \\q");
  EXPECT_EQ(ParseError("[S]\n\"k\\x\"=\"v\"\n"), "test.reg:2: \\x needs hexadecimal digits");
}

TEST(Registry, LoadReadsFilesAndReportsThem) {
  const std::string path = ::testing::TempDir() + "kernel_registry_test.reg";
  {
    std::ofstream file(path, std::ios::binary);
    file << "[TORVELIN]\r\n\"  spaced  \"=\"x\"\r\nBuffers=8\r\nbroken line\r\n";
  }
  try {
    sim::Registry::Load(path);
    ADD_FAILURE() << "the broken line was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), path + ":4: expected key=value");
  }
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << "[TORVELIN]\r\n\"  spaced  \"=\"x\"\r\nBuffers=8\r\n";
  }
  const auto registry = sim::Registry::Load(path);
  EXPECT_EQ(*registry.Section("TORVELIN"), (Entries{{"  spaced  ", "x"}, {"Buffers", "8"}}));
  std::remove(path.c_str());
  EXPECT_THROW(sim::Registry::Load(path), std::runtime_error);
}

TEST(Registry, EnumRegSectionCutsAt127Characters) {
  sim::MachineOptions options = kernel_test::SmallMachine();
  const std::string long_key(200, 'k');
  const std::string value127(127, 'v');
  options.registry.Add("TORVELIN", " Quiet ", " 0 ");
  options.registry.Add("TORVELIN", long_key, value127);
  options.registry.Add("TORVELIN", "", std::string(128, 'w'));
  sim::Machine machine(std::move(options));

  char key[128];
  char value[128];
  ASSERT_EQ(KeEnumRegSection("TORVELIN", 0, key, 128, value, 128), 0u);
  EXPECT_STREQ(key, " Quiet ");
  EXPECT_STREQ(value, " 0 ");
  ASSERT_EQ(KeEnumRegSection("TORVELIN", 1, key, 128, value, 128), 0u);
  EXPECT_EQ(std::string(key), std::string(127, 'k'));
  EXPECT_EQ(std::string(value), value127);
  ASSERT_EQ(KeEnumRegSection("TORVELIN", 2, key, 128, value, 128), 0u);
  EXPECT_STREQ(key, "");
  EXPECT_EQ(std::string(value), std::string(127, 'w'));

  // Smaller buffers cut at their own size.
  char small[4];
  ASSERT_EQ(KeEnumRegSection("TORVELIN", 1, small, 4, value, 128), 0u);
  EXPECT_STREQ(small, "kkk");

  EXPECT_NE(KeEnumRegSection("TORVELIN", 3, key, 128, value, 128), 0u) << "past the last entry";
  EXPECT_NE(KeEnumRegSection("MISSING", 0, key, 128, value, 128), 0u);
  EXPECT_NE(KeEnumRegSection("TORVELIN", 0, key, 0, value, 128), 0u);
}

}  // namespace
