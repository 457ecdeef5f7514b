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
    case kNoSuchFile: return "NO_SUCH_FILE";
    case kFileDenied: return "FILE_DENIED";
    case kNotFound: return "NOT_FOUND";
    case kDuplicate: return "DUPLICATE";
    case kUnknownConfigName: return "UNKNOWN_CONFIG_NAME";
    case kNoHistory: return "NO_HISTORY";
    case kFileFailure: return "FILE_FAILURE";
    default: return "";
  }
}

}  // namespace qz::faxd
