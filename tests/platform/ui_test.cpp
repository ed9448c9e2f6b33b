// Message boxes through the script front-end.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/host.h"
#include "platform/ui.h"
#include "tests/fixtures/module_fixture.h"

using fixture::TempModule;

TEST(ScriptFrontEnd, AnswersFromTheScriptThenDefaultButtons) {
  TempModule m;
  auto mod = m.open();
  const auto dir = m.dir().parent_path();
  std::ofstream(dir / "answers") << "no\nyes\n\n7\n";
  plat::HostOptions o{"script", (dir / "answers").string(), (dir / "log").string()};
  std::string error;
  ASSERT_TRUE(plat::attach(mod.get(), o, &error)) << error;

  EXPECT_EQ(plat::messageBox(0, u"Q1", u"C", 36), plat::IDNO);    // scripted
  EXPECT_EQ(plat::messageBox(0, u"Q2", u"C", 292), plat::IDYES);  // scripted
  EXPECT_EQ(plat::messageBox(0, u"Q3", u"C", 308), plat::IDNO);   // scripted by number
  // The script is used up: default buttons.
  EXPECT_EQ(plat::messageBox(0, u"Q4", u"C", 36), plat::IDYES);
  EXPECT_EQ(plat::messageBox(0, u"Q5", u"C", 292), plat::IDNO);
  EXPECT_EQ(plat::messageBox(0, u"Q6", u"C", 308), plat::IDNO);
  EXPECT_EQ(plat::messageBox(0, u"Fehler \u00e4\n2", u"ERROR", 16), plat::IDOK);
  plat::detach();

  std::ifstream f(dir / "log");
  std::vector<nlohmann::json> lines;
  std::string first;
  for (std::string l; std::getline(f, l);) {
    if (first.empty()) first = l;
    lines.push_back(nlohmann::json::parse(l));
  }
  EXPECT_EQ(first, R"({"type":"messagebox","caption":"C","text":"Q1","style":36,"answer":7})");
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[6], (nlohmann::json{{"type", "messagebox"}, {"caption", "ERROR"},
                                      {"text", "Fehler \u00e4\n2"}, {"style", 16}, {"answer", 1}}));
  EXPECT_EQ(lines[0]["answer"], 7);
}

TEST(ScriptFrontEnd, ABadScriptIsRefused) {
  TempModule m;
  auto mod = m.open();
  const auto dir = m.dir().parent_path();
  std::ofstream(dir / "answers") << "yes\nmaybe\n";
  std::string error;
  EXPECT_FALSE(plat::attach(mod.get(), {"script", (dir / "answers").string(), ""}, &error));
  EXPECT_NE(error.find("maybe"), std::string::npos);
  EXPECT_FALSE(plat::attach(mod.get(), {"script", (dir / "missing").string(), ""}, &error));
}
