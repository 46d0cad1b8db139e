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

// Whether a BGZF input, read to its end, lacked the empty block BGZF ends
// with: a file cut at a block boundary, where every block before the cut
// still decompresses and checks. Plain text has no such marker, and gzip
// (not BGZF) has none either; htslib reports a gzip stream cut inside a
// member as a read error, while one cut between members cannot be told from
// a whole file.
class CBgzfEnd {
  public:
    // At the start, before a thread pool reads ahead: a file that can be
    // seeked shows its end block at once. A pipe shows it as it is read,
    // on the reading thread only (htslib's pool threads do not report it):
    // a pool may read the input only when CheckedAtStart().
    void Start(BGZF* fp) {
        m_Bgzf = fp->is_compressed && !fp->is_gzip;
        m_Known = m_Bgzf ? bgzf_check_EOF(fp) : 1;
    }
    bool CheckedAtStart() const { return m_Known != 2; }
    // At the end of the input.
    bool Missing(const BGZF* fp) const {
        if (!m_Bgzf) {
            return false;
        }
        return m_Known == 2 ? !fp->last_block_eof : m_Known != 1;
    }

  private:
    bool m_Bgzf = false;
    int m_Known = 1;  // bgzf_check_EOF: 1 present, 0 absent, 2 unknown, -1 error
};
