// server_status.cc -- names of the server's own statuses.
#include "server/server_status.h"

namespace qz::faxd {

const char* StatusName(uint32_t status) {
  switch (status) {
    case 1: return "OK";
    case kBadKey: return "BAD_KEY";
    case kNotHandled: return "NOT_HANDLED";
    case kBadCondition: return "BAD_CONDITION";
    case kBadRecord: return "BAD_RECORD";
    case kWrongPassword: return "WRONG_PASSWORD";
    case kUnknownCaller: return "UNKNOWN_CALLER";
    case kAccessDenied: return "ACCESS_DENIED";
    case kStoreFailure: return "STORE_FAILURE";
    case kBadArgument: return "BAD_ARGUMENT";
    case kBadPassword: return "BAD_PASSWORD";
    case kTooMany: return "TOO_MANY";
    case kNoSuchFolder: return "NO_SUCH_FOLDER";
    case kNotFound: return "NOT_FOUND";
    case kWrongItemKind: return "WRONG_ITEM_KIND";
    case kInUse: return "IN_USE";
    case kExists: return "EXISTS";
    case kReplyTooLarge: return "REPLY_TOO_LARGE";
    case kFileError: return "FILE_ERROR";
    case kNotLocal: return "NOT_LOCAL";
    case kBadDocument: return "BAD_DOCUMENT";
    case kNoDataDir: return "NO_DATA_DIR";
    case kNoSuchFile: return "NO_SUCH_FILE";
    case kFileDenied: return "FILE_DENIED";
    case kNoSuchRecord: return "NO_SUCH_RECORD";
    case kDuplicate: return "DUPLICATE";
    case kUnknownConfigName: return "UNKNOWN_CONFIG_NAME";
    case kNoHistory: return "NO_HISTORY";
    case kFileFailure: return "FILE_FAILURE";
    case kServerBusy: return "SERVER_BUSY";
    case kTextTooLong: return "TEXT_TOO_LONG";
    case kServiceStopped: return "SERVICE_STOPPED";
    case kNoSuchTask: return "NO_SUCH_TASK";
    case kTaskState: return "TASK_STATE";
    case kBadNumber: return "BAD_NUMBER";
    case kNoSuchDraft: return "NO_SUCH_DRAFT";
    case kBadBackupName: return "BAD_BACKUP_NAME";
    case kJobNotQueued: return "JOB_NOT_QUEUED";
    default: return "";
  }
}

}  // namespace qz::faxd
