// A progress bar on a terminal, for hmpeer's long readings:
//
//   class 24 slow [##########..........]  50%   5000/10000
//
// drawn over itself with a carriage return, at most every kRedrawInterval
// (and whenever the percentage moves), and ended with a newline.
//
// Threads: one thread at a time.
#ifndef HOLLOWMARCH_TOOLS_PROGRESS_BAR_H_
#define HOLLOWMARCH_TOOLS_PROGRESS_BAR_H_

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace hmpeer {

// The line for `done` of `total` records (total 0: not known, shown as a
// count alone), with a bar `width` characters wide. Pure.
std::string RenderProgress(std::string_view label, size_t done, size_t total, int width = 20);

class ProgressBar {
 public:
  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  // Draws on `out`, which must outlive the bar. Nothing is drawn until the
  // first Update.
  ProgressBar(std::FILE* out, std::string label);
  // Finishes the line.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Update(size_t done, size_t total);
  // Draws the last state and ends the line (once; later calls do nothing).
  void Finish();
  // Blanks the line drawn and leaves the cursor at its start, so that the
  // next bar is drawn in its place (once, as Finish).
  void Clear();

 private:
  void Draw();

  std::FILE* out_;
  std::string label_;
  size_t done_ = 0;
  size_t total_ = 0;
  bool drawn_ = false;
  bool finished_ = false;
  int percent_ = -1;
  size_t width_ = 0;  // of the longest line drawn, to blank a shorter one
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace hmpeer

#endif  // HOLLOWMARCH_TOOLS_PROGRESS_BAR_H_
