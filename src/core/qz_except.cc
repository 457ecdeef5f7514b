// qz_except.cc -- the error record.
// Thread-safety: see qz_except.h.
#include "core/qz_except.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "core/error_text.h"

namespace qz {
namespace {

char* Duplicate(const char* text) {
  size_t n = std::strlen(text);
  char* p = static_cast<char*>(std::malloc(n + 1));
  if (p != nullptr) std::memcpy(p, text, n + 1);
  return p;
}

}  // namespace

qz_except::qz_except(uint32_t code, const char* text) { SetError(code, text); }

qz_except::qz_except(const qz_except& other) : m_dwCode(other.m_dwCode) {
  m_szErrInfo = Duplicate(other.m_szErrInfo ? other.m_szErrInfo : "");
}

qz_except& qz_except::operator=(const qz_except& other) {
  if (this == &other) return *this;
  m_dwCode = other.m_dwCode;
  std::free(m_szErrInfo);
  m_szErrInfo = nullptr;
  if (other.m_szErrInfo != nullptr) {
    m_szErrInfo = Duplicate(other.m_szErrInfo);
    assert(m_szErrInfo != nullptr);
  }
  return *this;
}

qz_except::~qz_except() { std::free(m_szErrInfo); }

uint32_t qz_except::SetError(uint32_t code, const char* text) {
  if (code == m_dwCode) return 1;  // a repeated code keeps the first text
  std::free(m_szErrInfo);
  m_szErrInfo = nullptr;
  m_dwCode = code;
  if (code == 0) return 1;
  if (text == nullptr || *text == '\0') {
    constexpr int kTextBuffer = 1024;
    char* buf = static_cast<char*>(std::calloc(1, kTextBuffer));
    if (buf == nullptr) return 1;
    FormatStatusText(buf, kTextBuffer, code);
    m_szErrInfo = buf;
  } else {
    m_szErrInfo = Duplicate(text);
  }
  return 1;
}

}  // namespace qz
