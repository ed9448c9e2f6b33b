#include "sim/events.h"

#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "sim/clock.h"

namespace sim {

void Events::open(const std::filesystem::path& file, Clock* clock) {
  file_ = file;
  clock_ = clock;
}

void Events::record(nlohmann::ordered_json event) {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  event["time"] = stamp;
  if (clock_) event["tick"] = clock_->nowUs() / 1000;
  std::string line = event.dump() + "\n";
  // One write per line on an O_APPEND descriptor: lines of several processes never mix.
  int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = ::write(fd, line.data(), line.size());
  (void)written;
  ::close(fd);
}

}  // namespace sim
