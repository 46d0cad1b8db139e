#pragma once
// htslib's growable string (kstring_t) with its memory freed on every way
// out of a scope: the readers of lines (bgzf_getline) own one each.

#include <htslib/kstring.h>

#include <cstdlib>

class CKString {
  public:
    CKString() = default;
    ~CKString() { std::free(m_String.s); }
    CKString(const CKString&) = delete;
    CKString& operator=(const CKString&) = delete;

    kstring_t* get() { return &m_String; }
    const char* data() const { return m_String.s; }
    std::size_t size() const { return m_String.l; }

  private:
    kstring_t m_String = {0, 0, nullptr};
};
