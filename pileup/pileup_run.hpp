#pragma once
// One qualpileup run: every site of the site source that passes the depth
// filters becomes a Column of the document.

#include <iosfwd>
#include <string>

#include "pileup/pileup_options.hpp"
#include "pileup/pileup_summary.hpp"

// Writes the whole document for opts' inputs, region and reference to out;
// outName names out in error messages. With progress non-null, a progress
// line (contig and position) is written there at most once a second. With
// opts.m_Threads above 1 the pileup runs on that many threads; the document
// and the summary are the same. Inputs of several samples are pooled into
// the one document, with a warning (base/warnings.hpp) naming them. Every
// bad input throws std::runtime_error naming the file and the fault.
SPileupSummary WritePileupDocument(const SPileupOptions& opts, std::ostream& out,
                                   const std::string& outName, std::ostream* progress);

// The program's run: the document to opts.m_Output (replaced only when
// complete) or standard output, the progress line on standard error when it
// is a terminal, the summary line on standard error at the end.
void RunQualPileup(const SPileupOptions& opts);
