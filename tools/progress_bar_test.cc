#include "tools/progress_bar.h"

#include <cstdio>
#include <functional>
#include <string>

#include "gtest/gtest.h"

namespace {

using hmpeer::ProgressBar;
using hmpeer::RenderProgress;

// What `draw` writes to the stream it is given.
std::string Written(const std::function<void(std::FILE*)>& draw) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  draw(out);
  std::fclose(out);
  std::string written(text, size);
  free(text);
  return written;
}

TEST(ProgressBar, Lines) {
  struct Case {
    size_t done, total;
    const char* line;
  } cases[] = {
      {0, 10, "x [..........]   0%  0/10"},
      {5, 10, "x [#####.....]  50%  5/10"},
      {10, 10, "x [##########] 100%  10/10"},
      // The device grew while it was read: never past full.
      {12, 10, "x [##########] 100%  12/10"},
      {7, 0, "x 7 records"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RenderProgress("x", c.done, c.total, 10), c.line) << c.done << "/" << c.total;
  }
}

// What the bar writes: drawn over itself, a shorter line blanking the rest
// of a longer one, ended once with a newline; nothing at all when it never
// had anything to show.
TEST(ProgressBar, DrawsOverItselfAndEndsTheLineOnce) {
  const std::string written = Written([](std::FILE* out) {
    {
      ProgressBar bar(out, "db");
      bar.Update(5, 10);
      bar.Update(1000, 0);
      bar.Finish();
      bar.Update(9, 10);  // after the end: ignored
    }
    ProgressBar unused(out, "never drawn");
  });
  const std::string full = "\rdb [##########..........]  50%  5/10";
  const std::string count = "\rdb 1000 records" + std::string(full.size() - 16, ' ');
  EXPECT_EQ(written, full + count + count + "\n");
}

// A cleared bar leaves a blank line with the cursor at its start, for the
// next bar to be drawn in its place: nothing of a round's progress stays.
TEST(ProgressBar, ClearBlanksTheLineForTheNextBar) {
  const std::string written = Written([](std::FILE* out) {
    ProgressBar first(out, "class 24");
    first.Update(1, 2);
    first.Clear();
    first.Finish();  // after the clear: nothing more
    ProgressBar second(out, "class 25");
    second.Update(0, 0);
    second.Clear();
  });
  const std::string first = "\rclass 24 [##########..........]  50%  1/2";
  const std::string second = "\rclass 25 0 records";
  EXPECT_EQ(written, first + "\r" + std::string(first.size() - 1, ' ') + "\r" + second + "\r" +
                         std::string(second.size() - 1, ' ') + "\r");
}

}  // namespace
