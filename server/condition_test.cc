// condition_test.cc -- parsing of the log condition texts.
#include "server/condition.h"

#include <gtest/gtest.h>

namespace qz::faxd {
namespace {

TEST(LogCondition, AcceptedTexts) {
  struct Case {
    const char* text;
    LogFilter expect;
  };
  auto F = [](auto fill) {
    LogFilter f;
    fill(f);
    return f;
  };
  const Case cases[] = {
      {"", LogFilter{}},
      {"  ;; ; ", LogFilter{}},
      {"user=admin", F([](LogFilter& f) { f.user = "admin"; })},
      {" user = admin ", F([](LogFilter& f) { f.user = "admin"; })},
      {"user=", F([](LogFilter& f) { f.user = ""; })},
      {"op=87;since=100", F([](LogFilter& f) {
         f.opnum = 87;
         f.since = 100;
       })},
      {"until=200;session=-5;", F([](LogFilter& f) {
         f.until = 200;
         f.session = -5;
       })},
      {"result=0xC1FE0001", F([](LogFilter& f) { f.result = int32_t(0xC1FE0001); })},
      {"result=1", F([](LogFilter& f) { f.result = 1; })},
      {"proc=rpcLogInServer", F([](LogFilter& f) { f.procedure = "rpcLogInServer"; })},
      // Quotes, dashes and SQL words are just characters of the value.
      {"user=a' OR '1'='1", F([](LogFilter& f) { f.user = "a' OR '1'='1"; })},
      {"user=x\"--/*", F([](LogFilter& f) { f.user = "x\"--/*"; })},
      {"user=a=b", F([](LogFilter& f) { f.user = "a=b"; })},
  };
  for (const Case& c : cases) {
    LogFilter f;
    f.user = "stale";  // must be replaced, not merged
    ASSERT_TRUE(ParseLogCondition(c.text, &f)) << c.text;
    EXPECT_EQ(f.user, c.expect.user) << c.text;
    EXPECT_EQ(f.session, c.expect.session) << c.text;
    EXPECT_EQ(f.opnum, c.expect.opnum) << c.text;
    EXPECT_EQ(f.result, c.expect.result) << c.text;
    EXPECT_EQ(f.since, c.expect.since) << c.text;
    EXPECT_EQ(f.until, c.expect.until) << c.text;
    EXPECT_EQ(f.procedure, c.expect.procedure) << c.text;
  }
}

TEST(LogCondition, RefusedTexts) {
  const char* cases[] = {
      "admin",                          // no '='
      "user",                           // no '='
      "name=admin",                     // unknown field
      "USER=admin",                     // fields are lower case
      "user=a;user=b",                  // repeated
      "op=87;op=88",
      "op=x",
      "op=-1",
      "op=65536",
      "op=1 2",
      "since=",
      "since=-1",
      "since=12abc",
      "session=2147483648",
      "result=0x1FFFFFFFF",
      "result=0x",
      "user=abcdefghijklmnopqrst",      // 20 characters
      "user=x;DROP TABLE user_log",     // the second term has no '='
      "user=x'; DELETE FROM users; --",  // the second term has no '='
      "proc=",
      "=5",
  };
  for (const char* text : cases) {
    LogFilter f;
    std::string why;
    EXPECT_FALSE(ParseLogCondition(text, &f, &why)) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
}

TEST(LogCondition, SelectsAllOnlyWithoutTerms) {
  LogFilter f;
  ASSERT_TRUE(ParseLogCondition(";", &f));
  EXPECT_TRUE(f.SelectsAll());
  ASSERT_TRUE(ParseLogCondition("op=0", &f));
  EXPECT_FALSE(f.SelectsAll());
}

}  // namespace
}  // namespace qz::faxd
