#include "simulator/fsms.hpp"

#include <sys/wait.h>

#include <climits>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "base/warnings.hpp"

namespace {

struct CPipeCloser {
    void operator()(FILE* pipe) const { pclose(pipe); }
};

// "exit status N", or the signal that ended the command.
std::string DescribeStatus(int status) {
    std::ostringstream out;
    if (status == -1) {
        out << "status unknown";
    } else if (WIFEXITED(status)) {
        out << "exit status " << WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        out << "killed by signal " << WTERMSIG(status);
    } else {
        out << "wait status " << status;
    }
    return out.str();
}

}  // namespace

void CFSms::CheckParams() const {
    if (m_Params.size() < 3) {
        std::ostringstream msg;
        msg << "The model 'ms' needs three parameters in -p (theta, growth rate, "
               "recombination rate); got "
            << m_Params.size() << ".";
        throw std::runtime_error(msg.str());
    }
}

std::string CFSms::GetCommand(int numSites, double meanDepth) const {
    CheckParams();
    std::ostringstream cmd;
    cmd << "./ms2spectrum.pl "
        << "-d " << meanDepth << " "
        << "-n " << numSites << " "
        << "-t " << GetParam(0) << " "
        << "-r " << GetParam(2) << " "
        << "-g " << GetParam(1);
    return cmd.str();
}

void CFSms::GetSpectrum(int numSites, double meanDepth, TSpectrumTable& table) const {
    const std::string cmd = GetCommand(numSites, meanDepth);
    // Whatever qualgen might still hold in its buffers must not reach the
    // child's copy of the descriptors out of order.
    std::fflush(nullptr);
    std::unique_ptr<FILE, CPipeCloser> pipe(popen(cmd.c_str(), "r"));
    if (!pipe) {
        throw std::runtime_error("CFSms::GetSpectrum: cannot run '" + cmd + "'.");
    }

    const bool gotRecord = ReadSpectrumTable(pipe.get(), "output of '" + cmd + "'", table);

    const int status = pclose(pipe.release());
    if (numSites > 0 && !gotRecord) {
        Warn("Warning: '" + cmd + "' gave no spectrum table (" + DescribeStatus(status) +
             "); no sites are generated.");
    }
}

bool ReadSpectrumTable(std::FILE* in, const std::string& source, TSpectrumTable& table) {
    auto malformed = [&source](const std::string& what) {
        return std::runtime_error("CFSms::GetSpectrum: malformed " + source + ": " + what);
    };
    bool gotRecord = false;
    // A long, so that a depth beyond the int range is seen as such instead
    // of being cut to its low bits.
    long n = 0;
    while (std::fscanf(in, "%ld", &n) == 1) {
        if (n < 1) {
            continue;
        }
        if (n > INT_MAX) {
            throw malformed("depth " + std::to_string(n) + " is above " + std::to_string(INT_MAX) +
                            ", more reads than a site can have.");
        }
        // Filled as the numbers come, so memory grows with the text read,
        // never with the depth a record claims.
        TProbDist& list = table[static_cast<unsigned int>(n)];
        for (long i = 0; i < n; ++i) {
            double p = 0.0;
            if (std::fscanf(in, "%lf", &p) != 1) {
                throw malformed("the record for depth " + std::to_string(n) + " ends after " +
                                std::to_string(i) + " of its " + std::to_string(n) + " numbers.");
            }
            list.emplace_back(static_cast<unsigned int>(i), p);
        }
        gotRecord = true;
    }
    return gotRecord;
}
