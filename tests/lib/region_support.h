#pragma once
// A PXA270 module with chosen NOR flash contents and the flash layer started, for the tests of
// the region catalogue and the image-recognition routines.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "flash/flash.h"
#include "lib/regions/regions.h"
#include "platform/text.h"
#include "sim/module.h"
#include "tests/fixtures/flash_images.h"
#include "tests/fixtures/module_fixture.h"

inline bool operator==(const FlashRegion& a, const FlashRegion& b) {
  return a.flags == b.flags && a.start == b.start && a.length == b.length && a.used == b.used;
}

inline void PrintTo(const FlashRegion& r, std::ostream* os) {
  *os << std::hex << "{flags 0x" << r.flags << ", start 0x" << r.start << ", length 0x"
      << r.length << ", used 0x" << r.used << "}" << std::dec;
}

namespace regiontest {

struct Piece {
  uint32_t offset;
  fixture::Bytes bytes;
};
using Pieces = std::vector<Piece>;
using Edit = std::function<void(sim::Config&)>;

class NorModule {
 public:
  explicit NorModule(const Pieces& pieces, const Edit& edit = {})
      : module_(sim::Cpu::PXA270, edit), mod_(module_.attach()) {
    for (const Piece& p : pieces) fixture::place(mod_.nor(), p.offset, p.bytes);
    EXPECT_EQ(initFlash(), FLASH_NOR);
  }
  sim::Module& mod() { return mod_; }

 private:
  fixture::TempModule module_;
  sim::Module& mod_;
};

// Index in RegionTable of the record of that kind; -1 when there is none.
inline int indexOf(uint32_t kind) {
  for (int i = 0; i < REGION_TABLE_SIZE && RegionTable[i].flags != 0; ++i) {
    if (RegionTable[i].flags & kind) return i;
  }
  return -1;
}

inline FlashRegion recordOf(uint32_t kind) {
  const int i = indexOf(kind);
  return i < 0 ? FlashRegion{0, 0, 0, 0} : RegionTable[i];
}

inline std::string name(uint32_t flags) {
  const char16_t* n = regionName(flags);
  return n == nullptr ? std::string("(none)") : plat::toUtf8(n);
}

inline fixture::Bytes word16(uint32_t value) {
  fixture::Bytes b(20, 0xFF);
  fixture::putWord(b, 16, value);
  return b;
}

}  // namespace regiontest
