#include "platform/kernel/registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

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
std::string ParseError(const std::string& text, const std::string& origin = "test.reg") {
  return ErrorOf([&] { sim::Registry::Parse(text, origin); });
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
  for (bool broken : {true, false}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        << "[TORVELIN]\r\n\"  spaced  \"=\"x\"\r\nBuffers=8\r\n"
        << (broken ? "broken line\r\n" : "");
    if (broken) {
      EXPECT_EQ(ErrorOf([&] { sim::Registry::Load(path); }), path + ":4: expected key=value");
      continue;
    }
    EXPECT_EQ(*sim::Registry::Load(path).Section("TORVELIN"),
              (Entries{{"  spaced  ", "x"}, {"Buffers", "8"}}));
  }
  std::remove(path.c_str());
  EXPECT_THROW(sim::Registry::Load(path), std::runtime_error);
}

TEST(Registry, EnumRegSectionCutsAt127Characters) {
  sim::MachineOptions options = SmallMachine();
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
