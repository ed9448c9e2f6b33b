// NOR flash model: two x16 chips with the usual command set, each with its own state
// machine. Writes dispatch on the pending command (the write cycle) and then on the command
// value; reads dispatch on the chip's mode (array, status, identifier, query).
#include "sim/nor.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace sim {

namespace {

constexpr uint32_t PARAM_AREA = 0x40000;       // bus bytes of parameter blocks (bottom types)
constexpr uint32_t PARAM_BLOCK = 0x10000;      // bus bytes of a parameter block
constexpr uint32_t MAIN_BLOCK = 0x40000;       // bus bytes of a main block
constexpr uint32_t BUFFER_WORDS = 16;          // write buffer of a chip: 32 bytes
constexpr uint32_t MIN_CHIP_SIZE = 0x10000;
constexpr uint32_t MAX_CHIP_SIZE = 0x40000000;

constexpr uint16_t ERROR_BITS = 0x7F;
constexpr uint16_t SEQUENCE_ERROR = NorFlash::STATUS_ERASE_ERROR | NorFlash::STATUS_PROGRAM_ERROR;

// Device codes of the chip types with four parameter blocks at the bottom.
constexpr std::array<uint16_t, 6> BOTTOM_PARAMETER_CODES = {0x881A, 0x881B, 0x891C,
                                                            0x8820, 0x8821, 0x8922};

enum class Mode { Array, Status, Identifier, Query };
enum class Pending { None, EraseSetup, LockSetup, ProgramSetup, BufferCount, BufferData,
                     BufferConfirm };
// What a chip did with a write, for the counters, the power cut and the diagnostics.
enum class Action { None, Program, Erase, Unknown };

struct BufferedWord {
  uint32_t word;
  uint16_t data;
};

struct Chip {
  Mode mode = Mode::Array;
  Pending pending = Pending::None;
  uint16_t status = 0;   // error bits; the ready bit is derived from busy
  bool busy = false;     // a program or erase that never completes (fault)
  std::vector<bool> locked;
  // Buffered program in progress.
  uint32_t bufferAddress = 0;  // chip word address of the 0xE8 command
  uint32_t bufferLeft = 0;     // data words still expected
  uint32_t windowStart = 0;
  bool bufferBad = false;      // a data word fell outside the block or the buffer window
  std::array<BufferedWord, BUFFER_WORDS> buffer{};
  uint32_t buffered = 0;
};

uint16_t log2Of(uint32_t value) {
  uint16_t n = 0;
  while ((1u << n) < value) ++n;
  return n;
}

}  // namespace

struct NorFlash::State {
  NorConfig config;
  std::filesystem::path path;
  std::function<void(const char*)> powerCut;
  bool bottom = false;
  uint32_t busSize = 0;
  uint32_t blocks = 0;
  int fd = -1;
  uint8_t* data = nullptr;
  std::array<Chip, 2> chips;
  Counters counters;
  uint64_t programAndErase = 0;  // program and erase commands, for the power cut
  std::vector<uint16_t> query;   // CFI query table of one chip, by word address
  mutable std::mutex mutex;

  uint32_t blockSizeAt(uint32_t offset) const {
    return bottom && offset < PARAM_AREA ? PARAM_BLOCK : MAIN_BLOCK;
  }
  uint32_t blockStart(uint32_t offset) const { return offset & ~(blockSizeAt(offset) - 1); }
  uint32_t blockIndex(uint32_t offset) const {
    if (!bottom) return offset / MAIN_BLOCK;
    return offset < PARAM_AREA ? offset / PARAM_BLOCK : 3 + offset / MAIN_BLOCK;
  }
  bool faultHits(int64_t faultOffset, uint32_t block) const {
    return faultOffset >= 0 && faultOffset < int64_t{busSize} &&
           blockIndex(static_cast<uint32_t>(faultOffset)) == block;
  }

  uint16_t word(int chip, uint32_t w) const {
    uint16_t v;
    std::memcpy(&v, data + size_t{w} * 4 + size_t(chip) * 2, 2);
    return v;
  }
  void setWord(int chip, uint32_t w, uint16_t v) {
    std::memcpy(data + size_t{w} * 4 + size_t(chip) * 2, &v, 2);
  }

  void buildQuery() {
    const uint32_t chipSize = busSize / 2;
    const uint32_t chipMain = MAIN_BLOCK / 2;
    const uint32_t chipParam = PARAM_BLOCK / 2;
    query.assign(0x50, 0);
    auto put16 = [&](uint32_t at, uint32_t v) {
      query[at] = static_cast<uint16_t>(v & 0xFF);
      query[at + 1] = static_cast<uint16_t>((v >> 8) & 0xFF);
    };
    query[0x10] = 'Q';
    query[0x11] = 'R';
    query[0x12] = 'Y';
    put16(0x13, 0x0001);  // primary command set: the extended command set used here
    // Erase block regions: (blocks, bytes per block) of one chip, from the bottom up.
    std::vector<std::pair<uint32_t, uint32_t>> layout;
    uint32_t mainStart = 0;
    if (bottom) {
      const uint32_t params = std::min(4u, chipSize / chipParam);
      layout.emplace_back(params, chipParam);
      mainStart = params * chipParam;
    }
    if (chipSize > mainStart) {
      layout.emplace_back(std::max(1u, (chipSize - mainStart) / chipMain), chipMain);
    }
    const uint32_t regions = static_cast<uint32_t>(layout.size());
    const uint32_t extended = 0x31 + 4 * (regions - 1);
    put16(0x15, extended);
    query[0x1B] = 0x27;  // Vcc 2.7 V .. 3.6 V
    query[0x1C] = 0x36;
    query[0x1F] = 0x08;  // typical word program 256 us
    query[0x20] = 0x09;  // typical buffer program 512 us
    query[0x21] = 0x0A;  // typical block erase 1 s
    query[0x23] = 0x04;
    query[0x24] = 0x04;
    query[0x25] = 0x04;
    query[0x27] = log2Of(chipSize);
    put16(0x28, 0x0001);                    // x16 interface
    put16(0x2A, log2Of(BUFFER_WORDS * 2));  // write buffer bytes, as a power of two
    query[0x2C] = static_cast<uint16_t>(regions);
    for (uint32_t r = 0; r < regions; ++r) {
      put16(0x2D + 4 * r, layout[r].first - 1);
      put16(0x2F + 4 * r, layout[r].second / 256);
    }
    query[extended] = 'P';
    query[extended + 1] = 'R';
    query[extended + 2] = 'I';
    query[extended + 3] = '1';
    query[extended + 4] = '3';
  }

  uint16_t status(const Chip& chip) const {
    return static_cast<uint16_t>((chip.busy ? 0 : STATUS_READY) | chip.status);
  }

  uint16_t identifier(const Chip& chip, uint32_t w) const {
    const uint32_t offset = w * 4;
    const uint32_t relative = (offset - blockStart(offset)) / 4;
    switch (relative) {
      case 0: return static_cast<uint16_t>(config.faults.manufacturer);
      case 1: return static_cast<uint16_t>(config.deviceCode);
      case 2: return chip.locked[blockIndex(offset)] ? 1 : 0;
      default: return 0;
    }
  }

  uint16_t readChip(int c, uint32_t w) const {
    const Chip& chip = chips[size_t(c)];
    switch (chip.mode) {
      case Mode::Array: return word(c, w);
      case Mode::Status: return status(chip);
      case Mode::Identifier: return identifier(chip, w);
      case Mode::Query: return w < query.size() ? query[w] : 0;
    }
    return 0;
  }

  uint32_t readWord(uint32_t offset) const {
    const uint32_t w = offset / 4;
    if (chips[0].mode == Mode::Array && chips[1].mode == Mode::Array) {
      uint32_t v;
      std::memcpy(&v, data + size_t{w} * 4, 4);
      return v;
    }
    return uint32_t{readChip(0, w)} | uint32_t{readChip(1, w)} << 16;
  }

  void program(int c, Chip& chip, uint32_t w, uint16_t v) {
    const uint32_t block = blockIndex(w * 4);
    if (chip.locked[block]) {
      chip.status |= STATUS_PROGRAM_ERROR | STATUS_LOCKED_ERROR;
    } else if (faultHits(config.faults.programFailBlock, block)) {
      chip.status |= STATUS_PROGRAM_ERROR;
    } else {
      setWord(c, w, static_cast<uint16_t>(word(c, w) & v));
    }
  }

  void erase(int c, Chip& chip, uint32_t w) {
    const uint32_t offset = w * 4;
    const uint32_t block = blockIndex(offset);
    if (chip.locked[block]) {
      chip.status |= STATUS_ERASE_ERROR | STATUS_LOCKED_ERROR;
    } else if (faultHits(config.faults.eraseFailBlock, block)) {
      chip.status |= STATUS_ERASE_ERROR;
    } else {
      const uint32_t first = blockStart(offset) / 4;
      const uint32_t end = std::min(first + blockSizeAt(offset) / 4, busSize / 4);
      for (uint32_t i = first; i < end; ++i) setWord(c, i, 0xFFFF);
    }
  }

  void setLock(Chip& chip, uint32_t w, bool lock) {
    const uint32_t block = blockIndex(w * 4);
    if (!lock && faultHits(config.faults.lockedBlock, block)) return;
    chip.locked[block] = lock;
  }

  // The command set of one chip: one write cycle of value v at chip word w.
  Action write(int c, uint32_t w, uint16_t v) {
    Chip& chip = chips[size_t(c)];
    if (chip.busy) {  // a busy chip only takes read array, read status and clear status
      if (v == 0xFF) {
        chip.busy = false;
        chip.mode = Mode::Array;
        chip.pending = Pending::None;
      } else if (v == 0x70) {
        chip.mode = Mode::Status;
      } else if (v == 0x50) {
        chip.status = 0;
      }
      return Action::None;
    }
    const Pending pending = chip.pending;
    switch (pending) {
      case Pending::None:
        break;
      case Pending::EraseSetup:
        chip.pending = Pending::None;
        chip.mode = Mode::Status;
        if (v != 0xD0) {
          chip.status |= SEQUENCE_ERROR;
          return Action::None;
        }
        if (config.faults.neverReady) {
          chip.busy = true;
        } else {
          erase(c, chip, w);
        }
        return Action::Erase;
      case Pending::LockSetup:
        chip.pending = Pending::None;
        chip.mode = Mode::Status;
        if (v == 0xD0) {
          setLock(chip, w, false);
        } else if (v == 0x01) {
          setLock(chip, w, true);
        } else {
          chip.status |= SEQUENCE_ERROR;
        }
        return Action::None;
      case Pending::ProgramSetup:
        chip.pending = Pending::None;
        chip.mode = Mode::Status;
        if (config.faults.neverReady) {
          chip.busy = true;
        } else {
          program(c, chip, w, v);
        }
        return Action::Program;
      case Pending::BufferCount:
        if (v >= BUFFER_WORDS) {
          chip.pending = Pending::None;
          chip.status |= SEQUENCE_ERROR;
          return Action::None;
        }
        chip.bufferLeft = uint32_t{v} + 1;
        chip.buffered = 0;
        chip.bufferBad = false;
        chip.pending = Pending::BufferData;
        return Action::None;
      case Pending::BufferData: {
        if (chip.buffered == 0) chip.windowStart = w & ~(BUFFER_WORDS - 1);
        const bool sameBlock = blockIndex(w * 4) == blockIndex(chip.bufferAddress * 4);
        const bool inWindow = w >= chip.windowStart && w < chip.windowStart + BUFFER_WORDS;
        if (!sameBlock || !inWindow) chip.bufferBad = true;
        chip.buffer[chip.buffered++] = {w, v};
        if (--chip.bufferLeft == 0) chip.pending = Pending::BufferConfirm;
        return Action::None;
      }
      case Pending::BufferConfirm:
        chip.pending = Pending::None;
        if (v != 0xD0 || chip.bufferBad) {
          chip.status |= SEQUENCE_ERROR;
          return Action::None;
        }
        for (uint32_t i = 0; i < chip.buffered; ++i) {
          program(c, chip, chip.buffer[i].word, chip.buffer[i].data);
        }
        return Action::Program;
    }

    switch (v) {
      case 0xFF: chip.mode = Mode::Array; break;
      case 0x90: chip.mode = Mode::Identifier; break;
      case 0x98: chip.mode = Mode::Query; break;
      case 0x70: chip.mode = Mode::Status; break;
      case 0xB0:  // suspend and resume: operations finish at once, nothing to hold
      case 0xD0: chip.mode = Mode::Status; break;
      case 0x50: chip.status = 0; break;
      case 0x60: chip.pending = Pending::LockSetup; chip.mode = Mode::Status; break;
      case 0x20: chip.pending = Pending::EraseSetup; chip.mode = Mode::Status; break;
      case 0x40:
      case 0x10: chip.pending = Pending::ProgramSetup; chip.mode = Mode::Status; break;
      case 0xE8:
        chip.mode = Mode::Status;  // reads give the status: bit 7 = buffer available
        if (config.faults.neverReady) {
          chip.busy = true;
          break;
        }
        chip.bufferAddress = w;
        chip.pending = Pending::BufferCount;
        break;
      default:
        chip.mode = Mode::Array;
        return Action::Unknown;
    }
    return Action::None;
  }

  // One write access through the chips it reaches: counts what they did and reports
  // unknown commands. Answers what the power cut strikes, or null.
  const char* access(uint32_t offset, uint32_t value, bool chip0, bool chip1) {
    std::lock_guard<std::mutex> lock(mutex);
    if (data == nullptr || offset >= busSize) return nullptr;
    const uint32_t w = offset / 4;
    const uint16_t values[2] = {static_cast<uint16_t>(value), static_cast<uint16_t>(value >> 16)};
    Action actions[2] = {Action::None, Action::None};
    if (chip0) actions[0] = write(0, w, values[0]);
    if (chip1) actions[1] = write(1, w, values[1]);

    bool programmed = false, erased = false;
    for (int c = 0; c < 2; ++c) {
      if (actions[c] == Action::Program) programmed = true;
      if (actions[c] == Action::Erase) erased = true;
    }
    for (int c = 0; c < 2; ++c) {
      if (actions[c] == Action::Unknown) {
        std::fprintf(stderr, "nor: unknown command 0x%02X at 0x%08X\n", values[c], offset);
        break;
      }
    }
    if (programmed) ++counters.programs;
    if (erased) ++counters.erases;
    if (!programmed && !erased) return nullptr;
    ++programAndErase;
    if (config.faults.powerCutAfter == 0 || programAndErase != config.faults.powerCutAfter) {
      return nullptr;
    }
    return programmed ? "nor program" : "nor erase";
  }
};

NorFlash::NorFlash(const NorConfig& config, std::filesystem::path contents,
                   std::function<void(const char*)> powerCut)
    : s_(new State) {
  s_->config = config;
  s_->path = std::move(contents);
  s_->powerCut = std::move(powerCut);
  for (uint16_t code : BOTTOM_PARAMETER_CODES) {
    if ((config.deviceCode & 0xFFFF) == code) s_->bottom = true;
  }
}

NorFlash::~NorFlash() {
  if (s_->data != nullptr) munmap(s_->data, s_->busSize);
  if (s_->fd >= 0) ::close(s_->fd);
  delete s_;
}

bool NorFlash::open(std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    if (s_->fd >= 0) ::close(s_->fd);
    s_->fd = -1;
    return false;
  };
  const uint32_t chipSize = s_->config.chipSize;
  if (chipSize < MIN_CHIP_SIZE || chipSize > MAX_CHIP_SIZE || (chipSize & (chipSize - 1)) != 0) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s: NOR chip size 0x%X is not a power of two from 0x%X to 0x%X",
                  s_->path.c_str(), chipSize, MIN_CHIP_SIZE, MAX_CHIP_SIZE);
    return fail(text);
  }
  if (s_->data != nullptr) return true;
  const uint32_t busSize = 2 * chipSize;

  bool created = true;
  s_->fd = ::open(s_->path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (s_->fd < 0 && errno == EEXIST) {
    created = false;
    s_->fd = ::open(s_->path.c_str(), O_RDWR | O_CLOEXEC);
  }
  if (s_->fd < 0) return fail(s_->path.string() + ": cannot open: " + std::strerror(errno));
  if (created) {
    if (ftruncate(s_->fd, busSize) != 0) {
      const std::string reason = std::strerror(errno);
      ::unlink(s_->path.c_str());
      return fail(s_->path.string() + ": cannot create: " + reason);
    }
  } else {
    struct stat st {};
    if (fstat(s_->fd, &st) != 0) {
      return fail(s_->path.string() + ": cannot read: " + std::strerror(errno));
    }
    if (st.st_size != off_t{busSize}) {
      return fail(s_->path.string() + ": " + std::to_string(st.st_size) +
                  " bytes, but the NOR flash holds " + std::to_string(busSize));
    }
  }
  void* map = mmap(nullptr, busSize, PROT_READ | PROT_WRITE, MAP_SHARED, s_->fd, 0);
  if (map == MAP_FAILED) {
    const std::string reason = std::strerror(errno);
    if (created) ::unlink(s_->path.c_str());
    return fail(s_->path.string() + ": cannot map: " + reason);
  }
  s_->data = static_cast<uint8_t*>(map);
  if (created) std::memset(s_->data, 0xFF, busSize);

  s_->busSize = busSize;
  s_->blocks = s_->blockIndex(busSize - 1) + 1;
  for (Chip& chip : s_->chips) chip.locked.assign(s_->blocks, true);  // locked at power-on
  s_->buildQuery();
  return true;
}

uint32_t NorFlash::size() const { return s_->busSize; }

uint32_t NorFlash::read32(uint32_t offset) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  if (s_->data == nullptr || offset >= s_->busSize) return 0xFFFFFFFF;
  ++s_->counters.reads;
  return s_->readWord(offset & ~3u);
}

void NorFlash::write32(uint32_t offset, uint32_t value) {
  const char* cut = s_->access(offset, value, true, true);
  if (cut != nullptr && s_->powerCut) s_->powerCut(cut);
}

void NorFlash::write16(uint32_t offset, uint16_t value) {
  const bool high = (offset & 2) != 0;
  const char* cut = s_->access(offset, high ? uint32_t{value} << 16 : value, !high, high);
  if (cut != nullptr && s_->powerCut) s_->powerCut(cut);
}

void NorFlash::write8(uint32_t offset, uint8_t value) {
  const bool high = (offset & 2) != 0;
  const char* cut = s_->access(offset, high ? uint32_t{value} << 16 : value, !high, high);
  if (cut != nullptr && s_->powerCut) s_->powerCut(cut);
}

void NorFlash::readBlock(uint32_t offset, void* destination, size_t bytes) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  auto* out = static_cast<uint8_t*>(destination);
  if (s_->data == nullptr || offset >= s_->busSize || bytes > s_->busSize - offset) {
    std::memset(out, 0xFF, bytes);
    return;
  }
  ++s_->counters.reads;
  if (s_->chips[0].mode == Mode::Array && s_->chips[1].mode == Mode::Array) {
    std::memcpy(out, s_->data + offset, bytes);
    return;
  }
  while (bytes > 0) {
    const uint32_t aligned = offset & ~3u;
    const uint32_t skip = offset - aligned;
    const size_t n = std::min<size_t>(4 - skip, bytes);
    const uint32_t v = s_->readWord(aligned);
    uint8_t word[4];
    std::memcpy(word, &v, 4);
    std::memcpy(out, word + skip, n);
    out += n;
    offset += static_cast<uint32_t>(n);
    bytes -= n;
  }
}

bool NorFlash::rawRead(uint32_t offset, void* destination, size_t bytes) const {
  std::lock_guard<std::mutex> lock(s_->mutex);
  if (s_->data == nullptr || offset > s_->busSize || bytes > s_->busSize - offset) return false;
  if (bytes) std::memcpy(destination, s_->data + offset, bytes);
  return true;
}

bool NorFlash::rawWrite(uint32_t offset, const void* source, size_t bytes) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  if (s_->data == nullptr || offset > s_->busSize || bytes > s_->busSize - offset) return false;
  if (bytes) std::memcpy(s_->data + offset, source, bytes);
  return true;
}

NorFlash::Counters NorFlash::counters() const {
  std::lock_guard<std::mutex> lock(s_->mutex);
  return s_->counters;
}

NorFaults& NorFlash::faults() { return s_->config.faults; }

bool NorFlash::blockLocked(uint32_t offset) const {
  std::lock_guard<std::mutex> lock(s_->mutex);
  if (offset >= s_->busSize) return false;
  const uint32_t block = s_->blockIndex(offset);
  return s_->chips[0].locked[block] || s_->chips[1].locked[block];
}

void NorFlash::setBlockLocked(uint32_t offset, bool locked) {
  std::lock_guard<std::mutex> lock(s_->mutex);
  if (offset >= s_->busSize) return;
  const uint32_t block = s_->blockIndex(offset);
  for (Chip& chip : s_->chips) chip.locked[block] = locked;
}

uint32_t NorFlash::blockSizeAt(uint32_t offset) const { return s_->blockSizeAt(offset); }
uint32_t NorFlash::blockStart(uint32_t offset) const { return s_->blockStart(offset); }
bool NorFlash::bottomParameterBlocks() const { return s_->bottom; }

}  // namespace sim
