#pragma once
// Wiring of the platform to a virtual module, for the host entry point, tools and tests.
// Program code never includes this.
#include <string>

#include "sim/module.h"

namespace plat {

struct HostOptions {
  std::string ui = "text";  // front-end: "text" or "script"
  std::string uiScript;     // script front-end: answers, one per line
  std::string uiLog;        // script front-end: JSON Lines log of what was shown
};

// Runs the platform on the module for the rest of the process (or until detach).
bool attach(sim::Module* module, const HostOptions& options, std::string* error);
void detach();

}  // namespace plat
