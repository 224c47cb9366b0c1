// Reads arbitrary bytes as a record's row, as the object store does when it
// reads a record from a store.db that something else may have changed.
//
// A row that decodes must encode back to exactly its bytes. Its read layout,
// of every property and of a chosen list (the record's identifiers backwards
// and one it lacks), is written into a buffer of exactly the planned size:
// nothing may be written outside it, and every string and blob must point
// into it and hold the stored bytes (a string followed by its NUL).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/record_codec.h"

namespace {

using platform::record_codec::StoredProperties;

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckLayout(const StoredProperties& props, WORD wanted_count, const CEPROPID* wanted) {
  platform::record_codec::ReadLayout layout =
      platform::record_codec::PlanReadLayout(props, wanted_count, wanted);
  const size_t count = layout.entries.size();
  Check(count == (wanted != nullptr ? wanted_count : props.size()));
  Check(layout.size >= count * sizeof(CEPROPVAL));
  // Exactly the planned size: a write past it is caught.
  auto* buffer = static_cast<BYTE*>(std::malloc(std::max<size_t>(layout.size, 1)));
  platform::record_codec::WriteReadLayout(layout, buffer);
  const BYTE* extra = buffer + count * sizeof(CEPROPVAL);
  const BYTE* end = buffer + layout.size;
  auto inside = [&](const BYTE* p, size_t n) {
    return p >= extra && p <= end && n <= static_cast<size_t>(end - p);
  };
  for (size_t i = 0; i < count; ++i) {
    CEPROPVAL v;
    std::memcpy(&v, buffer + i * sizeof(CEPROPVAL), sizeof v);
    const auto& [id, value] = layout.entries[i];
    Check(v.propid == id);
    if (value == nullptr) {
      Check(v.wFlags == CEDB_PROPNOTFOUND);
      continue;
    }
    Check(v.wFlags == 0);
    const WORD type = TypeFromPropId(id);
    if (type == CEVT_LPWSTR) {
      // Whole code units only, aligned and NUL-terminated.
      const size_t bytes = value->size() & ~static_cast<size_t>(1);
      const auto* text = reinterpret_cast<const BYTE*>(v.val.lpwstr);
      Check(reinterpret_cast<uintptr_t>(text) % alignof(WCHAR) == 0);
      Check(inside(text, bytes + sizeof(WCHAR)));
      Check(std::memcmp(text, value->data(), bytes) == 0);
      Check(text[bytes] == 0 && text[bytes + 1] == 0);
    } else if (type == CEVT_BLOB) {
      Check(v.val.blob.dwCount == value->size());
      Check(inside(v.val.blob.lpb, value->size()));
      Check(value->empty() || std::memcmp(v.val.blob.lpb, value->data(), value->size()) == 0);
    }
  }
  std::free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size: a read past it is caught.
  std::string row(reinterpret_cast<const char*>(data), size);
  StoredProperties props;
  if (!platform::record_codec::DecodeRecord(row, &props)) return 0;
  Check(platform::record_codec::EncodeRecord(props) == row);
  CheckLayout(props, 0, nullptr);

  if (props.size() >= 0xFFFF) return 0;
  std::vector<CEPROPID> wanted;
  for (auto it = props.rbegin(); it != props.rend(); ++it) wanted.push_back(it->first);
  CEPROPID absent = 0x00010002;
  while (std::any_of(props.begin(), props.end(), [&](const auto& p) { return p.first == absent; })) {
    absent += 0x00010000;
  }
  wanted.push_back(absent);
  CheckLayout(props, static_cast<WORD>(wanted.size()), wanted.data());
  return 0;
}
