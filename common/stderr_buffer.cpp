#include "common/stderr_buffer.hpp"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

// The put area of a streambuf is the buffer itself; only whole lines leave
// it while the program runs, so that a line is never torn apart by what
// another process writes to the same target.
class CBufferedStandardError::CBuffer : public std::streambuf {
  public:
    explicit CBuffer(std::FILE* target) : m_Target(target), m_Data(kCapacity) {
        setp(m_Data.data(), m_Data.data() + m_Data.size());
    }

    // Writes everything buffered, standard output's pending text first.
    void WriteAll() { x_Write(static_cast<std::size_t>(pptr() - pbase())); }

  protected:
    int_type overflow(int_type c) override {
        // Whole lines only; a line longer than the buffer goes as it is.
        const char* end = pptr();
        const char* lastBreak = end;
        while (lastBreak != pbase() && lastBreak[-1] != '\n') {
            --lastBreak;
        }
        const std::size_t size =
            static_cast<std::size_t>((lastBreak != pbase() ? lastBreak : end) - pbase());
        x_Write(size);
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

    // std::endl on std::cerr ends a line, nothing more: the line stays in
    // the buffer.
    int sync() override { return 0; }

  private:
    // Writes the first size bytes and moves the rest to the front.
    void x_Write(std::size_t size) {
        const std::size_t held = static_cast<std::size_t>(pptr() - pbase());
        if (size > 0) {
            std::fflush(stdout);
            // The target is unbuffered: one fwrite is one write.
            std::fwrite(pbase(), 1, size, m_Target);
            std::fflush(m_Target);
            std::memmove(pbase(), pbase() + size, held - size);
        }
        setp(m_Data.data(), m_Data.data() + m_Data.size());
        pbump(static_cast<int>(held - size));
    }

    std::FILE* m_Target;
    std::vector<char> m_Data;
};

// The stream std::cout is tied to: flushing it, which std::cout does before
// every output, writes the buffer.
class CBufferedStandardError::CFlushHook : public std::streambuf {
  public:
    explicit CFlushHook(CBuffer& buffer) : m_Buffer(buffer) {}

  protected:
    int sync() override {
        m_Buffer.WriteAll();
        return 0;
    }

  private:
    CBuffer& m_Buffer;
};

CBufferedStandardError::CBufferedStandardError(std::FILE* target)
    : m_Buffer(std::make_unique<CBuffer>(target)),
      m_HookBuffer(std::make_unique<CFlushHook>(*m_Buffer)),
      m_Hook(std::make_unique<std::ostream>(m_HookBuffer.get())) {
    CBuffer* buffer = m_Buffer.get();
    m_PreviousSink = SetWarningSink([buffer](const std::string& line) {
        buffer->sputn(line.data(), static_cast<std::streamsize>(line.size()));
        buffer->sputc('\n');
    });
    // std::cerr writes into the buffer and flushes it no more after each
    // output (unitbuf), nor does it flush std::cout first (its tie): the
    // buffer writes standard output's pending text itself before its own.
    m_PreviousCerrBuffer = std::cerr.rdbuf(buffer);
    m_PreviousCerrFlags = std::cerr.flags();
    std::cerr.unsetf(std::ios_base::unitbuf);
    m_PreviousCerrTie = std::cerr.tie(nullptr);
    m_PreviousCoutTie = std::cout.tie(m_Hook.get());
}

CBufferedStandardError::~CBufferedStandardError() {
    SetWarningSink(std::move(m_PreviousSink));
    std::cout.tie(m_PreviousCoutTie);
    std::cerr.tie(m_PreviousCerrTie);
    std::cerr.flags(m_PreviousCerrFlags);
    std::cerr.rdbuf(m_PreviousCerrBuffer);
    m_Buffer->WriteAll();
}

void CBufferedStandardError::Flush() {
    m_Buffer->WriteAll();
}
