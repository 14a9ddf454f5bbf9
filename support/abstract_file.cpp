#include "support/abstract_file.h"

#include <limits>

#include "errors/engine_error.h"
#include "support/short_text.h"

namespace tarvo {

int TAbstractFile::FindOpener(std::int32_t id) const {
  std::lock_guard lock(guard_);
  for (std::size_t i = 0; i < openers_.size(); ++i) {
    if (openers_[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

std::int32_t TAbstractFile::OpenerCount() const {
  std::lock_guard lock(guard_);
  return static_cast<std::int32_t>(openers_.size());
}

void TAbstractFile::SetFileName(std::string_view name) {
  file_name_ = CutToShortText(name);
}

std::int32_t TAbstractFile::AddOpener() {
  // Identifiers are positive and distinct among the current openers.
  do {
    last_id_ = last_id_ == std::numeric_limits<std::int32_t>::max() ? 1 : last_id_ + 1;
  } while (FindOpener(last_id_) >= 0);
  openers_.push_back({last_id_, 0});
  return last_id_;
}

TAbstractFile::TOpener* TAbstractFile::OpenerEntry(std::int32_t id) {
  for (TOpener& opener : openers_) {
    if (opener.id == id) return &opener;
  }
  return nullptr;
}

int TAbstractFile::Close(std::int32_t id) {
  std::lock_guard lock(guard_);
  const int index = FindOpener(id);
  if (index < 0) return -static_cast<int>(kInvalidPath);
  openers_.erase(openers_.begin() + index);
  return 0;
}

std::int64_t TAbstractFile::Seek(std::int32_t id, std::int64_t offset, TSeekOrigin origin) {
  std::lock_guard lock(guard_);
  TOpener* opener = OpenerEntry(id);
  if (opener == nullptr) return 0;
  std::int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::kBegin: base = 0; break;
    case TSeekOrigin::kCurrent: base = opener->position; break;
    case TSeekOrigin::kEnd: base = EndPosition(); break;
  }
  if (base < 0) return opener->position;  // the end could not be found: stay where we are
  // Positions stay within what a file can hold; a seek beyond is cut there.
  constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
  if (offset > kLimit) offset = kLimit;
  if (offset < -kLimit) offset = -kLimit;
  std::int64_t position = base + offset;
  if (position > kLimit) position = kLimit;
  if (position < -kLimit) position = -kLimit;
  opener->position = position;
  return position;
}

}  // namespace tarvo
