#pragma once
// The progress line of a long run on a terminal: "<program>: contig:position"
// (1-based), redrawn in place at most once a second and cleared at the end.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

class CProgressLine {
  public:
    // out null: no line at all (not a terminal, or switched off). every: the
    // clock is read on one call in that many, so a tick costs next to
    // nothing on the hot path.
    CProgressLine(std::ostream* out, const char* program, unsigned every = 1)
        : m_Out(out), m_Program(program), m_Every(every == 0 ? 1 : every) {}
    ~CProgressLine() {
        if (m_Out && m_Shown) {
            *m_Out << "\r\033[K" << std::flush;
        }
    }
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;

    // contig may be any streamable name; pos is 0-based.
    template <typename TName>
    void Tick(const TName& contig, std::int64_t pos) {
        if (!m_Out || ++m_Calls % m_Every != 0) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (m_Shown && now - m_Last < std::chrono::seconds(1)) {
            return;
        }
        m_Last = now;
        m_Shown = true;
        *m_Out << "\r\033[K" << m_Program << ": " << contig << ':' << pos + 1 << std::flush;
    }

    // "<program>: text", under the same rules (long phases without a
    // position: fitting, resampling).
    void Show(const std::string& text) {
        if (!m_Out) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (m_Shown && now - m_Last < std::chrono::seconds(1)) {
            return;
        }
        m_Last = now;
        m_Shown = true;
        *m_Out << "\r\033[K" << m_Program << ": " << text << std::flush;
    }

  private:
    std::ostream* m_Out;
    const char* m_Program;
    unsigned m_Every;
    unsigned m_Calls = 0;
    bool m_Shown = false;
    std::chrono::steady_clock::time_point m_Last;
};
