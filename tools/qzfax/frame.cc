// frame.cc -- the shared frame of the qzfax subcommands (see frame.h):
// session, output, fixed fields, local files and the fax TIFF check.
//
// Thread-safety: single-threaded, as the command line is.
#include "frame.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

namespace qzfax {

Globals& Global() {
  static Globals globals;
  return globals;
}

int& ExitStatus() {
  static int status = kExitOk;
  return status;
}

void Usage(const std::string& message) { throw Failure(kExitUsage, message); }

void Check(uint32_t status, const std::string& what, uint32_t ok) {
  if (status == ok) return;
  throw Failure(ExitFor(status), what + ": status " + DescribeStatus(status), status);
}

Session::Session() {
  const std::string& t = Global().transport;
  if (t == "tcp") setenv("QZRPC_PROTSEQS", "ncacn_ip_tcp", 1);
  if (t == "local") setenv("QZRPC_PROTSEQS", "ncalrpc", 1);
  Check(QZIfInitialize(), "starting the library (QZIfInitialize)", 0);
  uint32_t status = LogInServer(&id_);
  if (status != QZ_OK) {
    // The text is taken while the library is still up.
    std::string text = DescribeStatus(status);
    QZIfUninitialize();
    int exit_status = ExitFor(status);
    if (exit_status == kExitServer || exit_status == kExitLibrary) exit_status = kExitUnreachable;
    throw Failure(exit_status, "logging in to the fax server (LogInServer): status " + text,
                  status);
  }
}

Session::~Session() { QZIfUninitialize(); }

void PutText(char* field, size_t size, const std::string& value, const char* what) {
  if (value.size() >= size)
    Usage(std::string(what) + " is too long: at most " + std::to_string(size - 1) +
          " characters");
  if (value.find('\0') != std::string::npos) Usage(std::string(what) + " holds a NUL");
  std::memset(field, 0, size);
  std::memcpy(field, value.data(), value.size());
}

std::string Time(uint32_t seconds) {
  if (seconds == 0) return "";
  time_t t = static_cast<time_t>(seconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string TaskState(uint32_t state) {
  static const char* const kNames[] = {"unknown", "queued", "held",    "locked",
                                       "sending", "done",   "failed", "stopped"};
  return state < 8 ? kNames[state] : "state " + std::to_string(state);
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
  return buf;
}

namespace {

std::string Cell(const json& v) {
  if (v.is_null()) return "";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
  if (v.is_array()) {
    std::string out;
    for (const json& e : v) out += (out.empty() ? "" : ",") + Cell(e);
    return out;
  }
  return v.dump();
}

}  // namespace

void Emit(const char* key, const json& rows, const std::vector<Column>& columns) {
  if (Global().json) {
    std::cout << json{{key, rows}}.dump(2) << "\n";
    return;
  }
  if (rows.empty()) {
    std::cout << "(none)\n";
    return;
  }
  std::vector<size_t> width;
  for (const Column& c : columns) width.push_back(std::strlen(c.heading));
  std::vector<std::vector<std::string>> cells;
  for (const json& row : rows) {
    std::vector<std::string> line;
    for (size_t i = 0; i < columns.size(); ++i) {
      line.push_back(row.contains(columns[i].field) ? Cell(row[columns[i].field]) : "");
      width[i] = std::max(width[i], line.back().size());
    }
    cells.push_back(std::move(line));
  }
  auto print = [&](const std::vector<std::string>& line) {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
      out += line[i];
      if (i + 1 < line.size()) out += std::string(width[i] - line[i].size() + 2, ' ');
    }
    std::cout << out << "\n";
  };
  std::vector<std::string> heading;
  for (const Column& c : columns) heading.push_back(c.heading);
  print(heading);
  for (const auto& line : cells) print(line);
}

void EmitObject(const json& object) {
  if (Global().json) {
    std::cout << object.dump(2) << "\n";
    return;
  }
  size_t width = 0;
  for (auto it = object.begin(); it != object.end(); ++it) width = std::max(width, it.key().size());
  for (auto it = object.begin(); it != object.end(); ++it)
    std::cout << it.key() << ":" << std::string(width - it.key().size() + 1, ' ') << Cell(*it)
              << "\n";
}

void Done(const std::string& text, json object) {
  if (Global().json) {
    object["ok"] = true;
    std::cout << object.dump(2) << "\n";
  } else {
    std::cout << text << "\n";
  }
}

CLI::App* Command(CLI::App& parent, const std::string& name, const std::string& description,
                  std::function<void()> body) {
  CLI::App* app = parent.add_subcommand(name, description);
  app->callback([body = std::move(body)] {
    try {
      body();
      ExitStatus() = kExitOk;
    } catch (const Failure& f) {
      ExitStatus() = f.exit_status();
      std::cerr << "qzfax: " << f.what() << "\n";
      if (Global().json) {
        json error{{"message", f.what()}, {"exit_status", f.exit_status()}};
        if (f.status() != 0) {
          error["status"] = f.status();
          error["status_hex"] = Hex(f.status());
          error["text"] = StatusText(f.status());
        }
        json doc = f.details();
        doc["error"] = error;
        std::cout << doc.dump(2) << "\n";
      }
    }
  });
  return app;
}

CLI::App* Group(CLI::App& parent, const std::string& name, const std::string& description) {
  CLI::App* app = parent.add_subcommand(name, description);
  app->require_subcommand(1);
  return app;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Usage("cannot read " + path + ": " + std::strerror(errno));
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) Usage("cannot resolve " + path);
  return std::string(cwd) + "/" + path;
}

uint32_t CheckFaxTiff(const std::string& path) {
  const std::string data = ReadFile(path);
  const auto* b = reinterpret_cast<const unsigned char*>(data.data());
  const size_t size = data.size();
  if (size < 8 || !((b[0] == 'I' && b[1] == 'I' && b[2] == 42 && b[3] == 0) ||
                    (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 42)))
    Usage(path + " is not a TIFF file");
  const bool little = b[0] == 'I';
  auto u16 = [&](size_t at) -> uint32_t {
    return little ? b[at] | b[at + 1] << 8 : b[at] << 8 | b[at + 1];
  };
  auto u32 = [&](size_t at) -> uint32_t {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  std::set<uint32_t> seen;
  uint32_t pages = 0;
  for (uint32_t ifd = u32(4); ifd != 0; ++pages) {
    if (pages == 1000) Usage(path + " has more than 1000 pages");
    if (!seen.insert(ifd).second || ifd > size - 2)
      Usage(path + " is not a valid TIFF file (page " + std::to_string(pages + 1) +
            " lies outside the file)");
    const uint32_t entries = u16(ifd);
    if (ifd + 2 + 12ull * entries + 4 > size)
      Usage(path + " is not a valid TIFF file (page " + std::to_string(pages + 1) +
            " is cut short)");
    uint32_t compression = 1, bits = 1;
    for (uint32_t i = 0; i < entries; ++i) {
      const size_t e = ifd + 2 + 12 * i;
      const uint32_t tag = u16(e), type = u16(e + 2);
      const uint32_t value = type == 3 ? u16(e + 8) : u32(e + 8);
      if (tag == 259) compression = value;
      if (tag == 258) bits = value;
    }
    if ((compression != 3 && compression != 4) || bits != 1)
      Usage(path + " is not a fax document: page " + std::to_string(pages + 1) +
            " is not bilevel CCITT Group 3 or 4 (compression " + std::to_string(compression) +
            ")");
    ifd = u32(ifd + 2 + 12 * entries);
  }
  if (pages == 0) Usage(path + " is a TIFF file without pages");
  return pages;
}

}  // namespace qzfax
