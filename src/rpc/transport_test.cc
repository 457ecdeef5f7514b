// transport_test.cc -- the socket and in-memory transports: exact reads
// across short writes, deadlines, end of stream mid-read, sends to a
// closed peer (no SIGPIPE), Shutdown waking a blocked reader, peer info.
#include "rpc/transport.h"

#include <gtest/gtest.h>
#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qz::rpc {
namespace {

using Clock = std::chrono::steady_clock;

// Connected pairs of each kind: {client, server}.
struct Pair {
  std::unique_ptr<Transport> a, b;
  std::unique_ptr<Listener> l;
};

Pair TcpPair(const char* host) {
  Pair p;
  int err = 0;
  p.l = ListenTcpSocket(host, 0, &err);
  if (!p.l) return p;
  std::thread t([&] { p.b = p.l->Accept(); });
  p.a = ConnectTcp(host, p.l->port(), 2000, &err);
  t.join();
  return p;
}

Pair UnixPair() {
  Pair p;
  std::string path = "/tmp/qzrpc-transport-test-" + std::to_string(getpid());
  int err = 0;
  p.l = ListenUnixSocket(path, &err);
  if (!p.l) return p;
  std::thread t([&] { p.b = p.l->Accept(); });
  p.a = ConnectUnix(path, 2000, &err);
  t.join();
  unlink(path.c_str());
  return p;
}

Pair MemoryPair() {
  Pair p;
  auto [a, b] = MakeMemoryPair();
  p.a = std::move(a);
  p.b = std::move(b);
  return p;
}

class TransportTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::string kind = GetParam();
    p_ = kind == "tcp4" ? TcpPair("127.0.0.1")
         : kind == "tcp6" ? TcpPair("::1")
         : kind == "unix" ? UnixPair()
                          : MemoryPair();
    if (kind == "tcp6" && !p_.a) GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_NE(p_.a, nullptr);
    ASSERT_NE(p_.b, nullptr);
  }
  Pair p_;
};

TEST_P(TransportTest, ExactReadsAcrossManyWrites) {
  std::vector<uint8_t> data(3 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  std::thread writer([&] {
    for (size_t off = 0; off < data.size(); off += 100000)
      EXPECT_EQ(p_.a->SendAll(std::span(data).subspan(off, std::min<size_t>(100000, data.size() - off))),
                IoResult::kOk);
  });
  std::vector<uint8_t> got(data.size());
  EXPECT_EQ(p_.b->ReadExact(got.data(), got.size(), 10000), IoResult::kOk);
  writer.join();
  EXPECT_EQ(got, data);
}

// Gathered pieces arrive as if joined: more pieces than one gather write
// takes, empty ones among them, and totals past the socket buffer so the
// kernel takes short writes that end inside a piece; with and without a
// send timeout (the non-blocking path).
TEST_P(TransportTest, PiecesArriveAsIfJoined) {
  struct Case {
    const char* name;
    std::vector<size_t> sizes;
    int send_timeout_ms;
  };
  std::vector<size_t> frags;  // 130 fragment-like pairs: header, then stub
  for (int i = 0; i < 130; ++i) frags.insert(frags.end(), {24, i % 9 == 0 ? 0u : 65528u - i});
  const Case cases[] = {
      {"fragments, blocking", frags, -1},
      {"fragments, send timeout", frags, 10000},
      {"one big piece between empties", {0, 3u << 20, 0}, 10000},
      {"64 then 65 pieces", std::vector<size_t>(129, 1000), -1},
      {"nothing", {0, 0}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<uint8_t>> bufs;
    std::vector<uint8_t> joined;
    for (size_t n : c.sizes) {
      bufs.emplace_back(n);
      for (uint8_t& b : bufs.back()) b = static_cast<uint8_t>(joined.size() * 31 + bufs.size());
      joined.insert(joined.end(), bufs.back().begin(), bufs.back().end());
    }
    std::vector<std::span<const uint8_t>> pieces(bufs.begin(), bufs.end());
    p_.a->SetSendTimeout(c.send_timeout_ms);
    std::thread writer([&] { EXPECT_EQ(p_.a->SendPieces(pieces), IoResult::kOk); });
    std::vector<uint8_t> got(joined.size());
    for (size_t off = 0; off < got.size(); off += 70001)  // reads that cut across pieces
      ASSERT_EQ(p_.b->ReadExact(got.data() + off, std::min<size_t>(70001, got.size() - off), 10000),
                IoResult::kOk);
    writer.join();
    EXPECT_TRUE(got == joined);
    p_.a->SetSendTimeout(-1);
  }
}

TEST_P(TransportTest, DeadlineAndEndOfStream) {
  uint8_t buf[8];
  auto start = Clock::now();
  EXPECT_EQ(p_.b->ReadExact(buf, 8, 100), IoResult::kTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
  uint8_t three[3] = {1, 2, 3};
  p_.a->SendAll(three);
  p_.a->Shutdown();
  EXPECT_EQ(p_.b->ReadExact(buf, 8, 2000), IoResult::kClosed);  // ends part way
}

TEST_P(TransportTest, SendToClosedPeerFailsWithoutSignal) {
  p_.b.reset();
  std::vector<uint8_t> big(1 << 20);
  IoResult r = IoResult::kOk;
  for (int i = 0; i < 20 && r == IoResult::kOk; ++i) r = p_.a->SendAll(big);
  EXPECT_NE(r, IoResult::kOk);  // and the process is still alive
}

TEST_P(TransportTest, IdleAndOpenNoticesClosedAndUnaskedBytes) {
  EXPECT_TRUE(p_.a->IdleAndOpen());
  uint8_t x = 1;
  p_.b->SendAll(std::span(&x, 1));
  for (int i = 0; i < 100 && p_.a->IdleAndOpen(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(p_.a->IdleAndOpen());
  EXPECT_TRUE(p_.b->IdleAndOpen());
  p_.a->Shutdown();
  for (int i = 0; i < 100 && p_.b->IdleAndOpen(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(p_.b->IdleAndOpen());
}

TEST_P(TransportTest, ShutdownWakesABlockedReader) {
  std::thread reader([&] {
    uint8_t buf[4];
    EXPECT_EQ(p_.b->ReadExact(buf, 4, -1), IoResult::kClosed);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  p_.b->Shutdown();
  reader.join();
}

INSTANTIATE_TEST_SUITE_P(Kinds, TransportTest, ::testing::Values("tcp4", "tcp6", "unix", "memory"));

TEST(TransportPeer, TcpAddressAndUnixCredentials) {
  Pair t = TcpPair("127.0.0.1");
  ASSERT_NE(t.b, nullptr);
  EXPECT_EQ(t.b->Peer().address, "127.0.0.1");
  EXPECT_FALSE(t.b->Peer().has_credentials);
  Pair u = UnixPair();
  ASSERT_NE(u.b, nullptr);
  EXPECT_TRUE(u.b->Peer().has_credentials);
  EXPECT_EQ(u.b->Peer().uid, getuid());
  EXPECT_EQ(u.b->Peer().pid, static_cast<uint32_t>(getpid()));
}

TEST(TransportListen, LiveLocalEndpointIsNotTakenOver) {
  std::string path = "/tmp/qzrpc-live-test-" + std::to_string(getpid());
  int err = 0;
  auto first = ListenUnixSocket(path, &err);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ListenUnixSocket(path, &err), nullptr);
  EXPECT_EQ(err, EADDRINUSE);
  first.reset();  // leaves a socket file nobody answers on
  auto again = ListenUnixSocket(path, &err);
  EXPECT_NE(again, nullptr);
  unlink(path.c_str());
}

TEST(TransportConnect, RefusedAndBadNames) {
  int err = 0;
  auto l = ListenTcpSocket("127.0.0.1", 0, &err);
  uint16_t port = l->port();
  l.reset();
  EXPECT_EQ(ConnectTcp("127.0.0.1", port, 1000, &err), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_EQ(ConnectUnix("/nonexistent/qzrpc/socket", 1000, &err), nullptr);
  EXPECT_EQ(ConnectUnix(std::string(200, 'x'), 1000, &err), nullptr);
  EXPECT_EQ(ListenTcpSocket("no-such-host.invalid", 0, &err), nullptr);
}

}  // namespace
}  // namespace qz::rpc
