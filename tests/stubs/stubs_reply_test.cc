// stubs_reply_test.cc -- what the client stubs do with what comes back:
// reply blocks allocated through the memory routines, null replies, in/out
// blocks copied into the caller's buffer, server statuses, faults and
// dropped connections, and null references refused before anything is sent.
// Thread-safety: test code on the test thread; the memory routines it plugs
// in are process-wide and restored before each test ends.
#include <atomic>
#include <functional>
#include <memory>

#include "tests/stubs/stubs_fixture.h"

namespace qz::stubs_test {
namespace {

class StubReplyTest : public StubsTest {};

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

// Memory routines that count what goes through them; installed for the
// lifetime of the object, the previous ones restored afterwards.
class CountingRoutines {
 public:
  CountingRoutines() : saved_(ifc::GetMemoryRoutines()) {
    allocs = releases = 0;
    last_size = 0;
    fail = false;
    ifc::SetMemoryRoutines(rpc::MemoryRoutines{&Allocate, &Release});
  }
  ~CountingRoutines() { ifc::SetMemoryRoutines(saved_); }

  static inline std::atomic<int> allocs{0}, releases{0};
  static inline std::atomic<size_t> last_size{0};
  static inline std::atomic<bool> fail{false};

 private:
  static void* Allocate(size_t n) {
    if (fail) return nullptr;
    ++allocs;
    last_size = n;
    return std::calloc(1, n == 0 ? 1 : n);
  }
  static void Release(void* p) {
    if (p != nullptr) ++releases;
    std::free(p);
  }
  rpc::MemoryRoutines saved_;
};

// Reply procedures of several parameter layouts, called with a null
// pointer and a count of 0; position of the reply parameter in `reply_pos`.
struct ReplyProc {
  const char* name;
  uint16_t opnum;
  int reply_pos;
  std::function<int32_t(SESSIONKEY*, uint8_t**, int32_t*)> call;
};

std::vector<ReplyProc> ReplyProcs(rpc::BindingHandle h) {
  return {
      {"rpcQueryUserLog", 3, 3,
       [h](SESSIONKEY* k, uint8_t** r, int32_t* n) { return ifc::rpcQueryUserLog(h, k, "", r, n); }},
      {"rpcViewSendTask", 16, 4,
       [h](SESSIONKEY* k, uint8_t** r, int32_t* n) {
         return ifc::rpcViewSendTask(h, k, 1, 2, r, n);
       }},
      {"rpcGetDeviceInfo", 32, 2,
       [h](SESSIONKEY* k, uint8_t** r, int32_t* n) { return ifc::rpcGetDeviceInfo(h, k, r, n); }},
      {"rpcGetFolders", 76, 3,
       [h](SESSIONKEY* k, uint8_t** r, int32_t* n) { return ifc::rpcGetFolders(h, k, 0, r, n); }},
      {"rpcGetInformation", 30, 5,
       [h](SESSIONKEY* k, uint8_t** r, int32_t* n) {
         uint8_t folder[104] = {};
         return ifc::rpcGetInformation(h, k, 1, folder, 104, r, n, "");
       }},
  };
}

TEST_F(StubReplyTest, NullReplyLeavesThePointerNullAndTheCountZero) {
  for (const ReplyProc& p : ReplyProcs(h_)) {
    SCOPED_TRACE(p.name);
    server_->OnCall(p.opnum, [&](rpc::ServerArgs& a) {
      a[p.reply_pos].present = false;
      a[p.reply_pos].bytes.clear();
      return 1;
    });
    uint8_t* reply = nullptr;
    int32_t count = 0;
    EXPECT_EQ(p.call(&key_, &reply, &count), 1);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(count, 0);
    server_->Clear(p.opnum);
  }
}

TEST_F(StubReplyTest, ReplyBlockIsAllocatedThroughTheMemoryRoutines) {
  const Bytes records = Pattern(1016, 0x21);  // two USERLOG_TABLE records
  for (const ReplyProc& p : ReplyProcs(h_)) {
    SCOPED_TRACE(p.name);
    CountingRoutines routines;
    server_->OnCall(p.opnum, [&](rpc::ServerArgs& a) {
      a[p.reply_pos].present = true;
      a[p.reply_pos].bytes = records;
      return 1;
    });
    uint8_t* reply = nullptr;
    int32_t count = 0;
    EXPECT_EQ(p.call(&key_, &reply, &count), 1);
    EXPECT_EQ(CountingRoutines::allocs.load(), 1);
    EXPECT_EQ(CountingRoutines::last_size.load(), 1016u);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(count, 1016);
    EXPECT_TRUE(SameBytes(Bytes(reply, reply + 1016), records));
    ifc::GetMemoryRoutines().release(reply);
    EXPECT_EQ(CountingRoutines::releases.load(), 1);
    server_->Clear(p.opnum);
  }
  // The default routines are back.
  CountingRoutines::allocs = 0;
  server_->OnCall(3, [&](rpc::ServerArgs& a) {
    a[3].present = true;
    a[3].bytes = records;
    return 1;
  });
  uint8_t* reply = nullptr;
  int32_t count = 0;
  EXPECT_EQ(ifc::rpcQueryUserLog(h_, &key_, "", &reply, &count), 1);
  EXPECT_EQ(CountingRoutines::allocs.load(), 0);
  ifc::GetMemoryRoutines().release(reply);
}

// Turning a byte count into records is the session's business: the stub
// hands over every byte the server sent, whole records or not.
TEST_F(StubReplyTest, ReplyThatIsNotWholeRecordsKeepsAllItsBytes) {
  for (size_t n : {size_t{1}, size_t{507}, size_t{1000}, size_t{1017}}) {
    SCOPED_TRACE(n);
    const Bytes data = Pattern(n, static_cast<uint8_t>(n));
    server_->OnCall(3, [&](rpc::ServerArgs& a) {
      a[3].present = true;
      a[3].bytes = data;
      return 1;
    });
    CountingRoutines routines;
    uint8_t* reply = nullptr;
    int32_t count = 0;
    EXPECT_EQ(ifc::rpcQueryUserLog(h_, &key_, "x", &reply, &count), 1);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(count, static_cast<int32_t>(n));
    EXPECT_TRUE(SameBytes(Bytes(reply, reply + n), data));
    ifc::GetMemoryRoutines().release(reply);
    EXPECT_EQ(CountingRoutines::allocs.load(), CountingRoutines::releases.load());
  }
}

TEST_F(StubReplyTest, LargeReplyAcrossFragmentsArrivesWhole) {
  const Bytes data = Pattern(300007, 5);
  server_->OnCall(83, [&](rpc::ServerArgs& a) {
    a[3].present = true;
    a[3].bytes = data;
    return 1;
  });
  uint8_t* reply = nullptr;
  int32_t count = 0;
  EXPECT_EQ(ifc::rpcQueryReport(h_, &key_, "select", &reply, &count), 1);
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(count, 300007);
  EXPECT_TRUE(SameBytes(Bytes(reply, reply + count), data));
  ifc::GetMemoryRoutines().release(reply);
}

// A non-null but empty reply: count 0, and whatever the run time handed
// out goes back through the same routines.
TEST_F(StubReplyTest, EmptyNonNullReplyGivesCountZero) {
  server_->OnCall(3, [](rpc::ServerArgs& a) {
    a[3].present = true;
    a[3].bytes.clear();
    return 1;
  });
  CountingRoutines routines;
  uint8_t* reply = nullptr;
  int32_t count = 0;
  EXPECT_EQ(ifc::rpcQueryUserLog(h_, &key_, "", &reply, &count), 1);
  EXPECT_EQ(count, 0);
  if (reply != nullptr) ifc::GetMemoryRoutines().release(reply);
  EXPECT_EQ(CountingRoutines::allocs.load(), CountingRoutines::releases.load());
}

TEST_F(StubReplyTest, FailingAllocationSurfacesAsAnRpcException) {
  server_->OnCall(3, [](rpc::ServerArgs& a) {
    a[3].present = true;
    a[3].bytes.assign(64, 1);
    return 1;
  });
  CountingRoutines routines;
  CountingRoutines::fail = true;
  uint8_t* reply = nullptr;
  int32_t count = 0;
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcQueryUserLog(h_, &key_, "", &reply, &count); }),
            14u);  // out of memory
  CountingRoutines::fail = false;
  EXPECT_EQ(reply, nullptr);
}

TEST_F(StubReplyTest, GetDraftInformationSendsTheCountAndReceivesTheBlock) {
  const Bytes draft = Pattern(700, 0x66);
  server_->OnCall(96, [&](rpc::ServerArgs& a) {
    a[3].present = true;
    a[3].bytes = draft;
    return 1;
  });
  CountingRoutines routines;
  uint8_t* reply = nullptr;
  int32_t count = 4096;  // the caller's size goes in
  EXPECT_EQ(ifc::rpcGetDraftInformation(h_, &key_, &count, &reply), 1);
  Wire w;
  PutTestKey(w);
  w.I32(4096);  // the reply-out parameter sends nothing
  EXPECT_TRUE(SameBytes(OnlyRequest(96), w.bytes()));
  EXPECT_EQ(count, 700);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(CountingRoutines::allocs.load(), 1);
  EXPECT_TRUE(SameBytes(Bytes(reply, reply + 700), draft));
  ifc::GetMemoryRoutines().release(reply);

  // Nothing to return: null pointer, count 0.
  server_->OnCall(96, [](rpc::ServerArgs& a) {
    a[3].present = false;
    return 1;
  });
  reply = nullptr;
  count = 4096;
  EXPECT_EQ(ifc::rpcGetDraftInformation(h_, &key_, &count, &reply), 1);
  EXPECT_EQ(reply, nullptr);
  EXPECT_EQ(count, 0);
}

TEST_F(StubReplyTest, InOutBlocksComeBackIntoTheCallersBuffer) {
  // ioblock: the server's array of the same count replaces the caller's bytes.
  const Bytes section = Pattern(110, 0x30);
  server_->OnCall(62, [&](rpc::ServerArgs& a) {
    EXPECT_EQ(a[2].number, 3);
    a[3].bytes = section;
    return 1;
  });
  std::vector<uint8_t> buf(110, 0xEE);
  EXPECT_EQ(ifc::rpcGetSystemConfig(h_, &key_, 3, buf.data(), 110), 1);
  EXPECT_TRUE(SameBytes(buf, section));

  // ioblock-ref: counted by *count both ways; a shorter answer shortens
  // the count and leaves the rest of the caller's buffer as it was.
  const Bytes results = Pattern(22, 0x70);
  server_->OnCall(13, [&](rpc::ServerArgs& a) {
    EXPECT_EQ(a[5].number, 44);
    a[5].number = 22;
    a[4].bytes = results;
    return 1;
  });
  std::vector<uint8_t> job(16, 0);
  job[0] = 16;
  std::vector<uint8_t> res(44, 0xEE);
  int32_t res_bytes = 44;
  server_->ClearCalls();
  EXPECT_EQ(ifc::rpcSendFax(h_, &key_, job.data(), 16, res.data(), &res_bytes), 1);
  Wire w;
  PutTestKey(w);
  w.U32(16).Raw(job.data(), 16).I32(16);
  w.U32(44).Raw(Bytes(44, 0xEE).data(), 44).I32(44);
  EXPECT_TRUE(SameBytes(OnlyRequest(13), w.bytes()));
  EXPECT_EQ(res_bytes, 22);
  EXPECT_TRUE(SameBytes(Bytes(res.begin(), res.begin() + 22), results));
  EXPECT_EQ(Bytes(res.begin() + 22, res.end()), Bytes(22, 0xEE));
}

// A server that answers with more than the caller's buffer holds is
// refused before anything is written: the buffer is not overrun.
TEST_F(StubReplyTest, OversizedAnswersIntoCallerMemoryAreRefused) {
  // ioblock-ref whose count comes back larger than the buffer sent.
  server_->OnCall(13, [](rpc::ServerArgs& a) {
    a[5].number = 88;
    a[4].bytes.assign(88, 0x11);
    return 1;
  });
  std::vector<uint8_t> job(16, 0);
  job[0] = 16;
  std::unique_ptr<uint8_t[]> res(new uint8_t[44]);
  std::memset(res.get(), 0xEE, 44);
  int32_t res_bytes = 44;
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcSendFax(h_, &key_, job.data(), 16, res.get(), &res_bytes); }),
            1783u);
  EXPECT_EQ(res_bytes, 44);
  EXPECT_EQ(Bytes(res.get(), res.get() + 44), Bytes(44, 0xEE));

  // A reply written into the caller's own (non-null) block: a shorter one
  // fits, a longer one is refused.
  Bytes answer = {1, 2, 3};
  server_->OnCall(3, [&](rpc::ServerArgs& a) {
    a[3].present = true;
    a[3].bytes = answer;
    return 1;
  });
  CountingRoutines routines;
  std::unique_ptr<uint8_t[]> mine(new uint8_t[5]);
  std::memset(mine.get(), 0xEE, 5);
  uint8_t* reply = mine.get();
  int32_t count = 5;
  EXPECT_EQ(ifc::rpcQueryUserLog(h_, &key_, "", &reply, &count), 1);
  EXPECT_EQ(reply, mine.get());
  EXPECT_EQ(count, 3);
  EXPECT_EQ(Bytes(mine.get(), mine.get() + 5), (Bytes{1, 2, 3, 0xEE, 0xEE}));
  answer.assign(8, 0x44);
  count = 5;
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcQueryUserLog(h_, &key_, "", &reply, &count); }), 1783u);
  EXPECT_EQ(reply, mine.get());
  EXPECT_EQ(Bytes(mine.get(), mine.get() + 5), (Bytes{1, 2, 3, 0xEE, 0xEE}));
  EXPECT_EQ(CountingRoutines::allocs.load(), 0);
}

TEST_F(StubReplyTest, CountOutAndKeyOutLandInTheCallersVariables) {
  server_->OnCall(44, [](rpc::ServerArgs& a) {
    EXPECT_EQ(a[2].number, 12);
    EXPECT_EQ(a[3].text, "fax.tif");
    a[4].number = 0x12345678;
    return 1;
  });
  int32_t handle = -1;
  EXPECT_EQ(ifc::rpcGetFaxFileFromServer(h_, &key_, 12, "fax.tif", &handle), 1);
  EXPECT_EQ(handle, 0x12345678);

  SESSIONKEY k;
  std::memset(&k, 0xCC, sizeof k);
  EXPECT_EQ(ifc::rpcConnectServer(h_, &k), 1);
  Bytes got(reinterpret_cast<uint8_t*>(&k), reinterpret_cast<uint8_t*>(&k) + 24);
  EXPECT_TRUE(SameBytes(got, test_support::MakeKey(server_->login_profile().user,
                                                   server_->login_profile().session)));
}

// A null reference is refused before anything is sent, whatever its shape.
TEST_F(StubReplyTest, NullReferenceThrows1780AndSendsNothing) {
  SESSIONKEY* k = &key_;
  uint8_t block[440] = {};
  uint8_t* reply = nullptr;
  uint8_t* inner = block;  // a non-null inner pointer: its count must not be read first
  int32_t count = 0;
  const rpc::Guid16 guid{};
  struct Case {
    const char* name;
    std::function<void()> call;
  };
  rpc::BindingHandle h = h_;
  const std::vector<Case> cases = {
      {"null key", [&] { ifc::rpcSychronize(h, nullptr); }},
      {"null key before text", [&] { ifc::rpcDelUserLog(h, nullptr, "c"); }},
      {"null text", [&] { ifc::rpcDelUserLog(h, k, nullptr); }},
      {"null second text", [&] { ifc::rpcChangePassword(h, k, "a", nullptr); }},
      {"null key-out", [&] { ifc::rpcLogInServer(h, nullptr, 1680, block); }},
      {"null ioblock", [&] { ifc::rpcLogInServer(h, k, 1680, nullptr); }},
      {"null reply reference", [&] { ifc::rpcQueryUserLog(h, k, "", nullptr, &count); }},
      {"null count", [&] { ifc::rpcQueryUserLog(h, k, "", &reply, nullptr); }},
      {"null count sizing a non-null reply",
       [&] { ifc::rpcQueryUserLog(h, k, "", &inner, nullptr); }},
      {"null block", [&] { ifc::rpcDeptOP(h, k, 1, nullptr, 176); }},
      {"null ids", [&] { ifc::rpcSendFaxStop(h, k, nullptr, 12); }},
      {"null ids with byte count 0", [&] { ifc::rpcSendFaxStop(h, k, nullptr, 0); }},
      {"null ioblock-ref", [&] { ifc::rpcSendFax(h, k, block, 16, nullptr, &count); }},
      {"null count sizing an ioblock-ref", [&] { ifc::rpcSendFax(h, k, block, 16, block, nullptr); }},
      {"null count-out", [&] { ifc::rpcGetFaxFileFromServer(h, k, 1, "f", nullptr); }},
      {"null reply-out reference", [&] { ifc::rpcGetDraftInformation(h, k, &count, nullptr); }},
      {"null char", [&] { ifc::rpcImportFaxInfo(h, k, 1, nullptr, 1); }},
      {"null CONNSENDINFO", [&] { ifc::rpcSendFaxFromConn(h, k, nullptr); }},
      {"null PRINTTOTIFFINFO", [&] { ifc::rpcPrintToTiffFromConn(h, nullptr); }},
      {"null advise array", [&] { ifc::rpcAdviseOP(h, guid, 9, 16, nullptr); }},
      {"null sized text", [&] { ifc::rpcReserved92(h, 1, 4, nullptr); }},
      {"service control: null key", [&] { ifc::rpcServerStop(h, nullptr, 1); }},
      {"service control: null text", [&] { ifc::rpcServerStart(h, k, "admin", nullptr, 1); }},
      {"service control: null block", [&] { ifc::rpcServerBackup(h, k, nullptr, 300); }},
      {"service control: null ioblock", [&] { ifc::rpcGetServerCaps(h, k, nullptr, 440); }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExceptionCode(c.call), 1780u) << c.name;
    EXPECT_EQ(reply, nullptr) << c.name;
  }
  EXPECT_TRUE(server_->Calls().empty());
  // The binding is still good.
  EXPECT_EQ(ifc::rpcSychronize(h_, &key_), 1);
}

TEST_F(StubReplyTest, ServerStatusesComeBackUnchanged) {
  for (int32_t status : {0, 2, 5, -1, static_cast<int32_t>(0xC1FF3001)}) {
    SCOPED_TRACE(status);
    server_->Return(77, status);
    EXPECT_EQ(ifc::rpcSetFaxViewFlag(h_, &key_, 1, 2), status);
    server_->Return(2, status, Iface::kServiceControl);
    EXPECT_EQ(ifc::rpcServerStopEx(h_, &key_, -1), status);
    // An in/out block still comes back with a failure status.
    server_->OnCall(100, [&](rpc::ServerArgs& a) {
      a[1].bytes = test_support::MakeKey("x", 9);
      a[3].bytes.assign(1680, 0xAB);
      return status;
    });
    std::vector<uint8_t> info(1680, 0);
    SESSIONKEY k{};
    EXPECT_EQ(ifc::rpcLogInServer(h_, &k, 1680, info.data()), status);
    EXPECT_EQ(info, std::vector<uint8_t>(1680, 0xAB));
    EXPECT_EQ(k.dwSessionNo, 9);
  }
}

TEST_F(StubReplyTest, FaultsSurfaceAsTheMappedStatus) {
  struct Case {
    uint32_t fault;
    uint32_t code;
  };
  const Case cases[] = {
      {0x1C010002, 1745},  // operation range error
      {0x1C010003, 1717},  // unknown interface
      {0x1C000012, 1726},  // unspecified fault
      {5, 5},              // a status raised by the server routine
      {0xC1FF0001, 0xC1FF0001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    server_->Fault(87, c.fault);
    EXPECT_EQ(ExceptionCode([&] { ifc::rpcSychronize(h_, &key_); }), c.code);
    server_->Fault(5, c.fault, Iface::kServiceControl);
    uint8_t backup[300] = {};
    EXPECT_EQ(ExceptionCode([&] { ifc::rpcServerBackupEx(h_, &key_, backup, 300); }), c.code);
    // A reply block is not handed out when the call faults.
    server_->Fault(3, c.fault);
    CountingRoutines routines;
    uint8_t* reply = nullptr;
    int32_t count = 0;
    EXPECT_EQ(ExceptionCode([&] { ifc::rpcQueryUserLog(h_, &key_, "", &reply, &count); }),
              c.code);
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(CountingRoutines::allocs.load(), 0);
  }
  server_->Clear(87);
  EXPECT_EQ(ifc::rpcSychronize(h_, &key_), 1);  // the binding still works
}

// The server closes the connection after the whole request arrived: the
// call may have run, which the runtime reports as 1726.
TEST_F(StubReplyTest, DroppedConnectionAfterTheRequestIs1726) {
  server_->Drop(87);
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcSychronize(h_, &key_); }), 1726u);
  server_->Drop(1, Iface::kServiceControl);
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcServerStop(h_, &key_, 0); }), 1726u);
  // A large request that needs several fragments is dropped the same way.
  Bytes big(150000, 0x5A);
  server_->Drop(7);
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcDeptOP(h_, &key_, 1, big.data(), 150000); }), 1726u);
  EXPECT_EQ(server_->Opnums(), (std::vector<uint16_t>{87, 7}));
  EXPECT_EQ(server_->Opnums(Iface::kServiceControl), (std::vector<uint16_t>{1}));
  // The next call on the same binding gets a fresh connection.
  server_->Clear(87);
  EXPECT_EQ(ifc::rpcSychronize(h_, &key_), 1);
}

TEST_F(StubReplyTest, NegativeSizesAreRefusedBeforeSending) {
  uint8_t block[16] = {};
  int32_t ids[1] = {1};
  int32_t count = -1;
  uint8_t* reply = block;
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcDeptOP(h_, &key_, 1, block, -1); }), 1734u);
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcSendFaxStop(h_, &key_, ids, -4); }), 1734u);
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcQueryUserLog(h_, &key_, "", &reply, &count); }), 1734u);
  EXPECT_EQ(ExceptionCode([&] { ifc::rpcReserved92(h_, 1, 2, "abc"); }), 1734u);  // text too long
  EXPECT_TRUE(server_->Calls().empty());
}

}  // namespace
}  // namespace qz::stubs_test
