// epm_fuzz.cc -- libFuzzer target for the endpoint mapper: tower parsing
// and every mapper procedure (insert, delete, lookup, map, handle free,
// inquire, management delete) dispatched from a local root caller and from
// a TCP caller, against a table with a few entries.
// Thread-safety: single-threaded, as libFuzzer runs it.
#include <cstdint>
#include <span>

#include "rpc/epm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qz::rpc;
  if (size < 1) return 0;
  std::span<const uint8_t> in(data + 1, size - 1);
  Tower t;
  if (ParseTower(in, &t)) (void)BuildTower(t);

  static EndpointMapper* m = [] {
    auto* mapper = new EndpointMapper;
    const SyntaxId iface{*Uuid::Parse("6a28b3c1-0d2e-4c8f-9a11-2b3c4d5e6f70"), 1, 0};
    mapper->Register(iface, "ncacn_ip_tcp", "4000", "a");
    mapper->Register(iface, "ncalrpc", "echo", "b");
    return mapper;
  }();
  CallContext ctx;
  if (data[0] & 0x80) {
    ctx.protseq = "ncalrpc";
    ctx.has_peer_credentials = true;
    ctx.peer_uid = (data[0] & 0x40) ? 0 : 1000;
  } else {
    ctx.protseq = "ncacn_ip_tcp";
    ctx.peer_address = "127.0.0.1";
  }
  const Drep drep = (data[0] & 0x20) ? Drep::Big() : Drep::Little();
  (void)m->Dispatch(ctx, data[0] % 7, in, drep);
  // Keep the table from filling up across runs.
  if (m->size() > 64) {
    delete m;
    m = new EndpointMapper;
  }
  return 0;
}
