// files_cmd.cc -- the server's stored files: "qzfax coverpages" (add,
// replace, fetch, delete cover-page files) and the file commands of
// "qzfax scripts" (replace a script's file by name, fetch it).
//
// The file exports carry no content: the tool names a local file by its
// absolute path and the server opens it with the caller's identity (over
// TCP only below its spool directory). The server copies at most 64 MiB
// and names stored files 1 to 64 characters of A-Z a-z 0-9 . _ - not
// beginning with a dot; both are checked here before anything is sent.
// No procedure lists the stored cover pages, and adding one does not
// return its ID: "coverpages fetch" and "replace" need an ID learnt
// elsewhere, "delete" also takes the name.
//
// Thread-safety: single-threaded, as the command line is.
#include <sys/stat.h>

#include "commands.h"
#include "frame.h"

namespace qzfax {
namespace {

// File types of the file exports.
constexpr uint32_t kCoverPageFile = 2;
constexpr uint32_t kScriptFile = 3;
// The largest file the server copies in or out.
constexpr uint64_t kMaxStoredFile = 64ull << 20;

// A name in the server's store; anything else is bad input naming `what`.
void CheckStoreName(const std::string& name, const char* what) {
  bool ok = !name.empty() && name.size() <= 64 && name[0] != '.';
  for (char c : name)
    ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-');
  if (!ok)
    Usage(std::string(what) + " \"" + name +
          "\" is not a stored file name: 1 to 64 of A-Z a-z 0-9 . _ -, not beginning with .");
}

// The size of a local regular file the server is to copy in; a missing,
// unreadable or too large one is bad input.
uint64_t UploadSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) Usage("cannot read " + path + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) Usage(path + " is not a regular file");
  if (static_cast<uint64_t>(st.st_size) > kMaxStoredFile)
    Usage(path + " is larger than the server takes (" + std::to_string(kMaxStoredFile) + " bytes)");
  return static_cast<uint64_t>(st.st_size);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void AddCoverPages(CLI::App& root) {
  CLI::App* pages = Group(root, "coverpages",
                          "Cover-page files kept by the server (the server lists none: IDs are "
                          "learnt elsewhere, e.g. from cover-page entries)");
  static std::string file, out;
  static uint32_t id = 0;
  CLI::App* add = Command(*pages, "add", "Store a local file as a new cover page named after it (administrators)", [] {
    const std::string name = BaseName(file);
    CheckStoreName(name, "cover page name");
    const uint64_t bytes = UploadSize(file);
    const std::string path = Absolute(file);
    Session s;
    // ID 0 adds a cover page; the server does not say which ID it gave.
    Check(RemoteSendFileToServer(s.id(), kCoverPageFile, 0, "", path.c_str()),
          "storing the cover page (RemoteSendFileToServer)");
    Done("cover page " + name + " added (" + std::to_string(bytes) + " bytes)",
         {{"name", name}, {"file", path}, {"bytes", bytes}});
  });
  add->add_option("file", file, "The cover-page file; its name becomes the cover page's name")->required();

  CLI::App* replace = Command(*pages, "replace", "Replace a cover page's file with a local file (administrators)", [] {
    const uint64_t bytes = UploadSize(file);
    const std::string path = Absolute(file);
    Session s;
    Check(RemoteSendFileToServer(s.id(), kCoverPageFile, id, "", path.c_str()),
          "replacing the cover page (RemoteSendFileToServer)");
    Done("cover page " + std::to_string(id) + " replaced (" + std::to_string(bytes) + " bytes)",
         {{"id", id}, {"file", path}, {"bytes", bytes}});
  });
  replace->add_option("id", id, "Cover page ID")->required()->check(CLI::Range(1u, 0xFFFFFFFFu));
  replace->add_option("file", file, "The new file")->required();

  CLI::App* fetch = Command(*pages, "fetch", "Fetch a cover page's file into a local file", [] {
    const std::string path = Absolute(out);
    Session s;
    uint32_t bytes = 0;
    Check(RemoteReceiveFileFromServer(s.id(), kCoverPageFile, id, "", path.c_str(), &bytes),
          "fetching the cover page (RemoteReceiveFileFromServer)");
    Done("cover page " + std::to_string(id) + ": " + std::to_string(bytes) + " bytes written to " + out,
         {{"id", id}, {"bytes", bytes}, {"file", path}});
  });
  fetch->add_option("id", id, "Cover page ID")->required();
  fetch->add_option("-o,--output", out, "File to write (created or truncated)")->required();

  static std::string which;
  Command(*pages, "delete", "Delete a cover page and its file, by ID or name (administrators)", [] {
    // Digits that fit 32 bits are an ID (the server reads them so), else a name.
    const bool by_id = !which.empty() && which.size() <= 10 &&
                       which.find_first_not_of("0123456789") == std::string::npos &&
                       std::stoull(which) <= 0xFFFFFFFFull;
    if (!by_id) CheckStoreName(which, "cover page name");
    Session s;
    // The server reads the name (an ID in digits or a name); the flag and
    // the ID argument are not sent.
    Check(RemoteDeleteFileFromServer(s.id(), kCoverPageFile, 0, 0, which.c_str()),
          "deleting the cover page (RemoteDeleteFileFromServer)");
    Done("cover page " + which + " deleted",
         by_id ? json{{"id", std::stoul(which)}} : json{{"name", which}});
  })->add_option("page", which, "Cover page ID or name")->required();
}

// Adds "replace" and "fetch" to the "scripts" group of lines_cmd.cc.
void AddScriptFiles(CLI::App& scripts) {
  static std::string name, file, out;
  CLI::App* replace = Command(scripts, "replace", "Replace the file of an existing script with a local file", [] {
    CheckStoreName(name, "script name");
    const uint64_t bytes = UploadSize(file);
    const std::string path = Absolute(file);
    Session s;
    // The server would store a file under any valid name; only a script it
    // lists is replaced, so that no file without a script is left behind.
    Block<SCRIPTINFO> list;
    Check(RemoteGetScripts(s.id(), list.out(), &list.n), "reading scripts (RemoteGetScripts)");
    uint32_t script_id = 0;
    for (const SCRIPTINFO& sc : Prefixed<SCRIPTINFO>(list.p, list.n))
      if (Text(sc.szName) == name) script_id = sc.dwScriptID;
    if (script_id == 0) throw Failure(kExitNotFound, "no script " + name);
    Check(RemoteSendFileToServer(s.id(), kScriptFile, script_id, name.c_str(), path.c_str()),
          "replacing the script file (RemoteSendFileToServer)");
    Done("script " + name + " replaced (" + std::to_string(bytes) + " bytes)",
         {{"id", script_id}, {"name", name}, {"file", path}, {"bytes", bytes}});
  });
  replace->add_option("name", name, "Script name")->required();
  replace->add_option("file", file, "The new file")->required();

  CLI::App* fetch = Command(scripts, "fetch", "Fetch a script's file into a local file (administrators)", [] {
    CheckStoreName(name, "script name");
    const std::string path = Absolute(out);
    Session s;
    uint32_t bytes = 0;
    Check(RemoteReceiveFileFromServer(s.id(), kScriptFile, 0, name.c_str(), path.c_str(), &bytes),
          "fetching the script file (RemoteReceiveFileFromServer)");
    Done("script " + name + ": " + std::to_string(bytes) + " bytes written to " + out,
         {{"name", name}, {"bytes", bytes}, {"file", path}});
  });
  fetch->add_option("name", name, "Script name")->required();
  fetch->add_option("-o,--output", out, "File to write (created or truncated)")->required();
}

}  // namespace

void AddFileCommands(CLI::App& root) {
  AddCoverPages(root);
  AddScriptFiles(*root.get_subcommand("scripts"));
}

}  // namespace qzfax
