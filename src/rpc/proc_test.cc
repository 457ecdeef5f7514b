// proc_test.cc -- tests of the procedure engine: exact request bytes,
// replies in both byte orders, hostile replies and requests, and server
// round trips for every parameter shape.
#include "rpc/proc.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "rpc/client.h"

namespace qz::rpc {
namespace {

using Bytes = std::vector<uint8_t>;
using S = Shape;

// ---- descriptions of the procedures the tests use ----

constexpr ProcDesc kQueryUserLog{3, "rpcQueryUserLog", true, 4,
                                 {{S::kKey}, {S::kText}, {S::kReply, 4}, {S::kCount}}};
constexpr ProcDesc kDelUserLog{4, "rpcDelUserLog", true, 2, {{S::kKey}, {S::kText}}};
constexpr ProcDesc kSendFax{13, "rpcSendFax", true, 5,
                            {{S::kKey}, {S::kBlock, 3}, {S::kLong}, {S::kIoBlockRef, 5},
                             {S::kCount}}};
constexpr ProcDesc kTransferFax{14, "rpcTransferFax", true, 5,
                                {{S::kKey}, {S::kIds, 3}, {S::kLong}, {S::kBlock, 5},
                                 {S::kLong}}};
constexpr ProcDesc kSendFaxStop{15, "rpcSendFaxStop", true, 3,
                                {{S::kKey}, {S::kIds, 3}, {S::kLong}}};
constexpr ProcDesc kGetFaxFile{44, "rpcGetFaxFileFromServer", true, 4,
                               {{S::kKey}, {S::kLong}, {S::kText}, {S::kCountOut}}};
constexpr ProcDesc kSetFaxViewFlag{77, "rpcSetFaxViewFlag", true, 3,
                                   {{S::kKey}, {S::kLong}, {S::kLong}}};
constexpr ProcDesc kImportFaxInfo{89, "rpcImportFaxInfo", true, 4,
                                  {{S::kKey}, {S::kLong}, {S::kChar}, {S::kLong}}};
constexpr ProcDesc kReserved92{92, "rpcReserved92", true, 3,
                               {{S::kLong}, {S::kLong}, {S::kSizedText, 2}}};
constexpr ProcDesc kSendFaxFromConn{93, "rpcSendFaxFromConn", true, 2,
                                    {{S::kKey}, {S::kConnSendInfo}}};
constexpr ProcDesc kPrintToTiff{95, "rpcPrintToTiffFromConn", true, 1, {{S::kPrintToTiff}}};
constexpr ProcDesc kGetDraft{96, "rpcGetDraftInformation", true, 3,
                             {{S::kKey}, {S::kCount}, {S::kReplyOut, 2}}};
constexpr ProcDesc kLogIn{100, "rpcLogInServer", true, 3,
                          {{S::kKeyOut}, {S::kLong}, {S::kIoBlock, 2}}};
constexpr ProcDesc kAdvise{101, "rpcAdviseOP", true, 4,
                           {{S::kGuid}, {S::kLong}, {S::kLong}, {S::kCvArray, 3}}};
// Not in the interface: two replies, to test the release of a first reply
// when the second cannot be allocated.
constexpr ProcDesc kTwoReplies{0, "twoReplies", true, 4,
                               {{S::kReply, 2}, {S::kCount}, {S::kReply, 4}, {S::kCount}}};

// ---- an independent encoder for the expected bytes ----

class Wire {
 public:
  explicit Wire(bool big = false) : big_(big) {}
  Wire& pad(size_t n) {
    while (b_.size() % n) b_.push_back(0);
    return *this;
  }
  Wire& u32(uint32_t v) {
    pad(4);
    for (int i = 0; i < 4; ++i) b_.push_back(static_cast<uint8_t>(v >> (big_ ? 24 - 8 * i : 8 * i)));
    return *this;
  }
  Wire& f64(double d) {
    pad(8);
    uint64_t v;
    std::memcpy(&v, &d, 8);
    for (int i = 0; i < 8; ++i) b_.push_back(static_cast<uint8_t>(v >> (big_ ? 56 - 8 * i : 8 * i)));
    return *this;
  }
  Wire& raw(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    b_.insert(b_.end(), c, c + n);
    return *this;
  }
  Wire& raw(const Bytes& v) { return raw(v.data(), v.size()); }
  Wire& u8(uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Wire& zeros(size_t n) {
    b_.insert(b_.end(), n, 0);
    return *this;
  }
  Wire& key(const uint8_t* k) {  // 24 memory bytes; session number per byte order
    pad(4);
    raw(k, 20);
    int32_t s;
    std::memcpy(&s, k + 20, 4);
    return u32(static_cast<uint32_t>(s));
  }
  // Varying text: offset 0, actual, chars, NUL.
  Wire& vtext(const std::string& s) {
    u32(0).u32(static_cast<uint32_t>(s.size() + 1));
    return raw(s.data(), s.size()).u8(0);
  }
  Wire& ctext(const std::string& s) {
    u32(static_cast<uint32_t>(s.size() + 1));
    return vtext(s);
  }
  Bytes bytes() const { return b_; }
  size_t size() const { return b_.size(); }

 private:
  bool big_;
  Bytes b_;
};

struct Key {
  uint8_t b[24];
};

Key MakeKey(const char* user, int32_t session) {
  Key k;
  std::memset(k.b, 0xCC, sizeof k.b);  // bytes after the NUL travel too
  std::memcpy(k.b, user, std::strlen(user) + 1);
  std::memcpy(k.b + 20, &session, 4);
  return k;
}

Bytes Iota(size_t n, uint8_t start = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
  return b;
}

// Memory routines that count what is outstanding and can fail on demand.
struct TrackingHeap {
  static inline std::set<void*> live;
  static inline int fail_at = -1;  // 0-based allocation index that fails
  static inline int calls = 0;
  static void* Allocate(size_t n) {
    if (calls++ == fail_at) return nullptr;
    void* p = std::malloc(n);
    live.insert(p);
    return p;
  }
  static void Release(void* p) {
    live.erase(p);
    std::free(p);
  }
  static void Reset() {
    for (void* p : live) std::free(p);
    live.clear();
    fail_at = -1;
    calls = 0;
  }
  static MemoryRoutines Routines() { return {&Allocate, &Release}; }
};

class ProcTest : public ::testing::Test {
 protected:
  void SetUp() override { TrackingHeap::Reset(); }
  void TearDown() override { TrackingHeap::Reset(); }
  Key key_ = MakeKey("alice", 0x01020304);
};

uint32_t RpcCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const RpcException& e) {
    return e.code();
  }
  return 0;
}

// ---------------------------------------------------------------- requests

TEST_F(ProcTest, DelUserLogWithEmptyConditionIs37Bytes) {
  ArgSlot a[3] = {};
  a[1].ptr = key_.b;
  a[2].ptr = const_cast<char*>("");
  Bytes req = MarshalRequest(kDelUserLog, a);
  Bytes want = Wire().raw(key_.b, 24).u32(1).u32(0).u32(1).u8(0).bytes();
  ASSERT_EQ(req.size(), 37u);
  EXPECT_EQ(req, want);
}

TEST_F(ProcTest, SetFaxViewFlagIs32Bytes) {
  ArgSlot a[4] = {};
  a[1].ptr = key_.b;
  a[2].value = 7;
  a[3].value = -2;
  Bytes req = MarshalRequest(kSetFaxViewFlag, a);
  EXPECT_EQ(req, Wire().raw(key_.b, 24).u32(7).u32(0xFFFFFFFE).bytes());
  EXPECT_EQ(req.size(), 32u);
}

TEST_F(ProcTest, SendFaxStopSendsTheIdsThenZerosUpToTheByteCount) {
  int32_t ids[3] = {11, 22, 33};
  ArgSlot a[4] = {};
  a[1].ptr = key_.b;
  a[2].ptr = ids;
  a[3].value = 12;
  Bytes req = MarshalRequest(kSendFaxStop, a);
  Wire w;
  w.raw(key_.b, 24).u32(12).u32(11).u32(22).u32(33);
  for (int i = 0; i < 9; ++i) w.u32(0);
  w.u32(12);
  EXPECT_EQ(req, w.bytes());
}

TEST_F(ProcTest, TransferFaxSends340ElementsWhoseFirst340BytesAreTheRequest) {
  // One 12-byte header announcing 2 items of 164 bytes.
  Bytes request = Iota(340);
  int32_t two = 2;
  std::memcpy(request.data() + 4, &two, 4);
  Bytes results(44, 0xEE);
  ArgSlot a[6] = {};
  a[1].ptr = key_.b;
  a[2].ptr = request.data();
  a[3].value = 340;
  a[4].ptr = results.data();
  a[5].value = 44;
  Bytes req = MarshalRequest(kTransferFax, a);
  Bytes want = Wire()
                   .raw(key_.b, 24)
                   .u32(340)
                   .raw(request)
                   .zeros(340 * 3)
                   .u32(340)
                   .u32(44)
                   .raw(results)
                   .u32(44)
                   .bytes();
  EXPECT_EQ(req, want);
}

TEST_F(ProcTest, ImportFaxInfoSendsExactlyOneByteOfInfo) {
  char info[4] = {'Q', 'R', 'S', 'T'};
  ArgSlot a[5] = {};
  a[1].ptr = key_.b;
  a[2].value = 3;
  a[3].ptr = info;
  a[4].value = 1000;  // dwSize does not change what travels
  Bytes req = MarshalRequest(kImportFaxInfo, a);
  EXPECT_EQ(req, Wire().raw(key_.b, 24).u32(3).u8('Q').u32(1000).bytes());
  EXPECT_EQ(req.size(), 36u);
}

TEST_F(ProcTest, LogInSendsAZeroedServerInfoAndReceivesKeyAndInfoInPlace) {
  Key key{};
  Bytes info(1680, 0);
  ArgSlot a[4] = {};
  a[1].ptr = key.b;
  a[2].value = 1680;
  a[3].ptr = info.data();
  Bytes req = MarshalRequest(kLogIn, a);
  EXPECT_EQ(req, Wire().u32(1680).u32(1680).zeros(1680).bytes());

  Key server_key = MakeKey("bob", 77);
  Bytes server_info = Iota(1680, 9);
  Bytes reply = Wire().raw(server_key.b, 24).u32(1680).raw(server_info).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kLogIn, reply, Drep::Little(), a, TrackingHeap::Routines()), 1);
  EXPECT_EQ(info, server_info);
  EXPECT_EQ(std::memcmp(key.b, server_key.b, 24), 0);
  EXPECT_TRUE(TrackingHeap::live.empty());
}

TEST_F(ProcTest, AdviseForUnadviseSendsSixteenBytesAsAConformantVaryingArray) {
  Guid16 g{{0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40, 0x89, 0x65, 0xc8, 0x03, 0x63, 0x08,
            0xa0, 0x1f}};
  Bytes unadvise = Iota(16, 0x40);
  ArgSlot a[5] = {};
  a[1].ptr = &g;
  a[2].value = 9;
  a[3].value = 16;
  a[4].ptr = unadvise.data();
  Bytes req = MarshalRequest(kAdvise, a);
  Bytes want =
      Wire().raw(g.bytes, 16).u32(9).u32(16).u32(16).u32(0).u32(16).raw(unadvise).bytes();
  EXPECT_EQ(req, want);
}

TEST_F(ProcTest, SizedTextCarriesItsParameterAsMaximumCount) {
  ArgSlot a[4] = {};
  a[1].value = 5;
  a[2].value = 10;
  a[3].ptr = const_cast<char*>("abc");
  EXPECT_EQ(MarshalRequest(kReserved92, a),
            Wire().u32(5).u32(10).u32(10).u32(0).u32(4).raw("abc", 4).bytes());
  a[2].value = 3;  // "abc" and its NUL do not fit in a maximum of 3
  EXPECT_EQ(RpcCode([&] { MarshalRequest(kReserved92, a); }), status::kInvalidBound);
}

ConnSendInfo MakeConn() {
  ConnSendInfo c{};
  c.value1 = 1;
  c.value2 = 2;
  c.value3 = 3;
  std::strcpy(c.text1, "first");
  std::strcpy(c.text2, "");
  c.value4 = 4;
  c.value5 = 5;
  c.value6 = 6;
  c.value7 = 7;
  std::strcpy(c.text3, "t3");
  c.value8 = 8;
  c.real1 = 1.5;
  c.real2 = -2.25;
  std::strcpy(c.text4, "t4");
  std::strcpy(c.text5, "t5");
  std::strcpy(c.text6, "t6");
  c.value9 = 9;
  return c;
}

// The expected encoding of a CONNSENDINFO after a 24-byte key.
Bytes ConnWire(const Key& k, const ConnSendInfo& c, const Bytes& items, const Bytes& data) {
  Wire w;
  w.raw(k.b, 24).pad(8);
  w.u32(c.value1).u32(c.value2).u32(c.value3).vtext(c.text1);
  w.u32(c.item_count).u32(c.items ? 0x00020000 : 0).vtext(c.text2);
  w.u32(c.value4).u32(c.value5).u32(c.value6).u32(c.value7).vtext(c.text3).u32(c.value8);
  w.f64(c.real1).f64(c.real2).vtext(c.text4).vtext(c.text5).vtext(c.text6);
  w.u32(c.value9).u32(c.data_length).u32(c.data ? 0x00020004 : 0);
  if (c.items) w.u32(static_cast<uint32_t>(items.size())).raw(items);
  if (c.data) w.u32(static_cast<uint32_t>(data.size())).raw(data);
  return w.bytes();
}

TEST_F(ProcTest, ConnSendInfoWithoutItemsSendsMarkerZeroAndNoArray) {
  ConnSendInfo c = MakeConn();
  c.item_count = 0;
  c.items = nullptr;
  Bytes data = Iota(5);
  c.data_length = 5;
  c.data = data.data();
  ArgSlot a[3] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &c;
  Bytes req = MarshalRequest(kSendFaxFromConn, a);
  EXPECT_EQ(req, ConnWire(key_, c, {}, data));
  // Spot checks independent of the helper: the first-array marker and the
  // last bytes (data count 5, data).
  // Key 24, values to 36, text1 "first" to 50, item count at 52, marker at 56.
  EXPECT_EQ(Bytes(req.begin() + 52, req.begin() + 60), Bytes(8, 0));
  EXPECT_EQ(Bytes(req.end() - 9, req.end()), Wire().u32(5).raw(data).bytes());
}

TEST_F(ProcTest, ConnSendInfoLayoutWithEmptyTexts) {
  // Worked out by hand: key 0..24, values 24..36, text1 36..45, item count
  // 48, marker 52, text2 56..65, values 68..84, text3 84..93, value8 96,
  // doubles aligned to 8 at 104 and 112, text4..6 120..153, value9 156,
  // data length 160, marker 164; 168 bytes in all.
  ConnSendInfo c{};
  c.real1 = 1.0;
  c.value8 = 0x0808;
  c.value9 = 0x0909;
  ArgSlot a[3] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &c;
  Bytes req = MarshalRequest(kSendFaxFromConn, a);
  ASSERT_EQ(req.size(), 168u);
  auto word = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, req.data() + at, 4);
    return v;
  };
  EXPECT_EQ(word(40), 1u);       // text1 actual count: only the NUL
  EXPECT_EQ(req[44], 0);
  EXPECT_EQ(word(52), 0u);       // first pointer null
  EXPECT_EQ(word(96), 0x0808u);
  EXPECT_EQ(word(100), 0u);      // padding before the first double
  EXPECT_EQ(Bytes(req.begin() + 104, req.begin() + 112),
            (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  EXPECT_EQ(word(156), 0x0909u);
  EXPECT_EQ(word(164), 0u);      // second pointer null, nothing deferred
}

TEST_F(ProcTest, ConnSendInfoWithTwoItemsSends336Bytes) {
  ConnSendInfo c = MakeConn();
  Bytes items = Iota(336);
  c.item_count = 2;
  c.items = items.data();
  ArgSlot a[3] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &c;
  Bytes req = MarshalRequest(kSendFaxFromConn, a);
  EXPECT_EQ(req, ConnWire(key_, c, items, {}));
  // The second pointer is null: the request ends with the item array.
  EXPECT_EQ(Bytes(req.end() - 340, req.end()), Wire().u32(336).raw(items).bytes());
}

TEST_F(ProcTest, ConnSendInfoTextCounts) {
  struct Case {
    std::string text;
    uint32_t actual;
  };
  const Case cases[] = {{"", 1}, {std::string(255, 'x'), 256}, {"abc", 4}};
  for (const auto& tc : cases) {
    ConnSendInfo c = MakeConn();
    std::memset(c.text1, 0, sizeof c.text1);
    std::memcpy(c.text1, tc.text.data(), tc.text.size());
    ArgSlot a[3] = {};
    a[1].ptr = key_.b;
    a[2].ptr = &c;
    Bytes req = MarshalRequest(kSendFaxFromConn, a);
    // text1 starts at stub offset 36: offset 0, then the actual count.
    uint32_t actual;
    std::memcpy(&actual, req.data() + 40, 4);
    EXPECT_EQ(actual, tc.actual) << tc.text.size();
    EXPECT_EQ(req[44 + actual - 1], 0);
  }
  // A field without a NUL is cut to 255 characters and terminated.
  ConnSendInfo c = MakeConn();
  std::memset(c.text1, 'y', sizeof c.text1);
  ArgSlot a[3] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &c;
  Bytes req = MarshalRequest(kSendFaxFromConn, a);
  uint32_t actual;
  std::memcpy(&actual, req.data() + 40, 4);
  EXPECT_EQ(actual, 256u);
  EXPECT_EQ(req[44 + 255], 0);
}

TEST_F(ProcTest, ConnSendInfoWithBadCountsIsRefused) {
  ConnSendInfo c = MakeConn();
  Bytes items(168);
  c.items = items.data();
  c.item_count = -1;
  ArgSlot a[3] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &c;
  EXPECT_EQ(RpcCode([&] { MarshalRequest(kSendFaxFromConn, a); }), status::kInvalidBound);
  c.item_count = 0x7FFFFFFF;  // 168 times that does not fit a 32-bit count
  EXPECT_EQ(RpcCode([&] { MarshalRequest(kSendFaxFromConn, a); }), status::kInvalidBound);
}

// Caller memory the engine cannot read (or, for what the reply fills in,
// write) is an access violation before anything is sent, never a crash;
// the last readable byte before an unmapped page is still accepted.
TEST_F(ProcTest, BadCallerMemoryIsAnAccessViolation) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  // Page 0 read/write, page 1 read-only, page 2 inaccessible.
  auto* m = static_cast<uint8_t*>(
      mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(m, MAP_FAILED);
  uint8_t* ro = m + page;
  uint8_t* none = m + 2 * page;
  std::memset(ro, 'y', page);  // no NUL before the inaccessible page
  ASSERT_EQ(mprotect(ro, page, PROT_READ), 0);
  ASSERT_EQ(mprotect(none, page, PROT_NONE), 0);
  std::memset(m, 'x', page);
  m[page - 1] = 0;  // a text whose NUL is the last byte before the read-only page
  char* text_to_edge = reinterpret_cast<char*>(m);
  constexpr uint32_t kAv = 0xC0000005u;
  ConnSendInfo conn = MakeConn();
  uint8_t* reply_in = nullptr;
  int32_t count = 4;
  uint8_t ch = 'c';
  rpc::Guid16 guid{};
  struct Case {
    const char* name;
    const ProcDesc* proc;
    std::function<void(ArgSlot*)> set;
    uint32_t want;
  };
  const Case cases[] = {
      {"key unreadable", &kDelUserLog, [&](ArgSlot* a) { a[1].ptr = none; }, kAv},
      {"text unreadable", &kDelUserLog, [&](ArgSlot* a) { a[2].ptr = none; }, kAv},
      {"text ends on the last readable byte", &kDelUserLog,
       [&](ArgSlot* a) { a[2].ptr = text_to_edge + page - 100; }, 0},
      {"text runs into an unreadable page", &kDelUserLog,
       [&](ArgSlot* a) { a[2].ptr = ro + page - 3; }, kAv},
      {"ids end on the last readable byte", &kSendFaxStop,
       [&](ArgSlot* a) { a[2].ptr = ro + page - 12; a[3].value = 12; }, 0},
      {"ids one byte past it", &kSendFaxStop,
       [&](ArgSlot* a) { a[2].ptr = ro + page - 11; a[3].value = 12; }, kAv},
      {"key out read-only", &kLogIn, [&](ArgSlot* a) { a[1].ptr = ro; }, kAv},
      {"in/out block read-only", &kLogIn, [&](ArgSlot* a) { a[3].ptr = ro; }, kAv},
      {"count unreadable", &kGetDraft, [&](ArgSlot* a) { a[2].ptr = none; }, kAv},
      {"reply pointer unwritable", &kGetDraft, [&](ArgSlot* a) { a[3].ptr = ro; }, kAv},
      {"character unreadable", &kImportFaxInfo, [&](ArgSlot* a) { a[3].ptr = none; }, kAv},
      {"structure's items unreadable", &kSendFaxFromConn,
       [&](ArgSlot* a) { conn.items = none; conn.item_count = 1; a[2].ptr = &conn; }, kAv},
      {"structure's data unreadable", &kSendFaxFromConn,
       [&](ArgSlot* a) { conn = MakeConn(); conn.data = none; conn.data_length = 1; a[2].ptr = &conn; }, kAv},
      {"array unreadable", &kAdvise, [&](ArgSlot* a) { a[4].ptr = none; a[3].value = 16; }, kAv},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A valid call of each procedure first; the case spoils one part.
    Bytes buf(1680, 0);
    ArgSlot a[kMaxParams + 1] = {};
    for (int pos = 1; pos <= c.proc->param_count; ++pos) {
      switch (c.proc->params[pos - 1].shape) {
        case S::kKey: case S::kKeyOut: a[pos].ptr = key_.b; break;
        case S::kText: a[pos].ptr = const_cast<char*>("t"); break;
        case S::kLong: a[pos].value = 4; break;
        case S::kCount: a[pos].ptr = &count; break;
        case S::kReplyOut: a[pos].ptr = &reply_in; break;
        case S::kChar: a[pos].ptr = &ch; break;
        case S::kConnSendInfo: a[pos].ptr = &conn; break;
        case S::kGuid: a[pos].ptr = &guid; break;
        default: a[pos].ptr = buf.data(); break;
      }
    }
    if (c.proc == &kLogIn) a[2].value = 1680;
    c.set(a);
    EXPECT_EQ(RpcCode([&] { MarshalRequest(*c.proc, a); }), c.want);
  }
  munmap(m, 3 * page);
}

TEST_F(ProcTest, PrintToTiffEncodesTheSameWayBothWays) {
  PrintToTiffInfo t{};
  std::strcpy(t.text1, "in.ps");
  std::strcpy(t.text2, "out.tif");
  t.value1 = 3;
  t.value2 = -4;
  ArgSlot a[2] = {};
  a[1].ptr = &t;
  EXPECT_EQ(MarshalRequest(kPrintToTiff, a),
            Wire().vtext("in.ps").vtext("out.tif").u32(3).u32(0xFFFFFFFC).bytes());
  Bytes reply = Wire().vtext("srv").vtext("").u32(10).u32(20).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kPrintToTiff, reply, Drep::Little(), a, TrackingHeap::Routines()),
            1);
  EXPECT_STREQ(t.text1, "srv");
  EXPECT_STREQ(t.text2, "");
  EXPECT_EQ(t.text1[4], 0);  // the rest of the field is cleared
  EXPECT_EQ(t.value1, 10);
  EXPECT_EQ(t.value2, 20);
}

TEST_F(ProcTest, NullReferencesRaise1780BeforeAnythingElse) {
  struct Case {
    const ProcDesc* proc;
    int null_pos;
  };
  int32_t count = 0;
  uint8_t* reply = nullptr;
  Bytes buf(64);
  PrintToTiffInfo tiff{};
  ConnSendInfo conn{};
  Guid16 guid{};
  char ch = 'x';
  auto fill = [&](const ProcDesc& p, ArgSlot* a) {
    for (int pos = 1; pos <= p.param_count; ++pos) {
      switch (p.params[pos - 1].shape) {
        case S::kLong: a[pos].value = 4; break;
        case S::kKey: case S::kKeyOut: a[pos].ptr = key_.b; break;
        case S::kText: case S::kSizedText: a[pos].ptr = const_cast<char*>(""); break;
        case S::kChar: a[pos].ptr = &ch; break;
        case S::kReply: case S::kReplyOut: a[pos].ptr = &reply; break;
        case S::kCount: case S::kCountOut: a[pos].ptr = &count; break;
        case S::kConnSendInfo: a[pos].ptr = &conn; break;
        case S::kPrintToTiff: a[pos].ptr = &tiff; break;
        case S::kGuid: a[pos].ptr = &guid; break;
        default: a[pos].ptr = buf.data(); break;
      }
    }
  };
  const ProcDesc* procs[] = {&kQueryUserLog, &kSendFax, &kTransferFax, &kGetFaxFile,
                             &kImportFaxInfo, &kReserved92, &kSendFaxFromConn, &kPrintToTiff,
                             &kGetDraft, &kLogIn, &kAdvise};
  for (const ProcDesc* p : procs) {
    for (int pos = 1; pos <= p->param_count; ++pos) {
      if (p->params[pos - 1].shape == S::kLong) continue;
      ArgSlot a[kMaxParams + 1] = {};
      fill(*p, a);
      a[pos].ptr = nullptr;
      // A negative size elsewhere must not win over the null reference.
      for (int q = 1; q <= p->param_count; ++q)
        if (p->params[q - 1].shape == S::kLong) a[q].value = -1;
      EXPECT_EQ(RpcCode([&] { MarshalRequest(*p, a); }), status::kNullRefPointer)
          << p->name << " position " << pos;
    }
    ArgSlot a[kMaxParams + 1] = {};
    fill(*p, a);
    EXPECT_EQ(RpcCode([&] { MarshalRequest(*p, a); }), 0u) << p->name;
  }
}

TEST_F(ProcTest, NegativeSizesRaiseInvalidBound) {
  ArgSlot a[6] = {};
  Bytes buf(8);
  int32_t count = -1;
  a[1].ptr = key_.b;
  a[2].ptr = buf.data();
  a[3].value = 8;
  a[4].ptr = buf.data();
  a[5].ptr = &count;
  EXPECT_EQ(RpcCode([&] { MarshalRequest(kSendFax, a); }), status::kInvalidBound);
  count = 8;
  a[3].value = -8;
  EXPECT_EQ(RpcCode([&] { MarshalRequest(kSendFax, a); }), status::kInvalidBound);
}

// ---------------------------------------------------------------- replies

TEST_F(ProcTest, NullReplyWithCountZeroLeavesThePointerNull) {
  int32_t count = 0;
  uint8_t* reply = nullptr;
  ArgSlot a[5] = {};
  a[1].ptr = key_.b;
  a[2].ptr = const_cast<char*>("");
  a[3].ptr = &reply;
  a[4].ptr = &count;
  EXPECT_EQ(MarshalRequest(kQueryUserLog, a),
            Wire().raw(key_.b, 24).u32(1).u32(0).u32(1).u8(0).u32(0).u32(0).bytes());
  Bytes wire = Wire().u32(0).u32(0).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kQueryUserLog, wire, Drep::Little(), a, TrackingHeap::Routines()),
            1);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(TrackingHeap::calls, 0);
}

TEST_F(ProcTest, ReplyIsAllocatedThroughTheMemoryRoutinesInBothByteOrders) {
  for (bool big : {false, true}) {
    int32_t count = 0;
    uint8_t* reply = nullptr;
    ArgSlot a[5] = {};
    a[1].ptr = key_.b;
    a[2].ptr = const_cast<char*>("x");
    a[3].ptr = &reply;
    a[4].ptr = &count;
    Bytes data = Iota(1016);  // two USERLOG_TABLE records
    Bytes wire = Wire(big).u32(0x00020000).u32(1016).raw(data).u32(1016).u32(0xC1FF3016).bytes();
    int32_t result = UnmarshalResponse(kQueryUserLog, wire, big ? Drep::Big() : Drep::Little(),
                                       a, TrackingHeap::Routines());
    EXPECT_EQ(static_cast<uint32_t>(result), 0xC1FF3016u);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(TrackingHeap::live.count(reply), 1u);
    EXPECT_EQ(count, 1016);
    EXPECT_EQ(Bytes(reply, reply + 1016), data);
    TrackingHeap::Release(reply);
  }
}

// A reply received in place (as the client connection fills it, here in
// 7-byte pieces): the array received into the block is handed over as the
// block itself; anything else decodes as the joined bytes would.
TEST_F(ProcTest, PlacedRepliesHandTheirBlockOverOrDecodeJoined) {
  const Bytes data = Iota(1016);
  struct Case {
    const char* name;
    Bytes wire;
    bool big;
    size_t lead;  // 0: ReplyLead's
    uint32_t code;
    bool handed_over;
    int32_t count;
  } cases[] = {
      {"array at the seam", Wire().u32(0x20000).u32(1016).raw(data).u32(1016).u32(7).bytes(), false,
       0, 0, true, 1016},
      {"big-endian", Wire(true).u32(0x20000).u32(1016).raw(data).u32(1016).u32(7).bytes(), true, 0,
       0, true, 1016},
      {"empty array", Wire().u32(0x20000).u32(0).u32(0).u32(7).bytes(), false, 0, 0, false, 0},
      {"null referent", Wire().u32(0).u32(0).u32(7).bytes(), false, 0, 0, false, 0},
      {"seam elsewhere", Wire().u32(0x20000).u32(1016).raw(data).u32(1016).u32(7).bytes(), false,
       12, 0, false, 1016},
      {"count disagrees", Wire().u32(0x20000).u32(1016).raw(data).u32(1015).u32(7).bytes(), false,
       0, status::kBadStubData, false, 0},
      {"array cut short", Wire().u32(0x20000).u32(1016).raw(Iota(100)).bytes(), false, 0,
       status::kBadStubData, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrackingHeap::Reset();
    int32_t count = 0;
    uint8_t* reply = nullptr;
    ArgSlot a[5] = {};
    a[1].ptr = key_.b;
    a[2].ptr = const_cast<char*>("");
    a[3].ptr = &reply;
    a[4].ptr = &count;
    EXPECT_EQ(ReplyLead(kQueryUserLog, a), 8u);
    const size_t lead = c.lead != 0 ? c.lead : 8;
    const uint8_t* block = nullptr;
    uint32_t code = 0;
    {
      PlacedReply placed(TrackingHeap::Routines(), lead);
      placed.drep = c.big ? Drep::Big() : Drep::Little();
      placed.Expect(c.wire.size(), 1u << 20);
      for (size_t off = 0; off < c.wire.size();) {
        std::span<uint8_t> room = placed.Room(std::min<size_t>(7, c.wire.size() - off));
        ASSERT_FALSE(room.empty());
        std::memcpy(room.data(), c.wire.data() + off, room.size());
        placed.Filled(room.size());
        off += room.size();
      }
      block = placed.body().data();
      if (c.handed_over) EXPECT_EQ(TrackingHeap::live.size(), 1u);  // the block, nothing else yet
      code = RpcCode([&] { EXPECT_EQ(UnmarshalResponse(kQueryUserLog, &placed, a), 7); });
    }
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(reply != nullptr && reply == block, c.handed_over);
    if (c.count > 0) {
      ASSERT_NE(reply, nullptr);
      EXPECT_EQ(Bytes(reply, reply + c.count), data);
    }
    // What the caller holds is all that is left allocated.
    EXPECT_EQ(TrackingHeap::live.size(), reply != nullptr ? 1u : 0u);
    EXPECT_EQ(TrackingHeap::live.count(reply), reply != nullptr ? 1u : 0u);
  }
  // Only an array the run time allocates after fixed-size outs is placed.
  uint8_t* mine = reinterpret_cast<uint8_t*>(key_.b);
  int32_t n = 24;
  ArgSlot own[5] = {};
  own[1].ptr = key_.b;
  own[2].ptr = const_cast<char*>("");
  own[3].ptr = &mine;
  own[4].ptr = &n;
  EXPECT_EQ(ReplyLead(kQueryUserLog, own), 0u);
  uint8_t* draft = nullptr;
  ArgSlot d[4] = {};
  d[1].ptr = key_.b;
  d[2].ptr = &n;
  d[3].ptr = &draft;
  EXPECT_EQ(ReplyLead(kGetDraft, d), 12u);  // the count comes first
}

TEST_F(ProcTest, UnsupportedDataRepresentationIsRefused) {
  int32_t value = 0;
  ArgSlot a[5] = {};
  a[1].ptr = key_.b;
  a[2].value = 1;
  a[3].ptr = const_cast<char*>("f");
  a[4].ptr = &value;
  Bytes wire = Wire().u32(5).u32(1).bytes();
  Drep ebcdic;
  ebcdic.b[0] = 0x11;
  EXPECT_EQ(RpcCode([&] {
              UnmarshalResponse(kGetFaxFile, wire, ebcdic, a, TrackingHeap::Routines());
            }),
            status::kBadStubData);
  EXPECT_EQ(value, 0);
  ServerArgs args;
  EXPECT_FALSE(UnmarshalRequest(kGetFaxFile, MarshalRequest(kGetFaxFile, a), ebcdic, &args));
  EXPECT_TRUE(UnmarshalRequest(kGetFaxFile, MarshalRequest(kGetFaxFile, a), Drep::Little(), &args));
}

TEST_F(ProcTest, EmptyNonNullReplyGetsAnAllocation) {
  int32_t count = 0;
  uint8_t* reply = nullptr;
  ArgSlot a[5] = {};
  a[1].ptr = key_.b;
  a[2].ptr = const_cast<char*>("");
  a[3].ptr = &reply;
  a[4].ptr = &count;
  Bytes wire = Wire().u32(0x00020000).u32(0).u32(0).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kQueryUserLog, wire, Drep::Little(), a, TrackingHeap::Routines()),
            1);
  EXPECT_NE(reply, nullptr);
  EXPECT_EQ(count, 0);
}

TEST_F(ProcTest, BigEndianReplies) {
  // Key-out: only the session number is swapped; the info block is bytes.
  Key key{};
  Bytes info(1680);
  ArgSlot a[4] = {};
  a[1].ptr = key.b;
  a[2].value = 1680;
  a[3].ptr = info.data();
  Key server_key = MakeKey("carol", 0x11223344);
  Bytes server_info = Iota(1680, 3);
  Bytes wire = Wire(true).key(server_key.b).u32(1680).raw(server_info).u32(1).bytes();
  EXPECT_EQ(wire[23], 0x44);  // the session number really is big-endian on the wire
  EXPECT_EQ(UnmarshalResponse(kLogIn, wire, Drep::Big(), a, TrackingHeap::Routines()), 1);
  EXPECT_EQ(std::memcmp(key.b, server_key.b, 24), 0);
  EXPECT_EQ(info, server_info);

  // Count-out and the result.
  int32_t value = 0;
  ArgSlot b[5] = {};
  b[1].ptr = key_.b;
  b[2].value = 1;
  b[3].ptr = const_cast<char*>("f");
  b[4].ptr = &value;
  Bytes wire2 = Wire(true).u32(0x12345678).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kGetFaxFile, wire2, Drep::Big(), b, TrackingHeap::Routines()), 1);
  EXPECT_EQ(value, 0x12345678);

  // PRINTTOTIFFINFO values.
  PrintToTiffInfo t{};
  ArgSlot c[2] = {};
  c[1].ptr = &t;
  Bytes wire3 = Wire(true).vtext("a").vtext("bc").u32(7).u32(0xFFFFFFFF).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kPrintToTiff, wire3, Drep::Big(), c, TrackingHeap::Routines()), 1);
  EXPECT_STREQ(t.text2, "bc");
  EXPECT_EQ(t.value1, 7);
  EXPECT_EQ(t.value2, -1);
}

TEST_F(ProcTest, IoBlockRefReplyIsCopiedIntoTheCallersBuffer) {
  Bytes job(10, 1);
  Bytes results(88, 0xEE);
  int32_t count = 88;
  ArgSlot a[6] = {};
  a[1].ptr = key_.b;
  a[2].ptr = job.data();
  a[3].value = 10;
  a[4].ptr = results.data();
  a[5].ptr = &count;
  EXPECT_EQ(MarshalRequest(kSendFax, a),
            Wire().raw(key_.b, 24).u32(10).raw(job).u32(10).u32(88).raw(results).u32(88).bytes());
  Bytes back = Iota(44);
  Bytes wire = Wire().u32(44).raw(back).u32(44).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kSendFax, wire, Drep::Little(), a, TrackingHeap::Routines()), 1);
  EXPECT_EQ(count, 44);
  EXPECT_EQ(Bytes(results.begin(), results.begin() + 44), back);
  EXPECT_EQ(results[44], 0xEE);  // untouched beyond the reply
}

TEST_F(ProcTest, ReplyIntoACallersOwnBuffer) {
  Bytes mine(8, 0xAA);
  uint8_t* reply = mine.data();
  int32_t count = 8;
  ArgSlot a[4] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &count;
  a[3].ptr = &reply;
  Bytes ok = Wire().u32(6).u32(0x00020000).u32(6).raw(Iota(6)).u32(1).bytes();
  EXPECT_EQ(UnmarshalResponse(kGetDraft, ok, Drep::Little(), a, TrackingHeap::Routines()), 1);
  EXPECT_EQ(reply, mine.data());
  EXPECT_EQ(count, 6);
  EXPECT_EQ(mine[5], 6);
  EXPECT_EQ(mine[6], 0xAA);
  EXPECT_EQ(TrackingHeap::calls, 0);
  // More than the caller's 6 bytes (its count now) is refused.
  Bytes too_big = Wire().u32(7).u32(0x00020000).u32(7).raw(Iota(7)).u32(1).bytes();
  EXPECT_EQ(RpcCode([&] {
              UnmarshalResponse(kGetDraft, too_big, Drep::Little(), a, TrackingHeap::Routines());
            }),
            status::kBadStubData);
  EXPECT_EQ(mine[6], 0xAA);
}

// A hostile reply: every case must fail with 1783, write nothing into the
// caller's memory and leave nothing allocated.
struct HostileCase {
  const char* name;
  Bytes wire;
};

TEST_F(ProcTest, HostileRepliesForAReplyBlock) {
  Bytes data = Iota(12);
  Bytes good = Wire().u32(0x00020000).u32(12).raw(data).u32(12).u32(1).bytes();
  std::vector<HostileCase> cases = {
      {"count beyond the data", Wire().u32(0x20000).u32(13).raw(data).u32(13).u32(1).bytes()},
      {"huge count", Wire().u32(0x20000).u32(0xFFFFFFFF).raw(data).bytes()},
      {"count 2^31", Wire().u32(0x20000).u32(0x80000000).raw(data).u32(1).bytes()},
      {"count disagrees with the array",
       Wire().u32(0x20000).u32(12).raw(data).u32(1000000).u32(1).bytes()},
      {"negative count", Wire().u32(0x20000).u32(12).raw(data).u32(0xFFFFFFFF).u32(1).bytes()},
      {"no result", Wire().u32(0x20000).u32(12).raw(data).u32(12).bytes()},
      {"empty", {}},
  };
  for (size_t cut = 0; cut < good.size(); ++cut) {
    cases.push_back({"truncated", Bytes(good.begin(), good.begin() + cut)});
  }
  for (const auto& c : cases) {
    int32_t count = 0;
    uint8_t* reply = nullptr;
    ArgSlot a[5] = {};
    a[1].ptr = key_.b;
    a[2].ptr = const_cast<char*>("");
    a[3].ptr = &reply;
    a[4].ptr = &count;
    EXPECT_EQ(RpcCode([&] {
                UnmarshalResponse(kQueryUserLog, c.wire, Drep::Little(), a,
                                  TrackingHeap::Routines());
              }),
              status::kBadStubData)
        << c.name << " " << c.wire.size();
    EXPECT_EQ(reply, nullptr) << c.name;
    EXPECT_EQ(count, 0) << c.name;
    EXPECT_EQ(TrackingHeap::calls, 0) << c.name;
  }
}

TEST_F(ProcTest, HostileRepliesForCallerBuffers) {
  Key server_key = MakeKey("eve", 5);
  struct Case {
    const char* name;
    const ProcDesc* proc;
    Bytes wire;
  };
  const Case cases[] = {
      {"ioblock count smaller", &kLogIn,
       Wire().raw(server_key.b, 24).u32(1679).raw(Iota(1679)).u32(1).bytes()},
      {"ioblock count larger", &kLogIn,
       Wire().raw(server_key.b, 24).u32(1681).raw(Iota(1681)).u32(1).bytes()},
      {"ioblock truncated", &kLogIn, Wire().raw(server_key.b, 24).u32(1680).raw(Iota(100)).bytes()},
      {"ioblock-ref beyond the buffer", &kSendFax,
       Wire().u32(89).raw(Iota(89)).u32(89).u32(1).bytes()},
      {"ioblock-ref count disagrees", &kSendFax,
       Wire().u32(44).raw(Iota(44)).u32(88).u32(1).bytes()},
      {"tiff offset not 0", &kPrintToTiff,
       Wire().u32(1).u32(2).raw("a", 2).vtext("").u32(1).u32(2).u32(1).bytes()},
      {"tiff actual above the field", &kPrintToTiff,
       Wire().u32(0).u32(257).raw(std::string(256, 'a').c_str(), 257).vtext("").u32(1).u32(2)
           .u32(1).bytes()},
      {"tiff without NUL", &kPrintToTiff,
       Wire().u32(0).u32(2).raw("ab", 2).vtext("").u32(1).u32(2).u32(1).bytes()},
      {"tiff actual 0", &kPrintToTiff,
       Wire().u32(0).u32(0).vtext("").u32(1).u32(2).u32(1).bytes()},
  };
  for (const auto& c : cases) {
    Key key = MakeKey("keep", 1);
    Bytes buf(1680, 0x5A);
    int32_t count = 88;
    PrintToTiffInfo tiff{};
    std::strcpy(tiff.text1, "keep");
    ArgSlot a[kMaxParams + 1] = {};
    if (c.proc == &kLogIn) {
      a[1].ptr = key.b;
      a[2].value = 1680;
      a[3].ptr = buf.data();
    } else if (c.proc == &kSendFax) {
      a[1].ptr = key_.b;
      a[2].ptr = buf.data();
      a[3].value = 4;
      a[4].ptr = buf.data();
      a[5].ptr = &count;
    } else {
      a[1].ptr = &tiff;
    }
    EXPECT_EQ(RpcCode([&] {
                UnmarshalResponse(*c.proc, c.wire, Drep::Little(), a, TrackingHeap::Routines());
              }),
              status::kBadStubData)
        << c.name;
    EXPECT_EQ(buf, Bytes(1680, 0x5A)) << c.name;
    EXPECT_EQ(count, 88) << c.name;
    EXPECT_STREQ(tiff.text1, "keep") << c.name;
    EXPECT_EQ(std::memcmp(key.b, MakeKey("keep", 1).b, 24), 0) << c.name;
  }
}

TEST_F(ProcTest, AllocationFailureRaises14AndReleasesEarlierReplies) {
  int32_t c1 = 0, c2 = 0;
  uint8_t *r1 = nullptr, *r2 = nullptr;
  ArgSlot a[5] = {};
  a[1].ptr = &r1;
  a[2].ptr = &c1;
  a[3].ptr = &r2;
  a[4].ptr = &c2;
  Bytes wire = Wire()
                   .u32(0x20000).u32(3).raw(Iota(3)).u32(3)
                   .u32(0x20000).u32(2).raw(Iota(2)).u32(2)
                   .u32(1)
                   .bytes();
  TrackingHeap::fail_at = 1;
  EXPECT_EQ(RpcCode([&] {
              UnmarshalResponse(kTwoReplies, wire, Drep::Little(), a, TrackingHeap::Routines());
            }),
            status::kOutOfMemory);
  EXPECT_EQ(TrackingHeap::calls, 2);
  EXPECT_TRUE(TrackingHeap::live.empty());
  EXPECT_EQ(r1, nullptr);
  EXPECT_EQ(r2, nullptr);
  EXPECT_EQ(c1, 0);
  TrackingHeap::fail_at = -1;
  EXPECT_EQ(UnmarshalResponse(kTwoReplies, wire, Drep::Little(), a, TrackingHeap::Routines()), 1);
  EXPECT_EQ(TrackingHeap::live.size(), 2u);
  EXPECT_EQ(c1, 3);
  EXPECT_EQ(c2, 2);
}

TEST_F(ProcTest, ValidateProcDescChecksSizeParameters) {
  for (const ProcDesc* p : {&kQueryUserLog, &kSendFax, &kTransferFax, &kReserved92, &kGetDraft,
                            &kLogIn, &kAdvise, &kTwoReplies}) {
    EXPECT_TRUE(ValidateProcDesc(*p)) << p->name;
  }
  const ProcDesc bad[] = {
      {0, "size param out of range", true, 2, {{S::kBlock, 3}, {S::kLong}}},
      {0, "size param is itself", true, 2, {{S::kBlock, 1}, {S::kLong}}},
      {0, "block sized by a count", true, 2, {{S::kBlock, 2}, {S::kCount}}},
      {0, "reply sized by a long", true, 2, {{S::kReply, 2}, {S::kLong}}},
      {0, "ioblock-ref sized by count-out", true, 2, {{S::kIoBlockRef, 2}, {S::kCountOut}}},
      {0, "too many", true, kMaxParams + 1, {}},
  };
  for (const auto& p : bad) EXPECT_FALSE(ValidateProcDesc(p)) << p.name;
  ArgSlot a[kMaxParams + 2] = {};
  EXPECT_EQ(RpcCode([&] { MarshalRequest(bad[0], a); }), status::kInvalidParameter);
}

// ---------------------------------------------------------------- server side

class ServerSideTest : public ProcTest {
 protected:
  ServerArgs Decode(const ProcDesc& p, const Bytes& req, Drep drep = Drep::Little()) {
    ServerArgs args;
    EXPECT_TRUE(UnmarshalRequest(p, req, drep, &args)) << p.name;
    if (args.values.size() != static_cast<size_t>(p.param_count) + 1) {
      args.values.resize(p.param_count + 1);
      ADD_FAILURE() << p.name << ": wrong number of values";
    }
    return args;
  }
  Bytes KeyBytes() const { return Bytes(key_.b, key_.b + 24); }
};

TEST_F(ServerSideTest, TextReplyAndCountRoundTrip) {
  int32_t count = 0;
  uint8_t* reply = nullptr;
  ArgSlot a[5] = {};
  a[1].ptr = key_.b;
  a[2].ptr = const_cast<char*>("Flag=1");
  a[3].ptr = &reply;
  a[4].ptr = &count;
  ServerArgs args = Decode(kQueryUserLog, MarshalRequest(kQueryUserLog, a));
  EXPECT_EQ(args[1].bytes, KeyBytes());
  EXPECT_EQ(args[2].text, "Flag=1");
  EXPECT_FALSE(args[3].present);
  EXPECT_EQ(args[4].number, 0);

  args[3].present = true;
  args[3].bytes = Iota(30);
  args[4].number = 999;  // the engine sends the reply's size instead
  Bytes resp = MarshalResponse(kQueryUserLog, args, 1);
  EXPECT_EQ(resp, Wire().u32(0x00020000).u32(30).raw(Iota(30)).u32(30).u32(1).bytes());
  EXPECT_EQ(UnmarshalResponse(kQueryUserLog, resp, Drep::Little(), a, TrackingHeap::Routines()),
            1);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(Bytes(reply, reply + 30), Iota(30));
  EXPECT_EQ(count, 30);

  // No reply: null referent and a count of 0.
  args[3].present = false;
  args[4].number = 5;
  EXPECT_EQ(MarshalResponse(kQueryUserLog, args, 7), Wire().u32(0).u32(0).u32(7).bytes());
}

TEST_F(ServerSideTest, BlockAndIoBlockRefRoundTrip) {
  Bytes job = Iota(10);
  Bytes results(88, 0xEE);
  int32_t count = 88;
  ArgSlot a[6] = {};
  a[1].ptr = key_.b;
  a[2].ptr = job.data();
  a[3].value = 10;
  a[4].ptr = results.data();
  a[5].ptr = &count;
  ServerArgs args = Decode(kSendFax, MarshalRequest(kSendFax, a));
  EXPECT_EQ(args[2].bytes, job);
  EXPECT_EQ(args[3].number, 10);
  EXPECT_EQ(args[4].bytes, Bytes(88, 0xEE));
  EXPECT_EQ(args[5].number, 88);

  args[4].bytes = Iota(50);  // cut to the count the handler sets
  args[5].number = 44;
  Bytes resp = MarshalResponse(kSendFax, args, 1);
  EXPECT_EQ(resp, Wire().u32(44).raw(Iota(44)).u32(44).u32(1).bytes());
  EXPECT_EQ(UnmarshalResponse(kSendFax, resp, Drep::Little(), a, TrackingHeap::Routines()), 1);
  EXPECT_EQ(count, 44);
  EXPECT_EQ(Bytes(results.begin(), results.begin() + 44), Iota(44));
}

TEST_F(ServerSideTest, IdsRoundTripInBothByteOrders) {
  Bytes request = Iota(340);
  Bytes results(44);
  ArgSlot a[6] = {};
  a[1].ptr = key_.b;
  a[2].ptr = request.data();
  a[3].value = 340;
  a[4].ptr = results.data();
  a[5].value = 44;
  ServerArgs args = Decode(kTransferFax, MarshalRequest(kTransferFax, a));
  EXPECT_EQ(args[2].bytes, request);
  EXPECT_EQ(args[3].number, 340);
  EXPECT_EQ(args[4].bytes, results);

  // A big-endian sender of rpcSendFaxStop: elements and counts swapped.
  Wire w(true);
  w.key(key_.b).u32(12).u32(0x0A0B0C0D).u32(2).u32(3);
  for (int i = 0; i < 9; ++i) w.u32(0);
  w.u32(12);
  ServerArgs be = Decode(kSendFaxStop, w.bytes(), Drep::Big());
  EXPECT_EQ(be[1].bytes, KeyBytes());
  EXPECT_EQ(be[2].bytes, Wire().u32(0x0A0B0C0D).u32(2).u32(3).bytes());
  EXPECT_EQ(be[3].number, 12);

  // A list that is not a whole number of elements: 6 bytes in 6 elements.
  Wire odd(true);
  odd.key(key_.b).u32(6).u32(0x01020304).u32(0x05060000);
  for (int i = 0; i < 4; ++i) odd.u32(0);
  odd.u32(6);
  ServerArgs o = Decode(kSendFaxStop, odd.bytes(), Drep::Big());
  EXPECT_EQ(o[2].bytes, (Bytes{4, 3, 2, 1, 0, 0}));
}

TEST_F(ServerSideTest, CharKeyOutIoBlockAndCountOut) {
  char info[2] = {'Q', 'Z'};
  ArgSlot a[5] = {};
  a[1].ptr = key_.b;
  a[2].value = 3;
  a[3].ptr = info;
  a[4].value = 2;
  ServerArgs imp = Decode(kImportFaxInfo, MarshalRequest(kImportFaxInfo, a));
  EXPECT_EQ(imp[3].number, 'Q');
  EXPECT_EQ(imp[3].bytes, Bytes{'Q'});
  EXPECT_EQ(imp[4].number, 2);

  Key key{};
  Bytes info_block(1680, 0);
  ArgSlot l[4] = {};
  l[1].ptr = key.b;
  l[2].value = 1680;
  l[3].ptr = info_block.data();
  ServerArgs login = Decode(kLogIn, MarshalRequest(kLogIn, l));
  EXPECT_EQ(login[2].number, 1680);
  EXPECT_EQ(login[3].bytes, Bytes(1680, 0));
  Key server_key = MakeKey("dave", 42);
  login[1].bytes.assign(server_key.b, server_key.b + 24);
  login[3].bytes = Iota(100);  // padded with zeros to the 1680 of the request
  Bytes resp = MarshalResponse(kLogIn, login, 1);
  EXPECT_EQ(resp.size(), 24u + 4 + 1680 + 4);
  EXPECT_EQ(UnmarshalResponse(kLogIn, resp, Drep::Little(), l, TrackingHeap::Routines()), 1);
  EXPECT_EQ(std::memcmp(key.b, server_key.b, 24), 0);
  Bytes want = Iota(100);
  want.resize(1680, 0);
  EXPECT_EQ(info_block, want);

  int32_t value = 0;
  ArgSlot g[5] = {};
  g[1].ptr = key_.b;
  g[2].value = 17;
  g[3].ptr = const_cast<char*>("name.tif");
  g[4].ptr = &value;
  ServerArgs get = Decode(kGetFaxFile, MarshalRequest(kGetFaxFile, g));
  EXPECT_EQ(get[2].number, 17);
  EXPECT_EQ(get[3].text, "name.tif");
  get[4].number = -123;
  Bytes r = MarshalResponse(kGetFaxFile, get, 1);
  EXPECT_EQ(r, Wire().u32(0xFFFFFF85).u32(1).bytes());
  EXPECT_EQ(UnmarshalResponse(kGetFaxFile, r, Drep::Little(), g, TrackingHeap::Routines()), 1);
  EXPECT_EQ(value, -123);
}

TEST_F(ServerSideTest, ConnSendInfoRoundTrip) {
  ConnSendInfo c = MakeConn();
  Bytes items = Iota(336);
  Bytes data = Iota(9, 100);
  c.item_count = 2;
  c.items = items.data();
  c.data_length = 9;
  c.data = data.data();
  std::memset(c.text1, 'z', 255);
  ArgSlot a[3] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &c;
  ServerArgs args = Decode(kSendFaxFromConn, MarshalRequest(kSendFaxFromConn, a));
  const ConnSendInfo& d = args[2].conn;
  EXPECT_EQ(d.value1, 1);
  EXPECT_EQ(d.value9, 9);
  EXPECT_EQ(d.real1, 1.5);
  EXPECT_EQ(d.real2, -2.25);
  EXPECT_EQ(std::string(d.text1), std::string(255, 'z'));
  EXPECT_STREQ(d.text3, "t3");
  EXPECT_STREQ(d.text6, "t6");
  EXPECT_EQ(d.item_count, 2);
  ASSERT_NE(d.items, nullptr);
  EXPECT_EQ(Bytes(d.items, d.items + 336), items);
  EXPECT_EQ(d.data_length, 9);
  ASSERT_NE(d.data, nullptr);
  EXPECT_EQ(Bytes(d.data, d.data + 9), data);
  // Only the result comes back.
  EXPECT_EQ(MarshalResponse(kSendFaxFromConn, args, 1), Wire().u32(1).bytes());

  c.items = nullptr;
  c.data = nullptr;
  ServerArgs none = Decode(kSendFaxFromConn, MarshalRequest(kSendFaxFromConn, a));
  EXPECT_EQ(none[2].conn.items, nullptr);
  EXPECT_EQ(none[2].conn.data, nullptr);
  EXPECT_EQ(none[2].conn.item_count, 2);  // the count travels even without the array
}

TEST_F(ServerSideTest, PrintToTiffGuidCvArrayAndSizedText) {
  PrintToTiffInfo t{};
  std::strcpy(t.text1, "a.ps");
  t.value1 = 5;
  ArgSlot a[2] = {};
  a[1].ptr = &t;
  ServerArgs tiff = Decode(kPrintToTiff, MarshalRequest(kPrintToTiff, a));
  EXPECT_STREQ(tiff[1].tiff.text1, "a.ps");
  EXPECT_EQ(tiff[1].tiff.value1, 5);
  std::strcpy(tiff[1].tiff.text2, "b.tif");
  tiff[1].tiff.value2 = 6;
  Bytes r = MarshalResponse(kPrintToTiff, tiff, 1);
  EXPECT_EQ(UnmarshalResponse(kPrintToTiff, r, Drep::Little(), a, TrackingHeap::Routines()), 1);
  EXPECT_STREQ(t.text1, "a.ps");
  EXPECT_STREQ(t.text2, "b.tif");
  EXPECT_EQ(t.value2, 6);

  Guid16 g{{0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40, 0x89, 0x65, 0xc8, 0x03, 0x63, 0x08,
            0xa0, 0x1f}};
  Bytes advise = Iota(60);
  ArgSlot v[5] = {};
  v[1].ptr = &g;
  v[2].value = 8;
  v[3].value = 60;
  v[4].ptr = advise.data();
  ServerArgs adv = Decode(kAdvise, MarshalRequest(kAdvise, v));
  EXPECT_EQ(adv[1].bytes, Bytes(g.bytes, g.bytes + 16));
  EXPECT_EQ(adv[4].bytes, advise);
  // The same GUID from a big-endian sender: data1..data3 arrive swapped.
  Bytes be = Wire(true)
                 .u32(0x7be8ea54)
                 .raw("\xc9\xfb\x40\x29", 4)
                 .raw(g.bytes + 8, 8)
                 .u32(8).u32(60).u32(60).u32(0).u32(60).raw(advise)
                 .bytes();
  ServerArgs adv_be = Decode(kAdvise, be, Drep::Big());
  EXPECT_EQ(adv_be[1].bytes, Bytes(g.bytes, g.bytes + 16));
  EXPECT_EQ(adv_be[3].number, 60);

  ArgSlot s[4] = {};
  s[1].value = 1;
  s[2].value = 8;
  s[3].ptr = const_cast<char*>("abc");
  ServerArgs sized = Decode(kReserved92, MarshalRequest(kReserved92, s));
  EXPECT_EQ(sized[3].text, "abc");
}

TEST_F(ServerSideTest, CountAndReplyOutRoundTrip) {
  int32_t size = 5;
  uint8_t* reply = nullptr;
  ArgSlot a[4] = {};
  a[1].ptr = key_.b;
  a[2].ptr = &size;
  a[3].ptr = &reply;
  Bytes req = MarshalRequest(kGetDraft, a);
  EXPECT_EQ(req, Wire().raw(key_.b, 24).u32(5).bytes());  // reply-out sends nothing
  ServerArgs args = Decode(kGetDraft, req);
  EXPECT_EQ(args[2].number, 5);
  args[3].present = true;
  args[3].bytes = Iota(7);
  Bytes resp = MarshalResponse(kGetDraft, args, 1);
  EXPECT_EQ(resp, Wire().u32(7).u32(0x00020000).u32(7).raw(Iota(7)).u32(1).bytes());
  EXPECT_EQ(UnmarshalResponse(kGetDraft, resp, Drep::Little(), a, TrackingHeap::Routines()), 1);
  EXPECT_EQ(size, 7);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(Bytes(reply, reply + 7), Iota(7));
}

struct BadRequest {
  const char* name;
  const ProcDesc* proc;
  Bytes wire;
};

TEST_F(ServerSideTest, MalformedRequestsAreRefused) {
  Bytes k = KeyBytes();
  ConnSendInfo c = MakeConn();
  Bytes items = Iota(168);
  c.item_count = 1;
  c.items = items.data();
  Bytes conn_ok = ConnWire(key_, c, items, {});
  Bytes conn_bad_count = conn_ok;
  conn_bad_count[conn_bad_count.size() - 172] = 169 & 0xFF;  // array count 169, not 168
  conn_bad_count.push_back(0);                                // and 169 bytes present
  ConnSendInfo neg = c;
  neg.item_count = -1;
  Bytes conn_negative = ConnWire(key_, neg, items, {});
  ConnSendInfo with_data = MakeConn();
  Bytes data = Iota(4);
  with_data.data_length = 5;  // but 4 bytes follow
  with_data.data = data.data();
  Bytes conn_bad_data = ConnWire(key_, with_data, {}, data);

  const BadRequest cases[] = {
      {"text offset not 0", &kDelUserLog, Wire().raw(k).u32(2).u32(1).u32(1).raw("a", 2).bytes()},
      {"text actual above max", &kDelUserLog, Wire().raw(k).u32(1).u32(0).u32(2).raw("a", 2).bytes()},
      {"text without NUL", &kDelUserLog, Wire().raw(k).u32(2).u32(0).u32(2).raw("ab", 2).bytes()},
      {"text actual 0", &kDelUserLog, Wire().raw(k).u32(0).u32(0).u32(0).bytes()},
      {"text beyond the data", &kDelUserLog,
       Wire().raw(k).u32(0xFFFFFFFF).u32(0).u32(0xFFFFFFF0).raw("a", 2).bytes()},
      {"block count differs from K", &kSendFax,
       Wire().raw(k).u32(4).raw(Iota(4)).u32(5).u32(0).u32(0).bytes()},
      {"block count beyond the data", &kSendFax,
       Wire().raw(k).u32(0xFFFFFFFF).raw(Iota(8)).bytes()},
      {"ioblock-ref count differs from *K", &kSendFax,
       Wire().raw(k).u32(0).u32(0).u32(4).raw(Iota(4)).u32(8).bytes()},
      {"ids count differs from K", &kSendFaxStop,
       Wire().raw(k).u32(1).zeros(4).u32(4).bytes()},
      {"ids elements beyond the data", &kSendFaxStop,
       Wire().raw(k).u32(0x40000000).zeros(16).u32(0x40000000).bytes()},
      {"cv offset not 0", &kAdvise,
       Wire().zeros(16).u32(9).u32(2).u32(2).u32(1).u32(2).raw("ab", 2).bytes()},
      {"cv actual above max", &kAdvise,
       Wire().zeros(16).u32(9).u32(2).u32(1).u32(0).u32(2).raw("ab", 2).bytes()},
      {"cv max differs from K", &kAdvise,
       Wire().zeros(16).u32(9).u32(2).u32(3).u32(0).u32(2).raw("ab", 2).bytes()},
      {"cv actual differs from K", &kAdvise,
       Wire().zeros(16).u32(9).u32(2).u32(2).u32(0).u32(1).raw("a", 1).bytes()},
      {"sized text max differs from K", &kReserved92,
       Wire().u32(1).u32(8).u32(9).u32(0).u32(2).raw("a", 2).bytes()},
      {"reply count differs from *K", &kQueryUserLog,
       Wire().raw(k).u32(1).u32(0).u32(1).u8(0).u32(0x20000).u32(3).raw("abc", 3).u32(4).bytes()},
      {"conn item array count", &kSendFaxFromConn, conn_bad_count},
      {"conn negative item count", &kSendFaxFromConn, conn_negative},
      {"conn data count", &kSendFaxFromConn, conn_bad_data},
  };
  for (const auto& bc : cases) {
    ServerArgs args;
    EXPECT_FALSE(UnmarshalRequest(*bc.proc, bc.wire, Drep::Little(), &args)) << bc.name;
  }
  // The unmodified CONNSENDINFO decodes, with garbage after it.
  conn_ok.push_back(0x99);
  ServerArgs args;
  EXPECT_TRUE(UnmarshalRequest(kSendFaxFromConn, conn_ok, Drep::Little(), &args));
}

TEST_F(ServerSideTest, EveryTruncatedRequestIsRefused) {
  int32_t count = 0;
  uint8_t* reply = nullptr;
  Bytes buf = Iota(44);
  ConnSendInfo c = MakeConn();
  Bytes items = Iota(168);
  c.item_count = 1;
  c.items = items.data();
  PrintToTiffInfo t{};
  Guid16 g{};
  char ch = 'c';
  std::vector<std::pair<const ProcDesc*, Bytes>> requests;
  {
    ArgSlot a[5] = {};
    a[1].ptr = key_.b; a[2].ptr = const_cast<char*>("cond"); a[3].ptr = &reply; a[4].ptr = &count;
    requests.push_back({&kQueryUserLog, MarshalRequest(kQueryUserLog, a)});
  }
  {
    count = 44;
    ArgSlot a[6] = {};
    a[1].ptr = key_.b; a[2].ptr = buf.data(); a[3].value = 44; a[4].ptr = buf.data(); a[5].ptr = &count;
    requests.push_back({&kSendFax, MarshalRequest(kSendFax, a)});
  }
  {
    ArgSlot a[4] = {};
    a[1].ptr = key_.b; a[2].ptr = buf.data(); a[3].value = 8;
    requests.push_back({&kSendFaxStop, MarshalRequest(kSendFaxStop, a)});
  }
  {
    ArgSlot a[5] = {};
    a[1].ptr = key_.b; a[2].value = 1; a[3].ptr = &ch; a[4].value = 1;
    requests.push_back({&kImportFaxInfo, MarshalRequest(kImportFaxInfo, a)});
  }
  {
    ArgSlot a[3] = {};
    a[1].ptr = key_.b; a[2].ptr = &c;
    requests.push_back({&kSendFaxFromConn, MarshalRequest(kSendFaxFromConn, a)});
  }
  {
    ArgSlot a[2] = {};
    a[1].ptr = &t;
    requests.push_back({&kPrintToTiff, MarshalRequest(kPrintToTiff, a)});
  }
  {
    ArgSlot a[5] = {};
    a[1].ptr = &g; a[2].value = 9; a[3].value = 16; a[4].ptr = buf.data();
    requests.push_back({&kAdvise, MarshalRequest(kAdvise, a)});
  }
  for (const auto& [proc, req] : requests) {
    ServerArgs args;
    EXPECT_TRUE(UnmarshalRequest(*proc, req, Drep::Little(), &args)) << proc->name;
    for (size_t cut = 0; cut < req.size(); ++cut) {
      Bytes part(req.begin(), req.begin() + cut);
      EXPECT_FALSE(UnmarshalRequest(*proc, part, Drep::Little(), &args))
          << proc->name << " cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace qz::rpc
