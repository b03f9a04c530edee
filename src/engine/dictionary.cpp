#include "engine/dictionary.hpp"

#include <algorithm>

namespace dorvik {

TextTable& ForwardDict::own_texts() {
  if (!texts_) {
    texts_ = std::make_shared<TextTable>();  // moved from, and used again
  } else if (texts_.use_count() > 1) {
    texts_ = std::make_shared<TextTable>(*texts_);
  }
  return *texts_;
}

void ForwardDict::reserve(std::size_t count, std::size_t bytes) {
  own_texts().reserve(count, bytes);
  codes_.reserve(count);
  coded_.reserve(count);
}

void ForwardDict::push_back(std::string_view text, std::optional<std::uint64_t> code) {
  own_texts().push_back(text);
  codes_.push_back(code.value_or(0));
  coded_.push_back(code.has_value());
}

void ForwardDict::resize_numbered(std::size_t count, std::size_t bytes) {
  own_texts().resize(count, bytes);
  codes_ = {};
  coded_ = {};
  numbered_ = true;
  uncoded_ = {};
}

void ForwardDict::set_text(std::size_t i, std::size_t at, std::string_view text) { texts_->set(i, at, text); }

void ForwardDict::set_uncoded(std::vector<std::size_t> entries) { uncoded_ = std::move(entries); }

std::optional<std::uint64_t> ForwardDict::code(std::size_t i) const {
  if (numbered_) {
    // Entry i's code counts the coded entries before it.
    const auto skipped = std::lower_bound(uncoded_.begin(), uncoded_.end(), i);
    if (skipped != uncoded_.end() && *skipped == i) return std::nullopt;
    return i - static_cast<std::size_t>(skipped - uncoded_.begin());
  }
  if (!coded_[i]) return std::nullopt;
  return codes_[i];
}

std::optional<ReverseDict> ReverseDict::of(const ForwardDict& forward) {
  // Each lookup of a text walks the uncoded entries: there must be few.
  constexpr std::size_t kMaxSkipped = 8;
  ReverseDict d;
  d.bytes_ = forward.text_bytes();
  if (forward.numbered()) {
    if (forward.uncoded().size() > kMaxSkipped) return std::nullopt;
    d.skipped_ = forward.uncoded();
    for (std::size_t i : d.skipped_) d.bytes_ -= forward.text(i).size();
    d.count_ = forward.size() - d.skipped_.size();
    d.shared_ = forward.texts();
    return d;
  }
  for (std::size_t i = 0; i < forward.size(); ++i) {
    const std::optional<std::uint64_t> code = forward.code(i);
    if (!code) {
      if (d.skipped_.size() == kMaxSkipped) return std::nullopt;
      d.skipped_.push_back(i);
      d.bytes_ -= forward.text(i).size();
    } else if (*code != d.count_++) {
      return std::nullopt;
    }
  }
  d.shared_ = forward.texts();
  return d;
}

void ReverseDict::own_texts() {
  if (!shared_) return;
  ReverseDict own;
  own.texts_.reserve(count_, bytes_);
  own.codes_.reserve(count_);
  for (std::size_t i = 0; i < count_; ++i) own.push_back(i, text(i));
  *this = std::move(own);
}

void ReverseDict::reserve(std::size_t count, std::size_t bytes) {
  own_texts();
  texts_.reserve(count, bytes);
  codes_.reserve(count);
}

void ReverseDict::push_back(std::uint64_t code, std::string_view text) {
  own_texts();
  const std::size_t i = codes_.size();
  texts_.push_back(text);
  codes_.push_back(code);
  if (dense_ && code == i) return;
  if (dense_) {
    // First irregular code: index everything so far.
    dense_ = false;
    seed_ = random_seed();
    index_.emplace(codes_.size());
    for (std::size_t j = 0; j < i; ++j) {
      index_->find_or_insert(hash_word(codes_[j], seed_), static_cast<std::uint32_t>(j),
                             [](std::uint32_t) { return false; });
    }
  }
  index_->find_or_insert(hash_word(code, seed_), static_cast<std::uint32_t>(i),
                         [](std::uint32_t) { return false; });
}

std::optional<std::size_t> ReverseDict::find_indexed(std::uint64_t code) const {
  auto hit = index_->find(hash_word(code, seed_), [&](std::uint32_t j) { return codes_[j] == code; });
  if (hit) return *hit;
  return std::nullopt;
}

}  // namespace dorvik
