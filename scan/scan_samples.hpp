#pragma once
// Several samples read in one pass and kept apart (--per-sample): the
// input is read once, position by position, and each sample's sites go to
// a queue of its own, from which the sample's own filter, tables, store
// and windows take them. The queues are filled in rounds: the run reads
// until one sample has a round's worth of sites, then lets every sample
// take what its queue holds, so memory stays bounded by a round however
// unevenly the samples are covered, and each sample sees exactly the sites
// a run on it alone would see, in the same order.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "model/raw_site.hpp"
#include "model/site_source.hpp"

// Makes room for files more descriptors besides those open now (and a few
// spare for the run's other outputs): raises the soft limit on open files
// (ulimit -n) up to the hard one when it is too low. Throws
// std::runtime_error, before anything is written, when even the hard
// limit is too low: the message names the limit, the number needed and
// why (what: "--save-sites keeps 1000 summary files open, 2 descriptors
// each").
void ReserveOpenFiles(std::size_t files, const std::string& what);

class CAlignmentSiteSource;
class CMpileupReader;
struct SMpileupSamples;

// One sample's sites of the current round. Next() returns false when the
// round's sites are taken; the next round refills it.
class CSampleQueue : public CSiteSource {
  public:
    bool Next(SRawSite& site) override;
    // Takes site over (its buffers are swapped with a spent slot's).
    void Push(SRawSite& site);
    std::size_t Size() const { return m_Count - m_Head; }
    // Sites the queue has room for without growing.
    std::size_t Slots() const { return m_Slots.size(); }

  private:
    std::vector<SRawSite> m_Slots;
    std::size_t m_Head = 0, m_Count = 0;
};

class CSampleSplitter {
  public:
    virtual ~CSampleSplitter() = default;
    std::size_t Samples() const { return m_Queues.size(); }
    CSampleQueue& Queue(std::size_t s) { return *m_Queues[s]; }
    // Reads positions into the queues, which must be empty, until one of
    // them holds roundSites sites; false when the input has ended (the
    // queues may hold its last sites). Errors of the input are thrown as
    // its reader throws them.
    bool Fill(std::size_t roundSites);

  protected:
    explicit CSampleSplitter(std::size_t samples);
    // The next position with reads: each sample's site into perSample (one
    // per sample; Depth() 0 where the sample has none); false at the end.
    virtual bool x_Next(std::vector<SRawSite>& perSample) = 0;

  private:
    std::vector<std::unique_ptr<CSampleQueue>> m_Queues;
    std::vector<SRawSite> m_PerSample;
    bool m_Ended = false;
};

// The samples of alignment files (the SM of their read groups).
class CAlignmentSplitter : public CSampleSplitter {
  public:
    explicit CAlignmentSplitter(CAlignmentSiteSource& source);

  private:
    bool x_Next(std::vector<SRawSite>& perSample) override;
    CAlignmentSiteSource& m_Source;
};

// The sample columns of samtools mpileup text, each taken as the text of
// that column alone would be: its classes from its own reads.
class CPileupTextSplitter : public CSampleSplitter {
  public:
    // Reads the first line with reads, which says how many columns the
    // text has; a text without one has ifEmpty (of no sites).
    static std::unique_ptr<CPileupTextSplitter> Open(CMpileupReader& reader, std::size_t ifEmpty);
    ~CPileupTextSplitter() override;

  private:
    CPileupTextSplitter(CMpileupReader& reader, std::unique_ptr<SMpileupSamples> first,
                        std::size_t columns);
    bool x_Next(std::vector<SRawSite>& perSample) override;
    CMpileupReader& m_Reader;
    std::unique_ptr<SMpileupSamples> m_Line;
    bool m_Pending;  // m_Line holds a line not yet handed out
};
