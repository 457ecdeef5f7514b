// session_slot.cc -- the session slot.
// Thread-safety: see session_slot.h.
#include "exports/session_slot.h"

#include <mutex>

namespace qz::exports {
namespace {

std::mutex g_mutex;
CServerSession* g_session = nullptr;
uint32_t g_server_id = 0;
uint32_t g_last_id = 0;  // IDs are never reused

}  // namespace

uint32_t PutSession(CServerSession* session) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (session == nullptr || g_session != nullptr || g_last_id == UINT32_MAX) return 0;
  g_session = session;
  g_server_id = ++g_last_id;
  return g_server_id;
}

CServerSession* SlotSession() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_session;
}

uint32_t SlotServerId() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_server_id;
}

CServerSession* TakeSession() {
  std::lock_guard<std::mutex> lock(g_mutex);
  CServerSession* s = g_session;
  g_session = nullptr;
  g_server_id = 0;
  return s;
}

void ReleaseSlot() {
  if (CServerSession* s = TakeSession()) s->Release();
}

uint32_t CheckServerId(uint32_t server_id) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_session == nullptr || server_id == 0 || server_id != g_server_id) return 0;
  return g_session->IsLoggedIn();
}

CServerSession* AcquireValidSession(uint32_t server_id) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_session == nullptr || server_id == 0 || server_id != g_server_id) return nullptr;
  if (!g_session->IsLoggedIn()) return nullptr;
  g_session->AddRef();
  return g_session;
}

}  // namespace qz::exports
