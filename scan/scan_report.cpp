#include "scan/scan_report.hpp"

#include "windows/window_file.hpp"

namespace {

std::string SampleField(const std::string& sample) {
    return sample.empty() ? std::string() : sample + '\t';
}

}  // namespace

std::string TableHeader(bool sample) {
    return std::string(sample ? "sample\t" : "") +
           "model\ttheta\ttheta_lo\ttheta_hi\tgrowth\tgrowth_lo\tgrowth_hi\tloglik\tlrt\tp_value\t"
           "sites\treads\n";
}

std::string FormatTableRow(const SModelRow& r) {
    std::string line = SampleField(r.m_Sample) + r.m_Model;
    for (double v : {r.m_Theta, r.m_ThetaLo, r.m_ThetaHi, r.m_Growth, r.m_GrowthLo, r.m_GrowthHi,
                     r.m_LogLik, r.m_Lrt, r.m_PValue}) {
        line += '\t';
        line += FormatNumber(v);
    }
    line += '\t' + std::to_string(r.m_Sites) + '\t' + std::to_string(r.m_Reads) + '\n';
    return line;
}

std::string WindowsHeader(bool bootstrap, double level, bool sample) {
    return FormatWindowsComment(SWindowsComment{bootstrap ? "bootstrap" : "profile", level}) +
           (sample ? "sample\t" : "") +
           "contig\tstart\tend\tsites\treads\tcovered\ttheta\ttheta_lo\ttheta_hi\tloglik\n";
}

std::string FormatWindowRow(const SWindowRow& r) {
    std::string line = SampleField(r.m_Sample) + r.m_Contig + '\t' + std::to_string(r.m_Start) +
                       '\t' + std::to_string(r.m_End) + '\t' + std::to_string(r.m_Sites) + '\t' +
                       std::to_string(r.m_Reads) + '\t' +
                       (r.m_CoveredKnown ? std::to_string(r.m_Covered) : std::string("NA"));
    for (double v : {r.m_Theta, r.m_ThetaLo, r.m_ThetaHi, r.m_LogLik}) {
        line += '\t';
        line += FormatNumber(v);
    }
    return line + '\n';
}
