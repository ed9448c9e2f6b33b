#pragma once
// events.jsonl: what the OS image and the hardware did, one JSON object per line.
#include <filesystem>
#include <nlohmann/json.hpp>

namespace sim {

class Clock;

class Events {
 public:
  void open(const std::filesystem::path& file, Clock* clock);
  // Appends the object with "time" (UTC, ISO 8601 with milliseconds) and "tick" (module ms).
  void record(nlohmann::ordered_json event);

 private:
  std::filesystem::path file_;
  Clock* clock_ = nullptr;
};

}  // namespace sim
