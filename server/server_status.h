// server_status.h -- the stand-in fax server's own statuses.
//
// Every procedure returns 1 for success; a refusal of the server itself is
// one of these codes (range 0xC1FE0001..0xC1FE00FF, apart from the client
// library's 0xC1FF range). Their values are the QZ_S_* macros of the public
// header qzcsif/qzstatus_server.h, their texts are in the message module
// (msg/server_statuses.inc). Thread-safety: constants.
#ifndef QZ_SERVER_SERVER_STATUS_H_
#define QZ_SERVER_SERVER_STATUS_H_

#include <cstdint>

#include "qzcsif/qzstatus_server.h"

namespace qz::faxd {

inline constexpr int32_t kOk = 1;

enum ServerStatus : uint32_t {
  // The key names no live session: unknown user, wrong session number, or
  // a session that was logged out (or ended by a server restart).
  kBadKey = QZ_S_BAD_KEY,
  // The procedure exists but this server does not carry it out yet.
  kNotHandled = QZ_S_NOT_HANDLED,
  // A condition text does not parse (unknown field, bad number, ...).
  kBadCondition = QZ_S_BAD_CONDITION,
  // A record block or size argument does not have the required length.
  kBadRecord = QZ_S_BAD_RECORD,
  // rpcChangePassword: the old password does not match.
  kWrongPassword = QZ_S_WRONG_PASSWORD,
  // Login: no user is associated with the caller (unmapped OS user, no
  // peer credentials, or a TCP login without a configured user).
  kUnknownCaller = QZ_S_UNKNOWN_CALLER,
  // The key's user lacks the permission bit the procedure needs.
  kAccessDenied = QZ_S_ACCESS_DENIED,
  // The server's database failed; the call changed nothing.
  kStoreFailure = QZ_S_STORE_FAILURE,
  // An operation code, identifier or value outside what the procedure takes.
  kBadArgument = QZ_S_BAD_ARGUMENT,
  // rpcChangePassword: the new password is not acceptable (too long).
  kBadPassword = QZ_S_BAD_PASSWORD,
  // rpcAdviseOP: the connection holds too many registrations already.
  kTooMany = QZ_S_TOO_MANY,
  // A file the client named does not exist (or a folder on its path).
  kNoSuchFile = QZ_S_NO_SUCH_FILE,
  // The client may not open the file it named: the kernel refused it
  // with the client's identity, or (over TCP) it lies outside the spool
  // directory or its path holds "..", a symbolic link or a bad name.
  kFileDenied = QZ_S_FILE_DENIED,
  // Reading or writing a file failed otherwise (disk full, I/O error).
  kFileFailure = QZ_S_FILE_FAILURE,

  // Limits and abuse (0xC1FE0020..0xC1FE002F).

  // The server holds as many answers in memory as its setting allows;
  // the call changed nothing: try again later.
  kServerBusy = QZ_S_SERVER_BUSY,
  // A text is longer than its field (checked before any other work).
  kTextTooLong = QZ_S_TEXT_TOO_LONG,

  // The send queue and the service control (0xC1FE0030..0xC1FE004F).
  // The fax service is stopped (or draining): no new jobs.
  kServiceStopped = QZ_S_SERVICE_STOPPED,
  // An ID names no task the caller may see.
  kNoSuchTask = QZ_S_NO_SUCH_TASK,
  // The task's state does not allow the operation (e.g. editing a task
  // that is being sent, authorising one that is not held).
  kTaskState = QZ_S_TASK_STATE,
  // The document is not a fax document (TIFF, G3/G4, bilevel, fax width),
  // not a readable TIFF, or has no such page.
  kBadDocument = QZ_S_BAD_DOCUMENT,
  // A recipient number without digits, or with characters other than
  // digits, blanks and + - ( ) .
  kBadNumber = QZ_S_BAD_NUMBER,
  // rpcSendFaxFromDraft: the caller has no draft of that ID.
  kNoSuchDraft = QZ_S_NO_SUCH_DRAFT,
  // rpcServerBackup: the name is not a plain file name.
  kBadBackupName = QZ_S_BAD_BACKUP_NAME,
  // Another job of the same submission was refused; this one was not queued.
  kJobNotQueued = QZ_S_JOB_NOT_QUEUED,

  // The message store, users, files and drafts (0xC1FE0050..0xC1FE006F).
  // The folder is unknown, not visible to the caller, or its record's
  // class or kind disagree with the server's.
  kNoSuchFolder = QZ_S_NO_SUCH_FOLDER,
  // An item, message, draft, file, user or department the call names does
  // not exist (or is not the caller's to see).
  kNotFound = QZ_S_NOT_FOUND,
  // The item code does not belong in that kind of folder, or the operation
  // does not apply to that item code.
  kWrongItemKind = QZ_S_WRONG_ITEM_KIND,
  // Deletion refused: the user or department still owns items, drafts or
  // members; or the last administrator would go.
  kInUse = QZ_S_IN_USE,
  // The identifier exists already.
  kExists = QZ_S_EXISTS,
  // The answer would exceed the server's reply limit.
  kReplyTooLarge = QZ_S_REPLY_TOO_LARGE,
  // A file of the server's store cannot be read or written.
  kFileError = QZ_S_FILE_ERROR,
  // The procedure needs a local (ncalrpc) caller.
  kNotLocal = QZ_S_NOT_LOCAL,
  // (0xC1FE0058 is not used: a document that is not a readable TIFF, or
  // has no such page, is kBadDocument above.)
  // The server has no store directory for files.
  kNoDataDir = QZ_S_NO_DATA_DIR,

  // Lines, dialing, routing, logs, configuration, reports
  // (0xC1FE0070..0xC1FE008F).
  // The record an identifier names (line, rule, template, ...) does not exist.
  kNoSuchRecord = QZ_S_NO_SUCH_RECORD,
  // A record with the same unique key exists (an authorization entry for
  // the user already).
  kDuplicate = QZ_S_DUPLICATE,
  // A configuration name the server does not know.
  kUnknownConfigName = QZ_S_UNKNOWN_CONFIG_NAME,
  // A report was asked for, but the send and receive history is not there.
  kNoHistory = QZ_S_NO_HISTORY,
};

inline int32_t AsResult(ServerStatus s) { return static_cast<int32_t>(s); }

// Name of a status for logs ("" for an unknown one).
const char* StatusName(uint32_t status);

}  // namespace qz::faxd

#endif  // QZ_SERVER_SERVER_STATUS_H_
