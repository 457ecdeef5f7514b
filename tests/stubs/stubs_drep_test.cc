// stubs_drep_test.cc -- the client stubs against a hand-written peer on a
// raw loopback socket: a big-endian reply is converted before it is read,
// and a connection lost before or after the request gives 1727 or 1726.
// Every PDU the peer sends is written out here byte by byte.
// Thread-safety: each peer serves one connection on a thread of its own;
// what it records is read only after that thread has been joined.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "tests/stubs/stubs_fixture.h"

namespace qz::stubs_test {
namespace {

// Reads exactly n bytes; false on end of stream, error or 5 s of silence.
bool ReadFull(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) <= 0) return false;
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteFull(int fd, const Bytes& b) {
  size_t off = 0;
  while (off < b.size()) {
    ssize_t r = write(fd, b.data() + off, b.size() - off);
    if (r <= 0) return false;
    off += static_cast<size_t>(r);
  }
  return true;
}

// One PDU from a little-endian client: the 16-byte header and the body.
bool ReadPdu(int fd, Bytes* pdu) {
  pdu->assign(16, 0);
  if (!ReadFull(fd, pdu->data(), 16)) return false;
  size_t len = (*pdu)[8] | ((*pdu)[9] << 8);
  if (len < 16) return false;
  pdu->resize(len);
  return ReadFull(fd, pdu->data() + 16, len - 16);
}

// bind_ack accepting the single offered context with NDR 2.0, secondary
// address "4747", little-endian like the bind it answers.
Bytes BindAck(const Bytes& bind) {
  Wire w;
  w.Raw({5, 0, 12, 3, 0x10, 0, 0, 0});
  w.Raw({60, 0, 0, 0});                     // frag_length 60, auth_length 0
  w.Raw(&bind[12], 4);                      // call_id of the bind
  w.Raw({0xb8, 0x10, 0xb8, 0x10});          // max_xmit / max_recv 4280
  w.U32(0x1234);                            // assoc_group_id
  w.Raw({5, 0, '4', '7', '4', '7', 0, 0});  // secondary address, then pad to 32
  w.Raw({1, 0, 0, 0});                      // one result
  w.Raw({0, 0, 0, 0});                      // acceptance, reason 0
  w.Raw({0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11, 0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10,
         0x48, 0x60, 2, 0, 0, 0});
  return w.bytes();
}

// A single-fragment response in big-endian data representation: every
// integer of the header and of `stub` is big-endian.
Bytes BigEndianResponse(const Bytes& request, const Bytes& stub) {
  const size_t len = 24 + stub.size();
  Bytes b = {5, 0, 2, 3, 0x00, 0, 0, 0,  // drep: big-endian, ASCII, IEEE
             static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0, 0};
  for (int i = 3; i >= 0; --i) b.push_back(request[12 + i]);  // call_id, now big-endian
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(stub.size() >> (8 * i)));
  b.insert(b.end(), {0, 0, 0, 0});  // context 0, cancel count, reserved
  b.insert(b.end(), stub.begin(), stub.end());
  return b;
}

class BigEndianBytes {
 public:
  BigEndianBytes& U32(uint32_t v) {
    for (int i = 3; i >= 0; --i) b_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  BigEndianBytes& Raw(const Bytes& b) {
    b_.insert(b_.end(), b.begin(), b.end());
    return *this;
  }
  BigEndianBytes& PadTo(size_t n) {
    while (b_.size() % n != 0) b_.push_back(0);
    return *this;
  }
  const Bytes& bytes() const { return b_; }

 private:
  Bytes b_;
};

// A one-connection peer. `on_pdu` sees every PDU after the bind (and the
// bind itself when `answer_bind` is false) and returns the bytes to send
// back; an empty answer closes the connection.
class RawPeer {
 public:
  using OnPdu = std::function<Bytes(const Bytes& pdu)>;
  RawPeer(bool answer_bind, OnPdu on_pdu) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t alen = sizeof a;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, 1) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &alen) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, answer_bind, on_pdu] {
      pollfd pfd{listen_fd_, POLLIN, 0};
      if (poll(&pfd, 1, 5000) <= 0) return;
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      Bytes pdu;
      bool ok = true;
      if (answer_bind) ok = ReadPdu(fd, &pdu) && pdu[2] == 11 && WriteFull(fd, BindAck(pdu));
      while (ok && ReadPdu(fd, &pdu)) {
        Bytes answer = on_pdu(pdu);
        if (answer.empty() || !WriteFull(fd, answer)) break;
      }
      close(fd);
    });
  }
  ~RawPeer() {
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  uint16_t port() const { return port_; }
  std::string StringBinding() const { return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(port_) + "]"; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// The request stub of a request PDU (24-byte header, little-endian).
Bytes StubOf(const Bytes& request) { return Bytes(request.begin() + 24, request.end()); }
uint16_t OpnumOf(const Bytes& request) { return static_cast<uint16_t>(request[22] | (request[23] << 8)); }

class BindingGuard {
 public:
  explicit BindingGuard(const std::string& s) { status = rpc::RpcBindingFromStringBinding(s, &h); }
  ~BindingGuard() {
    if (h != nullptr) rpc::RpcBindingFree(&h);
  }
  rpc::BindingHandle h = nullptr;
  rpc::RpcStatus status = 0;
};

TEST(StubBigEndianReply, ReplyBlockCountAndResultAreConverted) {
  const Bytes records = {'r', 'e', 'c', 'o', 'r', 'd', 0x01, 0x02, 0x03, 0x04};
  Bytes seen_stub;
  uint16_t seen_op = 0;
  {
    RawPeer peer(true, [&](const Bytes& req) {
      seen_op = OpnumOf(req);
      seen_stub = StubOf(req);
      BigEndianBytes s;
      s.U32(0x00020000).U32(10).Raw(records).PadTo(4);  // referent, count, bytes
      s.U32(10);                                        // *pdwSize
      s.U32(0xC1FF0102);                                // result
      return BigEndianResponse(req, s.bytes());
    });
    ASSERT_NE(peer.port(), 0);
    BindingGuard b(peer.StringBinding());
    ASSERT_EQ(b.status, 0u);
    SESSIONKEY key = TestKey();
    uint8_t* reply = nullptr;
    int32_t count = 0;
    EXPECT_EQ(ifc::rpcQueryUserLog(b.h, &key, "q", &reply, &count), static_cast<int32_t>(0xC1FF0102));
    EXPECT_EQ(count, 10);
    ASSERT_NE(reply, nullptr);
    EXPECT_TRUE(SameBytes(Bytes(reply, reply + 10), records));  // characters are not swapped
    ifc::GetMemoryRoutines().release(reply);
  }
  EXPECT_EQ(seen_op, 3);
  Wire w;
  PutTestKey(w);
  w.U32(2).U32(0).U32(2).Chars("q").PadTo(4).U32(0).U32(0);
  EXPECT_TRUE(SameBytes(seen_stub, w.bytes()));
}

TEST(StubBigEndianReply, KeyOutAndInOutBlockAreConverted) {
  RawPeer peer(true, [&](const Bytes& req) {
    BigEndianBytes s;
    Bytes id(20, 0);
    std::memcpy(id.data(), "bigendian", 9);
    s.Raw(id).U32(0x0A0B0C0D);               // SESSIONKEY: characters, then dwSessionNo
    Bytes info(16, 0);
    for (int i = 0; i < 16; ++i) info[i] = static_cast<uint8_t>(0xF0 + i);
    s.U32(16).Raw(info);                     // the block, same count as sent
    s.U32(1);
    return BigEndianResponse(req, s.bytes());
  });
  ASSERT_NE(peer.port(), 0);
  BindingGuard b(peer.StringBinding());
  ASSERT_EQ(b.status, 0u);
  SESSIONKEY key{};
  uint8_t info[16] = {};
  EXPECT_EQ(ifc::rpcLogInServer(b.h, &key, 16, info), 1);
  EXPECT_STREQ(key.szUserID, "bigendian");
  EXPECT_EQ(key.dwSessionNo, 0x0A0B0C0D);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(info[i], 0xF0 + i) << i;
}

TEST(StubConnectionLoss, BeforeTheRequestIs1727AndNothingRan) {
  Bytes bind;
  {
    RawPeer peer(false, [&](const Bytes& pdu) {
      bind = pdu;
      return Bytes{};  // close instead of acknowledging the bind
    });
    ASSERT_NE(peer.port(), 0);
    BindingGuard b(peer.StringBinding());
    ASSERT_EQ(b.status, 0u);
    SESSIONKEY key = TestKey();
    uint32_t code = 0;
    try {
      ifc::rpcSychronize(b.h, &key);
    } catch (const RpcException& e) {
      code = e.code();
    }
    EXPECT_EQ(code, 1727u);
  }
  ASSERT_GE(bind.size(), 3u);
  EXPECT_EQ(bind[2], 11);  // only the bind was sent
}

TEST(StubConnectionLoss, AfterTheRequestIs1726) {
  RawPeer peer(true, [](const Bytes&) { return Bytes{}; });
  ASSERT_NE(peer.port(), 0);
  BindingGuard b(peer.StringBinding());
  ASSERT_EQ(b.status, 0u);
  SESSIONKEY key = TestKey();
  uint32_t code = 0;
  try {
    ifc::rpcSychronize(b.h, &key);
  } catch (const RpcException& e) {
    code = e.code();
  }
  EXPECT_EQ(code, 1726u);
}

}  // namespace
}  // namespace qz::stubs_test
