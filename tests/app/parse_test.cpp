// The command-line grammar, in-process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/entry.h"

namespace {

struct Expected {
  uint8_t kind;
  std::u16string argument;  // update and backup
  int32_t silent;
  uint32_t delay;           // reset
};

std::vector<Expected> parse(std::u16string line) {
  line.push_back(u'\0');
  parseCommandLine(line.data());
  std::vector<Expected> out;
  for (int i = 0; i < commandCount; ++i) {
    const ToolCommand& c = commandTable[i];
    Expected e{c.kind, {}, c.silent, 0};
    if (c.kind == COMMAND_RESET) e.delay = commandRestartDelay(c);
    if (c.kind == COMMAND_UPDATE || c.kind == COMMAND_BACKUP) e.argument = c.argument;
    out.push_back(e);
  }
  return out;
}

bool operator==(const Expected& a, const Expected& b) {
  return a.kind == b.kind && a.argument == b.argument && a.silent == b.silent && a.delay == b.delay;
}

}  // namespace

TEST(ParseCommandLine, Grammar) {
  constexpr uint8_t U = COMMAND_UPDATE, F = COMMAND_SAVE_REGISTRY, C = COMMAND_CLEAR_REGISTRY,
                    R = COMMAND_RESET, B = COMMAND_BACKUP;
  struct Case {
    std::u16string line;
    std::vector<Expected> commands;
  } cases[] = {
      {u"/u \\USB HD\\Images\\nk.bin /fu /rc5000",
       {{U, u"\\usb hd\\images\\nk.bin", 1, 0}, {F, u"", 1, 0}, {R, u"", 0, 5000}}},
      {u"", {}},
      {u"f /c", {}},
      {u" /f", {}},
      {u"/U \\Temp\\A.BIN", {{U, u"\\temp\\a.bin", 1, 0}}},
      {u"/ufile.bin", {{U, u"ile.bin", 1, 0}}},
      {u"/u/fu", {{U, u"fu", 1, 0}}},
      {u"/u  \\a.bin   /f", {{U, u" \\a.bin", 1, 0}, {F, u"", 0, 0}}},
      {u"/u", {{U, u"", 1, 0}}},
      {u"/u ", {{U, u"", 1, 0}}},
      {u"/b \\backup.bin", {{B, u"\\backup.bin", 1, 0}}},
      {u"/fu", {{F, u"", 1, 0}}},
      {u"/f u", {{F, u"", 0, 0}}},
      {u"/cu/c", {{C, u"", 1, 0}, {C, u"", 0, 0}}},
      {u"/f/c", {{F, u"", 0, 0}, {C, u"", 0, 0}}},
      {u"/r", {{R, u"", 0, 0}}},
      {u"/rc", {{R, u"", 0, 1}}},
      {u"/rc250", {{R, u"", 0, 250}}},
      {u"/rc0", {{R, u"", 0, 0}}},
      {u"/rcx", {{R, u"", 0, 0}}},
      {u"/rc /f", {{R, u"", 0, 1}, {F, u"", 0, 0}}},
      {u"/rc-20", {{R, u"", 0, 1}}},
      {u"/f stray text /c", {{F, u"", 0, 0}, {C, u"", 0, 0}}},
      {u"/f /x /c", {{F, u"", 0, 0}}},
      {u"/f /", {{F, u"", 0, 0}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse(c.line), c.commands) << std::string(c.line.begin(), c.line.end());
  }
}

TEST(ParseCommandLine, TwentyCommandsAtMost) {
  std::u16string line;
  for (int i = 0; i < 25; ++i) line += u"/c ";
  EXPECT_EQ(parse(line).size(), 20u);
}

TEST(ParseCommandLine, LongPathIsCutToTheField) {
  std::u16string path(1000, u'a');
  auto commands = parse(u"/u \\" + path + u" /f");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].argument.size(), 259u);
  EXPECT_EQ(commands[0].argument, u"\\" + std::u16string(258, u'a'));
  EXPECT_EQ(commands[1].kind, COMMAND_SAVE_REGISTRY);
}
