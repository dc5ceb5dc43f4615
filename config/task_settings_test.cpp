#include "config/task_settings.h"

#include <gtest/gtest.h>

#include <sstream>

#include "testing/test_support.h"

namespace vandrisk {
namespace {

// Each group as a configuration file has it, what the task then gets, or the
// key and value it fails with.
TEST(TaskSettingsTest, ValuesAreReadOrRefusedByName) {
  const struct {
    const char* lines;
    const char* expected;  // "parallel passive retries tls tlsca" or "bad key=value"
  } kCases[] = {
      {"", "1 0 0 0 -"},
      {"parallel=8\npassive=1\nretries=3\ntls=1\ntlsca=C:\\ca.pem\n", "8 1 3 1 C:\\ca.pem"},
      {"parallel= 16 \r\nretries=10\n", "16 0 10 0 -"},
      {"parallel=08\n", "8 0 0 0 -"},
      {"parallel=1\nparallel=4\n", "4 0 0 0 -"},  // the last one counts, as for every key
      {"passive=0\ntls=0\nretries=0\n", "1 0 0 0 -"},
      {"parallel=abc\n", "bad parallel=abc"},
      {"parallel=0\n", "bad parallel=0"},
      {"parallel=17\n", "bad parallel=17"},
      {"parallel=1000\n", "bad parallel=1000"},
      {"parallel=-1\n", "bad parallel=-1"},
      {"parallel=\n", "bad parallel="},
      {"parallel=99999999999999999999\n", "bad parallel=99999999999999999999"},
      {"passive=yes\n", "bad passive=yes"},
      {"retries=11\n", "bad retries=11"},
      {"retries=2.5\n", "bad retries=2.5"},
      {"tls=2\n", "bad tls=2"},
      {"tlsca=\n", "bad tlsca="},
      {"Parallel=abc\nparallelx=1\n", "1 0 0 0 -"},  // keys are exact: these are unknown
      {"min_age=604800\n", "1 0 0 0 - min_age=604800"},
      {"min_age=0000060\n", "1 0 0 0 - min_age=60"},
      {"min_age=0\n", "1 0 0 0 -"},
      {"min_age=604801\n", "bad min_age=604801"},
      {"min_age=1h\n", "bad min_age=1h"},
      {"charset=auto\ncharset=utf-8\n", "1 0 0 0 - charset=2"},
      {"charset=raw\n", "1 0 0 0 -"},
      {"charset=UTF8\n", "bad charset=UTF8"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lines);
    test::ScratchDir dir;
    test::write_file(dir.os("t.cnf"), std::string("host=h\n") + c.lines + "tail=\n");
    TaskList tasks;
    std::ostringstream out;
    ASSERT_TRUE(load_tasks(dir.os("t.cnf").c_str(), tasks, out));
    ASSERT_EQ(tasks.size(), 1u);
    TransferSettings settings;
    BadSetting bad;
    std::ostringstream got;
    if (read_settings(tasks.first()->settings, settings, bad)) {
      got << settings.parallel << ' ' << settings.passive << ' ' << settings.retries << ' '
          << settings.tls << ' ' << (settings.tls_ca.empty() ? "-" : settings.tls_ca);
      if (settings.min_age) got << " min_age=" << settings.min_age;
      if (settings.charset != Charset::kRaw) got << " charset=" << static_cast<int>(settings.charset);
    } else {
      got << "bad " << bad.key << '=' << bad.value;
    }
    EXPECT_EQ(got.str(), c.expected);
  }
}

}  // namespace
}  // namespace vandrisk
