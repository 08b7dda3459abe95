#include "segment_map.h"

#include <algorithm>
#include <cstdlib>

#include "response_rules.h"

namespace zdl {
namespace {

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    size_t space = line.find(' ', at);
    if (space == std::string::npos) space = line.size();
    if (space > at) words.push_back(line.substr(at, space - at));
    at = space + 1;
  }
  return words;
}

}  // namespace

bool ParsePartMeta(const std::string& text, PartMeta* meta) {
  *meta = PartMeta();
  const size_t lineEnd = text.find('\n');
  meta->validator =
      ValidatorFromMeta(text.substr(0, lineEnd == std::string::npos ? text.size() : lineEnd + 1));
  if (meta->validator.empty()) return false;
  if (lineEnd == std::string::npos || lineEnd + 1 == text.size()) return true;  // one line
  std::string rest = text.substr(lineEnd + 1);
  if (!rest.empty() && rest.back() == '\n') rest.pop_back();
  if (rest.find('\n') != std::string::npos) return false;
  const std::vector<std::string> words = Words(rest);
  if (words.empty() || !ParseNumber(words[0], &meta->total) || meta->total == 0) return false;
  meta->ranged = true;
  uint64_t floor = 0;
  for (size_t i = 1; i < words.size(); ++i) {
    const size_t dash = words[i].find('-');
    ByteRange range;
    if (dash == std::string::npos || !ParseNumber(words[i].substr(0, dash), &range.begin) ||
        !ParseNumber(words[i].substr(dash + 1), &range.end) || range.begin < floor ||
        range.end <= range.begin || range.end > meta->total) {
      return false;
    }
    meta->done.push_back(range);
    floor = range.end;
  }
  return true;
}

std::string FormatPartMeta(const PartMeta& meta) {
  std::string text = meta.validator + "\n";
  if (!meta.ranged) return text;
  text += std::to_string(meta.total);
  for (const ByteRange& range : meta.done) {
    text += " " + std::to_string(range.begin) + "-" + std::to_string(range.end);
  }
  return text + "\n";
}

std::vector<ByteRange> MissingRanges(uint64_t total, const std::vector<ByteRange>& done) {
  std::vector<ByteRange> missing;
  uint64_t at = 0;
  for (const ByteRange& range : done) {
    if (range.begin > at) missing.push_back(ByteRange{at, range.begin});
    at = std::max(at, range.end);
  }
  if (at < total) missing.push_back(ByteRange{at, total});
  return missing;
}

void SegmentMap::Reset(uint64_t total, const std::vector<ByteRange>& pending) {
  lumo::MutexLock lock(lock_);
  total_ = total;
  segments_.clear();
  for (const ByteRange& range : pending) {
    segments_.push_back(Segment{range.begin, range.begin, range.end, false});
  }
}

bool SegmentMap::HasWorkLocked(uint64_t minPiece) const {
  for (const Segment& segment : segments_) {
    if (segment.written < segment.end &&
        (!segment.owned || segment.end - segment.next >= 2 * minPiece)) {
      return true;
    }
  }
  return false;
}

bool SegmentMap::HasWork(uint64_t minPiece) {
  lumo::MutexLock lock(lock_);
  return HasWorkLocked(minPiece);
}

int SegmentMap::Claim(uint64_t minPiece, ByteRange* range) {
  lumo::MutexLock lock(lock_);
  int free = kNone;
  int largest = kNone;
  for (size_t i = 0; i < segments_.size(); ++i) {
    const Segment& segment = segments_[i];
    if (segment.written >= segment.end) continue;
    if (!segment.owned) {
      if (free == kNone || segment.written < segments_[free].written) free = static_cast<int>(i);
    } else if (largest == kNone ||
               segment.end - segment.next > segments_[largest].end - segments_[largest].next) {
      largest = static_cast<int>(i);
    }
  }
  if (free != kNone) {
    Segment& segment = segments_[free];
    segment.owned = true;
    segment.next = segment.written;
    *range = ByteRange{segment.written, segment.end};
    return free;
  }
  if (largest == kNone) return kNone;
  Segment& victim = segments_[largest];
  const uint64_t left = victim.end - victim.next;
  if (left < 2 * minPiece) return kNone;
  const uint64_t middle = victim.next + left / 2;
  const uint64_t end = victim.end;
  victim.end = middle;
  segments_.push_back(Segment{middle, middle, end, true});
  *range = ByteRange{middle, end};
  return static_cast<int>(segments_.size() - 1);
}

uint64_t SegmentMap::Take(int id, uint64_t length, uint64_t* at) {
  lumo::MutexLock lock(lock_);
  Segment& segment = segments_[static_cast<size_t>(id)];
  const uint64_t n = std::min(length, segment.end - segment.next);
  *at = segment.next;
  segment.next += n;
  return n;
}

void SegmentMap::Commit(int id, uint64_t length) {
  lumo::MutexLock lock(lock_);
  segments_[static_cast<size_t>(id)].written += length;
}

void SegmentMap::Release(int id) {
  lumo::MutexLock lock(lock_);
  Segment& segment = segments_[static_cast<size_t>(id)];
  segment.owned = false;
  segment.next = segment.written;
}

bool SegmentMap::Finished(int id) {
  lumo::MutexLock lock(lock_);
  const Segment& segment = segments_[static_cast<size_t>(id)];
  return segment.written >= segment.end;
}

bool SegmentMap::AllDone() { return Remaining() == 0; }

uint64_t SegmentMap::Remaining() {
  lumo::MutexLock lock(lock_);
  uint64_t left = 0;
  for (const Segment& segment : segments_) left += segment.end - segment.written;
  return left;
}

std::vector<ByteRange> SegmentMap::Done() {
  std::vector<ByteRange> pending;
  uint64_t total = 0;
  {
    lumo::MutexLock lock(lock_);
    total = total_;
    for (const Segment& segment : segments_) {
      if (segment.written < segment.end) pending.push_back(ByteRange{segment.written, segment.end});
    }
  }
  std::sort(pending.begin(), pending.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
  return MissingRanges(total, pending);
}

}  // namespace zdl
