// files.h -- files, drafts and fax import of qzfaxd.
//
// Procedures 44-50 (fax files, cover pages and scripts to and from
// client-named files, and their deletion), 90 (one page of a fax into the
// client's open file), 89 (fax import), 96-99 (drafts). The server's own
// files live below ServerContext::data_dir; a file the client names is
// opened with the client's identity (client_files.h). Layouts in
// qzcsif/qzrecords_store.h; behaviour in server/README.md ("Message store,
// users and files").
//
// Thread-safety: Main may run on many threads at once; the store's rows
// change in one Store::Transaction per procedure; file copies use names of
// their own (the message or cover-page ID) and are renamed into place.
#ifndef QZ_SERVER_FILES_H_
#define QZ_SERVER_FILES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/engine_hooks.h"
#include "server/family.h"
#include "server/store_common.h"

struct sqlite3;

namespace qz::faxd {

extern const SchemaPart kFilesSchema;

class Files final : public ProcedureFamily {
 public:
  explicit Files(ServerContext* context, StoreLimits limits = {});

  const char* Name() const override { return "files"; }
  bool HandlesMain(uint16_t opnum) const override;
  int32_t Main(Call& call, uint16_t opnum) override;

 private:
  int32_t ReceiveFile(Call& call, uint16_t opnum);
  int32_t ReplaceFile(Call& call, uint16_t opnum);
  int32_t DeleteFile(Call& call);
  int32_t OnePage(Call& call);
  int32_t Import(Call& call);
  int32_t Drafts(Call& call, uint16_t opnum);

  ServerContext* context_;
  StoreLimits limits_;
};

// A draft's own bytes (after its DRAFT_HEADER), when `draft_id` names a
// draft of `user`; for rpcSendFaxFromDraft. LoadDraft takes the store's
// lock (do not call it inside Store::WithDb or Transaction); LoadDraftIn
// runs on a connection the caller already holds.
std::optional<std::vector<uint8_t>> LoadDraft(Store& store, const std::string& user,
                                              uint32_t draft_id);
std::optional<std::vector<uint8_t>> LoadDraftIn(sqlite3* db, const std::string& user,
                                                uint32_t draft_id);

// The number of pages of a TIFF file; 0 when it is not a readable TIFF.
uint32_t TiffPageCount(const std::string& path);

// Writes page `page` (0-based) of the TIFF at `source` into `fd` as a
// one-page TIFF (the strips are copied as they are). kOk, kBadDocument
// (not a TIFF, tiled, or no such page) or kFileFailure. Takes ownership
// of fd and closes it.
int32_t WriteTiffPage(const std::string& source, uint32_t page, int fd);

}  // namespace qz::faxd

#endif  // QZ_SERVER_FILES_H_
