// folders.h -- folders named on the command line: inbox, sent, drafts,
// archive, addressbook, notes, templates, schedule -- one's own; with
// "public:" or "department:" in front the shared ones; or by their number.
// Used by the message, address book and report template commands.
//
// Thread-safety: single-threaded, as the command line is.
#ifndef QZFAX_FOLDERS_H_
#define QZFAX_FOLDERS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "frame.h"

namespace qzfax {

// Folder kinds by the names the commands take.
const std::map<std::string, uint32_t>& FolderKinds();

// A folder named on the command line, checked before anything is sent.
struct FolderName {
  uint32_t id = 0;  // by number
  uint32_t kind = 0;
  uint32_t klass = QZ_FOLDER_PERSONAL;
};

// Parses a folder name among `kinds`; anything else is bad input.
FolderName ParseFolder(const std::string& text, std::vector<uint32_t> kinds);
// The server's record of the folder (not found: exit status 6).
FOLDERINFO_TABLE FindFolder(const Session& s, const FolderName& name,
                            const std::vector<uint32_t>& kinds);
// Adds "-f,--folder" to `c`: one's own folder named `kind` (e.g. "templates"),
// the shared ones with public: or department: in front, or a folder number.
void AddFolderOption(CLI::App* c, std::string& folder, const std::string& kind);
// The folder with that number among `kinds`.
FOLDERINFO_TABLE FolderOf(const Session& s, uint32_t folder_id, const std::vector<uint32_t>& kinds);

}  // namespace qzfax

#endif  // QZFAX_FOLDERS_H_
