#include "platform/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "tests/support/temp_device.h"

namespace {

using platform::FormatLogLines;
using platform::LogPriority;
using platform::StreamIsJournal;

TEST(LogTest, JournalLinesCarryTheirPriorityAndOthersStayAsTheyAre) {
  struct Case {
    const char* name;
    LogPriority priority;
    const char* text;
    const char* journal;
    const char* plain;
  } cases[] = {
      {"error", LogPriority::kError, "Server: Unable to add", "<3>Server: Unable to add\n",
       "Server: Unable to add\n"},
      {"warning", LogPriority::kWarning, "root was 0755", "<4>root was 0755\n", "root was 0755\n"},
      {"information", LogPriority::kInfo, "sound: Critical Stop\n", "<6>sound: Critical Stop\n",
       "sound: Critical Stop\n"},
      {"trace", LogPriority::kDebug, "Time is 00000010", "<7>Time is 00000010\n", "Time is 00000010\n"},
      // Every line is a record of its own, so each needs the prefix.
      {"lines", LogPriority::kError, "one\ntwo\n\nfour", "<3>one\n<3>two\n<3>\n<3>four\n",
       "one\ntwo\n\nfour\n"},
      {"empty", LogPriority::kError, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatLogLines(c.priority, c.text, true), c.journal);
    EXPECT_EQ(FormatLogLines(c.priority, c.text, false), c.plain);
  }
}

// The service manager names the stream it connected; a standard error
// redirected since (to a file, a terminal) is not the journal, whatever the
// variable says.
TEST(LogTest, OnlyTheStreamNamedByJournalStreamIsTheJournal) {
  hmtest::TempDir dir;
  const std::string path = dir.path() + "/stream";
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
  const std::string other_ino = std::to_string(st.st_ino + 1);

  struct Case {
    std::string value;
    bool journal;
  } cases[] = {
      {dev + ":" + ino, true},
      {dev + ":" + other_ino, false},
      {std::to_string(st.st_dev + 1) + ":" + ino, false},
      {"", false},
      {dev, false},
      {dev + ":", false},
      {":" + ino, false},
      {dev + ":" + ino + ":1", false},
      {dev + ":" + ino + " ", false},
      {"-" + dev + ":" + ino, false},
      {dev + ":99999999999999999999999", false},  // beyond 64 bits
      {"x:y", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(StreamIsJournal(fd, c.value.c_str()), c.journal);
  }
  EXPECT_FALSE(StreamIsJournal(fd, nullptr)) << "unset";
  EXPECT_FALSE(StreamIsJournal(-1, (dev + ":" + ino).c_str())) << "a closed descriptor";
  close(fd);
}

}  // namespace
