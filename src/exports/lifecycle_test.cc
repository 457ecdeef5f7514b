// lifecycle_test.cc -- initialisation and shutdown in a static build (the
// test executable's directory holds no message module).
#include "exports/lifecycle.h"

#include <gtest/gtest.h>

#include "exports/session_slot.h"
#include "session/server_session.h"

namespace qz::exports {
namespace {

class Counted : public CRpcServerSession {
 public:
  explicit Counted(bool* destroyed) : destroyed_(destroyed) {}

 protected:
  ~Counted() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(Lifecycle, MissingModuleLeavesTheLibraryUninitialised) {
  EXPECT_EQ(Initialize(), 2u);  // no libqzmsg.so beside this executable
  EXPECT_FALSE(IsInitialized());
  EXPECT_EQ(Uninitialize(), 0u);
}

TEST(Lifecycle, UninitializeWithoutInitializeEndsTheSession) {
  bool destroyed = false;
  auto* s = new Counted(&destroyed);
  s->AddRef();
  uint32_t id = PutSession(s);
  ASSERT_NE(id, 0u);
  SessionTestAccess::MakeLoggedIn(*s);
  EXPECT_EQ(CheckServerId(id), 1u);
  EXPECT_EQ(Uninitialize(), 0u);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(SlotSession(), nullptr);
  EXPECT_EQ(CheckServerId(id), 0u);  // the former ID is refused
  EXPECT_EQ(Uninitialize(), 0u);     // nothing left to end
}

}  // namespace
}  // namespace qz::exports
