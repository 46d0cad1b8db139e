// Compressed data sets and pileup text read through a thread pool give the
// sites they give without one.

#include <gtest/gtest.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/bgzf_stream.hpp"
#include "io/mpileup_reader.hpp"
#include "io/xml_reader.hpp"
#include "model/tests/scan_fixture.hpp"

namespace {

struct SPoolFree {
    void operator()(hts_tpool* p) const { hts_tpool_destroy(p); }
};

// The sites as text, so that a difference shows where it is.
std::string Text(const scanfix::SAll& all) {
    std::string text = all.m_Error + "\n";
    for (const SRawSite& s : all.m_Sites) {
        text += std::to_string(s.m_Contig) + ":" + std::to_string(s.m_Pos);
        for (const auto& scores : s.m_Scores) {
            text += " |";
            for (unsigned char q : scores) {
                text += " " + std::to_string(q);
            }
        }
        text += "\n";
    }
    return text;
}

class ThreadPoolReading : public scanfix::CScratchTest {
  protected:
    // text as a BGZF file of many blocks.
    std::string Bgzf(const std::string& name, const std::string& text) const {
        std::ofstream out(Path(name), std::ios::binary);
        CBgzfOutBuf compress(out);
        std::ostream stream(&compress);
        stream << text;
        EXPECT_TRUE(stream && compress.Finish());
        return Path(name);
    }
};

TEST_F(ThreadPoolReading, CompressedDocumentsAndPileupTextReadTheSame) {
    const std::string xml = Bgzf("sites.xml.gz", scanfix::SimulatedDocument(4000, 7));
    std::mt19937 rng(11);
    std::string pileup;
    for (int pos = 1; pos <= 20000; ++pos) {
        const int depth = static_cast<int>(rng() % 30);
        std::string bases, quals;
        for (int r = 0; r < depth; ++r) {
            bases += ".,ACGTacgt"[rng() % 10];
            quals += static_cast<char>(33 + rng() % 42);
        }
        pileup += "chr" + std::to_string(1 + pos / 7000) + "\t" + std::to_string(pos) + "\tA\t" +
                  std::to_string(depth) + "\t" + (depth ? bases : "*") + "\t" +
                  (depth ? quals : "*") + "\n";
    }
    const std::string text = Bgzf("sites.pileup.gz", pileup);
    ASSERT_GT(scanfix::ReadFile(text).size(), 3u * 65536) << "a few BGZF blocks at least";

    std::unique_ptr<hts_tpool, SPoolFree> pool(hts_tpool_init(3));
    ASSERT_TRUE(pool);
    // Both inputs read whole, with or without the pool.
    auto read = [&](hts_tpool* threads) {
        CXmlSiteReader doc(xml, true);
        SPileupOptions filters;
        filters.m_MinBaseQ = 13;
        SPileupSummary summary;
        CMpileupReader lines(text, filters, summary);
        doc.UseThreadPool(threads);
        lines.UseThreadPool(threads);
        return std::make_pair(Text(scanfix::ReadAll(doc)), Text(scanfix::ReadAll(lines)));
    };
    const auto alone = read(nullptr);
    EXPECT_EQ(std::count(alone.first.begin(), alone.first.end(), '\n'), 4001);
    EXPECT_GT(std::count(alone.second.begin(), alone.second.end(), '\n'), 18000);
    EXPECT_EQ(alone.first[0], '\n') << "no error";
    EXPECT_EQ(alone.second[0], '\n') << "no error";
    const auto pooled = read(pool.get());
    EXPECT_EQ(pooled.first, alone.first);
    EXPECT_EQ(pooled.second, alone.second);

    // Cut where a block ends, the end block lost: refused on the pool's
    // threads as on the reading thread.
    for (const std::string& whole : {xml, text}) {
        const std::string bytes = scanfix::ReadFile(whole);
        const std::string cut = Write("cut.gz", bytes.substr(0, bytes.size() - 28));
        for (hts_tpool* threads : {static_cast<hts_tpool*>(nullptr), pool.get()}) {
            SCOPED_TRACE(whole + (threads ? " pooled" : " alone"));
            SPileupOptions filters;
            SPileupSummary summary;
            std::unique_ptr<CSiteSource> source;
            if (whole == xml) {
                auto doc = std::make_unique<CXmlSiteReader>(cut, true);
                doc->UseThreadPool(threads);
                source = std::move(doc);
            } else {
                auto lines = std::make_unique<CMpileupReader>(cut, filters, summary);
                lines->UseThreadPool(threads);
                source = std::move(lines);
            }
            const scanfix::SAll all = scanfix::ReadAll(*source);
            EXPECT_TRUE(all.m_InputError) << all.m_Error;
            EXPECT_EQ(all.m_Kind, EInputError::eTruncated) << all.m_Error;
        }
    }
}

}  // namespace
