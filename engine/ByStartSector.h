#pragma once
// Values kept by the start sector of a found file, in order, in one sequence of small entries:
// a card of many small files has one for each found file, where a tree's or a hash table's
// node would cost two to four times the entry. The scan finds files in device order, so an
// entry is almost always added at the end; the files of failing areas read again, which come
// later and lie earlier, go in their place.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

namespace lumivore {

template <typename TValue>
class TByStartSector {
public:
    using TEntry = std::pair<std::int64_t, TValue>;
    using iterator = typename std::deque<TEntry>::iterator;
    using const_iterator = typename std::deque<TEntry>::const_iterator;

    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    // The first entry at or after start, and the first after it.
    iterator lower_bound(std::int64_t start) { return std::lower_bound(entries_.begin(), entries_.end(), start, Before); }
    const_iterator lower_bound(std::int64_t start) const { return std::lower_bound(entries_.begin(), entries_.end(), start, Before); }
    iterator upper_bound(std::int64_t start) {
        return std::upper_bound(entries_.begin(), entries_.end(), start, [](std::int64_t s, const TEntry& e) { return s < e.first; });
    }
    iterator find(std::int64_t start) {
        const auto it = lower_bound(start);
        return it != entries_.end() && it->first == start ? it : entries_.end();
    }
    const_iterator find(std::int64_t start) const {
        const auto it = lower_bound(start);
        return it != entries_.end() && it->first == start ? it : entries_.end();
    }
    // The value for start; added as value when start has none (a value it has is kept).
    TValue& Add(std::int64_t start, const TValue& value = TValue{}) {
        if (entries_.empty() || entries_.back().first < start)
            return entries_.emplace_back(start, value).second;
        const auto it = lower_bound(start);
        if (it != entries_.end() && it->first == start)
            return it->second;
        return entries_.emplace(it, start, value)->second;
    }
    TValue& operator[](std::int64_t start) { return Add(start); }
    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }
    // The k-th entry by start sector.
    const TEntry& Nth(std::size_t k) const { return entries_[k]; }
    // Removes the entries for which drop(entry) is true.
    template <typename TDrop>
    void EraseIf(const TDrop& drop) {
        std::erase_if(entries_, drop);
    }

private:
    static bool Before(const TEntry& e, std::int64_t start) { return e.first < start; }
    std::deque<TEntry> entries_;
};

} // namespace lumivore
