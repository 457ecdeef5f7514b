// records.h -- layouts of the record blocks that the stand-in fax server
// fills and that only the server interprets: the user-log record returned
// by rpcQueryUserLog and the capability block of rpcGetServerCaps, plus the
// offsets the server writes into the login record. Client tests include this
// header to read what the server sends.
//
// All integers are little-endian 32-bit; text fields are fixed-width and
// NUL-terminated within their width; records follow each other without gaps.
// Thread-safety: plain data.
#ifndef QZ_SERVER_RECORDS_H_
#define QZ_SERVER_RECORDS_H_

#include <bit>
#include <cstddef>
#include <cstdint>

#include "qzcsif/qzcsif.h"

namespace qz::faxd {

static_assert(std::endian::native == std::endian::little,
              "record blocks are copied as memory; a big-endian host needs byte swapping");

// One entry of the user log (USERLOG_TABLE, 508 bytes), the layout of the
// public header shared with the client: dwLogID ascending in time order,
// dwTime in seconds since 1970 (UTC), szUserID / dwSessionNo of the call's
// key ("" / 0 without a key), dwOpnum (service-control procedures add
// kServiceControlOpnumBase), lResult the status answered, szProcedure the
// procedure name, szDetail "<caller>: <what happened>" where the caller is
// "ncalrpc uid=<n> pid=<n>" or "ncacn_ip_tcp <address>".
using UserLogRecord = USERLOG_TABLE;
static_assert(sizeof(UserLogRecord) == QZ_SIZEOF_USERLOG_TABLE);
static_assert(offsetof(UserLogRecord, szUserID) == 8);
static_assert(offsetof(UserLogRecord, lResult) == 36);
static_assert(offsetof(UserLogRecord, szProcedure) == 40);
static_assert(offsetof(UserLogRecord, szDetail) == 104);

// Opnum recorded in the user log for service-control procedure n.
inline constexpr uint32_t kServiceControlOpnumBase = 0x100;

// Capability block of rpcGetServerCaps (SERVERCAPS, 440 bytes; layout in
// qzcsif/qzrecords_send.h).
using ServerCapsRecord = SERVERCAPS;
static_assert(sizeof(ServerCapsRecord) == QZ_SIZEOF_SERVERCAPS);

inline constexpr uint32_t kCapUserLog = 0x1;    // rpcQueryUserLog / rpcDelUserLog answer
inline constexpr uint32_t kCapPasswords = 0x2;  // rpcChangePassword answers
inline constexpr uint32_t kCapAdvise = 0x4;     // rpcAdviseOP keeps registrations

inline constexpr uint32_t kServerVersion = 0x00010000;  // 1.0
inline constexpr const char kServerVersionText[] = "qzfaxd 1.0";

// What the server writes into the login record (SERVERINFO, 1680 bytes).
namespace serverinfo {
inline constexpr size_t kVersion = 0;        // uint32: kServerVersion
inline constexpr size_t kHostName = 4;       // text[31]: gethostname()
inline constexpr size_t kServerName = 35;    // text[20]: the server's name ("qzfaxd")
inline constexpr size_t kVersionText = 55;   // text[31]: kServerVersionText
inline constexpr size_t kProtseq = 86;       // text[20]: protocol sequence of the login
inline constexpr size_t kStartTime = 106;    // text[65]: server start, "YYYY-MM-DD HH:MM:SS UTC"
inline constexpr size_t kInstanceId = 172;   // 16 bytes: the database's instance identifier
inline constexpr size_t kSessionNo = 684;    // int32: the session number
inline constexpr size_t kLoginTime = 688;    // uint32: login time, seconds since 1970
inline constexpr size_t kSessionToken = 692; // 16 bytes: random, per session
inline constexpr size_t kUserInfo = 708;     // USERINFO_TABLE of the logged-in user
inline constexpr size_t kUserId = 709;       // text[20] inside the user record
inline constexpr size_t kRights = 1664;      // four uint32 masks
static_assert(offsetof(SERVERINFO, szHostName) == kHostName);
static_assert(offsetof(SERVERINFO, dwSessionNo) == kSessionNo);
static_assert(offsetof(SERVERINFO, UserInfo) == kUserInfo);
static_assert(offsetof(SERVERINFO, UserInfo) + offsetof(USERINFO_TABLE, szUserID) == kUserId);
static_assert(offsetof(SERVERINFO, UserInfo) + offsetof(USERINFO_TABLE, dwRights) == kRights);
}  // namespace serverinfo

// Fields of the user record (USERINFO_TABLE, 972 bytes) the server fills.
namespace userinfo {
inline constexpr size_t kUserType = 0;   // uint8: 1 administrator, 0 user
inline constexpr size_t kUserId = 1;     // text[20]
inline constexpr size_t kUserName = 21;  // text[32]
inline constexpr size_t kRights = 956;   // four uint32 masks
static_assert(offsetof(USERINFO_TABLE, szUserName) == kUserName);
static_assert(offsetof(USERINFO_TABLE, dwRights) == kRights);
}  // namespace userinfo

// The notification interface identifier rpcAdviseOP must carry.
inline constexpr uint8_t kAdviseEventGuid[16] = {0x54, 0xea, 0xe8, 0x7b, 0xfb, 0xc9, 0x29, 0x40,
                                                 0x89, 0x65, 0xc8, 0x03, 0x63, 0x08, 0xa0, 0x1f};
inline constexpr int32_t kAdviseOp = 8;
inline constexpr int32_t kUnadviseOp = 9;
// ADVISEINFO (60 bytes): the 32-bit value at offset 8 is the sink's cookie
// (non-zero); the rest is kept as it came. UNADVISEINFO (16 bytes): the
// 32-bit value at offset 0 names the cookie to remove, 0 removes every
// registration of the connection.
inline constexpr size_t kAdviseCookieOffset = 8;
inline constexpr size_t kUnadviseCookieOffset = 0;

}  // namespace qz::faxd

#endif  // QZ_SERVER_RECORDS_H_
