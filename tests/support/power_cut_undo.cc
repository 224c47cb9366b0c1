#include "tests/support/power_cut_undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace hmtest::power_cut {
namespace {

// One record: this header, then `length` old bytes that were at `offset`
// (fewer than the write's size when it reached past the end of the file).
// The file was `size_before` bytes long before the write or truncation.
struct Header {
  uint32_t magic;
  uint32_t length;
  int64_t offset;
  int64_t size_before;
};
constexpr uint32_t kMagic = 0x554E444F;  // "UNDO"

bool ReadAll(int fd, void* buf, size_t size, int64_t offset) {
  char* p = static_cast<char*>(buf);
  while (size > 0) {
    ssize_t n = pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool WriteAll(int fd, const void* buf, size_t size, int64_t offset) {
  const char* p = static_cast<const char*>(buf);
  while (size > 0) {
    ssize_t n = pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace

// Appends one record of the bytes [offset, offset + size) as they are now,
// in one write, so that a writer killed meanwhile leaves a record whole or
// cut short, never one that claims bytes it lacks.
bool RecordWrite(int undo_fd, int data_fd, int64_t offset, int64_t size) {
  struct stat st;
  if (fstat(data_fd, &st) != 0) return false;
  const int64_t end = offset + size < st.st_size ? offset + size : st.st_size;
  const int64_t have = end > offset ? end - offset : 0;
  std::vector<char> record(sizeof(Header) + static_cast<size_t>(have));
  Header h{kMagic, static_cast<uint32_t>(have), offset, st.st_size};
  std::memcpy(record.data(), &h, sizeof h);
  if (have > 0 && !ReadAll(data_fd, record.data() + sizeof h, static_cast<size_t>(have), offset)) {
    return false;
  }
  const off_t at = lseek(undo_fd, 0, SEEK_END);
  return at >= 0 && WriteAll(undo_fd, record.data(), record.size(), at);
}

std::string UndoPath(const std::string& undo_dir, const std::string& path) {
  const size_t slash = path.rfind('/');
  return undo_dir + "/" + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".undo";
}

bool RecordTruncate(int undo_fd, int data_fd, int64_t new_size) {
  struct stat st;
  if (fstat(data_fd, &st) != 0) return false;
  if (st.st_size <= new_size) return RecordWrite(undo_fd, data_fd, new_size, 0);
  return RecordWrite(undo_fd, data_fd, new_size, st.st_size - new_size);
}

bool Restore(const std::string& undo_path, const std::string& path, std::string* why) {
  const int undo_fd = open(undo_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (undo_fd < 0) {
    if (errno == ENOENT) return true;
    *why = "cannot open " + undo_path;
    return false;
  }
  struct Entry {
    Header header;
    int64_t at;  // where its old bytes are in the undo file
  };
  std::vector<Entry> entries;
  struct stat st;
  const int64_t undo_size = fstat(undo_fd, &st) == 0 ? st.st_size : 0;
  for (int64_t at = 0; at + static_cast<int64_t>(sizeof(Header)) <= undo_size;) {
    Header h;
    if (!ReadAll(undo_fd, &h, sizeof h, at) || h.magic != kMagic) break;
    const int64_t data_at = at + static_cast<int64_t>(sizeof h);
    if (data_at + h.length > undo_size) break;  // cut short
    entries.push_back({h, data_at});
    at = data_at + h.length;
  }
  bool ok = true;
  if (!entries.empty()) {
    const int data_fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (data_fd < 0) {
      *why = "cannot open " + path;
      ok = false;
    } else {
      std::vector<char> old;
      for (auto e = entries.rbegin(); ok && e != entries.rend(); ++e) {
        old.resize(e->header.length);
        ok = ReadAll(undo_fd, old.data(), old.size(), e->at) &&
             WriteAll(data_fd, old.data(), old.size(), e->header.offset) &&
             ftruncate(data_fd, e->header.size_before) == 0;
      }
      if (!ok) *why = "cannot restore " + path + " from " + undo_path;
      close(data_fd);
    }
  }
  close(undo_fd);
  if (ok) unlink(undo_path.c_str());
  return ok;
}

}  // namespace hmtest::power_cut
