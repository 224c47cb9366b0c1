// What a hostile or broken device may send the desktop side: the bytes are
// read as a reply frame (told in words for the trace, its items searched),
// as a time zone and as a run of transfer records (the first byte their
// count). Nothing may
// be read outside the input, and whatever decodes must hold together.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "peer/device_time_zone.h"
#include "peer/frame.h"
#include "peer/frame_trace.h"
#include "peer/transfer_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size: a read past it is caught.
  std::vector<uint8_t> bytes(data, data + size);
  std::span<const uint8_t> all(bytes);

  for (uint8_t answering : {uint8_t{0}, peer::kMsgHello}) {
    if (peer::DescribeFrame(false, all, answering).empty()) std::abort();
  }
  if (size >= peer::kHeaderBytes) {
    auto item = peer::FindItem(all.subspan(peer::kHeaderBytes), peer::kTagInfo);
    if (item && (item->data() < bytes.data() || item->data() + item->size() > bytes.data() + size)) {
      std::abort();
    }
  }

  // As a time zone (query 8's structure): whatever decodes gives a local
  // time that is one, for any instant a 32-bit time can name.
  peer::TimeZone zone;
  std::string error;
  if (peer::DecodeTimeZone(all, &zone, &error)) {
    uint32_t when = 0;
    std::memcpy(&when, bytes.data() + 4, sizeof when);  // the standard name: any value
    const peer::SystemTime t = peer::LocalTime(zone, when);
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.dayOfWeek > 6) std::abort();
  }

  if (size == 0) return 0;
  std::vector<peer::Record> records;
  if (peer::DecodeRecords(all.subspan(1), bytes[0], &records)) {
    if (records.size() != bytes[0]) std::abort();
    size_t taken = 0;
    for (const peer::Record& r : records) taken += 12 + r.blockBytes;
    if (taken != size - 1) std::abort();
  }
  return 0;
}
