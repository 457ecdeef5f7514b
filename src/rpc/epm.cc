// epm.cc -- endpoint mapper towers, client operations and server.
//
// Thread-safety: see epm.h.
#include "rpc/epm.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <unistd.h>

#include "rpc/binding_api.h"
#include "rpc/client.h"
#include "rpc/ndr.h"

namespace qz::rpc {

namespace {

constexpr uint8_t kProtoUuid = 0x0D;
constexpr uint8_t kProtoNcacn = 0x0B;
constexpr uint8_t kProtoNcalrpc = 0x0C;
constexpr uint8_t kProtoTcp = 0x07;
constexpr uint8_t kProtoIp = 0x09;
constexpr uint8_t kProtoLocalName = 0x10;
constexpr size_t kMaxTowerLength = 2000;
constexpr uint32_t kMaxTowersAnswered = 500;

void PutU16(std::vector<uint8_t>* v, uint16_t x) {
  v->push_back(x & 0xFF);
  v->push_back(x >> 8);
}

void PutUuidFloor(std::vector<uint8_t>* v, const SyntaxId& s) {
  PutU16(v, 19);
  v->push_back(kProtoUuid);
  const Uuid& u = s.uuid;
  for (int i = 0; i < 4; ++i) v->push_back(static_cast<uint8_t>(u.data1 >> (8 * i)));
  PutU16(v, u.data2);
  PutU16(v, u.data3);
  v->insert(v->end(), u.data4, u.data4 + 8);
  PutU16(v, s.major);
  PutU16(v, 2);
  PutU16(v, s.minor);
}

struct Floor {
  std::span<const uint8_t> lhs, rhs;
};

bool ReadFloors(std::span<const uint8_t> o, std::vector<Floor>* floors) {
  if (o.size() < 2) return false;
  size_t n = o[0] | (o[1] << 8);
  if (n < 3 || n > 6) return false;  // more than 6 floors is refused
  size_t pos = 2;
  for (size_t i = 0; i < n; ++i) {
    Floor f;
    for (int side = 0; side < 2; ++side) {
      if (o.size() - pos < 2) return false;
      size_t len = o[pos] | (o[pos + 1] << 8);
      pos += 2;
      if (o.size() - pos < len) return false;
      (side == 0 ? f.lhs : f.rhs) = o.subspan(pos, len);
      pos += len;
    }
    if (f.lhs.empty()) return false;
    floors->push_back(f);
  }
  return true;
}

bool UuidFloor(const Floor& f, SyntaxId* s) {
  if (f.lhs.size() != 19 || f.lhs[0] != kProtoUuid || f.rhs.size() < 2) return false;
  const uint8_t* p = f.lhs.data() + 1;
  s->uuid.data1 = p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
  s->uuid.data2 = static_cast<uint16_t>(p[4] | (p[5] << 8));
  s->uuid.data3 = static_cast<uint16_t>(p[6] | (p[7] << 8));
  std::memcpy(s->uuid.data4, p + 8, 8);
  s->major = static_cast<uint16_t>(p[16] | (p[17] << 8));
  s->minor = static_cast<uint16_t>(f.rhs[0] | (f.rhs[1] << 8));
  return true;
}

bool ParsePort(const std::string& s, uint16_t* port) {
  if (s.empty() || s.size() > 5) return false;
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v == 0 || v > 65535) return false;
  *port = static_cast<uint16_t>(v);
  return true;
}

// Loopback peers get 127.0.0.1 as the address of an entry registered
// without one; others get 0.0.0.0 (clients keep the host they asked).
uint32_t AddressFor(const CallContext& ctx) {
  const std::string& a = ctx.peer_address;
  if (a.rfind("127.", 0) == 0 || a == "::1" || a.rfind("::ffff:127.", 0) == 0) return 0x7F000001;
  return 0;
}

void PushTower(NdrPush& p, const std::vector<uint8_t>& t) {
  p.Align(4);
  p.U32(static_cast<uint32_t>(t.size()));  // conformance (hoisted max_count)
  p.U32(static_cast<uint32_t>(t.size()));  // tower_length
  p.Bytes(t.data(), t.size());
}

bool PullTower(NdrPull& p, std::span<const uint8_t>* out) {
  uint32_t max = 0, len = 0;
  if (!p.Align(4) || !p.U32(&max) || !p.U32(&len)) return false;
  if (len > max || len > kMaxTowerLength) return false;
  return p.View(len, out);
}

void PushHandle(NdrPush& p, const Uuid& handle) {
  p.U32(0);
  p.Uuid(handle);
}

bool PullHandle(NdrPull& p, Uuid* handle, bool* nil) {
  uint32_t attr = 0;
  if (!p.Align(4) || !p.U32(&attr) || !p.Uuid(handle)) return false;
  *nil = attr == 0 && handle->IsNil();
  return true;
}

std::string HandleKey(const Uuid& u) { return u.ToString(); }

// What makes two entries the same registration.
std::string EntryKey(const Uuid& object, const Tower& t) {
  return t.iface.uuid.ToString() + "/" + std::to_string(t.iface.major) + "." +
         std::to_string(t.iface.minor) + "/" + t.protseq + "/" + t.endpoint + "/" +
         object.ToString();
}

DispatchResult Status(uint32_t status) {
  DispatchResult r;
  NdrPush p(&r.stub);
  p.U32(status);
  return r;
}

DispatchResult BadStub() {
  DispatchResult r;
  r.kind = DispatchResult::Kind::kFault;
  r.fault_status = status::kBadStubData;
  return r;
}

bool VersionMatches(uint32_t option, const SyntaxId& have, const SyntaxId& want) {
  switch (option) {
    case 1: return true;
    case 2: return have.major == want.major && have.minor >= want.minor;
    case 3: return have.major == want.major && have.minor == want.minor;
    case 4: return have.major == want.major;
    case 5:
      return have.major < want.major || (have.major == want.major && have.minor <= want.minor);
    default: return false;
  }
}

std::string EpmEndpoint(const std::string& protseq) {
  return protseq == "ncalrpc" ? "epmapper" : std::to_string(EndpointMapperPort());
}

// One call to the mapper; RpcException codes come back as the status.
uint32_t CallMapper(const std::string& protseq, const std::string& host, uint16_t opnum,
                    const std::vector<uint8_t>& stub, Reply* reply) {
  if (protseq != "ncacn_ip_tcp" && protseq != "ncalrpc") return status::kProtseqNotSupported;
  Binding b(protseq, host, EpmEndpoint(protseq));
  try {
    *reply = b.Call(EndpointMapperInterface(), opnum, stub);
  } catch (const RpcException& e) {
    return e.code();
  }
  return 0;
}

}  // namespace

const SyntaxId& EndpointMapperInterface() {
  static const SyntaxId id{*Uuid::Parse("e1af8308-5d1f-11c9-91a4-08002b14a0fa"), 3, 0};
  return id;
}

std::vector<uint8_t> BuildTower(const Tower& t) {
  std::vector<uint8_t> v;
  uint16_t port = 0;
  if (t.protseq == "ncacn_ip_tcp") {
    // An empty endpoint (port 0) is the wildcard of an ept_map query.
    if (!t.endpoint.empty() && !ParsePort(t.endpoint, &port)) return {};
    PutU16(&v, 5);
  } else if (t.protseq == "ncalrpc") {
    // An empty name is the wildcard of an ept_map query.
    if (t.endpoint.size() > 255 || t.endpoint.find('\0') != std::string::npos) return {};
    PutU16(&v, 4);
  } else {
    return {};
  }
  PutUuidFloor(&v, t.iface);
  PutUuidFloor(&v, t.transfer);
  PutU16(&v, 1);
  v.push_back(t.protseq == "ncalrpc" ? kProtoNcalrpc : kProtoNcacn);
  PutU16(&v, 2);
  PutU16(&v, 0);
  if (t.protseq == "ncacn_ip_tcp") {
    PutU16(&v, 1);
    v.push_back(kProtoTcp);
    PutU16(&v, 2);
    v.push_back(port >> 8);
    v.push_back(port & 0xFF);
    PutU16(&v, 1);
    v.push_back(kProtoIp);
    PutU16(&v, 4);
    for (int i = 3; i >= 0; --i) v.push_back(static_cast<uint8_t>(t.ipv4 >> (8 * i)));
  } else {
    PutU16(&v, 1);
    v.push_back(kProtoLocalName);
    PutU16(&v, static_cast<uint16_t>(t.endpoint.size() + 1));
    v.insert(v.end(), t.endpoint.begin(), t.endpoint.end());
    v.push_back(0);
  }
  return v;
}

bool ParseTower(std::span<const uint8_t> octets, Tower* out) {
  std::vector<Floor> f;
  if (!ReadFloors(octets, &f)) return false;
  if (!UuidFloor(f[0], &out->iface) || !UuidFloor(f[1], &out->transfer)) return false;
  out->protseq.clear();
  out->endpoint.clear();
  out->ipv4 = 0;
  if (f[2].lhs[0] == kProtoNcacn && f.size() >= 5 && f[3].lhs[0] == kProtoTcp) {
    if (f[3].rhs.size() != 2) return false;
    uint16_t port = static_cast<uint16_t>((f[3].rhs[0] << 8) | f[3].rhs[1]);
    out->protseq = "ncacn_ip_tcp";
    out->endpoint = port ? std::to_string(port) : "";
    if (f[4].lhs[0] == kProtoIp && f[4].rhs.size() == 4)
      out->ipv4 = (uint32_t{f[4].rhs[0]} << 24) | (f[4].rhs[1] << 16) | (f[4].rhs[2] << 8) |
                  f[4].rhs[3];
  } else if (f[2].lhs[0] == kProtoNcalrpc && f.size() >= 4 && f[3].lhs[0] == kProtoLocalName) {
    out->protseq = "ncalrpc";
    auto r = f[3].rhs;
    size_t n = 0;
    while (n < r.size() && r[n] != 0) ++n;
    out->endpoint.assign(reinterpret_cast<const char*>(r.data()), n);
  }
  return true;
}

// ------------------------------------------------------------------ client

std::vector<uint8_t> EptMapRequestStub(const std::vector<uint8_t>& tower, uint32_t max_towers) {
  NdrPush p;
  p.U32(1);        // object: full pointer (ids 1 and 2, as old mappers insist)
  p.Uuid(Uuid{});  // nil object = any
  p.U32(2);        // map_tower
  p.U32(static_cast<uint32_t>(tower.size()));
  p.U32(static_cast<uint32_t>(tower.size()));
  p.Bytes(tower.data(), tower.size());
  p.Align(4);
  PushHandle(p, Uuid{});
  p.U32(max_towers);
  return p.Take();
}

std::vector<uint8_t> EptInsertRequestStub(const std::vector<uint8_t>& tower,
                                          const std::string& annotation, bool is_delete) {
  std::string note = annotation.substr(0, 63);
  NdrPush p;
  p.U32(1);  // num_ents
  p.U32(1);  // conformance of entries[]
  p.Uuid(Uuid{});
  p.U32(1);  // tower full pointer
  p.VaryingString(note.c_str());
  PushTower(p, tower);
  if (!is_delete) {
    p.Align(4);
    p.U32(1);  // replace
  }
  return p.Take();
}

uint32_t EptMap(const std::string& protseq, const std::string& host, const SyntaxId& iface,
                std::string* endpoint) {
  Tower want{iface, NdrSyntax(), protseq, "", 0};
  std::vector<uint8_t> tower = BuildTower(want);
  if (tower.empty()) return status::kProtseqNotSupported;
  Reply reply;
  uint32_t st = CallMapper(protseq, host, 3, EptMapRequestStub(tower, 4), &reply);
  if (st) return st;

  NdrPull r(reply.stub, reply.drep);
  uint32_t num = 0, max = 0, offset = 0, actual = 0;
  Uuid handle;
  bool nil_handle = true;
  if (!PullHandle(r, &handle, &nil_handle) || !r.U32(&num) || !r.U32(&max) ||
      !r.U32(&offset) || !r.U32(&actual))
    return status::kBadStubData;
  if (offset != 0 || actual != num || actual > max || actual > r.remaining() / 4)
    return status::kBadStubData;
  std::vector<uint32_t> ids(actual);
  for (auto& id : ids)
    if (!r.U32(&id)) return status::kBadStubData;
  std::string found;
  for (uint32_t id : ids) {
    if (id == 0) continue;
    std::span<const uint8_t> octets;
    if (!PullTower(r, &octets)) return status::kBadStubData;
    Tower t;
    if (found.empty() && ParseTower(octets, &t) && t.protseq == protseq && !t.endpoint.empty())
      found = t.endpoint;
  }
  uint32_t map_status = 0;
  if (!r.Align(4) || !r.U32(&map_status)) return status::kBadStubData;
  if (!nil_handle) {
    // Release the continuation the mapper kept for us.
    NdrPush f;
    PushHandle(f, handle);
    Reply ignored;
    CallMapper(protseq, host, 4, f.Take(), &ignored);
  }
  if (map_status == ept::kNotRegistered || (map_status == 0 && found.empty()))
    return status::kEptNotRegistered;
  if (map_status != 0) return map_status;
  *endpoint = found;
  return 0;
}

namespace {

uint32_t InsertOrDelete(bool is_delete, const std::string& epm_protseq, const std::string& epm_host,
                        const SyntaxId& iface, const std::string& protseq,
                        const std::string& endpoint, const std::string& annotation) {
  std::vector<uint8_t> tower = BuildTower(Tower{iface, NdrSyntax(), protseq, endpoint, 0});
  if (tower.empty() || endpoint.empty()) return status::kInvalidEndpointFormat;
  Reply reply;
  uint32_t st = CallMapper(epm_protseq, epm_host, is_delete ? 1 : 0,
                           EptInsertRequestStub(tower, annotation, is_delete), &reply);
  if (st) return st;
  NdrPull r(reply.stub, reply.drep);
  uint32_t result = 0;
  if (!r.U32(&result)) return status::kBadStubData;
  return result;
}

}  // namespace

uint32_t EptInsert(const std::string& epm_protseq, const std::string& epm_host,
                   const SyntaxId& iface, const std::string& protseq,
                   const std::string& endpoint, const std::string& annotation) {
  return InsertOrDelete(false, epm_protseq, epm_host, iface, protseq, endpoint, annotation);
}

uint32_t EptDelete(const std::string& epm_protseq, const std::string& epm_host,
                   const SyntaxId& iface, const std::string& protseq,
                   const std::string& endpoint) {
  return InsertOrDelete(true, epm_protseq, epm_host, iface, protseq, endpoint, "");
}

// ------------------------------------------------------------------ server

EndpointMapper::EndpointMapper() = default;
EndpointMapper::~EndpointMapper() = default;

bool EndpointMapper::Register(const SyntaxId& iface, const std::string& protseq,
                              const std::string& endpoint, const std::string& annotation) {
  Tower t{iface, NdrSyntax(), protseq, endpoint, 0};
  if (endpoint.empty() || BuildTower(t).empty()) return false;
  std::lock_guard<std::mutex> lock(mu_);
  Entry e{Uuid{}, t, annotation.substr(0, 63), static_cast<uint32_t>(::geteuid())};
  for (Entry& old : entries_) {
    if (old.object.IsNil() && old.tower.iface == t.iface && old.tower.protseq == t.protseq &&
        old.tower.endpoint == t.endpoint) {
      old = std::move(e);
      return true;
    }
  }
  if (entries_.size() >= kMaxEntries) return false;
  entries_.push_back(std::move(e));
  return true;
}

void EndpointMapper::Unregister(const SyntaxId& iface, const std::string& protseq,
                                const std::string& endpoint) {
  std::lock_guard<std::mutex> lock(mu_);
  std::erase_if(entries_, [&](const Entry& e) {
    return e.tower.iface == iface && e.tower.protseq == protseq && e.tower.endpoint == endpoint;
  });
}

size_t EndpointMapper::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

size_t EndpointMapper::cursors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cursors_.size();
}

bool EndpointMapper::TakeCursorLocked(const Uuid& handle, size_t* next) {
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(cursors_, [&](const auto& c) { return c.second.expires <= now; });
  auto it = cursors_.find(HandleKey(handle));
  if (it == cursors_.end()) return false;
  *next = it->second.next;
  cursors_.erase(it);
  return true;
}

Uuid EndpointMapper::KeepCursorLocked(size_t next) {
  const auto now = std::chrono::steady_clock::now();
  if (cursors_.size() >= kMaxCursors) {
    // Full: the one closest to expiry goes.
    auto oldest = std::min_element(cursors_.begin(), cursors_.end(), [](const auto& a, const auto& b) {
      return a.second.expires < b.second.expires;
    });
    cursors_.erase(oldest);
  }
  // Unguessable, so that one client cannot take over another's walk.
  static thread_local std::random_device rd;
  Uuid u;
  do {
    uint32_t w[4] = {rd(), rd(), rd(), rd()};
    u.data1 = w[0];
    u.data2 = static_cast<uint16_t>(w[1]);
    u.data3 = static_cast<uint16_t>(w[1] >> 16);
    std::memcpy(u.data4, &w[2], 8);
  } while (u.IsNil() || cursors_.count(HandleKey(u)));
  cursors_[HandleKey(u)] = Cursor{next, now + cursor_lifetime_};
  return u;
}

DispatchResult EndpointMapper::Dispatch(const CallContext& ctx, uint16_t opnum,
                                        std::span<const uint8_t> stub, Drep drep) {
  switch (opnum) {
    case 0: return Insert(ctx, stub, drep, false);
    case 1: return Insert(ctx, stub, drep, true);
    case 2: return Lookup(stub, drep);
    case 3: return Map(ctx, stub, drep);
    case 4: return FreeHandle(stub, drep);
    case 5: {  // ept_inq_object: no object of our own
      DispatchResult r;
      NdrPush p(&r.stub);
      p.Uuid(Uuid{});
      p.U32(ept::kCantPerformOp);
      return r;
    }
    default:  // ept_mgmt_delete
      return Status(ept::kCantPerformOp);
  }
}

DispatchResult EndpointMapper::Insert(const CallContext& ctx, std::span<const uint8_t> stub,
                                     Drep drep, bool is_delete) {
  // Only a local caller the kernel vouches for may change the table.
  if (ctx.protseq != "ncalrpc" || !ctx.has_peer_credentials) return Status(status::kAccessDenied);
  const uint32_t caller = ctx.peer_uid;
  NdrPull r(stub, drep);
  uint32_t n = 0, max = 0;
  if (!r.U32(&n) || !r.U32(&max) || max != n) return BadStub();
  if (n > r.remaining() / 28) return BadStub();  // each flat entry is >= 28 bytes
  std::vector<Entry> entries(n);
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) {
    if (!r.Align(4) || !r.Uuid(&entries[i].object) || !r.U32(&ids[i]) ||
        !r.VaryingString(&entries[i].annotation, 64))
      return BadStub();
  }
  bool valid = true;
  for (uint32_t i = 0; i < n; ++i) {
    if (ids[i] == 0) {
      valid = false;
      continue;
    }
    std::span<const uint8_t> octets;
    if (!PullTower(r, &octets)) return BadStub();
    if (!ParseTower(octets, &entries[i].tower) || entries[i].tower.protseq.empty() ||
        entries[i].tower.endpoint.empty())
      valid = false;
  }
  if (!is_delete) {
    uint32_t replace = 0;
    if (!r.Align(4) || !r.U32(&replace)) return BadStub();
  }
  if (!valid) return Status(ept::kInvalidEntry);
  for (Entry& e : entries) e.owner = caller;
  // Keys are made before the lock: under it, each entry costs one lookup.
  std::vector<std::string> keys;
  keys.reserve(entries.size());
  for (const Entry& e : entries) keys.push_back(EntryKey(e.object, e.tower));
  std::lock_guard<std::mutex> lock(mu_);
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < entries_.size(); ++i)
    index.emplace(EntryKey(entries_[i].object, entries_[i].tower), i);
  if (is_delete) {
    // All or nothing: every entry must exist and be the caller's (or the
    // caller root).
    std::vector<bool> drop(entries_.size(), false);
    for (const std::string& k : keys) {
      auto it = index.find(k);
      if (it == index.end()) return Status(ept::kNotRegistered);
      if (caller != 0 && entries_[it->second].owner != caller) return Status(status::kAccessDenied);
      drop[it->second] = true;
    }
    size_t i = 0;
    std::erase_if(entries_, [&](const Entry&) { return drop[i++]; });
    return Status(0);
  }
  // An interface registered by one user is not open to another's entries.
  std::map<std::string, uint32_t> iface_owner;
  for (const Entry& e : entries_)
    iface_owner.emplace(e.tower.iface.uuid.ToString() + "/" + std::to_string(e.tower.iface.major), e.owner);
  size_t added = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    auto o = iface_owner.find(e.tower.iface.uuid.ToString() + "/" + std::to_string(e.tower.iface.major));
    if (caller != 0 && o != iface_owner.end() && o->second != caller)
      return Status(status::kAccessDenied);
    if (!index.count(keys[i])) ++added;
  }
  if (entries_.size() + added > kMaxEntries) return Status(ept::kCantPerformOp);
  for (size_t i = 0; i < entries.size(); ++i) {
    auto [it, fresh] = index.emplace(keys[i], entries_.size());
    if (fresh) entries_.push_back(std::move(entries[i]));
    else entries_[it->second] = std::move(entries[i]);
  }
  return Status(0);
}

DispatchResult EndpointMapper::Lookup(std::span<const uint8_t> stub, Drep drep) {
  NdrPull r(stub, drep);
  uint32_t inquiry = 0, obj_id = 0, if_id = 0, vers_option = 0, max_ents = 0;
  Uuid object, handle;
  SyntaxId want;
  bool nil = true;
  if (!r.U32(&inquiry) || !r.U32(&obj_id) || (obj_id && !r.Uuid(&object)) || !r.U32(&if_id) ||
      (if_id && (!r.Uuid(&want.uuid) || !r.U16(&want.major) || !r.U16(&want.minor))) ||
      !r.Align(4) || !r.U32(&vers_option) || !PullHandle(r, &handle, &nil) || !r.U32(&max_ents))
    return BadStub();
  std::lock_guard<std::mutex> lock(mu_);
  size_t start = 0;
  if (!nil && !TakeCursorLocked(handle, &start)) return Status(ept::kInvalidContext);
  bool by_if = (inquiry == 1 || inquiry == 3) && if_id;
  bool by_obj = (inquiry == 2 || inquiry == 3) && obj_id;
  std::vector<const Entry*> hits;
  size_t next = entries_.size();
  uint32_t limit = std::min(max_ents, kMaxTowersAnswered);
  for (size_t i = start; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (by_if && (!(e.tower.iface.uuid == want.uuid) ||
                  !VersionMatches(vers_option, e.tower.iface, want)))
      continue;
    if (by_obj && !(e.object == object)) continue;
    if (hits.size() == limit) {
      next = i;
      break;
    }
    hits.push_back(&e);
  }
  DispatchResult res;
  NdrPush p(&res.stub);
  Uuid new_handle;
  if (next < entries_.size()) new_handle = KeepCursorLocked(next);
  PushHandle(p, new_handle);
  p.U32(static_cast<uint32_t>(hits.size()));
  p.U32(max_ents);
  p.U32(0);
  p.U32(static_cast<uint32_t>(hits.size()));
  uint32_t ref = 1;
  for (const Entry* e : hits) {
    p.Align(4);
    p.Uuid(e->object);
    p.U32(ref++);
    p.VaryingString(e->annotation.c_str());
  }
  for (const Entry* e : hits) {
    Tower t = e->tower;
    PushTower(p, BuildTower(t));
  }
  p.Align(4);
  p.U32(hits.empty() ? ept::kNotRegistered : 0);
  return res;
}

DispatchResult EndpointMapper::Map(const CallContext& ctx, std::span<const uint8_t> stub,
                                   Drep drep) {
  NdrPull r(stub, drep);
  uint32_t obj_id = 0, tower_id = 0, max_towers = 0;
  Uuid object, handle;
  std::span<const uint8_t> octets;
  bool nil = true;
  if (!r.U32(&obj_id) || (obj_id && !r.Uuid(&object)) || !r.U32(&tower_id) ||
      (tower_id && !PullTower(r, &octets)) || !PullHandle(r, &handle, &nil) ||
      !r.U32(&max_towers))
    return BadStub();
  Tower want;
  bool parsed = tower_id && ParseTower(octets, &want) && !want.protseq.empty();
  std::lock_guard<std::mutex> lock(mu_);
  size_t start = 0;
  if (!nil && !TakeCursorLocked(handle, &start)) parsed = false;
  std::vector<std::vector<uint8_t>> towers;
  size_t next = entries_.size();
  uint32_t limit = std::min(max_towers, kMaxTowersAnswered);
  for (size_t i = start; parsed && i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (!(e.tower.iface.uuid == want.iface.uuid) || e.tower.iface.major != want.iface.major ||
        e.tower.iface.minor < want.iface.minor || !(e.tower.transfer == want.transfer) ||
        e.tower.protseq != want.protseq)
      continue;
    if (obj_id && !object.IsNil() && !e.object.IsNil() && !(e.object == object)) continue;
    if (towers.size() == limit) {
      next = i;
      break;
    }
    Tower t = e.tower;
    if (t.protseq == "ncacn_ip_tcp" && t.ipv4 == 0) t.ipv4 = AddressFor(ctx);
    towers.push_back(BuildTower(t));
  }
  DispatchResult res;
  NdrPush p(&res.stub);
  Uuid new_handle;
  if (next < entries_.size() && !towers.empty()) new_handle = KeepCursorLocked(next);
  PushHandle(p, new_handle);
  p.U32(static_cast<uint32_t>(towers.size()));
  p.U32(max_towers);
  p.U32(0);
  p.U32(static_cast<uint32_t>(towers.size()));
  for (size_t i = 0; i < towers.size(); ++i) p.U32(static_cast<uint32_t>(3 + i));
  for (const auto& t : towers) PushTower(p, t);
  p.Align(4);
  p.U32(towers.empty() ? ept::kNotRegistered : 0);
  return res;
}

DispatchResult EndpointMapper::FreeHandle(std::span<const uint8_t> stub, Drep drep) {
  NdrPull r(stub, drep);
  Uuid handle;
  bool nil = true;
  if (!PullHandle(r, &handle, &nil)) return BadStub();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!nil) cursors_.erase(HandleKey(handle));
  }
  DispatchResult res;
  NdrPush p(&res.stub);
  PushHandle(p, Uuid{});
  p.U32(0);
  return res;
}

// ----------------------------------------------------------------- service

EndpointMapperService::EndpointMapperService() = default;
EndpointMapperService::~EndpointMapperService() { Stop(); }

bool EndpointMapperService::Start(const std::string& tcp_host, uint16_t tcp_port, bool local_too) {
  server_ = std::make_unique<Server>();
  server_->RegisterInterface(EndpointMapperInterface(), &mapper_);
  port_ = server_->ListenTcp(tcp_host, tcp_port);
  bool local = local_too && server_->ListenLocal("epmapper");
  if (port_ == 0 && !local) {
    server_.reset();
    return false;
  }
  server_->Start();
  return true;
}

void EndpointMapperService::Stop() {
  if (server_) server_->Stop();
  server_.reset();
}

}  // namespace qz::rpc
