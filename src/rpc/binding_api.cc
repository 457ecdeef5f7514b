// binding_api.cc -- protocol sequence vector, string bindings, binding
// handles, endpoint resolution and the computer name.
//
// Thread-safety: all routines are reentrant; the protseq test override is
// guarded by a mutex.
#include "rpc/binding_api.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>

#include "rpc/client.h"
#include "rpc/epm.h"

namespace qz::rpc {

namespace {

std::mutex g_protseq_mu;
std::optional<std::vector<std::string>> g_protseq_override;

// The runtime's order, or the one $QZRPC_PROTSEQS names (comma- or
// blank-separated; only sequences the runtime supports are kept, each
// once). A setting that keeps none leaves the default.
std::vector<std::string> RealProtseqs() {
  static const std::vector<std::string> kDefault = {"ncalrpc", "ncacn_ip_tcp"};
  const char* env = ::getenv("QZRPC_PROTSEQS");
  if (env == nullptr) return kDefault;
  std::vector<std::string> v;
  std::string cur;
  for (const char* p = env;; ++p) {
    if (*p == ',' || *p == ' ' || *p == '\t' || *p == '\0') {
      bool supported = cur == "ncalrpc" || cur == "ncacn_ip_tcp";
      if (supported && std::find(v.begin(), v.end(), cur) == v.end()) v.push_back(cur);
      cur.clear();
      if (*p == '\0') break;
    } else {
      cur += *p;
    }
  }
  return v.empty() ? kDefault : v;
}

bool KnownProtseq(const std::string& p) {
  static const char* const kKnown[] = {
      "ncalrpc",      "ncacn_ip_tcp", "ncacn_np",       "ncacn_http",    "ncadg_ip_udp",
      "ncacn_nb_tcp", "ncacn_nb_nb",  "ncacn_nb_ipx",   "ncacn_spx",     "ncadg_ipx",
      "ncacn_at_dsp", "ncacn_vns_spp", "ncacn_dnet_nsp", "ncadg_dnet_nsp", "ncadg_mq",
      "ncacn_unix_stream", "ncadg_unix_dgram", "ncacn_hvsocket"};
  for (const char* k : kKnown)
    if (p == k) return true;
  return false;
}

bool Supported(const std::string& p) { return p == "ncalrpc" || p == "ncacn_ip_tcp"; }

bool IsSpecial(char c) {
  return c == '@' || c == ':' || c == '[' || c == ']' || c == ',' || c == '\\';
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (IsSpecial(c)) out += '\\';
    out += c;
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && IsSpecial(s[i + 1])) ++i;
    out += s[i];
  }
  return out;
}

// Position of the first unescaped `c` at or after `from`, or npos.
size_t FindUnescaped(const std::string& s, char c, size_t from) {
  for (size_t i = from; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && IsSpecial(s[i + 1])) {
      ++i;
      continue;
    }
    if (s[i] == c) return i;
  }
  return std::string::npos;
}

bool ValidEndpoint(const std::string& protseq, const std::string& ep) {
  if (ep.empty()) return true;  // partial binding
  if (protseq == "ncacn_ip_tcp") {
    if (ep.size() > 5) return false;
    unsigned long v = 0;
    for (char c : ep) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    return v >= 1 && v <= 65535;
  }
  if (protseq == "ncalrpc")
    return ep.find('/') == std::string::npos && ep != "." && ep != ".." && ep.size() < 100;
  return true;
}

}  // namespace

RpcStatus RpcNetworkInqProtseqs(std::vector<std::string>* protseqs) {
  if (!protseqs) return status::kInvalidParameter;
  std::lock_guard<std::mutex> lock(g_protseq_mu);
  *protseqs = g_protseq_override ? *g_protseq_override : RealProtseqs();
  return 0;
}

RpcStatus RpcNetworkIsProtseqValid(const std::string& protseq) {
  std::lock_guard<std::mutex> lock(g_protseq_mu);
  const std::vector<std::string> list = g_protseq_override ? *g_protseq_override : RealProtseqs();
  for (const auto& p : list)
    if (p == protseq) return 0;
  return KnownProtseq(protseq) ? status::kProtseqNotSupported : status::kInvalidRpcProtseq;
}

void SetProtseqsForTesting(std::optional<std::vector<std::string>> protseqs) {
  std::lock_guard<std::mutex> lock(g_protseq_mu);
  g_protseq_override = std::move(protseqs);
}

RpcStatus RpcStringBindingCompose(const std::string& object_uuid, const std::string& protseq,
                                  const std::string& network_address,
                                  const std::string& endpoint, const std::string& options,
                                  std::string* string_binding) {
  if (!string_binding) return status::kInvalidParameter;
  std::string s;
  if (!object_uuid.empty()) s += object_uuid + "@";
  s += protseq;
  s += ':';
  s += Escape(network_address);
  if (!endpoint.empty() || !options.empty()) {
    s += '[';
    // Parsing drops one "endpoint=" prefix: an endpoint that itself
    // begins with it keeps it only when it is written twice.
    if (endpoint.rfind("endpoint=", 0) == 0) s += "endpoint=";
    s += Escape(endpoint);
    if (!options.empty()) s += "," + options;
    s += ']';
  }
  *string_binding = std::move(s);
  return 0;
}

RpcStatus RpcStringBindingParse(const std::string& sb, std::string* object_uuid,
                                std::string* protseq, std::string* network_address,
                                std::string* endpoint, std::string* options) {
  size_t colon = FindUnescaped(sb, ':', 0);
  if (colon == std::string::npos) return status::kInvalidStringBinding;
  std::string uuid, ps;
  size_t at = FindUnescaped(sb, '@', 0);
  if (at != std::string::npos && at < colon) {
    uuid = sb.substr(0, at);
    ps = sb.substr(at + 1, colon - at - 1);
    if (!Uuid::Parse(uuid)) return status::kInvalidStringBinding;
  } else {
    ps = sb.substr(0, colon);
  }
  if (ps.empty() || ps.find_first_of("@[]\\ ") != std::string::npos)
    return status::kInvalidStringBinding;
  std::string addr, ep, opts;
  size_t open = FindUnescaped(sb, '[', colon + 1);
  if (open == std::string::npos) {
    if (FindUnescaped(sb, ']', colon + 1) != std::string::npos) return status::kInvalidStringBinding;
    addr = sb.substr(colon + 1);
  } else {
    addr = sb.substr(colon + 1, open - colon - 1);
    size_t close = FindUnescaped(sb, ']', open + 1);
    if (close == std::string::npos || close != sb.size() - 1) return status::kInvalidStringBinding;
    std::string inner = sb.substr(open + 1, close - open - 1);
    size_t comma = FindUnescaped(inner, ',', 0);
    ep = inner.substr(0, comma);
    if (comma != std::string::npos) opts = inner.substr(comma + 1);
    if (ep.rfind("endpoint=", 0) == 0) ep = ep.substr(9);
  }
  if (object_uuid) *object_uuid = uuid;
  if (protseq) *protseq = ps;
  if (network_address) *network_address = Unescape(addr);
  if (endpoint) *endpoint = Unescape(ep);
  if (options) *options = opts;
  return 0;
}

RpcStatus RpcBindingFromStringBinding(const std::string& string_binding, BindingHandle* binding) {
  if (!binding) return status::kInvalidParameter;
  std::string uuid, ps, addr, ep, opts;
  if (RpcStatus st = RpcStringBindingParse(string_binding, &uuid, &ps, &addr, &ep, &opts))
    return st;
  if (!KnownProtseq(ps)) return status::kInvalidRpcProtseq;
  if (!Supported(ps)) return status::kProtseqNotSupported;
  if (!ValidEndpoint(ps, ep)) return status::kInvalidEndpointFormat;
  Binding* b = new (std::nothrow) Binding(ps, addr, ep);
  if (!b) return status::kOutOfMemory;
  *binding = b;
  return 0;
}

RpcStatus RpcEpResolveBinding(BindingHandle binding, const SyntaxId& iface) {
  if (!binding) return status::kInvalidBinding;
  if (!binding->endpoint().empty()) return 0;
  std::string ep;
  RpcStatus st = EptMap(binding->protseq(), binding->network_address(), iface, &ep);
  if (st) return st;
  binding->set_endpoint(ep);
  return 0;
}

RpcStatus RpcBindingFree(BindingHandle* binding) {
  if (!binding || !*binding) return status::kInvalidBinding;
  delete *binding;
  *binding = nullptr;
  return 0;
}

RpcStatus GetComputerName(std::string* name) {
  if (!name) return status::kInvalidParameter;
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return status::kInvalidParameter;
  std::string s(buf);
  if (s.size() > 15) s.resize(15);  // the NetBIOS name length
  *name = s;
  return 0;
}

uint16_t EndpointMapperPort() {
  if (const char* v = std::getenv("QZRPC_EPM_PORT"); v && *v) {
    char* end = nullptr;
    unsigned long p = std::strtoul(v, &end, 10);
    if (*end == '\0' && p >= 1 && p <= 65535) return static_cast<uint16_t>(p);
  }
  return 135;
}

}  // namespace qz::rpc
