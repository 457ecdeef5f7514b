// server_status.h -- the stand-in fax server's own statuses.
//
// Every procedure returns 1 for success; a refusal of the server itself is
// one of these codes (range 0xC1FE0001..0xC1FE00FF, apart from the client
// library's 0xC1FF range). Thread-safety: constants.
#ifndef QZ_SERVER_SERVER_STATUS_H_
#define QZ_SERVER_SERVER_STATUS_H_

#include <cstdint>

namespace qz::faxd {

inline constexpr int32_t kOk = 1;

enum ServerStatus : uint32_t {
  // The key names no live session: unknown user, wrong session number, or
  // a session that was logged out (or ended by a server restart).
  kBadKey = 0xC1FE0001,
  // The procedure exists but this server does not carry it out yet.
  kNotHandled = 0xC1FE0002,
  // A condition text does not parse (unknown field, bad number, ...).
  kBadCondition = 0xC1FE0003,
  // A record block or size argument does not have the required length.
  kBadRecord = 0xC1FE0004,
  // rpcChangePassword: the old password does not match.
  kWrongPassword = 0xC1FE0005,
  // Login: no user is associated with the caller (unmapped OS user, no
  // peer credentials, or a TCP login without a configured user).
  kUnknownCaller = 0xC1FE0006,
  // The key's user lacks the permission bit the procedure needs.
  kAccessDenied = 0xC1FE0007,
  // The server's database failed; the call changed nothing.
  kStoreFailure = 0xC1FE0008,
  // An operation code, identifier or value outside what the procedure takes.
  kBadArgument = 0xC1FE0009,
  // rpcChangePassword: the new password is not acceptable (too long).
  kBadPassword = 0xC1FE000A,
  // rpcAdviseOP: the connection holds too many registrations already.
  kTooMany = 0xC1FE000B,
  // A file the client named does not exist (or a folder on its path).
  kNoSuchFile = 0xC1FE000C,
  // The client may not open the file it named: the kernel refused it
  // with the client's identity, or (over TCP) it lies outside the spool
  // directory or its path holds "..", a symbolic link or a bad name.
  kFileDenied = 0xC1FE000D,
  // Reading or writing a file failed otherwise (disk full, I/O error).
  kFileFailure = 0xC1FE000E,

  // Limits and abuse (0xC1FE0020..0xC1FE002F).

  // The server holds as many answers in memory as its setting allows;
  // the call changed nothing: try again later.
  kServerBusy = 0xC1FE0020,
  // A text is longer than its field (checked before any other work).
  kTextTooLong = 0xC1FE0021,

  // The send queue and the service control (0xC1FE0030..0xC1FE004F).
  // The fax service is stopped (or draining): no new jobs.
  kServiceStopped = 0xC1FE0030,
  // An ID names no task the caller may see.
  kNoSuchTask = 0xC1FE0031,
  // The task's state does not allow the operation (e.g. editing a task
  // that is being sent, authorising one that is not held).
  kTaskState = 0xC1FE0032,
  // The document is not a fax document (TIFF, G3/G4, bilevel, fax width),
  // not a readable TIFF, or has no such page.
  kBadDocument = 0xC1FE0033,
  // A recipient number without digits, or with characters other than
  // digits, blanks and + - ( ) .
  kBadNumber = 0xC1FE0034,
  // rpcSendFaxFromDraft: the caller has no draft of that ID.
  kNoSuchDraft = 0xC1FE0035,
  // rpcServerBackup: the name is not a plain file name.
  kBadBackupName = 0xC1FE0036,
  // Another job of the same submission was refused; this one was not queued.
  kJobNotQueued = 0xC1FE0037,

  // The message store, users, files and drafts (0xC1FE0050..0xC1FE006F).
  // The folder is unknown, not visible to the caller, or its record's
  // class or kind disagree with the server's.
  kNoSuchFolder = 0xC1FE0050,
  // An item, message, draft, file, user or department the call names does
  // not exist (or is not the caller's to see).
  kNotFound = 0xC1FE0051,
  // The item code does not belong in that kind of folder, or the operation
  // does not apply to that item code.
  kWrongItemKind = 0xC1FE0052,
  // Deletion refused: the user or department still owns items, drafts or
  // members; or the last administrator would go.
  kInUse = 0xC1FE0053,
  // The identifier exists already.
  kExists = 0xC1FE0054,
  // The answer would exceed the server's reply limit.
  kReplyTooLarge = 0xC1FE0055,
  // A file of the server's store cannot be read or written.
  kFileError = 0xC1FE0056,
  // The procedure needs a local (ncalrpc) caller.
  kNotLocal = 0xC1FE0057,
  // (0xC1FE0058 is not used: a document that is not a readable TIFF, or
  // has no such page, is kBadDocument above.)
  // The server has no store directory for files.
  kNoDataDir = 0xC1FE0059,

  // Lines, dialing, routing, logs, configuration, reports
  // (0xC1FE0070..0xC1FE008F).
  // The record an identifier names (line, rule, template, ...) does not exist.
  kNoSuchRecord = 0xC1FE0070,
  // A record with the same unique key exists (an authorization entry for
  // the user already).
  kDuplicate = 0xC1FE0071,
  // A configuration name the server does not know.
  kUnknownConfigName = 0xC1FE0072,
  // A report was asked for, but the send and receive history is not there.
  kNoHistory = 0xC1FE0073,
};

inline int32_t AsResult(ServerStatus s) { return static_cast<int32_t>(s); }

// Name of a status for logs ("" for an unknown one).
const char* StatusName(uint32_t status);

}  // namespace qz::faxd

#endif  // QZ_SERVER_SERVER_STATUS_H_
