// GPIO blocks of the PXA270 and PXA3xx processors, and the OS timer.
//
// Register map (offsets from the GPIO block). Banks 0..2 are 32 pins each at word offsets
// 0, 4, 8 of each register group; bank 3 (pins 96..127) sits 0x100 above bank 0.
//   GPLR  0x000  level (read only)            both
//   GPDR  0x00C  direction, 1 = output        both
//   GPSR  0x018  set output (write only)      both
//   GPCR  0x024  clear output (write only)    both
//   GAFR  0x054  alternate function, 2 bits   PXA270 (eight words 0x54..0x70)
//   GSDR  0x400  set direction to output      PXA3xx (four words, one per bank)
//   GCDR  0x420  clear direction to input     PXA3xx
//   MFPR  0x10000 + offset                    PXA3xx, 32 bits each, reset 0
// Everything else reads 0 and ignores writes.
#include "sim/gpio.h"

#include <array>
#include <vector>

namespace sim {

namespace {

constexpr uint32_t GPLR = 0x000;
constexpr uint32_t GPDR = 0x00C;
constexpr uint32_t GPSR = 0x018;
constexpr uint32_t GPCR = 0x024;
constexpr uint32_t BANK3 = 0x100;
constexpr uint32_t GAFR = 0x054;
constexpr uint32_t GAFR_WORDS = 8;
constexpr uint32_t GSDR = 0x400;
constexpr uint32_t GCDR = 0x420;
constexpr uint32_t MFPR_AREA = 0x10000;
constexpr uint32_t MFPR_WORDS = 0x10000 / 4;
constexpr uint32_t OSCR0 = 0x10;

enum class Group { None, Level, Direction, Set, Clear };

// Which group and bank a bank register offset belongs to.
Group bankRegister(uint32_t offset, uint32_t* bank) {
  uint32_t base = offset;
  uint32_t b = 0;
  if (offset >= BANK3 && offset < BANK3 + 0x30) {
    base = offset - BANK3;
    b = 3;
    if (base % 0xC != 0) return Group::None;
  } else if (offset < 0x30) {
    b = (offset % 0xC) / 4;
    base = offset - 4 * b;
  } else {
    return Group::None;
  }
  *bank = b;
  switch (base) {
    case GPLR: return Group::Level;
    case GPDR: return Group::Direction;
    case GPSR: return Group::Set;
    case GPCR: return Group::Clear;
    default: return Group::None;
  }
}

}  // namespace

struct Gpio::State {
  bool pxa3xx = false;
  std::array<uint32_t, 4> valid{};    // pins that exist, per bank
  std::array<uint32_t, 4> output{};   // output latches
  std::array<uint32_t, 4> direction{};
  std::array<uint32_t, 4> input{};    // levels driven from outside
  std::array<uint32_t, GAFR_WORDS> gafr{};
  std::vector<uint32_t> mfpr = std::vector<uint32_t>(MFPR_WORDS, 0);
  std::function<void()> changed;

  uint32_t levels(uint32_t bank) const {
    return ((output[bank] & direction[bank]) | (input[bank] & ~direction[bank])) & valid[bank];
  }
};

Gpio::Gpio(Cpu cpu) : s_(new State) {
  s_->pxa3xx = cpuIsPxa3xx(cpu);
  s_->valid = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, s_->pxa3xx ? 0xFFFFFFFF : 0x01FFFFFF};
}

Gpio::~Gpio() { delete s_; }

uint32_t Gpio::read32(uint32_t offset) {
  offset &= ~3u;
  if (offset >= MFPR_AREA) {
    return s_->pxa3xx && offset - MFPR_AREA < MFPR_WORDS * 4 ? s_->mfpr[(offset - MFPR_AREA) / 4]
                                                              : 0;
  }
  uint32_t bank = 0;
  switch (bankRegister(offset, &bank)) {
    case Group::Level: return s_->levels(bank);
    case Group::Direction: return s_->direction[bank];
    case Group::Set:
    case Group::Clear: return 0;
    case Group::None: break;
  }
  if (!s_->pxa3xx && offset >= GAFR && offset < GAFR + 4 * GAFR_WORDS) {
    return s_->gafr[(offset - GAFR) / 4];
  }
  return 0;  // set, clear and direction set/clear registers are write-only
}

void Gpio::write32(uint32_t offset, uint32_t value) {
  offset &= ~3u;
  if (offset >= MFPR_AREA) {
    if (s_->pxa3xx && offset - MFPR_AREA < MFPR_WORDS * 4) {
      s_->mfpr[(offset - MFPR_AREA) / 4] = value;
    }
    return;
  }
  bool pins = true;
  uint32_t bank = 0;
  switch (bankRegister(offset, &bank)) {
    case Group::Direction: s_->direction[bank] = value & s_->valid[bank]; break;
    case Group::Set: s_->output[bank] |= value & s_->valid[bank]; break;
    case Group::Clear: s_->output[bank] &= ~value; break;
    case Group::Level: pins = false; break;  // read only
    case Group::None:
      pins = false;
      if (!s_->pxa3xx && offset >= GAFR && offset < GAFR + 4 * GAFR_WORDS) {
        uint32_t mask = 0xFFFFFFFF;
        if (offset == GAFR + 4 * 7) mask = 0x0003FFFF;  // pins 112..120
        s_->gafr[(offset - GAFR) / 4] = value & mask;
      } else if (s_->pxa3xx && offset >= GSDR && offset < GSDR + 16) {
        bank = (offset - GSDR) / 4;
        s_->direction[bank] |= value;
        pins = true;
      } else if (s_->pxa3xx && offset >= GCDR && offset < GCDR + 16) {
        bank = (offset - GCDR) / 4;
        s_->direction[bank] &= ~value;
        pins = true;
      }
      break;
  }
  if (pins && s_->changed) s_->changed();
}

bool Gpio::outputLevel(int g) const {
  if (g < 0 || g > 127) return false;
  return (s_->output[size_t(g / 32)] >> (g % 32) & 1) != 0;
}

bool Gpio::isOutput(int g) const {
  if (g < 0 || g > 127) return false;
  return (s_->direction[size_t(g / 32)] >> (g % 32) & 1) != 0;
}

void Gpio::setInputLevel(int g, bool level) {
  if (g < 0 || g > 127) return;
  const uint32_t bit = 1u << (g % 32);
  uint32_t& word = s_->input[size_t(g / 32)];
  word = level ? word | bit : word & ~bit;
}

bool Gpio::level(int g) const {
  if (g < 0 || g > 127) return false;
  return (s_->levels(uint32_t(g / 32)) >> (g % 32) & 1) != 0;
}

uint32_t Gpio::mfpr(uint32_t offset) const {
  return offset / 4 < MFPR_WORDS ? s_->mfpr[offset / 4] : 0;
}

uint32_t Gpio::alternateFunction(int pin) const {
  if (pin < 0 || pin > 120) return 0;
  return s_->gafr[size_t(pin / 16)] >> (2 * (pin % 16)) & 3;
}

void Gpio::onChange(std::function<void()> handler) { s_->changed = std::move(handler); }

uint32_t OsTimer::read32(uint32_t offset) {
  if ((offset & ~3u) != OSCR0) return 0;
  if (clock_->isVirtual()) clock_->advanceUs(1);  // so that wait loops on the counter end
  return static_cast<uint32_t>(clock_->nowUs() * 13 / 4);
}

void OsTimer::write32(uint32_t, uint32_t) {}

}  // namespace sim
