// pdu_fuzz.cc -- libFuzzer target for the PDU codec and the client's
// reply handling. The input is decoded as every PDU type, and it is also
// played as a server's whole byte stream to a ClientConnection making one
// call (bind negotiation, fragment reassembly, every check a hostile
// server calls for); the stream ends where the input ends.
// Thread-safety: single-threaded, as libFuzzer runs it.
#include <cstdint>
#include <span>
#include <vector>

#include "core/rpc_exception.h"
#include "rpc/client_connection.h"
#include "rpc/pdu.h"
#include "rpc/transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz::rpc;
  std::span<const uint8_t> in(data, size);
  PduHeader h;
  (void)DecodeHeader(in, kMaxFragSize, &h);
  BindPdu b;
  BindAckPdu ba;
  BindNakPdu bn;
  RequestPdu rq;
  ResponsePdu rs;
  FaultPdu f;
  (void)DecodeBind(in, &b);
  (void)DecodeBindAck(in, &ba);
  (void)DecodeBindNak(in, &bn);
  (void)DecodeRequest(in, &rq);
  (void)DecodeResponse(in, &rs);
  (void)DecodeFault(in, &f);

  auto [client, server] = MakeMemoryPair();
  server->SendAll(in);
  ClientSettings s;
  s.receive_timeout_ms = 0;  // the stream ends with the input
  s.max_reply_bytes = 1u << 20;
  ClientConnection c(std::move(client), s, 0);
  const SyntaxId iface{*Uuid::Parse("6a28b3c1-0d2e-4c8f-9a11-2b3c4d5e6f70"), 1, 0};
  const uint8_t stub[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  try {
    (void)c.Call(iface, 0, stub);
  } catch (const qz::RpcException&) {
  }
  return 0;
}
