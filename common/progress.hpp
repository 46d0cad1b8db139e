#pragma once
// The progress of a long run: on a terminal the line "<program>: contig:position"
// (1-based) or "<program>: <stage>", redrawn in place at most once a second and
// cleared at the end; in a log (standard error redirected to a file) the
// same text as a line of its own at most once a minute, so that a log shows
// the run moving without filling up.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>

class CProgressLine {
  public:
    enum class EStyle { eTerminal, eLog };

    // The style for standard error as it is now: a terminal, or a log.
    static EStyle StandardErrorStyle() {
        return ::isatty(STDERR_FILENO) ? EStyle::eTerminal : EStyle::eLog;
    }

    // out null: no progress at all (switched off). every: the clock is read
    // on one tick in that many, so a tick costs next to nothing on the hot
    // path. interval: the least time between two updates (0: the style's,
    // one second on a terminal, a minute in a log).
    CProgressLine(std::ostream* out, const char* program, unsigned every = 1,
                  EStyle style = EStyle::eTerminal,
                  std::chrono::milliseconds interval = std::chrono::milliseconds(0))
        : m_Out(out),
          m_Program(program),
          m_Every(every == 0 ? 1 : every),
          m_Style(style),
          m_Interval(interval.count() > 0         ? interval
                     : style == EStyle::eTerminal ? std::chrono::milliseconds(1000)
                                                  : std::chrono::milliseconds(60000)),
          m_Start(std::chrono::steady_clock::now()),
          m_Last(m_Start) {}
    ~CProgressLine() {
        if (m_Out && m_Shown && m_Style == EStyle::eTerminal) {
            *m_Out << "\r\033[K" << std::flush;
        }
    }
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;

    // contig may be any streamable name; pos is 0-based.
    template <typename TName>
    void Tick(const TName& contig, std::int64_t pos) {
        if (!m_Out || ++m_Calls % m_Every != 0 || !x_Due()) {
            return;
        }
        std::ostringstream text;
        text << contig << ':' << pos + 1;
        x_Show(text.str());
    }

    // A stage without a position, such as "bootstrap resample 37 of 200".
    void Status(const std::string& text) {
        if (m_Out && x_Due()) {
            x_Show(text);
        }
    }

  private:
    bool x_Due() {
        const auto now = std::chrono::steady_clock::now();
        // A terminal shows the first update at once; a log waits a whole
        // interval, so short runs leave no progress lines in it.
        const bool first = !m_Shown && m_Style == EStyle::eTerminal;
        if (!first && now - m_Last < m_Interval) {
            return false;
        }
        m_Last = now;
        return true;
    }
    void x_Show(const std::string& text) {
        m_Shown = true;
        if (m_Style == EStyle::eTerminal) {
            *m_Out << "\r\033[K" << m_Program << ": " << text << std::flush;
        } else {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now() - m_Start)
                                     .count();
            *m_Out << m_Program << ": " << text << " (" << seconds << " s)\n" << std::flush;
        }
    }

    std::ostream* m_Out;
    const char* m_Program;
    unsigned m_Every;
    EStyle m_Style;
    std::chrono::milliseconds m_Interval;
    unsigned m_Calls = 0;
    bool m_Shown = false;
    std::chrono::steady_clock::time_point m_Start, m_Last;
};
