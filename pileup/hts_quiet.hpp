#pragma once
// Keeps htslib's own diagnostics off standard error. htslib reports through
// its log (hts_set_log_level), but some of its code writes to the C stream
// stderr directly (perror after a failed read of a CRAM reference, the CRAM
// decoder's "Malformed varint header stream"), which no log level silences.
// Our callers turn every failure into one message naming the file, so these
// lines would only come first in other words.
//
// While a CHtsStderrFilter exists, the C stream stderr is a filter that
// passes every write to the real standard error, except writes made by a
// thread inside a CQuietHts scope, which are dropped. So warnings and
// assertion messages of other threads, and of this thread outside the
// scope, still appear. std::cerr keeps writing to the real stream (it holds
// the stream it was made with). Writes from the worker threads of an htslib
// thread pool pass the filter: a pool's decoder may still print a line.

class CHtsStderrFilter {
  public:
    CHtsStderrFilter();
    ~CHtsStderrFilter();
    CHtsStderrFilter(const CHtsStderrFilter&) = delete;
    CHtsStderrFilter& operator=(const CHtsStderrFilter&) = delete;
};

// While it exists, this thread's writes to the C stream stderr are dropped,
// htslib's log lines among them, provided a CHtsStderrFilter is installed.
// Scopes nest.
class CQuietHts {
  public:
    CQuietHts();
    ~CQuietHts();
    CQuietHts(const CQuietHts&) = delete;
    CQuietHts& operator=(const CQuietHts&) = delete;

  private:
    bool m_WasQuiet;
};
