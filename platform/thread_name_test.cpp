#include "platform/thread_name.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <thread>

namespace parlevo {
namespace {

std::string NameOfThisThread() {
  char buf[64] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

TEST(ThreadName, AThreadNamesItselfWithinThePlatformsLimit) {
  EXPECT_EQ(PlatformThreadName("SMSReminder"), "SMSReminder");
  EXPECT_EQ(PlatformThreadName("RecurrenceHandler"), "RecurrenceHandl");
  EXPECT_EQ(PlatformThreadName(""), "");

  const std::string before = NameOfThisThread();
  std::string short_name;
  std::string long_name;
  std::thread([&] {
    SetCurrentThreadName("SMSReminder");
    short_name = NameOfThisThread();
    SetCurrentThreadName("A name far longer than fifteen");
    long_name = NameOfThisThread();
  }).join();
  EXPECT_EQ(short_name, "SMSReminder");
  EXPECT_EQ(long_name, "A name far long");
  EXPECT_EQ(NameOfThisThread(), before);  // only the calling thread is named
}

}  // namespace
}  // namespace parlevo
