#pragma once
// Front-ends of the windowing layer. The program talks to plat::messageBox and friends; a
// front-end shows the result to a person (terminal, desktop) or to a script (tests, automation).
// Front-ends hold no program logic: they get texts, bars and questions and answer buttons.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ui.h"

namespace plat::ui {

struct MessageBoxRequest {
  Hwnd owner;
  std::u16string text;
  std::u16string caption;
  uint32_t style;
};

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual int messageBox(const MessageBoxRequest& request) = 0;
};

// The button a message box of this style answers when nobody chooses (its default button).
int defaultAnswer(uint32_t style);
// Whether an answer is one of the style's buttons.
bool answerFits(uint32_t style, int answer);

// script: logs every request as a JSON line to logPath, takes answers from scriptPath
// (one per line: yes, no, ok, cancel or the number), else the default button.
std::unique_ptr<FrontEnd> makeScriptFrontEnd(const std::string& scriptPath,
                                             const std::string& logPath, std::string* error);
// text: a terminal; questions are asked when standard input is a terminal.
std::unique_ptr<FrontEnd> makeTextFrontEnd();

void setFrontEnd(std::unique_ptr<FrontEnd> frontEnd);
FrontEnd* frontEnd();  // the active front-end, or null

}  // namespace plat::ui
