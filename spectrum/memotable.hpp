#pragma once
// Growable multi-level table of optional doubles, addressed by one
// non-negative integer index per level. It memoises values that are costly to
// compute: a lookup reports a miss by returning nullptr, so asking for a value
// that was never stored costs no more than a few bounds checks.
//
// Every level is a dynamic array of (entry, present) pairs. Storing at an
// index beyond the end grows the array; the rows or cells created only to make
// room are absent until something is stored in them. Copies are deep.

#include <cstddef>
#include <vector>

#include "base/qt_assert.hpp"

template <int Levels>
class CMemoTable {
    static_assert(Levels >= 1, "a memo table has at least one level");

  public:
    // Stored value at [index][rest...], or nullptr when that row or cell is
    // absent. The pointer stays valid until the next Store or Clear.
    template <typename... TRest>
    const double* Find(int index, TRest... rest) const {
        static_assert(sizeof...(TRest) == Levels - 1, "one index per level");
        if (index < 0 || static_cast<std::size_t>(index) >= m_Rows.size()) {
            return nullptr;
        }
        const SRow& row = m_Rows[static_cast<std::size_t>(index)];
        return row.present ? row.table.Find(rest...) : nullptr;
    }

    // Stores value at [index][rest...], growing every level as needed.
    template <typename... TRest>
    void Store(double value, int index, TRest... rest) {
        static_assert(sizeof...(TRest) == Levels - 1, "one index per level");
        QT_ASSERT(index >= 0);
        const std::size_t at = static_cast<std::size_t>(index);
        if (m_Rows.size() <= at) {
            m_Rows.resize(at + 1);
        }
        SRow& row = m_Rows[at];
        row.present = true;
        row.table.Store(value, rest...);
    }

    // Removes every row.
    void Clear() { m_Rows.clear(); }
    bool IsEmpty() const { return m_Rows.empty(); }

  private:
    struct SRow {
        CMemoTable<Levels - 1> table;
        bool present = false;
    };
    std::vector<SRow> m_Rows;
};

template <>
class CMemoTable<1> {
  public:
    const double* Find(int index) const {
        if (index < 0 || static_cast<std::size_t>(index) >= m_Cells.size()) {
            return nullptr;
        }
        const SCell& cell = m_Cells[static_cast<std::size_t>(index)];
        return cell.present ? &cell.value : nullptr;
    }

    void Store(double value, int index) {
        QT_ASSERT(index >= 0);
        const std::size_t at = static_cast<std::size_t>(index);
        if (m_Cells.size() <= at) {
            m_Cells.resize(at + 1);
        }
        m_Cells[at].value = value;
        m_Cells[at].present = true;
    }

    void Clear() { m_Cells.clear(); }
    bool IsEmpty() const { return m_Cells.empty(); }

  private:
    struct SCell {
        double value = 0.0;
        bool present = false;
    };
    std::vector<SCell> m_Cells;
};
