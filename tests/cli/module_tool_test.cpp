// vazizodu-module, run as a separate program: create, write, dump, and its argument errors.
#include <gtest/gtest.h>

#include <ostream>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/config.h"
#include "tests/fixtures/module_fixture.h"

namespace {

namespace fs = std::filesystem;

const char* const TOOL = "vazizodu-module";

class ModuleToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/vz-tool-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    tmp_ = templ;
  }
  void TearDown() override { fs::remove_all(tmp_); }

  std::string path(const std::string& name) const { return (tmp_ / name).string(); }
  std::string writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(tmp_ / name, std::ios::binary) << bytes;
    return path(name);
  }
  std::string created(const std::string& name, const std::string& cpu) const {
    const fixture::RunResult r = fixture::run(TOOL, {"create", path(name), "--cpu", cpu});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return path(name);
  }

  fs::path tmp_;
};

TEST_F(ModuleToolTest, CreateWriteDumpRoundTrip) {
  const std::string dir = path("module");
  fixture::RunResult r =
      fixture::run(TOOL, {"create", dir, "--cpu", "pxa270", "--hw-version", "1.3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  sim::Config config;
  std::string error;
  ASSERT_TRUE(sim::loadConfig(fs::path(dir) / "module.toml", &config, &error)) << error;
  EXPECT_EQ(config.cpu, sim::Cpu::PXA270);
  EXPECT_EQ(config.hwMajor, 1);
  EXPECT_EQ(config.hwMinor, 3);

  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<char>(i * 13 + 1));
  bytes[7] = '\0';
  const std::string file = writeFile("image.raw", bytes);
  r = fixture::run(TOOL, {"write", dir, "0x40004", file});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  // 262144 = 0x40000: one erased word on each side of what was written.
  r = fixture::run(TOOL, {"dump", dir, "262144", "308"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(r.out.size(), 308u);
  EXPECT_EQ(r.out.substr(0, 4), std::string(4, '\xFF'));
  EXPECT_EQ(r.out.substr(4, 300), bytes);
  EXPECT_EQ(r.out.substr(304), std::string(4, '\xFF'));

  // The last bytes of the flash are reachable, and nothing beyond.
  r = fixture::run(TOOL, {"dump", dir, "0x1FFFFFC", "4"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, std::string(4, '\xFF'));
}

TEST_F(ModuleToolTest, HelpNamesTheCommands) {
  const fixture::RunResult r = fixture::run(TOOL, {"--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word : {"create", "dump", "write"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

struct BadCall {
  const char* name;
  std::vector<std::string> args;  // "@nor" = a PXA270 module, "@nand" = a PXA320 module,
                                  // "@file" = a 4-byte file, "@none" = a missing folder
  const char* mention;            // what the one line must name
};

void PrintTo(const BadCall& call, std::ostream* os) { *os << call.name; }

class ModuleToolErrorTest : public ModuleToolTest,
                            public ::testing::WithParamInterface<BadCall> {};

TEST_P(ModuleToolErrorTest, OneLineAndExitTwo) {
  const BadCall& call = GetParam();
  std::vector<std::string> args;
  for (const std::string& a : call.args) {
    if (a == "@nor") {
      args.push_back(created("nor", "pxa270"));
    } else if (a == "@nand") {
      args.push_back(created("nand", "pxa320"));
    } else if (a == "@file") {
      args.push_back(writeFile("four", "abcd"));
    } else if (a == "@none") {
      args.push_back(path("missing"));
    } else {
      args.push_back(a);
    }
  }
  const fixture::RunResult r = fixture::run(TOOL, args);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_EQ(r.out, "");
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(r.err.back(), '\n');
  EXPECT_NE(r.err.find(call.mention), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ModuleToolErrorTest,
    ::testing::Values(
        BadCall{"UnknownCpu", {"create", "@none", "--cpu", "pxa999"}, "pxa999"},
        BadCall{"BadHwVersion", {"create", "@none", "--cpu", "pxa320", "--hw-version", "1"},
                "--hw-version"},
        BadCall{"ModuleExists", {"create", "@nor", "--cpu", "pxa270"}, "module.toml"},
        BadCall{"MissingFolder", {"dump", "@none", "0", "4"}, "missing"},
        BadCall{"BadOffset", {"dump", "@nor", "0x", "4"}, "0x"},
        BadCall{"BadLength", {"dump", "@nor", "0", "12abc"}, "12abc"},
        BadCall{"TooLongNumber", {"dump", "@nor", "0x100000000", "4"}, "0x100000000"},
        BadCall{"DumpPastTheEnd", {"dump", "@nor", "0x1FFFFFF", "2"}, "end of the flash"},
        BadCall{"NoNorFlash", {"dump", "@nand", "0", "4"}, "no NOR flash"},
        BadCall{"MissingFile", {"write", "@nor", "0", "/nonexistent/image"},
                "/nonexistent/image"},
        BadCall{"WritePastTheEnd", {"write", "@nor", "0x1FFFFFE", "@file"}, "four"},
        BadCall{"NoCommand", {}, "create, dump or write"},
        BadCall{"UnknownCommand", {"erase", "@nor"}, "erase"},
        BadCall{"MissingArgument", {"dump", "@nor", "0"}, "LENGTH"}),
    [](const ::testing::TestParamInfo<BadCall>& p) { return std::string(p.param.name); });

}  // namespace
