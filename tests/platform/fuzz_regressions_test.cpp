// Inputs the fuzz targets found, kept as tests of what the code does with them now.
#include <unistd.h>

#include <vector>

#include "platform/event_loop.h"
#include "support/test_env.h"

namespace sentrel::test {
namespace {

class LoopDispatchTest : public CoreFixture {};

// http_response_fuzz (clang's UndefinedBehaviorSanitizer): the loop read the watcher id
// through a reference into the packed epoll_event, misaligned for every other event.
// Several descriptors ready in one round put ids at both alignments.
TEST_F(LoopDispatchTest, EveryDescriptorReadyInOneRoundIsDispatched) {
  std::vector<int> fds;
  std::vector<int> calls(5, 0);
  for (int i = 0; i < 5; ++i) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "x", 1), 1);
    fds.push_back(p[0]);
    fds.push_back(p[1]);
    loop_->Watch(p[0], EPOLLIN, [&calls, i](uint32_t events) {
      EXPECT_TRUE(events & EPOLLIN);
      ++calls[static_cast<size_t>(i)];
    });
  }
  loop_->Pump();
  EXPECT_EQ(calls, std::vector<int>(5, 1));
  for (size_t i = 0; i < fds.size(); i += 2) loop_->Unwatch(fds[i]);
  for (int fd : fds) close(fd);
}

}  // namespace
}  // namespace sentrel::test
