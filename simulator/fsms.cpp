#include "simulator/fsms.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

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

bool ReadSpectrumTable(std::FILE* in, const std::string& source, TSpectrumTable& table) {
    bool gotRecord = false;
    int n = 0;
    while (std::fscanf(in, "%d", &n) == 1) {
        if (n < 1) {
            continue;
        }
        TProbDist& list = table[static_cast<unsigned int>(n)];
        for (int i = 0; i < n; ++i) {
            double p = 0.0;
            if (std::fscanf(in, "%lf", &p) != 1) {
                std::ostringstream msg;
                msg << "CFSms::GetSpectrum: malformed output of '" << source
                    << "': the record for depth " << n << " ends after " << i << " of its " << n
                    << " numbers.";
                throw std::runtime_error(msg.str());
            }
            list.emplace_back(static_cast<unsigned int>(i), p);
        }
        gotRecord = true;
    }
    return gotRecord;
}

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

    const bool gotRecord = ReadSpectrumTable(pipe.get(), cmd, table);

    const int status = pclose(pipe.release());
    if (numSites > 0 && !gotRecord) {
        std::cerr << "Warning: '" << cmd << "' gave no spectrum table (" << DescribeStatus(status)
                  << "); no sites are generated." << std::endl;
    }
}
