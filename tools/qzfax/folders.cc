// folders.cc -- folders named on the command line (see folders.h).
//
// Thread-safety: single-threaded, as the command line is.
#include "folders.h"

#include <algorithm>

namespace qzfax {

const std::map<std::string, uint32_t>& FolderKinds() {
  static const std::map<std::string, uint32_t> kinds = {
      {"inbox", QZ_KIND_INBOX},     {"sent", QZ_KIND_SENT},
      {"drafts", QZ_KIND_DRAFTS},   {"archive", QZ_KIND_ARCHIVE},
      {"addressbook", QZ_KIND_ADDRESSBOOK}, {"notes", QZ_KIND_NOTES},
      {"templates", QZ_KIND_TEMPLATES},     {"schedule", QZ_KIND_SCHEDULE}};
  return kinds;
}

FolderName ParseFolder(const std::string& text, std::vector<uint32_t> kinds) {
  FolderName f;
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    f.id = static_cast<uint32_t>(std::stoul(text));
    return f;
  }
  std::string name = text;
  for (auto [prefix, klass] : {std::pair<std::string, uint32_t>{"public:", QZ_FOLDER_PUBLIC},
                               {"department:", QZ_FOLDER_DEPARTMENT},
                               {"dept:", QZ_FOLDER_DEPARTMENT}}) {
    if (name.rfind(prefix, 0) == 0) {
      f.klass = klass;
      name = name.substr(prefix.size());
    }
  }
  auto it = FolderKinds().find(name);
  if (it == FolderKinds().end() ||
      std::find(kinds.begin(), kinds.end(), it->second) == kinds.end()) {
    std::string known;
    for (uint32_t k : kinds)
      for (const auto& [n, kind] : FolderKinds())
        if (kind == k) known += (known.empty() ? "" : ", ") + n;
    Usage("unknown folder \"" + text + "\" (here: " + known +
          ", optionally with public: or department: in front, or a folder number)");
  }
  f.kind = it->second;
  return f;
}

FOLDERINFO_TABLE FindFolder(const Session& s, const FolderName& name,
                            const std::vector<uint32_t>& kinds) {
  for (uint32_t kind : kinds) {
    if (name.id == 0 && kind != name.kind) continue;
    Block<FOLDERINFO_TABLE> folders;
    Check(RemoteGetFolders(s.id(), kind, folders.out(), &folders.n),
          "reading the folders (RemoteGetFolders)");
    for (const FOLDERINFO_TABLE& f : folders)
      if (name.id != 0 ? f.dwFolderID == name.id : f.dwClass == name.klass) return f;
  }
  throw Failure(kExitNotFound, name.id != 0 ? "no folder " + std::to_string(name.id)
                                            : "no such folder visible to you");
}

void AddFolderOption(CLI::App* c, std::string& folder, const std::string& kind) {
  c->add_option("-f,--folder", folder,
                kind + ", public:" + kind + " or department:" + kind + ", or a folder number")
      ->capture_default_str();
}

FOLDERINFO_TABLE FolderOf(const Session& s, uint32_t folder_id, const std::vector<uint32_t>& kinds) {
  FolderName n;
  n.id = folder_id;
  return FindFolder(s, n, kinds);
}

}  // namespace qzfax
