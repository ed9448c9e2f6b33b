#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/text.h"
#include "platform/ui/frontend.h"

namespace plat::ui {

namespace {

// Buttons of each message-box type, in order.
std::vector<int> buttons(uint32_t style) {
  switch (style & 0xF) {
    case 0: return {IDOK};
    case 1: return {IDOK, IDCANCEL};
    case 2: return {IDABORT, IDRETRY, IDIGNORE};
    case 3: return {IDYES, IDNO, IDCANCEL};
    case 4: return {IDYES, IDNO};
    case 5: return {IDRETRY, IDCANCEL};
    default: return {IDOK};
  }
}

const char* buttonName(int id) {
  switch (id) {
    case IDOK: return "ok";
    case IDCANCEL: return "cancel";
    case IDABORT: return "abort";
    case IDRETRY: return "retry";
    case IDIGNORE: return "ignore";
    case IDYES: return "yes";
    case IDNO: return "no";
    default: return "?";
  }
}

int parseAnswer(std::string word) {
  while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) word.pop_back();
  size_t b = 0;
  while (b < word.size() && std::isspace(static_cast<unsigned char>(word[b]))) ++b;
  word = word.substr(b);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int id = IDOK; id <= IDNO; ++id) {
    if (word == buttonName(id)) return id;
  }
  if (!word.empty() && std::all_of(word.begin(), word.end(),
                                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    return std::atoi(word.c_str());
  }
  return -1;
}

class ScriptFrontEnd : public FrontEnd {
 public:
  ScriptFrontEnd(std::vector<std::string> answers, std::string logPath)
      : answers_(std::move(answers)), logPath_(std::move(logPath)) {}

  int messageBox(const MessageBoxRequest& r) override {
    std::lock_guard<std::mutex> g(lock_);
    int answer = defaultAnswer(r.style);
    if (next_ < answers_.size()) {
      int a = parseAnswer(answers_[next_++]);
      if (a > 0) answer = a;
    }
    log({{"type", "messagebox"},
         {"caption", toUtf8(r.caption)},
         {"text", toUtf8(r.text)},
         {"style", r.style},
         {"answer", answer}});
    return answer;
  }

 private:
  void log(const nlohmann::ordered_json& entry) {
    if (logPath_.empty()) return;
    std::ofstream f(logPath_, std::ios::app);
    f << entry.dump() << "\n";
  }
  std::mutex lock_;
  std::vector<std::string> answers_;
  size_t next_ = 0;
  std::string logPath_;
};

class TextFrontEnd : public FrontEnd {
 public:
  int messageBox(const MessageBoxRequest& r) override {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<int> choices = buttons(r.style);
    int answer = defaultAnswer(r.style);
    std::printf("[%s] %s\n", toUtf8(r.caption).c_str(), toUtf8(r.text).c_str());
    if (choices.size() > 1) {
      bool interactive = ::isatty(STDIN_FILENO);
      std::string prompt;
      for (int id : choices) {
        prompt += prompt.empty() ? "" : "/";
        prompt += id == answer ? std::string(1, static_cast<char>(std::toupper(buttonName(id)[0]))) +
                                     (buttonName(id) + 1)
                               : buttonName(id);
      }
      if (interactive) {
        for (;;) {
          std::printf("%s? ", prompt.c_str());
          std::fflush(stdout);
          std::string line;
          if (!std::getline(std::cin, line)) break;
          if (line.empty()) break;
          int a = -1;
          for (int id : choices) {
            if (std::tolower(static_cast<unsigned char>(line[0])) == buttonName(id)[0]) a = id;
          }
          if (a > 0) {
            answer = a;
            break;
          }
        }
      } else {
        std::printf("%s? %s (default)\n", prompt.c_str(), buttonName(answer));
      }
    }
    std::fflush(stdout);
    return answer;
  }

 private:
  std::mutex lock_;
};

std::unique_ptr<FrontEnd> active;
std::mutex activeLock;

}  // namespace

int defaultAnswer(uint32_t style) {
  std::vector<int> b = buttons(style);
  size_t index = (style >> 8) & 0xF;
  return index < b.size() ? b[index] : b[0];
}

bool answerFits(uint32_t style, int answer) {
  for (int id : buttons(style)) {
    if (id == answer) return true;
  }
  return false;
}

std::unique_ptr<FrontEnd> makeScriptFrontEnd(const std::string& scriptPath,
                                             const std::string& logPath, std::string* error) {
  std::vector<std::string> answers;
  if (!scriptPath.empty()) {
    std::ifstream f(scriptPath);
    if (!f) {
      *error = scriptPath + ": cannot read the UI script";
      return nullptr;
    }
    std::string line;
    while (std::getline(f, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      if (parseAnswer(line) <= 0) {
        *error = scriptPath + ": \"" + line + "\" is not an answer (yes, no, ok, cancel or a number)";
        return nullptr;
      }
      answers.push_back(line);
    }
  }
  if (!logPath.empty()) {
    std::ofstream f(logPath, std::ios::app);
    if (!f) {
      *error = logPath + ": cannot write the UI log";
      return nullptr;
    }
  }
  return std::make_unique<ScriptFrontEnd>(std::move(answers), logPath);
}

std::unique_ptr<FrontEnd> makeTextFrontEnd() { return std::make_unique<TextFrontEnd>(); }

void setFrontEnd(std::unique_ptr<FrontEnd> frontEnd) {
  std::lock_guard<std::mutex> g(activeLock);
  active = std::move(frontEnd);
}

FrontEnd* frontEnd() {
  std::lock_guard<std::mutex> g(activeLock);
  return active.get();
}

}  // namespace plat::ui

namespace plat {

int messageBox(Hwnd owner, const char16_t* text, const char16_t* caption, uint32_t style) {
  ui::FrontEnd* f = ui::frontEnd();
  ui::MessageBoxRequest r{owner, text ? text : u"", caption ? caption : u"Error", style};
  return f ? f->messageBox(r) : ui::defaultAnswer(style);
}

void initCommonControls() {}

}  // namespace plat
