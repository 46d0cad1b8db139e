// samtools mpileup text of several pools into the pool programs' records:
// the stages every pool program runs first (pool/pool_inputs.hpp and
// pool/pool_reader.hpp) on any bytes, one column per pool, with and without
// --unfolded and depth limits. Bad input must end in CInputError naming the
// file; the sites handed on must lie in genome order, each with a record
// per pool that reads back to its end, and a pool that counts there must
// have reads within the depth limits; the sites stored (pool/pool_store.hpp)
// read back through the store's cursor as they were handed on.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/reader_fuzz_util.hpp"
#include "pool/pool_inputs.hpp"
#include "pool/pool_reader.hpp"
#include "pool/pool_record.hpp"
#include "pool/pool_store.hpp"

namespace {

void ReadAll(const std::string& path, bool unfolded, unsigned minDepth, unsigned maxDepth) {
    SPoolProgram program;
    program.m_Name = "fuzz";
    program.m_MinPools = 1;
    SPoolRunOptions opts;
    opts.m_PoolArgs = {path};
    opts.m_PoolSizes = {4};
    opts.m_Unfolded = unfolded;
    opts.m_Pileup.m_MinDepth = minDepth;
    opts.m_Pileup.m_MaxDepth = maxDepth;
    opts.m_Pileup.m_MinBaseQ = 13;
    const std::vector<option> table = PoolOptionTable(program, {});
    SPoolInputs inputs = ResolvePoolInputs(program, opts, table);
    CProgressLine bar(nullptr, "fuzz");
    SPoolReadOptions read;
    read.m_Alleles = true;
    CPoolReader reader(program, opts, inputs, read, nullptr, bar);
    std::size_t pools = 0;
    int lastContig = -1;
    std::int64_t lastPos = -1;
    std::unique_ptr<CPoolStore> store;
    struct SSeen {
        int contig;
        std::int64_t pos;
        std::vector<unsigned> depth, count;
    };
    std::vector<SSeen> seen;
    reader.Run(
        [&](const std::vector<SPoolSpec>& specs) {
            pools = specs.size();
            store = std::make_unique<CPoolStore>(pools);
        },
        [&](SPoolBatch& b) {
            fuzz::Check(pools > 0, "sites before the pools are known");
            fuzz::Check(b.m_Alleles.size() == b.Sites(), "alleles of another count");
            std::size_t offset = 0;
            for (std::size_t i = 0; i < b.Sites(); ++i) {
                fuzz::Check(b.m_Contig[i] > lastContig ||
                                (b.m_Contig[i] == lastContig && b.m_Pos[i] > lastPos),
                            "sites out of genome order");
                lastContig = b.m_Contig[i];
                lastPos = b.m_Pos[i];
                const unsigned char* p = &b.m_Bytes[offset];
                seen.push_back(SSeen{b.m_Contig[i], b.m_Pos[i], {}, {}});
                unsigned counting = 0;
                for (std::size_t k = 0; k < pools; ++k) {
                    SPoolRecordView v;
                    p = ReadPoolRecord(p, v);
                    seen.back().depth.push_back(v.depth);
                    seen.back().count.push_back(v.count);
                    if (v.depth > 0) {
                        ++counting;
                        fuzz::Check(v.depth >= minDepth && (maxDepth == 0 || v.depth <= maxDepth),
                                    "a pool counted out of the depth limits");
                        fuzz::Check(
                            v.count >= 1 && v.lo + v.count <= v.depth + 1 && v.top < v.count,
                            "a record's run outside its table");
                    }
                }
                fuzz::Check(counting >= 1, "a site where no pool counts");
                offset += b.m_Size[i];
                fuzz::Check(p == &b.m_Bytes[0] + offset, "records of another length");
                store->Append(b.m_Contig[i], b.m_Pos[i], &b.m_Bytes[offset - b.m_Size[i]],
                              b.m_Size[i]);
            }
        });
    if (!store) {
        return;
    }
    store->Finish();
    std::size_t i = 0;
    for (CPoolSiteCursor s(*store); s.Next(); ++i) {
        fuzz::Check(i < seen.size() && s.Contig() == seen[i].contig && s.Pos() == seen[i].pos,
                    "the store's sites out of step with those handed on");
        for (std::size_t k = 0; k < pools; ++k) {
            fuzz::Check(
                s.Record(k).depth == seen[i].depth[k] && s.Record(k).count == seen[i].count[k],
                "a stored record unlike the one handed on");
        }
    }
    fuzz::Check(i == seen.size(), "sites lost in the store");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::InitQuietHts();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzz::InputFile("pools.pileup", data, size);
    fuzz::ExpectSilentStderr([&] {
        fuzz::ExpectInputErrorsOnly(path, [&] { ReadAll(path, false, 1, 0); });
        fuzz::ExpectInputErrorsOnly(path, [&] { ReadAll(path, true, 2, 6); });
    });
    return 0;
}
