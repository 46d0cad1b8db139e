#pragma once
// qualfit's input, plain or compressed: a file that starts with the gzip
// magic bytes (gzip or bgzip) is read decompressed, any other exactly as
// std::ifstream reads it.

#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

struct BGZF;

// The decompressed bytes of a BGZF handle (which reads gzip too). A read
// error throws from underflow(), so the stream reading it turns bad.
class CBgzfInBuf : public std::streambuf {
  public:
    // Takes over fp and closes it.
    explicit CBgzfInBuf(BGZF* fp);
    ~CBgzfInBuf() override;
    CBgzfInBuf(const CBgzfInBuf&) = delete;
    CBgzfInBuf& operator=(const CBgzfInBuf&) = delete;

  protected:
    int_type underflow() override;

  private:
    BGZF* m_File;
    std::vector<char> m_Buffer;
};

// A stream of path's content; when the file cannot be opened the stream has
// failed, as an std::ifstream would.
class CInputDocument {
  public:
    explicit CInputDocument(const std::string& path);
    std::istream& Stream() { return *m_Stream; }

  private:
    std::unique_ptr<CBgzfInBuf> m_Buf;
    std::unique_ptr<std::istream> m_Stream;
};
