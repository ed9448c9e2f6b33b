// The host program's own options and errors.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "tests/fixtures/module_fixture.h"

using fixture::TempModule;

namespace {
int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }
}  // namespace

TEST(Host, BadModuleSettingsAreRefusedWithOneLine) {
  struct Case {
    const char* toml;
    const char* mentions;
  } cases[] = {
      {"[cpu\nproduct = \"pxa270\"\n", "line"},
      {"[cpu]\nproduct = \"pxa999\"\n", "cpu.product"},
      {"[cpu]\nspeed = 3\n", "cpu.speed"},
      {"[nor]\nchip_size = 3000000\n", "nor.chip_size"},
      {"[oem]\nhw_version = \"one\"\n", "oem.hw_version"},
  };
  for (const Case& c : cases) {
    TempModule m;
    std::ofstream(m.dir() / "module.toml", std::ios::trunc) << c.toml;
    auto r = fixture::run("vazizodu", {"--module", m.dir().string(), "--ui", "script", "/f"});
    EXPECT_EQ(r.exitCode, 2) << c.toml;
    EXPECT_EQ(lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find("module.toml"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
    EXPECT_TRUE(m.eventLines().empty()) << "nothing may run";
  }
}

TEST(Host, UnusableModuleFoldersAndOptions) {
  TempModule m;
  const std::string missing = (m.dir().parent_path() / "nowhere").string();
  struct Case {
    std::vector<std::string> args;
    const char* mentions;
  } cases[] = {
      {{"--module", missing, "/f"}, "nowhere"},
      {{"--frobnicate", "/f"}, "--frobnicate"},
      {{"--ui", "fancy", "/f"}, "fancy"},
      {{"--module"}, "--module"},
  };
  for (const Case& c : cases) {
    auto r = fixture::run("vazizodu", c.args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
  }
  if (::geteuid() != 0) {  // root may write anywhere
    std::filesystem::permissions(m.dir(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    auto r = fixture::run("vazizodu", {"--module", m.dir().string(), "/f"});
    EXPECT_EQ(r.exitCode, 2);
    std::filesystem::permissions(m.dir(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
  }
}

TEST(Host, VersionHelpAndRegionTable) {
  auto v = fixture::run("vazizodu", {"--version"});
  EXPECT_NE(v.out.find("3.9.0"), std::string::npos);
  auto h = fixture::run("vazizodu", {"--help"});
  EXPECT_NE(h.out.find("--ui-script"), std::string::npos);
  EXPECT_NE(h.out.find("/rc"), std::string::npos);

  TempModule m;  // erased flash: nothing located except config block and registry
  auto r = fixture::run("vazizodu", {"--module", m.dir().string(), "--regions"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  const std::regex row("0x[0-9a-f]{8} 0x[0-9a-f]{8} 0x[0-9a-f]{8} 0x[0-9a-f]{8} ?.*");
  std::istringstream in(r.out);
  int n = 0;
  for (std::string line; std::getline(in, line); ++n) {
    EXPECT_TRUE(std::regex_match(line, row)) << line;
  }
  EXPECT_EQ(n, 6);
  EXPECT_NE(r.out.find(" Config Block\n"), std::string::npos) << r.out;

  TempModule nand(sim::Cpu::PXA310);
  auto f = fixture::run("vazizodu", {"--module", nand.dir().string(), "--regions"});
  EXPECT_EQ(f.exitCode, 0);
  EXPECT_NE(f.err.find("13"), std::string::npos);
}
