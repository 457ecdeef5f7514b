// qz_except.h -- the error record: a status code and its owned text.
//
// One class serves as a session's error slot and as the exception type the
// library throws internally (ThrowStatus). Setting a code that is already
// held changes nothing (the first text stays); code 0 clears the record;
// a new code without a text gets the code's text from the message lookup.
//
// Thread-safety: a plain value; not safe for concurrent use of one object
// (the session guards its error slot with a mutex).
#ifndef QZ_CORE_QZ_EXCEPT_H_
#define QZ_CORE_QZ_EXCEPT_H_

#include <cstdint>

namespace qz {

class qz_except {
 public:
  qz_except() noexcept = default;
  // Same as SetError(code, text) on an empty record.
  qz_except(uint32_t code, const char* text);
  // Duplicates the text; a record without text copies as an empty text.
  qz_except(const qz_except& other);
  // Copies the code, frees the old text and duplicates the new one.
  qz_except& operator=(const qz_except& other);
  virtual ~qz_except();

  // Always returns 1. See the file comment for the rules.
  virtual uint32_t SetError(uint32_t code, const char* text);
  virtual uint32_t GetErrorCode() const { return m_dwCode; }
  // May be null (no text).
  virtual const char* GetErrorText() const { return m_szErrInfo; }

 private:
  uint32_t m_dwCode = 0;
  char* m_szErrInfo = nullptr;  // malloc'd, owned
};

}  // namespace qz

#endif  // QZ_CORE_QZ_EXCEPT_H_
