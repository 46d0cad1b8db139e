// The pileup: WritePileupDocument on alignment files made of the input, the
// document going nowhere. A thrown std::exception is the answer to bad
// input; any other way out, and any output on standard error (an htslib
// message the program's own would only repeat), is a finding.
//
// Input: either one alignment file (SAM, BAM or CRAM) as it stands, or
// "QTFZ" followed by sections, each a tag byte, a 4-byte little-endian
// length and that many bytes (a length past the end takes the rest):
//   'A' an alignment file (up to three, pooled), 'I' the index of the
//   alignment file before it, 'F' the reference FASTA, 'X' its .fai,
//   'R' the region, 'O' settings: min MQ, min BQ, flags (1 count both
//   overlapping mates, 2 keep only paired reads, 4 skip no flags), min
//   depth, max depth, one byte each.
// fuzz/pack-pileup-input packs files (a reproducer with its index and
// reference) into such an input.

#include <cstdint>
#include <exception>
#include <ostream>
#include <streambuf>
#include <string>

#include "fuzz/reader_fuzz_util.hpp"
#include "pileup/pileup_run.hpp"

namespace {

constexpr std::size_t kMaxInputs = 3;

class CNullBuf : public std::streambuf {
  protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

const fuzz::CScratchDir& Scratch() {
    static const fuzz::CScratchDir dir;
    return dir;
}

// Files of the previous input must not leak into this one.
void ClearScratch() {
    for (std::size_t i = 0; i < kMaxInputs; ++i) {
        const std::string name = "in" + std::to_string(i);
        for (const char* ext : {"", ".bai", ".crai"}) {
            Scratch().Remove(name + ext);
        }
    }
    Scratch().Remove("ref.fa");
    Scratch().Remove("ref.fa.fai");
}

void ApplySettings(const std::string& s, SPileupOptions& opts) {
    const auto byte = [&s](std::size_t i) {
        return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u;
    };
    opts.m_MinMapQ = s.size() > 0 ? byte(0) : opts.m_MinMapQ;
    opts.m_MinBaseQ = s.size() > 1 ? byte(1) : opts.m_MinBaseQ;
    const unsigned flags = byte(2);
    opts.m_KeepOverlaps = (flags & 1) != 0;
    opts.m_RequireFlags = (flags & 2) != 0 ? 0x1 : 0;
    opts.m_SkipFlags = (flags & 4) != 0 ? 0 : kDefaultSkipFlags;
    opts.m_MinDepth = s.size() > 3 ? byte(3) : opts.m_MinDepth;
    opts.m_MaxDepth = s.size() > 4 ? byte(4) : opts.m_MaxDepth;
}

// Writes the files of one input and fills opts with their names.
void Unpack(const std::string& data, SPileupOptions& opts) {
    opts.m_Progress = false;
    if (data.compare(0, 4, "QTFZ") != 0) {
        opts.m_Inputs.push_back(Scratch().Write("in0", data));
        return;
    }
    std::string fasta, fai;
    bool haveFasta = false, haveFai = false;
    std::size_t pos = 4;
    while (pos < data.size()) {
        const char tag = data[pos++];
        std::uint32_t len = 0;
        for (int i = 0; i < 4 && pos < data.size(); ++i) {
            len |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[pos++])) << (8 * i);
        }
        const std::string body = data.substr(pos, len);
        pos += body.size();
        switch (tag) {
            case 'A':
                if (opts.m_Inputs.size() < kMaxInputs) {
                    opts.m_Inputs.push_back(
                        Scratch().Write("in" + std::to_string(opts.m_Inputs.size()), body));
                }
                break;
            case 'I':
                if (!opts.m_Inputs.empty()) {
                    // htslib finds a BAM index as .bai and a CRAM index as
                    // .crai, and tells BAI from CSI by its content.
                    const std::string name = "in" + std::to_string(opts.m_Inputs.size() - 1);
                    Scratch().Write(name + ".bai", body);
                    Scratch().Write(name + ".crai", body);
                }
                break;
            case 'F':
                fasta = body;
                haveFasta = true;
                break;
            case 'X':
                fai = body;
                haveFai = true;
                break;
            case 'R':
                opts.m_Region = body;
                break;
            case 'O':
                ApplySettings(body, opts);
                break;
            default:
                break;
        }
    }
    if (haveFasta) {
        opts.m_Reference = Scratch().Write("ref.fa", fasta);
        if (haveFai) {
            Scratch().Write("ref.fa.fai", fai);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitQuietHts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ClearScratch();
    SPileupOptions opts;
    Unpack(fuzz::AsString(data, size), opts);
    CNullBuf sink;
    std::ostream out(&sink);
    fuzz::ExpectSilentStderr([&] {
        try {
            WritePileupDocument(opts, out, "the null stream", nullptr);
        } catch (const std::exception&) {
        }
    });
    return 0;
}
