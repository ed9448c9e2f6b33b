// The command line as a user drives it: the real program on a virtual module, message boxes
// through the script front-end, and the module's events and registry read back afterwards.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/fixtures/module_fixture.h"

using fixture::TempModule;
using nlohmann::json;

namespace {

struct ProgramRun {
  fixture::RunResult result;
  std::vector<json> boxes;   // message boxes shown
  std::vector<json> events;  // events.jsonl of the module
};

ProgramRun runProgram(const TempModule& m, const std::vector<std::string>& commandLine,
               const std::vector<std::string>& answers = {}) {
  const std::string log = (m.dir().parent_path() / "ui.log").string();
  const std::string script = (m.dir().parent_path() / "ui.script").string();
  std::remove(log.c_str());
  {
    std::ofstream f(script, std::ios::trunc);
    for (const auto& a : answers) f << a << "\n";
  }
  std::vector<std::string> args{"--module", m.dir().string(), "--ui", "script",
                                "--ui-script", script, "--ui-log", log, "--"};
  args.insert(args.end(), commandLine.begin(), commandLine.end());
  ProgramRun r;
  r.result = fixture::run("vazizodu", args);
  std::ifstream f(log);
  for (std::string line; std::getline(f, line);) r.boxes.push_back(json::parse(line));
  for (const std::string& line : m.eventLines()) r.events.push_back(json::parse(line));
  return r;
}

std::vector<std::string> eventNames(const ProgramRun& r) {
  std::vector<std::string> names;
  for (const json& e : r.events) names.push_back(e["event"].get<std::string>());
  return names;
}

json box(const char* caption, const char* text, int style, int answer) {
  return json{{"type", "messagebox"}, {"caption", caption}, {"text", text}, {"style", style},
              {"answer", answer}};
}

}  // namespace

TEST(RegistryCommands, SaveShowsItsMessageAndFlushes) {
  TempModule m;
  ProgramRun r = runProgram(m, {"/f"});
  EXPECT_EQ(r.result.exitCode, 1) << r.result.err;
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0], box("Registry", "Registry successfully saved", 0, 1));
  EXPECT_EQ(eventNames(r), std::vector<std::string>{"registry-flush"});
}

TEST(RegistryCommands, SilentSaveClearThenDelayedColdRestart) {
  TempModule m;
  ProgramRun r = runProgram(m, {"/fu", "/c", "/rc250"});
  EXPECT_EQ(r.result.exitCode, 1) << r.result.err;
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0], box("Registry", "Registry successfully cleared", 0, 1));
  ASSERT_EQ(eventNames(r), (std::vector<std::string>{"registry-flush", "registry-clear", "restart"}));
  EXPECT_EQ(r.events[2]["kind"], "cold");
  EXPECT_GE(r.events[2]["tick"].get<int64_t>() - r.events[1]["tick"].get<int64_t>(), 250);
}

TEST(RegistryCommands, FailuresShowTheirMessageAndEndTheRun) {
  TempModule m(sim::Cpu::PXA270, [](sim::Config& c) { c.services.clearRegistry = false; });
  ProgramRun r = runProgram(m, {"/c", "/f"});
  EXPECT_EQ(r.result.exitCode, 0);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0], box("Registry", "Registry clear FAILED!", 16, 1));
  EXPECT_TRUE(eventNames(r).empty()) << "the save after the failed clear must not run";

  ProgramRun silent = runProgram(m, {"/cu"});
  EXPECT_EQ(silent.result.exitCode, 0);
  EXPECT_TRUE(silent.boxes.empty());
}

TEST(RegistryCommands, FlushedRegistrySurvivesARestartAndAClearedOneIsForgotten) {
  TempModule m;
  // Write a value as a program on the module would, then flush and restart.
  {
    auto mod = m.open();
    ASSERT_TRUE(mod->registry().set(u"Drivers\\BuiltIn\\StrataFMD", u"Marker", {4, {1, 0, 0, 0}}));
  }
  EXPECT_EQ(runProgram(m, {"/fu", "/r"}).result.exitCode, 1);
  EXPECT_TRUE(m.open()->registry().query(u"drivers\\builtin\\stratafmd", u"marker"));
  EXPECT_EQ(runProgram(m, {"/cu", "/r"}).result.exitCode, 1);
  EXPECT_FALSE(m.open()->registry().query(u"Drivers\\BuiltIn\\StrataFMD", u"Marker"));
  EXPECT_TRUE(m.open()->registry().query(u"Drivers\\BuiltIn\\StrataFMD", u"MemBase"));
}

TEST(CommandLine, UnknownSwitchWarnsAndOnlyEarlierCommandsRun) {
  TempModule m;
  ProgramRun r = runProgram(m, {"/f", "/x", "/c"});
  EXPECT_EQ(r.result.exitCode, 1);
  EXPECT_EQ(r.result.err, "WARNING: Vazizodu.exe: Unknown Command parameter: x\n\r");
  EXPECT_EQ(eventNames(r), std::vector<std::string>{"registry-flush"});
}

TEST(CommandLine, TwentyOneSwitchesRunTwenty) {
  TempModule m;
  std::vector<std::string> line(20, "/f");
  line.push_back("/c");
  ProgramRun r = runProgram(m, line);
  EXPECT_EQ(r.result.exitCode, 1);
  EXPECT_EQ(r.boxes.size(), 20u);
  for (const json& b : r.boxes) EXPECT_EQ(b["text"], "Registry successfully saved");
}

TEST(CommandLine, RestartForms) {
  struct Case {
    const char* line;
    const char* kind;
  } cases[] = {{"/r", "warm"}, {"/rc", "cold"}, {"/rc0", "warm"}, {"/rcx", "warm"},
               {"/RC3", "cold"}};
  for (const Case& c : cases) {
    TempModule m;
    ProgramRun r = runProgram(m, {c.line, "/f"});
    EXPECT_EQ(r.result.exitCode, 1) << c.line;
    ASSERT_EQ(eventNames(r), std::vector<std::string>{"restart"}) << c.line;
    EXPECT_EQ(r.events[0]["kind"], c.kind) << c.line;
    EXPECT_TRUE(r.boxes.empty()) << c.line << ": nothing runs after a restart";
  }
}

TEST(CommandLine, RefusedRestartCountsAsSuccess) {
  TempModule m(sim::Cpu::PXA270, [](sim::Config& c) { c.restartCarriedOut = false; });
  ProgramRun r = runProgram(m, {"/r", "/fu"});
  EXPECT_EQ(r.result.exitCode, 1);
  EXPECT_EQ(eventNames(r), (std::vector<std::string>{"restart-refused", "registry-flush"}));
}

TEST(StartUp, OldPxa320HardwareIsRefused) {
  TempModule m(sim::Cpu::PXA320, [](sim::Config& c) { c.hwMinor = 1; });
  ProgramRun r = runProgram(m, {});
  EXPECT_EQ(r.result.exitCode, 0);
  ASSERT_EQ(r.boxes.size(), 1u);
  EXPECT_EQ(r.boxes[0], box("ERROR", "Module HW version not supported", 16, 1));
}

TEST(StartUp, UnreadableHardwareVersionSkipsTheCheck) {
  // Without the item the check cannot refuse; the flash layer (no NAND yet) then fails and
  // the main dialog takes over, which ends the run with 1.
  TempModule m(sim::Cpu::PXA320, [](sim::Config& c) {
    c.hwMinor = 1;
    c.services.readItem = false;
  });
  ProgramRun r = runProgram(m, {});
  EXPECT_EQ(r.result.exitCode, 1);
  EXPECT_TRUE(r.boxes.empty());
}

TEST(StartUp, FlashThatDoesNotStartStopsEveryCommand) {
  struct Case {
    sim::Cpu cpu;
    bool wrongMaker;
  } cases[] = {{sim::Cpu::PXA270, true}, {sim::Cpu::PXA300, false}, {sim::Cpu::PXA320, false}};
  for (const Case& c : cases) {
    TempModule m(c.cpu, [&](sim::Config& cfg) {
      if (c.wrongMaker) cfg.nor.faults.manufacturer = 0x0001;
    });
    ProgramRun r = runProgram(m, {"/r"});
    EXPECT_EQ(r.result.exitCode, 0) << sim::cpuName(c.cpu);
    ASSERT_EQ(r.boxes.size(), 1u) << sim::cpuName(c.cpu);
    EXPECT_EQ(r.boxes[0], box("ERROR", "Init VazizoduLib failed.", 16, 1));
    EXPECT_TRUE(eventNames(r).empty()) << "nothing may restart";

    ProgramRun silent = runProgram(m, {"/fu", "/r"});
    EXPECT_EQ(silent.result.exitCode, 0);
    EXPECT_TRUE(silent.boxes.empty());
    EXPECT_TRUE(eventNames(silent).empty());
  }
}

TEST(StartUp, EmptyCommandLineOrNoLeadingSlashRunsNoCommand) {
  TempModule m;
  for (const std::vector<std::string>& line :
       {std::vector<std::string>{}, {"f"}, {" /f"}, {"/x"}}) {
    ProgramRun r = runProgram(m, line);
    EXPECT_EQ(r.result.exitCode, 1);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_TRUE(eventNames(r).empty());
  }
}
