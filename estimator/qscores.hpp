#pragma once
// The data set of the estimator: the sites (score columns) in document order,
// the frequency-spectrum model and the folding mode. It is read from and
// written to the quality-score XML document, and it computes the
// log-likelihood of the model against its sites.

#include <iosfwd>
#include <memory>
#include <vector>

#include "estimator/qscorecolumn.hpp"
#include "spectrum/freqspec.hpp"

class CQScores {
  public:
    // SAX handler filling a data set from a document (qscores_parser.hpp).
    class CParser;
    // Nelder-Mead fit of the model's parameters (fsmaximizer.hpp).
    class CFSMaximizer;

    using TColumns = std::vector<std::unique_ptr<CQScoreColumn>>;

    // No columns, a default CFSNeutral, folded use.
    CQScores();
    ~CQScores();
    CQScores(const CQScores&) = delete;
    CQScores& operator=(const CQScores&) = delete;

    // Appends the sites of one document and applies its FSParams. Throws
    // "CQScores::LoadFromStream: stream not Good." for a failed stream, the
    // XML library's errors for a malformed document, and the column's errors
    // for an unreadable stored table; columns read before the fault stay.
    void LoadFromStream(std::istream& is);
    // Writes the whole data set as one document. Throws
    // "CQScores::WriteToStream: stream not Good." for a failed stream.
    void WriteToStream(std::ostream& os) const;

    // Log-likelihood sum_s ln sum_j T_s[j] pi(j, n_s) under a private copy of
    // the model carrying params. -inf for parameters outside the model's
    // domain; NaN when the model itself yields NaN or negative values (the
    // caller decides how to report it). The model of the data set is untouched.
    double GetLogLike(const TParamVector& params) const;

    // Tabulates the log-likelihood on the odometer low, low + step, ... up to
    // the first value not below high in every coordinate (coordinate 0
    // fastest), one line per point on out, and leaves the best point (the
    // first of equal values) in the model.
    void GridLogLike(const TParamVector& low, const TParamVector& high, const TParamVector& step,
                     std::ostream& out);

    const TColumns& GetColumns() const { return m_Columns; }
    void AddColumn(std::unique_ptr<CQScoreColumn> column) {
        m_Columns.push_back(std::move(column));
    }

    CFreqSpectrum& GetSpectrum() { return *m_Spectrum; }
    const CFreqSpectrum& GetSpectrum() const { return *m_Spectrum; }
    // Takes ownership; the previous model is deleted unless it is the same.
    void SetSpectrum(CFreqSpectrum* spectrum);

    bool GetUseAll() const { return m_UseAll; }
    void SetUseAll(bool useAll) { m_UseAll = useAll; }

  private:
    TColumns m_Columns;
    std::unique_ptr<CFreqSpectrum> m_Spectrum;
    bool m_UseAll = false;
};
