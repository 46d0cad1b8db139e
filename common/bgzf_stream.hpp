#pragma once
// BGZF (bgzip's blocked gzip) as the programs write and read it.
//
// A stream buffer that writes BGZF (bgzip's blocked gzip, which gzip and
// every htslib reader decompress) to another stream, so a compressed output
// takes the same route to its file as a plain one (CSafeOutputFile: a
// temporary file renamed over the name when complete).

#include <htslib/bgzf.h>

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

  protected:
    int_type overflow(int_type c) override;

  private:
    // Compresses the buffered bytes into one block and writes it.
    bool x_Block();

    std::ostream& m_Sink;
    std::vector<char> m_Buffer;
    std::vector<char> m_Block;
    bool m_Failed = false;
};

// Whether fp, read to its end, is BGZF that lacks the empty block BGZF ends
// with: the file was cut at a block boundary, where every block before the
// cut still decompresses and checks. Plain text has no such marker, and
// gzip (not BGZF) has none either; htslib reports a gzip stream cut inside
// a member as a read error, while one cut between members cannot be told
// from a whole file.
inline bool BgzfEndMarkerMissing(const BGZF* fp) {
    return fp->is_compressed && !fp->is_gzip && !fp->last_block_eof;
}
