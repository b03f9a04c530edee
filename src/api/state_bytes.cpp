#include "api/state_bytes.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "engine/hash.hpp"

namespace dorvik {

namespace {

// ---- writing

class Writer {
 public:
  explicit Writer(std::size_t size) { out_.resize(size); }
  void u8(std::uint8_t v) { out_[at_++] = static_cast<char>(v); }
  void u32(std::uint32_t v) { put(&v, 4); }
  void u64(std::uint64_t v) { put(&v, 8); }
  void str(std::string_view s) {
    u64(s.size());
    put(s.data(), s.size());
  }
  std::string finish() { return std::move(out_); }

 private:
  static_assert(std::endian::native == std::endian::little, "fields are written as they are in memory");
  void put(const void* p, std::size_t n) {
    if (n != 0) std::memcpy(out_.data() + at_, p, n);
    at_ += n;
  }
  std::string out_;
  std::size_t at_ = 0;
};

std::size_t body_size(const EncodingInfo& info) {
  std::size_t n = 8 + 8 * info.text_columns.size() + 8 + 8;
  for (const auto& [col, d] : info.text_to_code) {
    n += 16 + d.size() * 9 + d.text_bytes();
    for (std::size_t i = 0; i < d.size(); ++i) n += d.code(i) ? 8 : 0;
  }
  for (const auto& [col, d] : info.code_to_text) n += 16 + d.size() * 16 + d.text_bytes();
  return n;
}

// ---- reading

[[noreturn]] void fail(const std::string& text) { throw StateError(text); }

// Describes the first UTF-8 fault of `s`, if any, with the width of the bad
// sequence (the longest prefix of a valid sequence, at least 1) or, for a
// sequence cut off by the end, as incomplete.
std::optional<std::string> utf8_fault(std::string_view s) {
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  auto cont = [&](std::size_t i) { return (b[i] & 0xC0) == 0x80; };
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = b[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    auto invalid = [&](std::size_t len) {
      return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(i);
    };
    auto incomplete = [&] { return "incomplete utf-8 byte sequence from index " + std::to_string(i); };
    if (width == 0) return invalid(1);
    if (i + 1 >= n) return incomplete();
    const unsigned char d = b[i + 1];
    bool second_ok = width == 2   ? cont(i + 1)
                     : width == 3 ? (c == 0xE0 ? d >= 0xA0 && d <= 0xBF
                                     : c == 0xED ? d >= 0x80 && d <= 0x9F
                                                 : cont(i + 1))
                                  : (c == 0xF0 ? d >= 0x90 && d <= 0xBF
                                     : c == 0xF4 ? d >= 0x80 && d <= 0x8F
                                                 : cont(i + 1));
    if (!second_ok) return invalid(1);
    for (std::size_t k = 2; k < width; ++k) {
      if (i + k >= n) return incomplete();
      if (!cont(i + k)) return invalid(k);
    }
    i += width;
  }
  return std::nullopt;
}

// Only where size_t is narrower than the 64-bit fields.
constexpr bool fits_size(std::uint64_t v) {
  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    return v <= std::numeric_limits<std::size_t>::max();
  }
  return true;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  std::uint8_t u8() { return fixed<std::uint8_t>(); }
  std::uint32_t u32() { return fixed<std::uint32_t>(); }
  std::uint64_t u64() { return fixed<std::uint64_t>(); }

  // A count or a length.
  std::size_t size() {
    const std::uint64_t v = u64();
    if (!fits_size(v)) {
      fail("Invalid size " + std::to_string(v) + ": sizes must fit in a usize (0 to " +
           std::to_string(std::numeric_limits<std::size_t>::max()) + ")");
    }
    return static_cast<std::size_t>(v);
  }

  std::size_t column() {
    const std::uint64_t v = u64();
    if (!fits_size(v)) fail("invalid value: integer `" + std::to_string(v) + "`, expected usize");
    return static_cast<std::size_t>(v);
  }

  bool tag() {
    const std::uint8_t t = u8();
    if (t > 1) fail("tag for enum is not valid, found " + std::to_string(t));
    return t == 1;
  }

  // A view into the input, valid while it lives.
  std::string_view str() {
    const std::size_t len = size();
    if (rest_.size() < len) fail("io error: ");
    std::string_view s = rest_.substr(0, len);
    rest_.remove_prefix(len);
    if (auto fault = utf8_fault(s)) fail("string is not valid utf8: " + *fault);
    return s;
  }

 private:
  template <class T>
  T fixed() {
    if (rest_.size() < sizeof(T)) fail("io error: unexpected end of file");
    T v;
    std::memcpy(&v, rest_.data(), sizeof v);
    rest_.remove_prefix(sizeof v);
    return v;
  }

  std::string_view rest_;
};

// Storage reserved ahead of the data, whatever count the input declares.
constexpr std::size_t kReserveLimit = std::size_t{1} << 20;

template <class T>
std::size_t ahead(std::size_t count) {
  return std::min(count, kReserveLimit / sizeof(T));
}

// Entries of one inner map as read, a later duplicate key replacing the
// value of the earlier one.
template <class Key, class Value>
class DedupMap {
 public:
  explicit DedupMap(std::size_t count) : seed_(random_seed()) {
    entries_.reserve(ahead<std::pair<Key, Value>>(count));
  }

  void put(Key key, Value value) {
    auto [i, added] = index_.find_or_insert(hash(key), static_cast<std::uint32_t>(entries_.size()),
                                            [&](std::uint32_t j) { return entries_[j].first == key; });
    if (added) {
      entries_.emplace_back(key, value);
    } else {
      entries_[i].second = value;
    }
  }

  const std::vector<std::pair<Key, Value>>& entries() const { return entries_; }

 private:
  std::uint64_t hash(std::string_view k) const { return hash_bytes(k, seed_); }
  std::uint64_t hash(std::uint64_t k) const { return hash_word(k, seed_); }

  std::vector<std::pair<Key, Value>> entries_;
  FlatIndex index_;
  std::uint64_t seed_;
};

ForwardDict read_forward(Reader& in) {
  const std::size_t k = in.size();
  DedupMap<std::string_view, std::optional<std::uint64_t>> entries(k);
  for (std::size_t i = 0; i < k; ++i) {
    const std::string_view text = in.str();
    std::optional<std::uint64_t> code;
    if (in.tag()) code = in.u64();
    entries.put(text, code);
  }
  ForwardDict d;
  std::size_t bytes = 0;
  for (const auto& e : entries.entries()) bytes += e.first.size();
  d.reserve(entries.entries().size(), bytes);
  for (const auto& [text, code] : entries.entries()) d.push_back(text, code);
  return d;
}

ReverseDict read_reverse(Reader& in) {
  const std::size_t k = in.size();
  DedupMap<std::uint64_t, std::string_view> entries(k);
  for (std::size_t i = 0; i < k; ++i) {
    const std::uint64_t code = in.u64();
    entries.put(code, in.str());
  }
  ReverseDict d;
  std::size_t bytes = 0;
  for (const auto& e : entries.entries()) bytes += e.second.size();
  d.reserve(entries.entries().size(), bytes);
  for (const auto& [code, text] : entries.entries()) d.push_back(code, text);
  return d;
}

template <class Dict, class ReadDict>
std::unordered_map<std::size_t, Dict> read_columns(Reader& in, ReadDict&& read_dict) {
  const std::size_t m = in.size();
  std::unordered_map<std::size_t, Dict> out;
  out.reserve(ahead<std::pair<std::size_t, Dict>>(m));
  for (std::size_t i = 0; i < m; ++i) {
    const std::size_t col = in.column();
    out.insert_or_assign(col, read_dict(in));
  }
  return out;
}

EncodingInfo read_info(Reader& in) {
  EncodingInfo info;
  const std::size_t n = in.size();
  info.text_columns.reserve(ahead<std::size_t>(n));
  for (std::size_t i = 0; i < n; ++i) info.text_columns.push_back(in.column());
  info.text_to_code = read_columns<ForwardDict>(in, read_forward);
  info.code_to_text = read_columns<ReverseDict>(in, read_reverse);
  return info;
}

}  // namespace

std::string write_state(const EncoderState& state) {
  const EncodingInfo* info = state.encoding_info ? &*state.encoding_info : nullptr;
  Writer out(1 + (info ? body_size(*info) : 0) + 4);
  out.u8(info ? 1 : 0);
  if (info) {
    out.u64(info->text_columns.size());
    for (std::size_t col : info->text_columns) out.u64(col);
    out.u64(info->text_to_code.size());
    for (const auto& [col, d] : info->text_to_code) {
      out.u64(col);
      out.u64(d.size());
      for (std::size_t i = 0; i < d.size(); ++i) {
        out.str(d.text(i));
        const auto code = d.code(i);
        out.u8(code ? 1 : 0);
        if (code) out.u64(*code);
      }
    }
    out.u64(info->code_to_text.size());
    for (const auto& [col, d] : info->code_to_text) {
      out.u64(col);
      out.u64(d.size());
      for (std::size_t i = 0; i < d.size(); ++i) {
        out.u64(d.code(i));
        out.str(d.text(i));
      }
    }
  }
  out.u32(static_cast<std::uint32_t>(state.encoding_strat));
  return out.finish();
}

EncoderState read_state(std::string_view bytes) {
  Reader in(bytes);
  EncoderState state;
  if (in.tag()) state.encoding_info = read_info(in);
  const std::uint32_t strat = in.u32();
  if (strat != 0) {
    fail("invalid value: integer `" + std::to_string(strat) + "`, expected variant index 0 <= i < 1");
  }
  state.encoding_strat = EncodingStrategy::Label;
  return state;
}

}  // namespace dorvik
