#include "positions.h"

namespace ovilex {

StartList::Ascending::Ascending(const StartList& list) {
  Cursor whole{list.words_.data(), list.words_.data() + list.words_.size()};
  if (list.stretches_ == 1) {
    // One stretch: read straight through, equal values skipped.
    if (whole.advance()) stretches_[stretch_count_++] = {whole, SIZE_MAX};
    return;
  }
  if (list.stretches_ > MANY_STRETCHES) {
    while (whole.advance()) sorted_.push_back(whole.value);
    std::sort(sorted_.begin(), sorted_.end());
    return;
  }
  // Each stretch from where it starts, and how many values it has.
  bool any = false;
  std::uint32_t before = 0;
  while (whole.advance()) {
    if (!any || whole.value < before) stretches_[stretch_count_++] = {whole, 0};
    ++stretches_[stretch_count_ - 1].left;
    any = true;
    before = whole.value;
  }
}

std::size_t StartList::Ascending::read(std::uint32_t* to, std::size_t most) {
  std::size_t n = 0;
  const auto give = [&](std::uint32_t value) {
    if (started_ && value == last_) return;
    started_ = true;
    last_ = value;
    to[n++] = value;
  };
  if (!sorted_.empty()) {
    while (n < most && sorted_at_ < sorted_.size()) give(sorted_[sorted_at_++]);
    return n;
  }
  while (n < most && stretch_count_ != 0) {
    // The stretch with the least current value (few of them: a scan).
    std::size_t least = 0;
    for (std::size_t s = 1; s < stretch_count_; ++s) {
      if (stretches_[s].cursor.value < stretches_[least].cursor.value) least = s;
    }
    Stretch& stretch = stretches_[least];
    give(stretch.cursor.value);
    if (--stretch.left == 0 || !stretch.cursor.advance()) {
      std::move(stretches_ + least + 1, stretches_ + stretch_count_, stretches_ + least);
      --stretch_count_;
    }
  }
  return n;
}

}  // namespace ovilex
