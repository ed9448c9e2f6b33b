// The OS image's OEM services as the virtual module serves them.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/module.h"
#include "tests/fixtures/module_fixture.h"

using fixture::TempModule;

TEST(OemServices, ItemsComeFromTheSettingsAndWrittenItemsStay) {
  TempModule m(sim::Cpu::PXA320, [](sim::Config& c) {
    c.hwMajor = 2;
    c.hwMinor = 7;
    c.layout.osImageStart = 0x100000;
  });
  auto mod = m.open();
  uint32_t request[3] = {8, 0, 8};
  uint8_t item[24] = {};
  uint32_t n = 0;
  ASSERT_TRUE(mod->oem().ioControl(sim::IOCTL_OEM_READ_ITEM, request, 12, item, 8, &n));
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(item[0] | item[1] << 8, 2);
  EXPECT_EQ(item[2] | item[3] << 8, 7);

  request[0] = 5;
  request[2] = 24;
  ASSERT_TRUE(mod->oem().ioControl(sim::IOCTL_OEM_READ_ITEM, request, 12, item, 24, &n));
  uint32_t word0;
  std::memcpy(&word0, item, 4);
  EXPECT_EQ(word0, 0x100000u);
  EXPECT_FALSE(mod->oem().ioControl(sim::IOCTL_OEM_READ_ITEM, request, 12, item, 8, &n))
      << "a buffer too small for the item";
  request[0] = 3;
  EXPECT_FALSE(mod->oem().ioControl(sim::IOCTL_OEM_READ_ITEM, request, 12, item, 24, &n));

  // An item written back is what later reads (also of later processes) get.
  uint8_t newItem[8] = {1, 0, 3, 0, 0, 0, 0, 0};
  request[0] = 8;
  request[2] = 8;
  ASSERT_TRUE(mod->oem().ioControl(sim::IOCTL_OEM_WRITE_ITEM, request, 12, newItem, 8, nullptr));
  auto again = m.open();
  request[2] = 8;
  ASSERT_TRUE(again->oem().ioControl(sim::IOCTL_OEM_READ_ITEM, request, 12, item, 8, &n));
  EXPECT_EQ(std::memcmp(item, newItem, 8), 0);
  ASSERT_FALSE(m.eventLines().empty());
  EXPECT_NE(m.eventLines().back().find("\"item\":8"), std::string::npos);
}

TEST(OemServices, ServicesSwitchedOffFailAndWriteNothing) {
  TempModule m(sim::Cpu::PXA270, [](sim::Config& c) {
    c.services = sim::OemServices{false, false, false, false, false, false};
  });
  auto mod = m.open();
  uint32_t request[5] = {0, 0, 0, 0, 0};
  uint8_t out[24];
  std::memset(out, 0xAA, sizeof out);
  uint32_t n = 0;
  for (uint32_t code : {sim::IOCTL_HAL_REBOOT, sim::IOCTL_OEM_CLEAR_REGISTRY,
                        sim::IOCTL_OEM_IMAGE_VERSION, sim::IOCTL_OEM_READ_ITEM,
                        sim::IOCTL_OEM_WRITE_ITEM, sim::IOCTL_OEM_KERNEL}) {
    EXPECT_FALSE(mod->oem().ioControl(code, request, 12, out, 24, &n)) << std::hex << code;
  }
  EXPECT_EQ(n, 0u);
  for (uint8_t b : out) EXPECT_EQ(b, 0xAA);
  EXPECT_TRUE(m.eventLines().empty());
}

TEST(OemServices, RunningImageVersionAndKernelInformation) {
  TempModule m(sim::Cpu::PXA270, [](sim::Config& c) {
    c.imageVersion[0] = 1;
    c.imageVersion[1] = 4;
    c.imageVersion[2] = 0x00030002;
  });
  auto mod = m.open();
  uint32_t version[3] = {};
  // The caller gives the record with an output size of 0.
  EXPECT_TRUE(mod->oem().ioControl(sim::IOCTL_OEM_IMAGE_VERSION, nullptr, 0, version, 0, nullptr));
  EXPECT_EQ(version[1], 4u);
  EXPECT_EQ(version[2], 0x00030002u);

  uint32_t info = 2;
  uint8_t block[200] = {};
  uint32_t n = 0;
  EXPECT_TRUE(mod->oem().ioControl(sim::IOCTL_OEM_KERNEL, &info, 4, block, 200, &n));
  EXPECT_EQ(n, 200u);
}
