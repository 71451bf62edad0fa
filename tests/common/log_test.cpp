// The library's messages: a LogScope's hook receives them on its thread,
// the default writes them to standard error as they stand.
#include "common/log.h"

#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using tarsk::LogLevel;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct Captured {
  std::vector<std::pair<int, std::string>> messages;

  static void call(void *user, int level, const char *message) {
    static_cast<Captured *>(user)->messages.emplace_back(level, message);
  }
  tarsk::LogHook hook() { return {call, this}; }
};

constexpr int error = static_cast<int>(LogLevel::error);
constexpr int info = static_cast<int>(LogLevel::info);

// A library call that refuses with one message and changes nothing.
const char *const refusal = "Output filter without a name or an operation: not registered\n";
void refuse() { EXPECT_EQ(dv_enc_register_output_filter(dv_enc_output_filter_t{}), -1); }

// Inside a scope the hook receives the message whole and stderr nothing; outside it the default
// writes the same text to stderr. Scopes nest, each giving the messages back to the one it
// interrupted; a hook without a function silences them.
TEST(Log, ScopesRouteMessagesAndTheDefaultPrintsThem) {
  Captured outer, inner;
  CaptureStderr();
  {
    tarsk::LogScope outer_scope(outer.hook());
    refuse();
    {
      tarsk::LogScope inner_scope(inner.hook());
      refuse();
      {
        tarsk::LogScope silence({nullptr, nullptr});
        refuse();
      }
    }
    refuse();
  }
  EXPECT_EQ(GetCapturedStderr(), "");
  const std::vector<std::pair<int, std::string>> one = {{error, refusal}}, two = {one[0], one[0]};
  EXPECT_EQ(outer.messages, two);
  EXPECT_EQ(inner.messages, one);

  CaptureStderr();
  refuse();
  EXPECT_EQ(GetCapturedStderr(), refusal);
  EXPECT_EQ(outer.messages.size(), 2u);
}

// A scope holds for its own thread only: another thread's messages go to the default, or to a
// scope of that thread.
TEST(Log, ScopesBelongToTheirThread) {
  Captured here, there;
  tarsk::LogScope scope(here.hook());
  CaptureStderr();
  std::thread([] { refuse(); }).join();
  EXPECT_EQ(GetCapturedStderr(), refusal);
  std::thread([&there] {
    tarsk::LogScope own(there.hook());
    refuse();
  }).join();
  EXPECT_TRUE(here.messages.empty());
  ASSERT_EQ(there.messages.size(), 1u);
  EXPECT_EQ(there.messages[0].second, refusal);
}

// Messages longer than a line come whole (a refused name pattern of 3000 characters), with
// their level; a printout of several lines comes line by line, at the level of information.
TEST(Log, LongMessagesAndLevelsArriveIntact) {
  Captured c;
  tarsk::LogScope scope(c.hook());
  dv_enc_input_filter_t *inputs;
  dv_enc_output_filter_t *outputs;
  int count;
  dv_enc_get_input_filters(&inputs, &count);
  dv_enc_get_output_filters(&outputs, &count);
  const std::string pattern(3000, 'p');
  EXPECT_EQ(dv_encoder_loop(&inputs[0], nullptr, &outputs[0], 0, 0, pattern.c_str(), nullptr, 3, 0,
                            0, 0, 0),
            -1);
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(c.messages[0],
            std::pair(error, "The file name pattern " + pattern +
                                 " needs exactly one conversion of the picture number (such as "
                                 "%04d) and no other\n"));
  c.messages.clear();
  dv_show_statistics();
  ASSERT_EQ(c.messages.size(), 17u);  // the heading, then a line for each of qno 0..15
  for (const auto &[level, text] : c.messages) EXPECT_EQ(level, info) << text;
  EXPECT_EQ(c.messages[1].second.rfind(" 0: ", 0), 0u);
  EXPECT_EQ(c.messages[16].second.rfind("15: ", 0), 0u);
}

}  // namespace
