// session_slot.h -- the one session slot of the process and its server IDs.
//
// The slot holds at most one session. A server ID is a nonzero 32-bit
// handle drawn from a counter when a session is put into the slot; it is
// never handed out again within the process, so a stale ID (of a session
// that has left the slot) is always refused.
//
// The slot owns one reference of its session: PutSession takes over a
// reference the caller added, TakeSession hands it back, ReleaseSlot
// drops it. AcquireValidSession adds a reference for the duration of a
// call, so a session released from the slot meanwhile ends only when that
// call is done.
//
// Thread-safety: all functions are thread-safe (one mutex). Putting a
// session in and taking it out are still to be serialised by the caller
// against LogInServer-like sequences (check, then put).
#ifndef QZ_EXPORTS_SESSION_SLOT_H_
#define QZ_EXPORTS_SESSION_SLOT_H_

#include <cstdint>

#include "session/server_session.h"

namespace qz::exports {

// Puts `session` (with the slot's reference already added) into the empty
// slot and returns its new server ID; 0 when the slot is occupied or the
// IDs are exhausted (the session is then not stored).
uint32_t PutSession(CServerSession* session);
// The session in the slot (no reference added) and its ID; null / 0 when
// the slot is empty.
CServerSession* SlotSession();
uint32_t SlotServerId();
// Empties the slot and hands its reference to the caller (null if empty).
CServerSession* TakeSession();
// Empties the slot and releases its reference (the last one tears the
// session down).
void ReleaseSlot();

// The server-ID check: 1 when `server_id` names the session in the slot
// and that session is logged in; otherwise 0 (a logged-out session records
// QZ_E_NOTLOGGEDIN in its error slot; a wrong ID records nothing).
uint32_t CheckServerId(uint32_t server_id);
// As CheckServerId, but returns the session with a reference added for
// the caller (release it with Release()); null when the check fails.
CServerSession* AcquireValidSession(uint32_t server_id);

}  // namespace qz::exports

#endif  // QZ_EXPORTS_SESSION_SLOT_H_
