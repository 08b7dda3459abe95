// Which bytes of a file still have to come, and which connection brings them, when several
// connections fill one part file at once; and the ".part.meta" text that carries the finished
// ranges to a later session.
#pragma once

#include <stdint.h>

#include "platform/mutex.h"
#include <string>
#include <vector>

namespace zdl {

struct ByteRange {
  uint64_t begin = 0;
  uint64_t end = 0;  // exclusive
};

// What ".part.meta" holds. The one-line form (the validator alone) says that the part's bytes
// from 0 on are the file's; the ranged form lists the ranges known to be on the device.
struct PartMeta {
  std::string validator;
  bool ranged = false;
  uint64_t total = 0;
  std::vector<ByteRange> done;  // sorted, disjoint, inside [0, total)
};

// False when the text holds no usable validator or a ranged form that does not add up.
bool ParsePartMeta(const std::string& text, PartMeta* meta);
std::string FormatPartMeta(const PartMeta& meta);
// The ranges of [0, total) that `done` leaves out.
std::vector<ByteRange> MissingRanges(uint64_t total, const std::vector<ByteRange>& done);

// Thread-safe. A segment is a range of the file with one owner at a time; bytes are taken
// (placed) before they are written and committed after, so a range counts as done only once
// its bytes are in the file.
class SegmentMap {
 public:
  static constexpr int kNone = -1;

  // A file of `total` bytes of which `pending` (sorted, disjoint) are still wanted.
  void Reset(uint64_t total, const std::vector<ByteRange>& pending);
  // Work for a connection: the lowest range nobody owns, else the upper half of the largest
  // owned one when each half keeps at least `minPiece` bytes; kNone when there is neither.
  int Claim(uint64_t minPiece, ByteRange* range);
  // Whether Claim would find work now.
  bool HasWork(uint64_t minPiece);
  // Of `length` arriving bytes of segment id, how many still belong to it (0 when its range is
  // used up) and at which file offset they go.
  uint64_t Take(int id, uint64_t length, uint64_t* at);
  void Commit(int id, uint64_t length);
  // The owner lets go; the rest of the segment waits for another connection.
  void Release(int id);
  bool Finished(int id);
  bool AllDone();
  uint64_t Remaining();
  std::vector<ByteRange> Done();

 private:
  struct Segment {
    uint64_t written;  // committed up to here
    uint64_t next;     // taken up to here
    uint64_t end;
    bool owned;
  };
  bool HasWorkLocked(uint64_t minPiece) const REQUIRES(lock_);

  mutable lumo::Mutex lock_;
  uint64_t total_ GUARDED_BY(lock_) = 0;
  std::vector<Segment> segments_ GUARDED_BY(lock_);
};

}  // namespace zdl
