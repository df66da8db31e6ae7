#include "compare.h"

#include <algorithm>
#include <unordered_map>

namespace zephon_trace {

namespace {

// What one recording did at one register place.
struct Place {
  Step first;                         // its first step, for its index, byte and width
  std::uint64_t reads = 0, writes = 0;
  std::vector<std::uint64_t> values;  // values read, a value repeated in a row once
};

// The places of a recording, in order of first access.
struct Places {
  std::unordered_map<std::uint32_t, std::size_t> at;  // place_key -> position in list
  std::vector<Place> list;

  explicit Places(const Recording& r) {
    for (const Step& s : r.steps()) {
      auto [it, added] = at.try_emplace(place_key(s), list.size());
      if (added) list.push_back(Place{.first = s, .reads = 0, .writes = 0, .values = {}});
      Place& p = list[it->second];
      if (s.op == Op::Write) {
        p.writes += s.count;
        continue;
      }
      p.reads += s.count;
      if (p.values.empty() || p.values.back() != s.value) p.values.push_back(s.value);
    }
  }
  const Place* find(const Step& s) const {
    auto it = at.find(place_key(s));
    return it == at.end() ? nullptr : &list[it->second];
  }
};

std::optional<std::size_t> first_divergence(const std::vector<Step>& a, const std::vector<Step>& b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (!same_access(a[i], b[i])) return i;
  }
  if (a.size() != b.size()) return common;
  return std::nullopt;
}

// Returns the difference of two places' reads, or nullopt when they agree.
std::optional<ReadDifference> read_difference(const Place& a, const Place& b) {
  ReadDifference d{.place = a.first, .reads_a = a.reads, .reads_b = b.reads, .differ = 0, .first_a = {}, .first_b = {}};
  const std::size_t n = std::max(a.values.size(), b.values.size());
  for (std::size_t i = 0; i < n; ++i) {
    const bool in_a = i < a.values.size(), in_b = i < b.values.size();
    if (in_a && in_b && a.values[i] == b.values[i]) continue;
    if (d.differ++ == 0) {
      if (in_a) d.first_a = a.values[i];
      if (in_b) d.first_b = b.values[i];
    }
  }
  if (d.differ == 0) return std::nullopt;
  return d;
}

}  // namespace

Comparison compare(const Recording& a, const Recording& b) {
  Comparison result;
  result.divergence = first_divergence(a.steps(), b.steps());
  if (!result.divergence) return result;  // the same steps: the same reads, the same places
  const Places pa(a), pb(b);
  for (const Place& p : pa.list) {
    const Place* other = pb.find(p.first);
    if (other == nullptr) {
      result.one_sided.push_back(OneSided{.side = 'A', .place = p.first, .reads = p.reads, .writes = p.writes});
    } else if (auto d = read_difference(p, *other)) {
      result.reads.push_back(*d);
    }
  }
  for (const Place& p : pb.list) {
    if (pa.find(p.first) == nullptr) {
      result.one_sided.push_back(OneSided{.side = 'B', .place = p.first, .reads = p.reads, .writes = p.writes});
    }
  }
  return result;
}

}  // namespace zephon_trace
