// platform.cc -- Linux implementation of the platform layer.
//
// Thread-safety: see platform.h. The message-box sink is an atomic
// pointer; the per-thread block and last error are thread_local.
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qz::platform {
namespace {

std::atomic<DetachHandler> g_detach_handler{nullptr};
std::atomic<bool> g_detaching{false};

void DefaultMessageBox(const char* text, const char* caption) {
  // One line, whatever the text holds: line feeds become blanks.
  std::string line = caption ? caption : "";
  line += ": ";
  for (const char* p = text ? text : ""; *p; ++p) line += (*p == '\n' || *p == '\r') ? ' ' : *p;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  line += '\n';
  (void)!fwrite(line.data(), 1, line.size(), stderr);
}

std::atomic<MessageBoxSink> g_message_box{&DefaultMessageBox};

// Owner of the calling thread's error block; frees it at thread exit.
struct ThreadBlock {
  uint8_t* block = nullptr;
  ~ThreadBlock() {
    std::free(block);
    block = nullptr;
  }
};
thread_local ThreadBlock t_block;
thread_local uint32_t t_last_error = 0;

// Library constructor and destructor: process attach and detach.
__attribute__((constructor)) void ProcessAttach() {
  g_detaching.store(false);
  // The attaching thread gets its block at once, as a Windows thread
  // attach would; later threads get theirs on first use.
  (void)ThreadErrorBlock();
}

__attribute__((destructor)) void ProcessDetach() {
  g_detaching.store(true);
  if (DetachHandler h = g_detach_handler.load()) h();
}

}  // namespace

void SetProcessDetachHandler(DetachHandler handler) { g_detach_handler.store(handler); }
bool IsProcessDetaching() { return g_detaching.load(); }

uint8_t* ThreadErrorBlock() {
  if (t_block.block == nullptr) {
    t_block.block = static_cast<uint8_t*>(std::calloc(1, kThreadErrorBlockSize));
    if (t_block.block == nullptr) SetLastError(kErrNotEnoughMemory);
  }
  return t_block.block;
}

const uint8_t* PeekThreadErrorBlock() { return t_block.block; }

void* HeapAlloc(size_t size) {
  if (size == 0) return nullptr;
  void* p = std::calloc(1, size);
  if (p == nullptr) {
    SetLastError(kErrNotEnoughMemory);
    return nullptr;
  }
  // A large block (a record block a reply is read into) comes fresh from
  // the kernel.
  AdviseLargeBlock(p, size);
  return p;
}

uint32_t HeapFree(void* p) {
  if (p == nullptr) return 0;
  std::free(p);
  return 1;
}

std::string ModuleDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 || info.dli_fname == nullptr)
    return std::string();
  std::string path = info.dli_fname;
  if (path.empty() || path[0] != '/') {
    // Only the main program is reported by a relative name (as it was
    // started); the kernel knows its absolute path.
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    path.assign(buf, static_cast<size_t>(n));
  }
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

void* LoadModule(const char* name_or_path) {
  if (name_or_path == nullptr || *name_or_path == '\0') {
    SetLastError(kErrInvalidParameter);
    return nullptr;
  }
  const bool is_path = std::strchr(name_or_path, '/') != nullptr;
  if (is_path) {
    struct stat st;
    if (::stat(name_or_path, &st) != 0) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
  }
  void* h = ::dlopen(name_or_path, RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    (void)::dlerror();  // clear the loader's message
    SetLastError(is_path ? kErrBadExeFormat : kErrModNotFound);
  }
  return h;
}

const void* ModuleSymbol(void* module, const char* symbol) {
  if (module == nullptr || symbol == nullptr) return nullptr;
  void* p = ::dlsym(module, symbol);
  if (p == nullptr) (void)::dlerror();
  return p;
}

void FreeModule(void* module) {
  if (module != nullptr) ::dlclose(module);
}

void SetLastError(uint32_t code) { t_last_error = code; }
uint32_t GetLastError() { return t_last_error; }

uint32_t Win32FromErrno(int err) {
  switch (err) {
    case 0: return kErrSuccess;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrAccessDenied;
    case EBADF: return kErrInvalidHandle;
    case ENOMEM: return kErrNotEnoughMemory;
    case EFAULT: return 998;   // invalid access to memory location
    case EEXIST: return 80;    // file exists
    case ENOSPC: return 112;   // disk full
    case EMFILE:
    case ENFILE: return 4;     // too many open files
    case ENAMETOOLONG: return 206;
    case EBUSY: return 170;
    case EAGAIN: return 1460;  // timeout
    case ETIMEDOUT: return 1460;
    case EINVAL:
    default: return kErrInvalidParameter;
  }
}

void SetLastErrorFromErrno(int err) { SetLastError(Win32FromErrno(err)); }

uint32_t CreateLocalFile(const char* path, int* fd) {
  *fd = -1;
  if (path == nullptr || *path == '\0') return kErrPathNotFound;
  int f;
  do {
    f = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (f < 0 && errno == EINTR);
  if (f < 0) {
    // With O_CREAT, ENOENT means a folder of the path is missing.
    return errno == ENOENT ? kErrPathNotFound : Win32FromErrno(errno);
  }
  *fd = f;
  return kErrSuccess;
}

void CloseLocalFile(int fd) {
  if (fd >= 0) ::close(fd);
}

MessageBoxSink SetMessageBoxSink(MessageBoxSink sink) {
  return g_message_box.exchange(sink ? sink : &DefaultMessageBox);
}

void ShowMessageBox(const char* text, const char* caption) {
  g_message_box.load()(text ? text : "", caption ? caption : "");
}

}  // namespace qz::platform
