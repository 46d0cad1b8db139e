#pragma once
// A stream buffer that writes BGZF (bgzip's blocked gzip, which gzip and
// every htslib reader decompress) to another stream, so a compressed output
// takes the same route to its file as a plain one (CSafeOutputFile: a
// temporary file renamed over the name when complete).

#include <ostream>
#include <streambuf>
#include <vector>

class CBgzfOutBuf : public std::streambuf {
  public:
    explicit CBgzfOutBuf(std::ostream& sink);
    CBgzfOutBuf(const CBgzfOutBuf&) = delete;
    CBgzfOutBuf& operator=(const CBgzfOutBuf&) = delete;

    // Compresses what is left and writes the end-of-file block; false when
    // a block could not be compressed or written.
    bool Finish();
    // The system's reason (errno) for the write that failed, 0 when none is
    // known or nothing failed.
    int Errno() const { return m_Errno; }

  protected:
    int_type overflow(int_type c) override;

  private:
    // Compresses the buffered bytes into one block and writes it.
    bool x_Block();
    // Writes to the sink, keeping the reason of a failure.
    bool x_Write(const char* data, std::size_t size);

    std::ostream& m_Sink;
    std::vector<char> m_Buffer;
    std::vector<char> m_Block;
    bool m_Failed = false;
    int m_Errno = 0;
};
