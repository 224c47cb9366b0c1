#include "tools/progress_bar.h"

#include <algorithm>

namespace hmpeer {
namespace {

int Percent(size_t done, size_t total) {
  if (total == 0) return -1;
  return static_cast<int>(std::min<size_t>(done, total) * 100 / total);
}

}  // namespace

std::string RenderProgress(std::string_view label, size_t done, size_t total, int width) {
  std::string line(label);
  if (total == 0) return line + " " + std::to_string(done) + " records";
  const int percent = Percent(done, total);
  const int filled = percent * width / 100;
  line += " [";
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(width - filled), '.');
  char tail[64];
  std::snprintf(tail, sizeof tail, "] %3d%%  %zu/%zu", percent, done, total);
  return line + tail;
}

ProgressBar::ProgressBar(std::FILE* out, std::string label) : out_(out), label_(std::move(label)) {}

ProgressBar::~ProgressBar() { Finish(); }

void ProgressBar::Update(size_t done, size_t total) {
  if (finished_) return;
  done_ = done;
  total_ = total;
  const auto now = std::chrono::steady_clock::now();
  if (!drawn_ || Percent(done, total) != percent_ || now - last_draw_ >= kRedrawInterval) Draw();
}

void ProgressBar::Finish() {
  if (finished_) return;
  finished_ = true;
  if (!drawn_) return;
  Draw();
  std::fputc('\n', out_);
  std::fflush(out_);
}

void ProgressBar::Clear() {
  if (finished_) return;
  finished_ = true;
  if (!drawn_) return;
  std::fprintf(out_, "\r%s\r", std::string(width_, ' ').c_str());
  std::fflush(out_);
}

void ProgressBar::Draw() {
  std::string line = RenderProgress(label_, done_, total_);
  const size_t length = line.size();
  if (length < width_) line.append(width_ - length, ' ');
  width_ = std::max(width_, length);
  std::fprintf(out_, "\r%s", line.c_str());
  std::fflush(out_);
  drawn_ = true;
  percent_ = Percent(done_, total_);
  last_draw_ = std::chrono::steady_clock::now();
}

}  // namespace hmpeer
