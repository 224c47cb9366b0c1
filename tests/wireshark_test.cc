// The Wireshark dissector (tools/wireshark/hollowmarch.lua) through tshark:
// on a loopback capture of hmpeer sessions with the real server, and on a
// hand-made capture of split, packed and broken frames.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "peer/frame.h"
#include "tests/support/process.h"
#include "tests/support/temp_device.h"

namespace {

using namespace std::chrono_literals;
using hmtest::RunResult;
using nlohmann::json;
using peer::Bytes;

constexpr uint16_t kDefaultPort = 40141;

// The full path of `name` on $PATH, or "" when it is not there.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// A packet as tshark tells it: each asked-for field and its values.
using Packet = std::map<std::string, std::vector<std::string>>;

const std::vector<std::string>& Field(const Packet& p, const std::string& name) {
  static const std::vector<std::string> kNone;
  auto it = p.find(name);
  return it == p.end() ? kNone : it->second;
}

bool Holds(const std::vector<std::string>& values, const std::string& value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// Every value of `name` in all the packets.
std::vector<std::string> AllOf(const std::vector<Packet>& packets, const std::string& name) {
  std::vector<std::string> out;
  for (const Packet& p : packets) {
    const auto& v = Field(p, name);
    out.insert(out.end(), v.begin(), v.end());
  }
  return out;
}

// tshark with the dissector loaded, under a HOME of its own so that no
// personal preference or plugin (an installed copy of this dissector, say)
// takes part.
class Tshark {
 public:
  explicit Tshark(std::string program) : program_(std::move(program)), env_(FindProgram("env")) {}

  // The packets of `capture` that hold a Hollowmarch frame, with `fields`
  // (and the expert messages); empty with a failure when tshark fails.
  std::vector<Packet> Dissect(const std::string& capture, const std::vector<std::string>& options,
                              std::vector<std::string> fields) {
    std::vector<std::string> argv = {env_, "-u", "XDG_CONFIG_HOME", "HOME=" + home_.path(), program_,
                                     "-r", capture, "-X", std::string("lua_script:") + HM_DISSECTOR_PATH,
                                     "-Y", "hollowmarch", "-T", "json"};
    argv.insert(argv.end(), options.begin(), options.end());
    fields.push_back("frame.number");
    fields.push_back("_ws.expert.message");
    for (const std::string& f : fields) {
      argv.push_back("-e");
      argv.push_back(f);
    }
    RunResult r = hmtest::Run(argv);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.find("Lua"), std::string::npos) << "the dissector did not load cleanly: " << r.err;
    std::vector<Packet> packets;
    if (r.exit_code != 0) return packets;
    json doc = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(doc.is_array()) << r.out;
    if (!doc.is_array()) return packets;
    for (const json& entry : doc) {
      Packet p;
      for (const auto& [name, values] : entry["_source"]["layers"].items()) {
        for (const json& v : values) p[name].push_back(v.get<std::string>());
      }
      packets.push_back(std::move(p));
    }
    return packets;
  }

 private:
  std::string program_;
  std::string env_;
  hmtest::TempDir home_;
};

// Wireshark's own signs of a dissector going wrong: a Lua error, an
// exception turned into a malformed packet, a broken assertion.
void ExpectNoDissectorFault(const std::vector<Packet>& packets) {
  for (const Packet& p : packets) {
    for (const std::string& m : Field(p, "_ws.expert.message")) {
      for (const char* sign : {"Lua Error", "Malformed Packet", "Dissector bug", "assertion"}) {
        EXPECT_EQ(m.find(sign), std::string::npos) << "packet " << Field(p, "frame.number")[0] << ": " << m;
      }
    }
  }
}

class WiresharkTest : public ::testing::Test {
 protected:
  WiresharkTest() : device_(false), port_(hmtest::FreePort()) {
    Device({"init", "--demo"});
    Device({"reg", "set", "Port", std::to_string(port_)});
  }

  RunResult Device(std::vector<std::string> args) {
    std::vector<std::string> argv = {HM_HMDEVICE_PATH, "--root", device_.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return hmtest::Run(argv);
  }

  // One hmpeer session (hello, the command, end of session); its JSON.
  json Peer(std::vector<std::string> args) {
    std::vector<std::string> argv = {HM_HMPEER_PATH, "--port", std::to_string(port_), "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = hmtest::Run(argv);
    EXPECT_EQ(r.exit_code, 0) << args[0] << ": " << r.err;
    return r.exit_code == 0 ? json::parse(r.out, nullptr, false) : json();
  }

  void StartServer() {
    server_ = std::make_unique<hmtest::Process>(
        std::vector<std::string>{HM_HOLLOWMARCH_PATH, "--root", device_.root()});
    for (int i = 0; i < 250; ++i) {
      RunResult r = hmtest::Run({HM_HMPEER_PATH, "--port", std::to_string(port_), "hello"});
      if (r.exit_code == 0) return;
      std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the server did not start: " << server_->Err();
  }

  hmtest::TempDevice device_;
  int port_;
  std::unique_ptr<hmtest::Process> server_;
};

// A session of every kind the peer has, captured on the loopback
// interface: the dissected fields say what the device and hmpeer say.
TEST_F(WiresharkTest, ACapturedSessionReadsAsTheDeviceTellsIt) {
  const std::string tshark = FindProgram("tshark"), dumpcap = FindProgram("dumpcap");
  if (tshark.empty() || dumpcap.empty()) GTEST_SKIP() << "tshark and dumpcap are needed (Debian package tshark)";
  hmtest::TempDir dir;
  const std::string capture = dir.path() + "/session.pcapng";
  hmtest::Process capturing({dumpcap, "-q", "-i", "lo", "-f", "tcp port " + std::to_string(port_), "-w", capture});
  // dumpcap names its file once the interface is open and filtered: from
  // then on nothing is missed.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (capturing.Err().find("File: ") == std::string::npos && capturing.Running() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  if (capturing.Err().find("File: ") == std::string::npos) {
    const std::string err = capturing.Err();
    if (err.find("permission") != std::string::npos || err.find("not permitted") != std::string::npos) {
      GTEST_SKIP() << "capturing on the loopback interface is not permitted here: " << err;
    }
    FAIL() << "dumpcap did not start capturing: " << err;
  }

  json dbs = json::parse(Device({"db", "list", "--json"}).out, nullptr, false);
  uint32_t contacts = 0;
  for (const json& db : dbs) {
    if (db["name"] == "Demo Contacts") contacts = db["oid"].get<uint32_t>();
  }
  ASSERT_NE(contacts, 0u) << dbs.dump();
  StartServer();
  const uint32_t since = Peer({"enable", "24"})["deviceTime"].get<uint32_t>();
  std::vector<uint32_t> added;
  for (const char* name : {"0x1001F=Ada Wire", "0x1001F=Bob Wire"}) {
    RunResult r = Device({"rec", "add", "Demo Contacts", name, "0x10003=-7", "0x20041=cafe"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    added.push_back(static_cast<uint32_t>(std::stoul(r.out)));
  }
  // Both changes on record before the peer asks for them (asked locally,
  // off the wire).
  for (int i = 0; i < 250; ++i) {
    json local = json::parse(Device({"changes", "24", "--json"}).out, nullptr, false);
    if (local.is_array() && local.size() == 2) break;
    std::this_thread::sleep_for(20ms);
  }
  const std::string sinceText = std::to_string(since);
  EXPECT_EQ(Peer({"state", "24", "--since", sinceText})["answer"], 0);
  json changes = Peer({"changes", "24", "--since", sinceText});
  ASSERT_EQ(changes.size(), 2u) << changes.dump();
  json dump = Peer({"dump", "Demo Contacts"});
  ASSERT_EQ(dump["db"].get<uint32_t>(), contacts);
  json alarm = Peer({"alarm", "set", "--at", "2027-01-01T10:00:00", "--title", "Wake", "--text", "Get up",
                     "--sound", "chime.wav"});
  // The last packets reach the file before the capture stops.
  std::this_thread::sleep_for(500ms);
  capturing.Signal(SIGINT);
  RunResult stopped;
  ASSERT_TRUE(capturing.Wait(10s, &stopped));
  ASSERT_EQ(stopped.exit_code, 0) << stopped.err;

  Tshark t(tshark);
  const std::vector<std::string> fields = {
      "hollowmarch.type", "hollowmarch.from_device", "hollowmarch.hello.identification", "hollowmarch.query.subcode",
      "hollowmarch.query.class_index", "hollowmarch.query.time", "hollowmarch.query.answer",
      "hollowmarch.command.subcode", "hollowmarch.change.count", "hollowmarch.change.type",
      "hollowmarch.change.oid_db", "hollowmarch.change.oid_rec", "hollowmarch.db.name", "hollowmarch.db.oid",
      "hollowmarch.record.oid", "hollowmarch.prop.string", "hollowmarch.prop.i4", "hollowmarch.prop.blob",
      "hollowmarch.alarm.title", "hollowmarch.alarm.text", "hollowmarch.alarm.sound", "hollowmarch.alarm.handle",
      "hollowmarch.request_in"};
  // The device's port by the preference, or by a decode-as rule.
  std::vector<Packet> packets = t.Dissect(capture, {"-o", "hollowmarch.port:" + std::to_string(port_)}, fields);
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(t.Dissect(capture, {"-d", "tcp.port==" + std::to_string(port_) + ",hollowmarch"}, fields), packets);
  ExpectNoDissectorFault(packets);
  for (const Packet& p : packets) {
    // Nothing in a well-formed session calls for expert info.
    EXPECT_TRUE(Field(p, "_ws.expert.message").empty())
        << "packet " << Field(p, "frame.number")[0] << ": " << Field(p, "_ws.expert.message")[0];
    // Every reply is tied to its request.
    if (Holds(Field(p, "hollowmarch.from_device"), "1") && !Holds(Field(p, "hollowmarch.type"), "0x82")) {
      EXPECT_FALSE(Field(p, "hollowmarch.request_in").empty()) << "packet " << Field(p, "frame.number")[0];
    }
  }

  auto sent = [&](const char* type) {
    size_t n = 0;
    for (const Packet& p : packets) {
      n += Holds(Field(p, "hollowmarch.from_device"), "0") && Holds(Field(p, "hollowmarch.type"), type);
    }
    return n;
  };
  // Seven sessions: the start-up probe, enable, state, changes, dump, alarm.
  EXPECT_GE(sent("0x80"), 6u);
  EXPECT_EQ(sent("0x81"), sent("0x80"));
  EXPECT_GE(sent("0x82"), 4u) << "enable, open, read, close, alarm";
  EXPECT_EQ(sent("0x83"), 3u) << "state, changes, and the alarm's time zone";
  EXPECT_EQ(sent("0x90"), 1u) << "the acknowledgement of the one change frame";
  for (const std::string& id : AllOf(packets, "hollowmarch.hello.identification")) EXPECT_EQ(id, "HM-HPCSERV-10");

  // Queries 4 and 5, both for class 24 from the enable's time on, and the
  // time zone the alarm's time is converted with.
  EXPECT_EQ(AllOf(packets, "hollowmarch.query.subcode"), (std::vector<std::string>{"4", "4", "5", "8"}))
      << "query 4, its answer, query 5, query 8";
  EXPECT_EQ(AllOf(packets, "hollowmarch.query.class_index"), (std::vector<std::string>{"0", "0"}));
  EXPECT_EQ(AllOf(packets, "hollowmarch.query.time"), (std::vector<std::string>{sinceText, sinceText}));
  EXPECT_EQ(AllOf(packets, "hollowmarch.query.answer"), (std::vector<std::string>{"0"}));

  // The change frame: the last one (0x82 from the device), both records,
  // newest first as hmpeer read them, in the contacts database.
  const Packet* frame = nullptr;
  for (const Packet& p : packets) {
    if (!Field(p, "hollowmarch.change.count").empty()) frame = &p;
  }
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(Field(*frame, "hollowmarch.type"), (std::vector<std::string>{"0x82"}));
  EXPECT_EQ(Field(*frame, "hollowmarch.from_device"), (std::vector<std::string>{"1"}));
  EXPECT_EQ(Field(*frame, "hollowmarch.change.count"), (std::vector<std::string>{"2"}));
  std::vector<std::string> oids;
  for (const json& c : changes) oids.push_back(Hex32(c["oid"].get<uint32_t>()));
  EXPECT_EQ(Field(*frame, "hollowmarch.change.oid_rec"), oids);
  EXPECT_TRUE(Holds(oids, Hex32(added[0])) && Holds(oids, Hex32(added[1])));
  EXPECT_EQ(Field(*frame, "hollowmarch.change.oid_db"), (std::vector<std::string>{Hex32(contacts), Hex32(contacts)}));
  EXPECT_EQ(Field(*frame, "hollowmarch.change.type"), (std::vector<std::string>{"0", "0"}));

  // The remote read: opened by name, its reply naming the database, and
  // the added records in transfer form with their properties decoded.
  EXPECT_TRUE(Holds(AllOf(packets, "hollowmarch.db.name"), "Demo Contacts"));
  EXPECT_TRUE(Holds(AllOf(packets, "hollowmarch.db.oid"), Hex32(contacts)));
  const std::vector<std::string> records = AllOf(packets, "hollowmarch.record.oid");
  EXPECT_EQ(records.size(), dump["records"].size());
  for (uint32_t oid : added) EXPECT_TRUE(Holds(records, Hex32(oid))) << Hex32(oid);
  const std::vector<std::string> strings = AllOf(packets, "hollowmarch.prop.string");
  EXPECT_TRUE(Holds(strings, "Ada Wire") && Holds(strings, "Bob Wire"));
  EXPECT_EQ(AllOf(packets, "hollowmarch.prop.i4"), (std::vector<std::string>{"-7", "-7"}));
  EXPECT_TRUE(Holds(AllOf(packets, "hollowmarch.prop.blob"), "cafe"));

  // The alarm: its strings, and the handle in the reply hmpeer printed.
  EXPECT_EQ(AllOf(packets, "hollowmarch.alarm.title"), (std::vector<std::string>{"Wake"}));
  EXPECT_EQ(AllOf(packets, "hollowmarch.alarm.text"), (std::vector<std::string>{"Get up"}));
  EXPECT_EQ(AllOf(packets, "hollowmarch.alarm.sound"), (std::vector<std::string>{"chime.wav"}));
  EXPECT_TRUE(Holds(AllOf(packets, "hollowmarch.alarm.handle"), Hex32(alarm["handle"].get<uint32_t>())));
}

// One TCP segment of a hand-made capture.
struct Segment {
  bool from_device;
  Bytes bytes;
  size_t captured = SIZE_MAX;  // the segment's bytes kept in the capture
};

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutBe(std::string& out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
}

// A pcap file of raw IPv4 packets, one segment each, between a peer port
// and `device_port`, the sequence numbers running on per direction as
// Wireshark needs to reassemble.
std::string Pcap(const std::vector<Segment>& segments, uint16_t device_port) {
  constexpr uint16_t kPeerPort = 50000;
  std::string out;
  PutLe32(out, 0xA1B2C3D4);
  PutLe32(out, 2 | (4u << 16));  // version 2.4
  PutLe32(out, 0);
  PutLe32(out, 0);
  PutLe32(out, 65535);
  PutLe32(out, 101);  // raw IP
  uint32_t seq[2] = {1000, 5000};  // peer, device
  uint32_t second = 0;
  for (const Segment& s : segments) {
    std::string packet;
    const uint32_t total = 40 + static_cast<uint32_t>(s.bytes.size());
    PutBe(packet, 0x4500, 2);
    PutBe(packet, total, 2);
    PutBe(packet, 0x00010000, 4);  // id 1, not a fragment
    PutBe(packet, 0x4006, 2);  // time to live, TCP
    PutBe(packet, 0, 2);       // checksum, not checked by Wireshark
    PutBe(packet, 0x7F000001, 4);
    PutBe(packet, 0x7F000001, 4);
    PutBe(packet, s.from_device ? device_port : kPeerPort, 2);
    PutBe(packet, s.from_device ? kPeerPort : device_port, 2);
    PutBe(packet, seq[s.from_device], 4);
    PutBe(packet, seq[!s.from_device], 4);
    PutBe(packet, 0x5018, 2);  // 20-byte header; push, ack
    PutBe(packet, 65535, 2);
    PutBe(packet, 0, 4);  // checksum, urgent pointer
    packet.append(s.bytes.begin(), s.bytes.end());
    seq[s.from_device] += static_cast<uint32_t>(s.bytes.size());
    const size_t kept = 40 + std::min(s.captured, s.bytes.size());
    PutLe32(out, ++second);
    PutLe32(out, 0);
    PutLe32(out, static_cast<uint32_t>(kept));
    PutLe32(out, total);
    out.append(packet, 0, kept);
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes InfoFrame(uint8_t type, const Bytes& fields) {
  return peer::Frame(type, peer::Item(peer::kTagInfo, fields));
}

// A property entry: identifier, wLenData, wFlags (little-endian), then the
// value's 8 bytes.
Bytes Entry(uint32_t prop_id, const Bytes& value) {
  Bytes out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(prop_id >> (8 * i)));
  out.insert(out.end(), 4, 0);
  out.insert(out.end(), value.begin(), value.end());
  out.resize(out.size() + 8 - value.size());
  return out;
}

// A read-records reply holding one record whose block is `block`.
Bytes ReadRecordsReply(uint32_t properties, const Bytes& block) {
  Bytes fields{13};
  peer::AppendBe32(fields, 1);
  peer::AppendBe32(fields, 12 + static_cast<uint32_t>(block.size()));
  peer::AppendBe32(fields, 0x77);
  peer::AppendBe32(fields, properties);
  peer::AppendBe32(fields, static_cast<uint32_t>(block.size()));
  fields.insert(fields.end(), block.begin(), block.end());
  return InfoFrame(peer::kStatusOk, fields);
}

// Frames split over segments and packed into one, and broken frames: each
// broken one is told by expert info, and none makes the dissector fail.
// The capture is on the default port: no preference is needed for it.
TEST(WiresharkCraftedTest, SplitPackedAndBrokenFramesReadSafely) {
  const std::string tshark = FindProgram("tshark");
  if (tshark.empty()) GTEST_SKIP() << "tshark is needed (Debian package tshark)";
  const Bytes hello = peer::Frame(peer::kMsgHello, peer::HelloPayload(peer::kIdentification));
  ASSERT_EQ(hello.size(), 23u);
  Bytes query4 = {4, 0};
  peer::AppendBe32(query4, 1000);
  query4.insert(query4.end(), 3, 0);
  Bytes query5 = query4;
  query5[0] = 5;
  const Bytes hello_reply = {0xA0, 0x00, 0x0B, 0x10, 0x00, 0x08, 0x00, 0x49, 0x00, 0x04, 0x2D};
  Bytes seek = {12};
  peer::AppendBe32(seek, 1);
  Bytes handle = {13};
  peer::AppendBe32(handle, 1);
  Bytes outside = Cat({Entry(0x1001F, {200, 0, 0, 0}),            // a string offset past the block
                       Entry(0x20041, {0, 0, 0, 50, 32, 0, 0, 0}),  // 50 blob bytes at 32, in a 40-byte block
                       Bytes(8, 0)});
  const Bytes good_record = ReadRecordsReply(1, Cat({Entry(0x10013, {0, 0, 0, 1}), Bytes(4, 0)}));

  struct Case {
    const char* name;
    std::vector<Segment> segments;
    std::vector<std::string> experts;  // in the case's last packet
    std::string field = "";            // a field of the last packet, when set,
    std::string value = "";            // and a value it must hold
  };
  const std::vector<Case> cases = {
      {"a hello split over two segments",
       {{false, Bytes(hello.begin(), hello.begin() + 10)}, {false, Bytes(hello.begin() + 10, hello.end())}},
       {},
       "hollowmarch.hello.identification",
       "HM-HPCSERV-10"},
      {"a query and an end of session in one segment",
       {{false, Cat({InfoFrame(peer::kMsgQuery, query4), peer::Frame(peer::kMsgEndSession, {})})}},
       {},
       "hollowmarch.type",
       "0x81"},
      {"two replies in one segment",
       {{true, Cat({InfoFrame(peer::kStatusOk, {4, 2}), peer::Frame(peer::kStatusOk, {})})}},
       {},
       "hollowmarch.query.answer",
       "2"},
      {"a frame length under the header", {{false, {0x82, 0x00, 0x02, 0x49, 0x00, 0x04, 0x07}}},
       {"Length 2 is under the 3 header bytes"}},
      {"an item running past its frame", {{false, {0x82, 0x00, 0x0B, 0x49, 0x00, 0x20, 0x0D, 0, 0, 0, 1}}},
       {"Item 0x49: length 32, but only 8 bytes left in the run"}},
      {"a command too short for its fields", {{false, InfoFrame(peer::kMsgCommand, seek)}},
       {"the seek type needs 4 bytes, 0 left"}},
      {"a record pointing outside itself",
       {{false, InfoFrame(peer::kMsgCommand, handle)}, {true, ReadRecordsReply(2, outside)}},
       {"Property 0: string outside the record", "Property 1: blob outside the record"}},
      {"a record with more properties than its block holds",
       {{false, InfoFrame(peer::kMsgCommand, handle)}, {true, ReadRecordsReply(3, Bytes(20, 0))}},
       {"3 properties, the block holds 1"}},
      {"a change frame with a partial record", {{true, InfoFrame(0x82, Bytes(25, 0))}},
       {"4 bytes after the last whole change record"},
       "hollowmarch.change.count",
       "1"},
      {"a frame cut short by the capture",
       {{false, InfoFrame(peer::kMsgCommand, handle)}, {true, good_record, 20}},
       {"Frame cut short: 20 of its " + std::to_string(good_record.size()) + " bytes are here"}},
      {"an unknown message type", {{false, peer::Frame(0x84, {})}}, {"Unknown message type"}},
      {"a hello during a change stream",
       {{false, InfoFrame(peer::kMsgQuery, query5)}, {true, peer::Frame(peer::kStatusOk, {})}, {false, hello}},
       {"Dropped by the device: a change stream is under way"}},
      {"the stream's end",
       {{true, InfoFrame(0x82, {})}, {false, peer::Frame(0x90, {})}},
       {},
       "hollowmarch.type",
       "0x90"},
      {"a hello and its reply", {{false, hello}, {true, hello_reply}}, {}, "hollowmarch.type", "0xa0"},
  };
  std::vector<Segment> segments;
  std::vector<size_t> last_packet;
  for (const Case& c : cases) {
    segments.insert(segments.end(), c.segments.begin(), c.segments.end());
    last_packet.push_back(segments.size());
  }
  hmtest::TempDir dir;
  const std::string capture = dir.path() + "/crafted.pcap";
  {
    std::ofstream f(capture, std::ios::binary);
    f << Pcap(segments, kDefaultPort);
  }

  Tshark t(tshark);
  std::vector<Packet> packets =
      t.Dissect(capture, {}, {"hollowmarch.type", "hollowmarch.hello.identification", "hollowmarch.query.answer",
                              "hollowmarch.change.count", "hollowmarch.request_in"});
  ExpectNoDissectorFault(packets);
  std::map<std::string, const Packet*> by_number;
  for (const Packet& p : packets) by_number[Field(p, "frame.number")[0]] = &p;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const Packet* p = by_number[std::to_string(last_packet[i])];
    ASSERT_NE(p, nullptr) << "no Hollowmarch frame in packet " << last_packet[i];
    const std::vector<std::string>& experts = Field(*p, "_ws.expert.message");
    if (c.experts.empty()) {
      EXPECT_TRUE(experts.empty()) << json(experts).dump();
    }
    for (const std::string& want : c.experts) {
      bool found = false;
      for (const std::string& m : experts) found = found || m.find(want) != std::string::npos;
      EXPECT_TRUE(found) << "wanted \"" << want << "\" among " << json(experts).dump();
    }
    if (!c.field.empty()) {
      EXPECT_TRUE(Holds(Field(*p, c.field), c.value)) << c.field << ": " << json(Field(*p, c.field)).dump();
    }
  }
  // Both frames of a packed segment are there, and each reply of the next
  // one answers its own request of it; a reply answers the request before.
  const std::string packed = std::to_string(last_packet[1]);
  EXPECT_EQ(Field(*by_number[packed], "hollowmarch.type"), (std::vector<std::string>{"0x83", "0x81"}));
  EXPECT_EQ(Field(*by_number[std::to_string(last_packet[2])], "hollowmarch.request_in"),
            (std::vector<std::string>{packed, packed}));
  EXPECT_EQ(Field(*by_number[std::to_string(last_packet.back())], "hollowmarch.request_in"),
            (std::vector<std::string>{std::to_string(last_packet.back() - 1)}));

  // Without reassembly the first half of the split hello is a frame cut
  // short, told so without reading past it.
  std::vector<Packet> unassembled =
      t.Dissect(capture, {"-o", "tcp.desegment_tcp_streams:FALSE"}, {"hollowmarch.type"});
  ExpectNoDissectorFault(unassembled);
  ASSERT_FALSE(unassembled.empty());
  EXPECT_EQ(Field(unassembled[0], "frame.number")[0], "1");
  EXPECT_TRUE(Holds(Field(unassembled[0], "_ws.expert.message"), "Frame cut short: 10 of its 23 bytes are here"))
      << json(Field(unassembled[0], "_ws.expert.message")).dump();
}

}  // namespace
