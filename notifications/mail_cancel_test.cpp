#include "notifications/mail_cancel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/deadline.h"

namespace parlevo {
namespace {

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(MailCancel, WakesPollersAndBlockedSocketsAndStaysCancelled) {
  TMailCancel cancel;
  EXPECT_FALSE(cancel.Cancelled());
  EXPECT_FALSE(Readable(cancel.WakeFd()));

  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_TRUE(cancel.Watch(pair[0]));
  ssize_t got = -2;
  std::thread reader([&] {
    char c;
    got = ::recv(pair[0], &c, 1, 0);  // the peer never writes
  });
  cancel.Cancel();
  testing_support::JoinWithin(reader, "the blocked reader");
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(cancel.Cancelled());
  // Readable for every later poll, not only the first.
  EXPECT_TRUE(Readable(cancel.WakeFd()));
  EXPECT_TRUE(Readable(cancel.WakeFd()));

  // A socket made after the cancel is refused; the caller closes it.
  int late[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, late), 0);
  EXPECT_FALSE(cancel.Watch(late[0]));
  ::close(late[0]);
  ::close(late[1]);
  cancel.ForgetAndClose(pair[0]);
  ::close(pair[1]);
}

}  // namespace
}  // namespace parlevo
