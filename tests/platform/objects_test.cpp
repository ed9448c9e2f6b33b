// Named objects shared by the processes of one module, threads and the module's clock.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/host.h"
#include "platform/kernel.h"
#include "platform/threads.h"
#include "platform/types.h"
#include "tests/fixtures/module_fixture.h"

using fixture::TempModule;

namespace {

// Runs body in a child process attached to the same module; answers the child's exit code.
template <class Body>
int inChild(const TempModule& m, Body body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    auto mod = m.open();
    std::string error;
    plat::attach(mod.get(), plat::HostOptions{"script", "", ""}, &error);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(NamedMutex, ExcludesAnotherProcessAndIsRecursiveForItsOwner) {
  TempModule m;
  m.attach();
  plat::Handle h = plat::createMutex(u"RoZoziduZazez", false);
  ASSERT_NE(h, 0u);
  ASSERT_EQ(plat::waitForSingleObject(h, plat::INFINITE), plat::WAIT_OBJECT_0);
  ASSERT_EQ(plat::waitForSingleObject(h, 0), plat::WAIT_OBJECT_0);  // recursive

  // While this process owns it, another process on the module cannot take it.
  EXPECT_EQ(inChild(m, [] {
              plat::Handle c = plat::createMutex(u"RoZoziduZazez", false);
              if (plat::getLastError() != plat::ERROR_ALREADY_EXISTS) return 10;
              return plat::waitForSingleObject(c, 50) == plat::WAIT_TIMEOUT ? 0 : 11;
            }),
            0);
  EXPECT_TRUE(plat::releaseMutex(h));
  EXPECT_EQ(inChild(m, [] {
              plat::Handle c = plat::createMutex(u"RoZoziduZazez", false);
              return plat::waitForSingleObject(c, 50) == plat::WAIT_TIMEOUT ? 0 : 11;
            }),
            0) << "released once, still owned once";
  EXPECT_TRUE(plat::releaseMutex(h));
  EXPECT_FALSE(plat::releaseMutex(h)) << "not the owner any more";
  EXPECT_EQ(inChild(m, [] {
              plat::Handle c = plat::createMutex(u"RoZoziduZazez", false);
              return plat::waitForSingleObject(c, 1000) == plat::WAIT_OBJECT_0 ? 0 : 12;
            }),
            0);
}

TEST(NamedMutex, OwnerThatEndsLeavesItAbandoned) {
  TempModule m;
  m.attach();
  EXPECT_EQ(inChild(m, [] {
              plat::Handle c = plat::createMutex(u"RoZoziduZazez", false);
              return plat::waitForSingleObject(c, plat::INFINITE) == plat::WAIT_OBJECT_0 ? 0 : 1;
            }),
            0);
  plat::Handle h = plat::createMutex(u"RoZoziduZazez", false);
  EXPECT_EQ(plat::waitForSingleObject(h, 1000), plat::WAIT_ABANDONED);
  // The caller owns it now, and it is consistent again.
  EXPECT_TRUE(plat::releaseMutex(h));
  EXPECT_EQ(plat::waitForSingleObject(h, 1000), plat::WAIT_OBJECT_0);
}

TEST(NamedObjects, ModulesDoNotShare) {
  TempModule a, b;
  a.attach();
  plat::Handle h = plat::createMutex(u"RoZoziduZazez", true);
  ASSERT_NE(h, 0u);
  // A process on another module sees nothing of it.
  EXPECT_EQ(inChild(b, [] {
              plat::Handle c = plat::createMutex(u"RoZoziduZazez", false);
              if (plat::getLastError() == plat::ERROR_ALREADY_EXISTS) return 1;
              return plat::waitForSingleObject(c, 0) == plat::WAIT_OBJECT_0 ? 0 : 2;
            }),
            0);
}

TEST(NamedObjects, SharedMemoryIsSeenByEveryProcessOfTheModule) {
  TempModule m;
  m.attach();
  plat::Handle h = plat::createFileMapping(u"NAND_FLASH_BBMT", 4096);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(plat::getLastError(), plat::ERROR_SUCCESS);
  auto* view = static_cast<uint32_t*>(plat::mapViewOfFile(h));
  ASSERT_NE(view, nullptr);
  view[10] = 0x12345678;
  EXPECT_EQ(inChild(m, [] {
              plat::Handle c = plat::createFileMapping(u"NAND_FLASH_BBMT", 4096);
              if (plat::getLastError() != plat::ERROR_ALREADY_EXISTS) return 1;
              auto* v = static_cast<uint32_t*>(plat::mapViewOfFile(c));
              if (v[10] != 0x12345678) return 2;
              v[11] = 0xCAFE;
              return 0;
            }),
            0);
  EXPECT_EQ(view[11], 0xCAFEu);
  EXPECT_TRUE(plat::closeHandle(h));
  EXPECT_EQ(view[10], 0x12345678u) << "the view outlives the mapping handle";
  EXPECT_TRUE(plat::unmapViewOfFile(view));
}

TEST(Threads, PrioritiesAreRecordedPerThread) {
  TempModule m;
  m.attach();
  EXPECT_EQ(plat::getThreadPriority(plat::currentThread()), 251);
  EXPECT_TRUE(plat::setThreadPriority(plat::currentThread(), 1));
  EXPECT_EQ(plat::getThreadPriority(plat::currentThread()), 1);
  EXPECT_FALSE(plat::setThreadPriority(plat::currentThread(), 300));

  static std::atomic<int> seen{-1};
  plat::Handle t = plat::createThread(
      [](void*) -> uint32_t {
        seen = plat::getThreadPriority(plat::currentThread());
        return 0;
      },
      nullptr, nullptr);
  ASSERT_NE(t, 0u);
  for (int i = 0; i < 2000 && seen < 0; ++i) ::usleep(1000);
  EXPECT_EQ(seen.load(), 251) << "a new thread starts at the default priority";
  EXPECT_TRUE(plat::setThreadPriority(t, 7));
  EXPECT_EQ(plat::getThreadPriority(t), 7);
  EXPECT_TRUE(plat::closeHandle(t));
}

TEST(Clock, VirtualTimeRunsTimeOutsAtOnce) {
  TempModule m(sim::Cpu::PXA270, [](sim::Config& c) { c.virtualClock = true; });
  m.attach();
  const uint32_t t0 = plat::getTickCount();
  plat::sleep(10000);
  EXPECT_GE(plat::getTickCount() - t0, 10000u);
  // A busy poll also sees time pass.
  const uint32_t t1 = plat::getTickCount();
  int polls = 0;
  while (plat::getTickCount() - t1 < 2000) ++polls;
  EXPECT_LE(polls, 2000);
}

TEST(NamedObjects, EndWithTheBoot) {
  TempModule m;
  // A process creates shared memory and the mutex, takes the mutex, and restarts the module.
  EXPECT_EQ(inChild(m, [] {
              plat::Handle s = plat::createFileMapping(u"NAND_FLASH_BBMT", 4096);
              static_cast<uint32_t*>(plat::mapViewOfFile(s))[0] = 0xB007;
              plat::Handle h = plat::createMutex(u"RoZoziduZazez", true);
              (void)h;
              uint32_t zero = 0;
              plat::kernelIoControl(0x0101003C, &zero, 4, nullptr, 0, nullptr);
              return 9;  // not reached: the restart ends the process with 1
            }),
            1);
  // The next boot has neither.
  m.attach();
  plat::Handle s = plat::createFileMapping(u"NAND_FLASH_BBMT", 4096);
  EXPECT_EQ(plat::getLastError(), plat::ERROR_SUCCESS);
  EXPECT_EQ(static_cast<uint32_t*>(plat::mapViewOfFile(s))[0], 0u);
  plat::Handle h = plat::createMutex(u"RoZoziduZazez", false);
  EXPECT_EQ(plat::getLastError(), plat::ERROR_SUCCESS);
  EXPECT_EQ(plat::waitForSingleObject(h, 0), plat::WAIT_OBJECT_0);
}
