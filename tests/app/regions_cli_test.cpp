// Region detection end to end: flash contents put in with the factory programmer tool, the
// region table read with the program's --regions diagnostic.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/fixtures/flash_images.h"
#include "tests/fixtures/module_fixture.h"

using fixture::Bytes;
using fixture::TempModule;

namespace {

void program(const TempModule& m, uint32_t offset, const Bytes& data) {
  const auto file = m.dir().parent_path() / "image.bin";
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  char at[16];
  std::snprintf(at, sizeof at, "0x%x", offset);
  auto r = fixture::run("vazizodu-module", {"write", m.dir().string(), at, file.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
}

}  // namespace

TEST(RegionsFromFlash, ProductionLikeNorFlash) {
  TempModule m(sim::Cpu::PXA270, [](sim::Config& c) { c.layout.secondBootloaderStart = 0x1F00000; });

  fixture::BootloaderSpec boot;
  boot.image.markWord = 2;  // a first-stage bootloader
  program(m, 0, fixture::bootloader(boot));
  program(m, 0x40000, fixture::configBlock(0x1000));
  fixture::RomImageSpec os;
  os.size = 0x100002;
  program(m, 0x80000, fixture::romImage(os));
  program(m, 0x80000 + 0x100004, fixture::trailerBlock(0x20));
  program(m, 0x1400000 + 0x40000, fixture::registryCopy(0x300));  // second copy only
  program(m, 0x1F00000, fixture::compressedImage(0x1000));

  auto r = fixture::run("vazizodu", {"--module", m.dir().string(), "--regions"});
  ASSERT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.out,
            "0x02000001 0x00000000 0x00040000 0x0001c000 First Bootloader\n"
            "0x00000002 0x00040000 0x00040000 0x00001000 Config Block\n"
            "0x00000004 0x00080000 0x01380000 0x00100034 OS Image\n"
            "0x00000008 0x01400000 0x00080000 0x00000308 Registry\n"
            "0x01000010 0x01480000 0x00b80000 0x00000000 File System\n"  // MemLen of the driver
            "0x00000020 0x01f00000 0x00100000 0x00001014 Second Bootloader\n");
}

TEST(RegionsFromFlash, ErasedFlashAndPlainBootloader) {
  TempModule m;
  fixture::BootloaderSpec boot;  // word 16 is not 2: a plain bootloader
  program(m, 0, fixture::bootloader(boot));
  auto r = fixture::run("vazizodu", {"--module", m.dir().string(), "--regions"});
  ASSERT_EQ(r.exitCode, 1) << r.err;
  // Nothing else located: the second bootloader sorts behind the bootloader and reaches up to
  // the config block; the OS image (not located) reaches up to the registry.
  EXPECT_EQ(r.out,
            "0x00000001 0x00000000 0x00040000 0x0001c000 Bootloader\n"
            "0x01000020 0x00000000 0x00040000 0x00000000 Second Bootloader\n"
            "0x00000002 0x00040000 0x00040000 0x00000000 Config Block\n"
            "0x01000004 0x00080000 0x01380000 0x00000000 OS Image\n"
            "0x00000008 0x01400000 0x00080000 0x00000000 Registry\n"
            "0x01000010 0x01480000 0x00b80000 0x00000000 File System\n");
}
