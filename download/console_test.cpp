#include "download/console.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace vandrisk {
namespace {

// On a terminal the progress line comes and goes on standard error; standard
// output only ever gets the tool's own lines.
TEST(ConsoleTest, ProgressLineIsRedrawnRarelyAndErasedBeforeEachLine) {
  std::ostringstream out, err;
  Console console(out, err, true);
  {
    Console::Meter meter(console, "/d/big.bin", 4000, 0);
    for (int i = 0; i < 40; ++i) {
      meter.add(100);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(err.str().find("/d/big.bin"), std::string::npos) << err.str();
    console.say("line\r\n");
  }
  EXPECT_EQ(out.str(), "line\r\n");
  const std::string shown = err.str();
  // 800 ms of transfer at a redraw every 250 ms at most.
  std::size_t draws = 0;
  for (std::size_t at = 0; (at = shown.find("/d/big.bin", at)) != std::string::npos; ++at) ++draws;
  EXPECT_GE(draws, 1u);
  EXPECT_LE(draws, 4u);
  // Erased for the line, so the screen ends clean: blanks over the last
  // line drawn, and back to its start.
  ASSERT_EQ(shown.back(), '\r');
  const std::size_t start = shown.rfind('\r', shown.size() - 2);
  const std::string erased = shown.substr(start + 1, shown.size() - start - 2);
  EXPECT_GT(erased.size(), 20u);
  EXPECT_EQ(erased.find_first_not_of(' '), std::string::npos) << shown;
}

TEST(ConsoleTest, NoProgressLineWhereStandardErrorIsNoTerminal) {
  std::ostringstream out, err;
  Console console(out, err, false);
  {
    Console::Meter meter(console, "/d/big.bin", 4000, 0);
    for (int i = 0; i < 20; ++i) {
      meter.add(100);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  console.say("line\r\n");
  EXPECT_EQ(out.str(), "line\r\n");
  EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace vandrisk
