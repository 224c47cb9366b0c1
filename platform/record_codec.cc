#include "platform/record_codec.h"

#include <algorithm>
#include <cstring>

namespace platform::record_codec {
namespace {

// The size of a fixed-size value of `type`; 0 for strings and blobs, -1 for
// an unknown type.
int FixedSize(WORD type) {
  switch (type) {
    case CEVT_I2:
    case CEVT_UI2:
      return 2;
    case CEVT_I4:
    case CEVT_UI4:
    case CEVT_BOOL:
      return 4;
    case CEVT_R8:
    case CEVT_FILETIME:
      return 8;
    case CEVT_LPWSTR:
    case CEVT_BLOB:
      return 0;
    default:
      return -1;
  }
}

// The bytes of a stored string that are whole UTF-16 code units: a damaged
// row may hold an odd count, whose last byte is dropped so that the string
// and its NUL stay aligned and every later string too.
size_t StringBytes(const std::string& value) { return value.size() & ~static_cast<size_t>(1); }

void PutU32(std::string* out, uint32_t v) { out->append(reinterpret_cast<const char*>(&v), 4); }

}  // namespace

std::string EncodeRecord(const StoredProperties& props) {
  std::string out;
  for (const auto& [id, value] : props) {
    PutU32(&out, id);
    PutU32(&out, static_cast<uint32_t>(value.size()));
    out += value;
  }
  return out;
}

namespace {

// Calls visit(identifier, value) for each property of a row, in order.
// False when the bytes end inside a property's identifier, length or value.
template <typename Visit>
bool WalkRow(std::string_view row, Visit&& visit) {
  size_t at = 0;
  while (at < row.size()) {
    if (row.size() - at < 8) return false;
    uint32_t id, len;
    std::memcpy(&id, row.data() + at, 4);
    std::memcpy(&len, row.data() + at + 4, 4);
    at += 8;
    if (row.size() - at < len) return false;
    visit(id, row.substr(at, len));
    at += len;
  }
  return true;
}

}  // namespace

bool DecodeRecord(std::string_view row, StoredProperties* props) {
  props->clear();
  return WalkRow(row, [props](CEPROPID id, std::string_view value) {
    props->emplace_back(id, std::string(value));
  });
}

bool PeekFirstProperty(std::string_view row, size_t* count, CEPROPID* id,
                       std::string_view* value) {
  size_t n = 0;
  const bool whole = WalkRow(row, [&](CEPROPID pid, std::string_view v) {
    if (n++ == 0) {
      *id = pid;
      *value = v;
    }
  });
  if (whole) *count = n;
  return whole;
}

bool EncodeValue(const CEPROPVAL& p, std::string* out) {
  WORD type = TypeFromPropId(p.propid);
  int fixed = FixedSize(type);
  if (fixed < 0) return false;
  switch (type) {
    case CEVT_I2:
      out->assign(reinterpret_cast<const char*>(&p.val.iVal), 2);
      return true;
    case CEVT_UI2:
      out->assign(reinterpret_cast<const char*>(&p.val.uiVal), 2);
      return true;
    case CEVT_I4:
    case CEVT_UI4:
      out->assign(reinterpret_cast<const char*>(&p.val.lVal), 4);
      return true;
    case CEVT_BOOL:
      out->assign(reinterpret_cast<const char*>(&p.val.boolVal), 4);
      return true;
    case CEVT_R8:
      out->assign(reinterpret_cast<const char*>(&p.val.dblVal), 8);
      return true;
    case CEVT_FILETIME:
      out->assign(reinterpret_cast<const char*>(&p.val.filetime), 8);
      return true;
    case CEVT_LPWSTR: {
      if (p.val.lpwstr == nullptr) return false;
      size_t n = std::char_traits<char16_t>::length(p.val.lpwstr);
      out->assign(reinterpret_cast<const char*>(p.val.lpwstr), n * 2);
      return true;
    }
    case CEVT_BLOB:
      if (p.val.blob.dwCount != 0 && p.val.blob.lpb == nullptr) return false;
      out->assign(reinterpret_cast<const char*>(p.val.blob.lpb), p.val.blob.dwCount);
      return true;
  }
  return false;
}

bool ApplyWrite(WORD count, const CEPROPVAL* props, StoredProperties* existing) {
  for (WORD i = 0; i < count; ++i) {
    const CEPROPVAL& p = props[i];
    auto it = std::find_if(existing->begin(), existing->end(),
                           [&](const auto& e) { return e.first == p.propid; });
    if (p.wFlags & CEDB_PROPDELETE) {
      if (it != existing->end()) existing->erase(it);
      continue;
    }
    std::string value;
    if (!EncodeValue(p, &value)) return false;
    if (it != existing->end()) {
      it->second = std::move(value);
    } else {
      existing->emplace_back(p.propid, std::move(value));
    }
  }
  return true;
}

ReadLayout PlanReadLayout(const StoredProperties& props, WORD wanted_count,
                          const CEPROPID* wanted) {
  ReadLayout layout;
  if (wanted == nullptr) {
    for (const auto& [id, value] : props) layout.entries.emplace_back(id, &value);
  } else {
    for (WORD i = 0; i < wanted_count; ++i) {
      const std::string* found = nullptr;
      for (const auto& [id, value] : props) {
        if (id == wanted[i]) found = &value;
      }
      layout.entries.emplace_back(wanted[i], found);
    }
  }
  size_t size = layout.entries.size() * sizeof(CEPROPVAL);
  for (const auto& [id, value] : layout.entries) {
    if (value == nullptr) continue;
    WORD type = TypeFromPropId(id);
    if (type == CEVT_LPWSTR) size += StringBytes(*value) + sizeof(WCHAR);
    if (type == CEVT_BLOB) size += value->size();
  }
  layout.size = size;
  return layout;
}

// Strings come first after the array (so they stay 2-byte aligned), then
// blobs.
void WriteReadLayout(const ReadLayout& layout, BYTE* buffer) {
  auto* vals = reinterpret_cast<CEPROPVAL*>(buffer);
  BYTE* extra = buffer + layout.entries.size() * sizeof(CEPROPVAL);
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < layout.entries.size(); ++i) {
      const auto& [id, value] = layout.entries[i];
      CEPROPVAL& v = vals[i];
      WORD type = TypeFromPropId(id);
      if (pass == 0) {
        std::memset(&v, 0, sizeof v);
        v.propid = id;
        if (value == nullptr) {
          v.wFlags = CEDB_PROPNOTFOUND;
          continue;
        }
        if (type == CEVT_LPWSTR) {
          const size_t bytes = StringBytes(*value);
          std::memcpy(extra, value->data(), bytes);
          std::memset(extra + bytes, 0, sizeof(WCHAR));
          v.val.lpwstr = reinterpret_cast<LPWSTR>(extra);
          extra += bytes + sizeof(WCHAR);
        } else if (type != CEVT_BLOB) {
          std::memcpy(&v.val, value->data(), std::min(value->size(), sizeof v.val));
        }
      } else if (value != nullptr && type == CEVT_BLOB) {
        if (!value->empty()) std::memcpy(extra, value->data(), value->size());
        v.val.blob.dwCount = static_cast<DWORD>(value->size());
        v.val.blob.lpb = extra;  // inside the buffer even when empty
        extra += value->size();
      }
    }
  }
}

}  // namespace platform::record_codec
