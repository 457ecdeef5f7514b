// exports_test.cc -- the shared library as a caller sees it: its dynamic
// symbol table, its lifecycle exports (loaded with dlopen, so copies of
// the library can be placed in directories of their own) and the install.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "qzcsif/qzcsif.h"

namespace {

namespace fs = std::filesystem;

std::string RunCommand(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = st;
  return out;
}

std::set<std::string> ExpectedExports() {
  std::set<std::string> names;
  std::ifstream in(QZ_EXPECTED_EXPORTS);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') names.insert(line);
  return names;
}

TEST(SymbolTable, ExactlyTheExportsAndNoInternals) {
  int status = 0;
  std::string out = RunCommand("nm -D --defined-only '" QZ_LIBQZCSIF "'", &status);
  ASSERT_EQ(status, 0) << out;
  std::set<std::string> defined;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    // "<address> <type> <name>"
    size_t sp = line.rfind(' ');
    ASSERT_NE(sp, std::string::npos) << line;
    std::string name = line.substr(sp + 1);
    EXPECT_NE(name.rfind("_Z", 0), 0u) << "C++ symbol exported: " << name;
    defined.insert(name);
  }
  std::set<std::string> expected = ExpectedExports();
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(defined, expected);
}

TEST(SymbolTable, MessageModuleHoldsDataOnly) {
  int status = 0;
  std::string out = RunCommand("nm -D --defined-only '" QZ_LIBQZMSG "'", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(out.find(" T "), std::string::npos) << out;  // no code
  EXPECT_NE(out.find(" R qzmsg_table"), std::string::npos) << out;
  std::string dyn = RunCommand("readelf -d '" QZ_LIBQZMSG "'");
  EXPECT_EQ(dyn.find("INIT"), std::string::npos) << dyn;  // nothing runs on load
  EXPECT_EQ(dyn.find("NEEDED"), std::string::npos) << dyn;
  std::string lib = RunCommand("readelf -d '" QZ_LIBQZCSIF "'");
  EXPECT_NE(lib.find("[$ORIGIN]"), std::string::npos) << lib;
  EXPECT_NE(lib.find("[libqzcsif.so.1]"), std::string::npos) << lib;
}

// The library loaded from a directory of its own.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const fs::path& file) {
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  ~LoadedLibrary() {
    if (handle_) dlclose(handle_);
  }
  template <typename F>
  F* Get(const char* name) {
    return reinterpret_cast<F*>(dlsym(handle_, name));
  }
  void* handle_;
};

class CopiedLibrary : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qz_exports_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Place(bool with_module) {
    fs::path sub = dir_ / (with_module ? "with" : "without");
    fs::create_directories(sub);
    fs::copy_file(fs::canonical(QZ_LIBQZCSIF), sub / "libqzcsif.so.1");
    if (with_module) fs::copy_file(QZ_LIBQZMSG, sub / "libqzmsg.so");
    return sub / "libqzcsif.so.1";
  }
  fs::path dir_;
};

TEST_F(CopiedLibrary, InitializeNeedsTheModuleBesideTheLibrary) {
  LoadedLibrary without(Place(false));
  ASSERT_NE(without.handle_, nullptr) << dlerror();
  auto* init = without.Get<uint32_t()>("QZIfInitialize");
  auto* uninit = without.Get<uint32_t()>("QZIfUninitialize");
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(init(), 2u);  // file not found; stays uninitialised
  EXPECT_EQ(init(), 2u);
  EXPECT_EQ(uninit(), 0u);

  LoadedLibrary with(Place(true));
  ASSERT_NE(with.handle_, nullptr) << dlerror();
  auto* init2 = with.Get<uint32_t()>("QZIfInitialize");
  auto* uninit2 = with.Get<uint32_t()>("QZIfUninitialize");
  ASSERT_NE(init2, init);  // a separate copy
  EXPECT_EQ(init2(), 0u);
  EXPECT_EQ(init2(), 0u);  // already initialised
  EXPECT_EQ(uninit2(), 0u);
  EXPECT_EQ(uninit2(), 0u);
}

TEST_F(CopiedLibrary, LifecycleAndMemoryExports) {
  LoadedLibrary lib(Place(true));
  ASSERT_NE(lib.handle_, nullptr) << dlerror();
  auto* valid = lib.Get<uint32_t(uint32_t)>("IsServerIDValid");
  auto* alloc = lib.Get<void*(uint32_t)>("RDMemAlloc");
  auto* release = lib.Get<uint32_t(void*)>("RDMemFree");
  auto* last = lib.Get<uint32_t(QZERRORINFO*)>("GetLastErrorInfo");
  auto* uninit = lib.Get<uint32_t()>("QZIfUninitialize");
  ASSERT_TRUE(valid && alloc && release && last && uninit);

  EXPECT_EQ(uninit(), 0u);  // without QZIfInitialize
  for (uint32_t id : {0u, 1u, 2u, 0xFFFFFFFFu}) EXPECT_EQ(valid(id), 0u) << id;
  EXPECT_EQ(alloc(0), nullptr);
  auto* p = static_cast<unsigned char*>(alloc(100));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_NE(release(p), 0u);
  EXPECT_EQ(release(nullptr), 0u);

  EXPECT_EQ(last(nullptr), 0u);
  QZERRORINFO info;
  std::memset(&info, 0x5A, sizeof info);
  std::thread([&] { EXPECT_EQ(last(&info), 0u); }).join();
  EXPECT_EQ(info.dwErrorCode, 0u);  // never recorded: a zeroed record
  for (char c : info.szErrorInfo) ASSERT_EQ(c, 0);
  // An unwritable record pointer is not written and does not crash.
  EXPECT_EQ(last(reinterpret_cast<QZERRORINFO*>(uintptr_t{64})), 0u);
  EXPECT_EQ(last(const_cast<QZERRORINFO*>(reinterpret_cast<const QZERRORINFO*>("read-only"))),
            0u);
}

bool Mapped(const fs::path& file) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(file.string()) != std::string::npos) return true;
  return false;
}

// Unloading an initialised library ends it as QZIfUninitialize would: the
// message module it holds is unmapped with it.
TEST_F(CopiedLibrary, ProcessDetachUninitialises) {
  fs::path lib_path = Place(true);
  fs::path module = lib_path.parent_path() / "libqzmsg.so";
  void* handle = nullptr;
  // Loaded and initialised on a thread that then ends, so no thread-local
  // data of this thread keeps the library from being unloaded.
  std::thread([&] {
    handle = dlopen(lib_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto* init = reinterpret_cast<uint32_t (*)()>(dlsym(handle, "QZIfInitialize"));
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init(), 0u);
  }).join();
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(Mapped(module));
  EXPECT_EQ(dlclose(handle), 0);
  EXPECT_FALSE(Mapped(lib_path));  // the library itself went away ...
  EXPECT_FALSE(Mapped(module));    // ... and released the message module
}

TEST(Install, LibraryModuleAndHeader) {
  char tmpl[] = "/tmp/qz_install_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  fs::path prefix = tmpl;
  int status = 0;
  std::string out = RunCommand(std::string("cmake --install '" QZ_BINARY_DIR "' --component qzcsif --prefix '") +
                                   prefix.string() + "' 2>&1",
                               &status);
  ASSERT_EQ(status, 0) << out;
  fs::path libdir;
  for (const char* d : {"lib", "lib64", "lib/x86_64-linux-gnu"})
    if (fs::exists(prefix / d / "libqzmsg.so")) libdir = prefix / d;
  ASSERT_FALSE(libdir.empty()) << out;
  EXPECT_TRUE(fs::exists(libdir / "libqzcsif.so.1"));
  EXPECT_TRUE(fs::exists(libdir / "libqzcsif.so"));
  EXPECT_TRUE(fs::exists(prefix / "include/qzcsif/qzcsif.h"));
  std::string dyn = RunCommand("readelf -d '" + (libdir / "libqzcsif.so.1").string() + "'");
  EXPECT_NE(dyn.find("[$ORIGIN]"), std::string::npos) << dyn;
  // Nothing but the library (and its links), the message module, the
  // public headers and the two ways to find them (pkg-config, CMake
  // package); every header the main one includes is there.
  EXPECT_TRUE(fs::exists(libdir / "pkgconfig/qzcsif.pc"));
  EXPECT_TRUE(fs::exists(libdir / "cmake/qzcsif/qzcsifConfig.cmake"));
  EXPECT_TRUE(fs::exists(libdir / "cmake/qzcsif/qzcsifConfigVersion.cmake"));
  size_t files = 0, headers = 0;
  for (const auto& e : fs::recursive_directory_iterator(prefix)) {
    files += !e.is_directory();
    headers += e.path().parent_path() == prefix / "include/qzcsif";
  }
  EXPECT_EQ(files, 4u + 3u + headers);
  for (const char* h : {"qzrecords_send.h", "qzrecords_store.h", "qzrecords_admin.h"})
    EXPECT_TRUE(fs::exists(prefix / "include/qzcsif" / h)) << h;
  fs::remove_all(prefix);
}

}  // namespace
