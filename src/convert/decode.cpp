// Decoding builds its results through the NumPy C API: one str per distinct
// code per column, shared by the cells that hold it, instead of a Python
// call per cell.
#include "convert/decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_group.h>

#include "bind/errors.hpp"
#include "bind/numpy.hpp"
#include "bind/text.hpp"
#include "bind/unset_array.hpp"
#include "convert/arena_prefault.hpp"
#include "convert/frame.hpp"
#include "engine/fault_in.hpp"
#include "engine/no_fill.hpp"
#include "engine/pool.hpp"

namespace dorvik {

namespace {

// Truncates toward zero and saturates: negatives give 0, 2^64 and above the
// largest code.
std::uint64_t key_of(double x) {
  if (!(x >= 0.0)) return 0;
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(x);
}

const ReverseDict& dict_of(const EncodingInfo& info, std::size_t col) {
  auto it = info.code_to_text.find(col);
  if (it == info.code_to_text.end()) throw Panic("no entry found for key");
  return it->second;
}

void check_column(std::size_t col, const Matrix& m) {
  if (m.rows > 0 && col >= m.cols) throw Panic("ndarray: index out of bounds");
}

bool is_ascii(std::string_view t) {
  std::size_t i = 0;
  for (; i + 8 <= t.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, t.data() + i, 8);
    if (w & 0x8080808080808080ull) return false;
  }
  for (; i < t.size(); ++i) {
    if (static_cast<unsigned char>(t[i]) >= 0x80) return false;
  }
  return true;
}

// A new str of valid UTF-8 with some non-ASCII character, decoded straight
// into an object of its final size: its width follows from the lead bytes
// alone (C2-C3 start U+0080-U+00FF, C4-DF and E0-EF the rest of the first
// plane, F0-F4 the planes above). Anything but valid UTF-8 goes to
// CPython's decoder, which reports it; so each character written has had a
// lead byte counted for it.
Ref wide_str(std::string_view t) {
  const auto* b = reinterpret_cast<const unsigned char*>(t.data());
  const std::size_t n = t.size();
  std::size_t chars = 0;
  Py_UCS4 max = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = b[i];
    chars += (c & 0xC0) != 0x80;
    max = std::max<Py_UCS4>(max, c < 0xC2 ? 0x7F : c < 0xC4 ? 0xFF : c < 0xF0 ? 0xFFFF : 0x10FFFF);
  }
  Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(chars), max));
  const int kind = PyUnicode_KIND(s.get());
  void* data = PyUnicode_DATA(s.get());
  std::size_t k = 0;
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = b[i];
    const std::size_t width = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (width == 0 || i + width > n) return new_str(t);
    if (width > 2) {
      // Overlong forms, surrogates and code points past U+10FFFF.
      const unsigned char d = b[i + 1];
      if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F)) {
        return new_str(t);
      }
    }
    Py_UCS4 cp = width == 1 ? c : width == 2 ? c & 0x1F : width == 3 ? c & 0x0F : c & 0x07;
    for (std::size_t j = 1; j < width; ++j) {
      if ((b[i + j] & 0xC0) != 0x80) return new_str(t);
      cp = cp << 6 | (b[i + j] & 0x3F);
    }
    PyUnicode_WRITE(kind, data, k++, cp);
    i += width;
  }
  return s;
}

// A new str of valid UTF-8; ASCII is copied straight into the object.
Ref text_str(std::string_view t) {
  if (!is_ascii(t)) return wide_str(t);
  Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(t.size()), 127));
  if (!t.empty()) std::memcpy(PyUnicode_DATA(s.get()), t.data(), t.size());
  return s;
}

// Gives `s`, of which the caller holds one reference, `n` more.
void add_refs(PyObject* s, std::size_t n) {
  // A str just made is the caller's alone: one write instead of n. Counts
  // near 2^31 keep the plain increments, which treat them as CPython does.
  if (Py_REFCNT(s) == 1 && n < (std::size_t{1} << 30)) {
    Py_SET_REFCNT(s, static_cast<Py_ssize_t>(n + 1));
    return;
  }
  for (; n > 0; --n) Py_INCREF(s);
}

// Cells a worker reads as one piece, at least.
constexpr std::size_t kPartCells = std::size_t{1} << 16;

// Parts of the rows read apart, for `rows` x `cols` cells.
std::size_t part_count(std::size_t rows, std::size_t cols) {
  const auto threads = static_cast<std::size_t>(pool().max_concurrency());
  const std::size_t parts = std::clamp<std::size_t>(rows * cols / kPartCells, 1, threads);
  // Counts are 32-bit.
  return std::max<std::size_t>(parts, rows / (std::size_t{1} << 31) + 1);
}

// The strs of one text column's cells, with a reference for each cell that
// holds one. A column with no more entries than rows gets a str for every
// entry up front; its cells are then filled in one read of the codes, which
// counts the uses on the way, and entries no cell used are freed. A longer
// dictionary (a few rows decoded with a big fit) has its uses counted first,
// so that only the strs some cell needs are made; so may a big one that is
// counted while other columns' strs are made. Either way each str gets
// its final reference count in one write, and filling the cells touches no
// reference count and runs on the pool.
class ColumnStrs {
  // Each row's entry is kept in 32 bits, half the bytes to write and read
  // back, and left unset until count() writes it.
  static constexpr std::uint32_t kNoEntry = UINT32_MAX;

 public:
  ColumnStrs(const ReverseDict& dict, const Matrix& m, std::size_t col, PyObject* missing)
      : dict_(dict), m_(m), col_(col), missing_(missing), counted_first_(dict.size() > m.rows) {}

  ColumnStrs(const ColumnStrs&) = delete;
  ColumnStrs& operator=(const ColumnStrs&) = delete;

  // Until handed_over(), the references in refs_ are this object's.
  ~ColumnStrs() {
    if (handed_over_) return;
    for (std::size_t i = 0; i < made_; ++i) {
      for (std::uint64_t k = 0; strs_[i] != nullptr && k < refs_[i]; ++k) Py_DECREF(strs_[i]);
    }
  }

  bool counted_first() const { return counted_first_; }
  // Before start(): the uses are to be counted first all the same.
  void count_first() { counted_first_ = true; }
  std::size_t entries() const { return dict_.size(); }
  // About what make() allocates: a str per entry, each its header, its
  // text, a NUL and the allocator's rounding.
  std::size_t str_bytes() const { return dict_.size() * (sizeof(PyASCIIObject) + 16) + dict_.text_bytes(); }

  // Rows split into `parts` that are counted apart.
  void start(std::size_t parts) {
    counts_.assign(parts, std::vector<std::uint32_t>(dict_.size()));
    missing_uses_.assign(parts, 0);
    if (!counted_first_) return;
    // Not in 32 bits, such a dictionary would not fit in memory anyway.
    if (dict_.size() >= kNoEntry) throw std::bad_alloc();
    entries_.resize(m_.rows);
  }

  // The counting read of a column whose uses are counted first. It keeps
  // each row's entry for fill() to write.
  void count(std::size_t part, std::size_t r0, std::size_t r1) {
    std::uint32_t* count = counts_[part].data();
    std::uint32_t* entry = entries_.data() + r0;
    std::size_t missing = 0;
    each_code(r0, r1, [&](std::size_t i) { ++count[i]; *entry++ = static_cast<std::uint32_t>(i); },
              [&] { ++missing; *entry++ = kNoEntry; });
    missing_uses_[part] += missing;
  }

  // Makes the strs, in dictionary order: every one, or with the uses
  // counted, the used ones with their final counts. Each entry is set as it
  // is reached, rather than all cleared first: the calling thread, which
  // makes the strs, is the one the decode waits for.
  void make() {
    strs_.resize(dict_.size());
    refs_.resize(dict_.size());
    if (!counted_first_) {
      for (std::size_t i = 0; i < dict_.size(); ++i, made_ = i) {
        strs_[i] = text_str(dict_.text(i)).release();
        refs_[i] = 1;
      }
      return;
    }
    for (std::size_t i = 0; i < dict_.size(); ++i, made_ = i) {
      std::uint64_t uses = 0;
      for (const auto& c : counts_) uses += c[i];
      strs_[i] = uses == 0 ? nullptr : text_str(dict_.text(i)).release();
      if (uses != 0) add_refs(strs_[i], uses - 1);
      refs_[i] = uses;
    }
    counts_ = {};
  }

  // Writes rows [r0, r1) to out[0], out[step], ... Each code is read once,
  // here or in count(): what is written is what is counted, whatever happens
  // to the codes meanwhile.
  void fill(std::size_t part, std::size_t r0, std::size_t r1, PyObject** out, std::size_t step) {
    PyObject* const* strs = strs_.data();
    PyObject* const missing_value = missing_;
    if (counted_first_) {
      for (std::size_t r = r0; r < r1; ++r, out += step) {
        const std::uint32_t i = entries_[r];
        *out = i == kNoEntry ? missing_value : strs[i];
      }
      return;
    }
    std::uint32_t* count = counts_[part].data();
    std::size_t missing = 0;
    each_code(r0, r1, [&](std::size_t i) { ++count[i]; *out = strs[i]; out += step; },
              [&] { ++missing; *out = missing_value; out += step; });
    missing_uses_[part] += missing;
  }

  // After every cell is filled: the cells hold the references now, and each
  // str has as many as cells hold it. Returns how many cells got the
  // missing value, whose references are the caller's to add.
  std::size_t handed_over() {
    handed_over_ = true;
    if (!counted_first_) {
      for (std::size_t i = 0; i < dict_.size(); ++i) {
        std::uint64_t uses = 0;
        for (const auto& c : counts_) uses += c[i];
        if (uses == 0) {
          Py_DECREF(strs_[i]);
        } else {
          add_refs(strs_[i], uses - 1);
        }
      }
    }
    std::size_t missing = 0;
    for (std::size_t n : missing_uses_) missing += n;
    return missing;
  }

 private:
  // Calls hit(entry) for each cell of rows [r0, r1) whose code has an
  // entry, miss() for NaN and codes without one, in row order. The loop
  // keeps what it reads in locals: stores to the output could otherwise
  // alias them as far as the compiler knows.
  template <class Hit, class Miss>
  void each_code(std::size_t r0, std::size_t r1, Hit hit, Miss miss) const {
    if (r0 >= r1) return;
    const std::size_t step = m_.row_step();
    const double* code = m_.data + r0 * step + col_ * m_.col_step();
    if (dict_.dense()) {
      const std::size_t n = dict_.size();
      for (std::size_t r = r0; r < r1; ++r, code += step) {
        const double x = *code;
        const std::uint64_t k = key_of(x);
        if (k < n && !std::isnan(x)) {
          hit(static_cast<std::size_t>(k));
        } else {
          miss();
        }
      }
      return;
    }
    for (std::size_t r = r0; r < r1; ++r, code += step) {
      const double x = *code;
      const std::optional<std::size_t> i = std::isnan(x) ? std::nullopt : dict_.find(key_of(x));
      if (i) {
        hit(*i);
      } else {
        miss();
      }
    }
  }

  const ReverseDict& dict_;
  const Matrix& m_;
  std::size_t col_;
  PyObject* missing_;
  bool counted_first_;
  std::vector<std::vector<std::uint32_t>> counts_;  // per part of the rows
  std::vector<std::size_t> missing_uses_;
  UnfilledVector<PyObject*> strs_;  // NULL for codes no cell holds
  UnfilledVector<std::uint64_t> refs_;  // references held in strs_ until handed over
  std::size_t made_ = 0;  // the entries of both set so far
  UnfilledVector<std::uint32_t> entries_;  // per row, when counted first
  bool handed_over_ = false;
};

// Cells read or filled per band of rows: 64 KiB of codes or pointers.
constexpr std::size_t kBandCells = 8192;

PyObject** object_data(PyObject* array) {
  return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// Cells filled for each object the calling thread makes, from which it
// faults the result in first (see new_object_array): a str takes it about
// as long as the pool takes to fill 32 cells or more.
constexpr std::size_t kCellsPerObjectMade = 32;

// Arrays from this size on are not cleared first (see unset_array.hpp).
constexpr std::size_t kUnsetFromBytes = std::size_t{1} << 20;

// An object array of `dims` to be filled in place, whose elements may be
// unset: the caller sets them all, or has a NullOnFailure make them NULL
// (which NumPy reads as None and skips when the array is freed). Where the
// calling thread makes few objects for it (`made` in all), it maps the
// array's pages first, in one call: the pool, faulting them in one by one as
// it writes the cells, has taken several times the kernel time for them. A
// thread making many objects is the one the decode waits for, and is not
// held up.
Ref new_object_array(int nd, npy_intp* dims, std::size_t made) {
  Ref a = new_object_array_unset(nd, dims, kUnsetFromBytes);
  auto* arr = reinterpret_cast<PyArrayObject*>(a.get());
  if (made < static_cast<std::size_t>(PyArray_SIZE(arr)) / kCellsPerObjectMade) {
    fault_in(PyArray_DATA(arr), static_cast<std::size_t>(PyArray_NBYTES(arr)));
  }
  return a;
}

// The strs that decoding `rows` rows with each of the dictionaries makes, at
// most.
std::size_t strs_made(const std::vector<const ReverseDict*>& dicts, std::size_t rows) {
  std::size_t made = 0;
  for (const ReverseDict* d : dicts) {
    if (d != nullptr) made += std::min(d->size(), rows);
  }
  return made;
}

// Dictionaries from this size on take long enough to make that the cells of
// the columns made before them are filled meanwhile.
constexpr std::size_t kOverlapEntries = 4096;

// Starts several text columns; the uses of those counted first are counted
// in one read of the rows, a band of rows at a time for every such column:
// a row-major matrix is then read once, rather than once per column. Returns
// the parts that their fill() must use, and the column to count while the
// others are made, if any: the biggest, where another is made before it and
// it has entries for a quarter of the rows or more. Its strs then get their
// final references as they are made, and no pass over them follows its fill;
// counting a column of few entries would cost more than that saves.
std::pair<std::size_t, ColumnStrs*> count_all(std::vector<std::unique_ptr<ColumnStrs>>& texts, const Matrix& m) {
  const std::size_t parts = part_count(m.rows, std::max<std::size_t>(1, texts.size()));
  ColumnStrs* later = nullptr;
  for (auto& t : texts) {
    if (!t->counted_first() && t->entries() >= std::max(kOverlapEntries, m.rows / 4) &&
        (later == nullptr || t->entries() >= later->entries())) {  // the last made of equals
      later = t.get();
    }
  }
  if (texts.size() < 2) later = nullptr;
  std::vector<ColumnStrs*> first;
  for (auto& t : texts) {
    if (t->counted_first()) first.push_back(t.get());
    if (t.get() == later) t->count_first();
    t->start(parts);
  }
  if (first.empty()) return {parts, later};
  const std::size_t band = std::max<std::size_t>(1, kBandCells / first.size());
  run_in_pool([&] {
    tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
      const std::size_t end = m.rows * (p + 1) / parts;
      for (std::size_t r0 = m.rows * p / parts; r0 < end; r0 += band) {
        for (ColumnStrs* t : first) t->count(p, r0, std::min(end, r0 + band));
      }
    }, tbb::simple_partitioner());
  });
  return {parts, later};
}

// Makes every started column's strs and fills its cells with them. Only the
// calling thread may make strs, so while it makes a big dictionary's, the
// pool fills the cells of the columns made before; smaller dictionaries go
// first, so that filling starts early. The columns filled together are
// filled a band of rows at a time, `row_major` when their cells share rows
// of one array: each row of the output is then written once, rather than
// once per column.
// Meanwhile the pool also faults in the memory the strs will take.
// fill(j, part, r0, r1) writes column j's rows [r0, r1); more() is what else
// may fail, run while the last columns are filled; it allocates about
// `more_bytes`. If anything fails, every text cell is set back to NULL by
// clear(j) once no fill runs, and the error goes on: the strs are then still
// the columns' to free.
template <class Fill, class Clear, class More>
void make_and_fill(std::vector<std::unique_ptr<ColumnStrs>>& texts, const Matrix& m, std::size_t parts,
                   ColumnStrs* later, bool row_major, Fill fill, Clear clear, More more, std::size_t more_bytes) {
  std::vector<std::size_t> order(texts.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return texts[a]->entries() < texts[b]->entries(); });
  tbb::task_group filling;
  std::deque<std::vector<std::size_t>> batches;  // stay where they are while their fills run
  std::vector<std::size_t> made;
  const auto fill_made = [&] {
    if (made.empty()) return;
    const std::vector<std::size_t>* batch = &batches.emplace_back(std::move(made));
    made.clear();
    const std::size_t band = row_major ? std::max<std::size_t>(1, kBandCells / batch->size()) : kBandCells;
    // The task outlives this call: it holds nothing of it by reference.
    run_in_pool([&, batch, band] {
      filling.run([&m, &fill, parts, batch, band] {
        tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
          const std::size_t end = m.rows * (p + 1) / parts;
          for (std::size_t r0 = m.rows * p / parts; r0 < end; r0 += band) {
            for (std::size_t j : *batch) fill(j, p, r0, std::min(end, r0 + band));
          }
        }, tbb::simple_partitioner());
      });
    });
  };
  tbb::task_group counting;
  if (later != nullptr) {
    run_in_pool([&] {
      counting.run([&m, parts, later] {
        tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t p) {
          later->count(p, m.rows * p / parts, m.rows * (p + 1) / parts);
        }, tbb::simple_partitioner());
      });
    });
  }
  const auto wait = [&] {
    run_in_pool([&] {
      counting.wait();
      filling.wait();
    });
  };
  std::size_t bytes = more_bytes;
  for (const auto& t : texts) bytes += t->str_bytes();
  try {
    const PrefaultedArenas arenas(bytes);
    for (std::size_t j : order) {
      if (texts[j]->entries() >= kOverlapEntries) fill_made();
      if (texts[j].get() == later) run_in_pool([&] { counting.wait(); });
      texts[j]->make();
      made.push_back(j);
    }
    fill_made();
    more();
  } catch (...) {
    wait();
    for (std::size_t j = 0; j < texts.size(); ++j) clear(j);
    throw;
  }
  wait();
}

// Hands every column's references over to its filled cells; returns how
// many cells got the missing value.
std::size_t hand_over_all(std::vector<std::unique_ptr<ColumnStrs>>& texts) {
  std::size_t missing = 0;
  for (auto& t : texts) missing += t->handed_over();
  return missing;
}

}  // namespace

Ref decode_array(const Matrix& m, const EncodingInfo& info) {
  // Every check runs before anything is built: a failure leaves nothing
  // visible either way, and the first failing check is the same.
  std::vector<const ReverseDict*> dict_at(m.cols, nullptr);
  for (std::size_t col : info.text_columns) {
    const ReverseDict& d = dict_of(info, col);
    if (m.rows == 0) continue;
    check_column(col, m);
    dict_at[col] = &d;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
  // The other columns' cells are floats made here too.
  const auto floats = static_cast<std::size_t>(std::count(dict_at.begin(), dict_at.end(), nullptr));
  Ref o = new_object_array(2, dims, strs_made(dict_at, m.rows) + floats * m.rows);
  if (m.size() == 0) return o;
  PyObject** out = object_data(o.get());
  NullOnFailure unset(out, m.size());
  Ref nan_text = new_str("NaN");
  // What can fail is making the strs and the floats of the other columns;
  // if either does, every cell is NULL again.
  std::vector<std::unique_ptr<ColumnStrs>> texts;
  std::vector<std::size_t> text_cols;
  for (std::size_t col = 0; col < m.cols; ++col) {
    if (dict_at[col] == nullptr) continue;
    texts.push_back(std::make_unique<ColumnStrs>(*dict_at[col], m, col, nan_text.get()));
    text_cols.push_back(col);
  }
  const auto [parts, later] = count_all(texts, m);
  // The result is row-major: a column's cells are m.cols apart.
  make_and_fill(
      texts, m, parts, later, true,
      [&](std::size_t j, std::size_t p, std::size_t r0, std::size_t r1) {
        texts[j]->fill(p, r0, r1, out + r0 * m.cols + text_cols[j], m.cols);
      },
      [&](std::size_t j) {
        PyObject** cell = out + text_cols[j];
        for (std::size_t r = 0; r < m.rows; ++r, cell += m.cols) *cell = nullptr;
      },
      [&] {
        std::size_t c = 0, r = 0;
        try {
          for (; c < m.cols; ++c) {
            if (dict_at[c] != nullptr) continue;
            for (r = 0; r < m.rows; ++r) out[r * m.cols + c] = check(PyFloat_FromDouble(m.at(r, c))).release();
          }
        } catch (...) {
          // The floats made so far go; `unset` then clears their cells too.
          for (std::size_t k = 0; k <= c && k < m.cols; ++k) {
            if (dict_at[k] != nullptr) continue;
            for (std::size_t i = 0; i < (k < c ? m.rows : r); ++i) Py_DECREF(out[i * m.cols + k]);
          }
          throw;
        }
      },
      (m.cols - texts.size()) * m.rows * sizeof(PyFloatObject));
  // Nothing fails from here on.
  unset.dismiss();
  add_refs(nan_text.get(), hand_over_all(texts));
  return o;
}

Ref decode_frame(const Matrix& m, const std::vector<std::string>& labels, const EncodingInfo& info) {
  // Checked column by column, in order, before anything is built.
  std::vector<const ReverseDict*> dicts;
  bool all_text = info.text_columns.size() == m.cols;
  for (std::size_t j = 0; j < info.text_columns.size(); ++j) {
    const std::size_t col = info.text_columns[j];
    dicts.push_back(&dict_of(info, col));
    check_column(col, m);
    if (col >= labels.size()) {
      throw Panic("index out of bounds: the len is " + std::to_string(labels.size()) +
                  " but the index is " + std::to_string(col));
    }
    all_text = all_text && col == j;
  }
  // Every text column's values at once, as the rows of one array: one big
  // allocation is mapped in huge pages, where column-sized ones would fault
  // in every 4 KiB page on their own.
  npy_intp dims[2] = {static_cast<npy_intp>(dicts.size()), static_cast<npy_intp>(m.rows)};
  Ref block = new_object_array(2, dims, strs_made(dicts, m.rows));
  PyObject** cells = object_data(block.get());
  NullOnFailure unset(cells, dicts.size() * m.rows);
  std::vector<std::unique_ptr<ColumnStrs>> texts;
  for (std::size_t j = 0; j < dicts.size(); ++j) {
    texts.push_back(std::make_unique<ColumnStrs>(*dicts[j], m, info.text_columns[j], Py_None));
  }
  const auto [parts, later] = count_all(texts, m);
  // Each column's values are a row of the array: every fill writes one run.
  make_and_fill(
      texts, m, parts, later, false,
      [&](std::size_t j, std::size_t p, std::size_t r0, std::size_t r1) {
        texts[j]->fill(p, r0, r1, cells + j * m.rows + r0, 1);
      },
      [&](std::size_t j) { std::fill_n(cells + j * m.rows, m.rows, nullptr); }, [] {}, 0);
  unset.dismiss();
  add_refs(Py_None, hand_over_all(texts));

  // A frame of text columns only is the array itself, column-major.
  if (all_text) {
    return new_frame(check(PyArray_Transpose(reinterpret_cast<PyArrayObject*>(block.get()), nullptr)), labels,
                     true);
  }
  // Otherwise a float frame of the other columns has its text columns
  // replaced, each by its row of the array. The float array's text columns
  // are never written or read: untouched, their pages are never mapped.
  double* floats = nullptr;
  Ref values = new_float64_matrix(m.rows, m.cols, true, floats);
  std::vector<bool> text(m.cols, false);
  for (std::size_t c : info.text_columns) {
    if (c < m.cols) text[c] = true;
  }
  for (std::size_t c = 0; c < m.cols; ++c) {
    if (!text[c]) copy_column(m, c, floats + c * m.rows);
  }
  Ref df = new_frame(std::move(values), labels);
  Ref pandas = check(PyImport_ImportModule("pandas"));
  Ref series_type = check(PyObject_GetAttrString(pandas.get(), "Series"));
  // copy=False: the values are ours and used nowhere else. The dtype as a
  // NumPy one: pandas would look a string up among every dtype it knows.
  Ref object = check(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
  Ref kw = check(Py_BuildValue("{s:O,s:O}", "dtype", object.get(), "copy", Py_False));
  for (std::size_t j = 0; j < texts.size(); ++j) {
    // An object Series keeps None as None; a bare array would be inferred as
    // a string column. The column is addressed by position, so repeated
    // labels are decoded each into its own column.
    Ref row = check(PySequence_GetItem(block.get(), static_cast<Py_ssize_t>(j)));
    Ref args = check(PyTuple_Pack(1, row.get()));
    Ref series = check(PyObject_Call(series_type.get(), args.get(), kw.get()));
    Ref done = check(PyObject_CallMethod(df.get(), "isetitem", "nO", static_cast<Py_ssize_t>(info.text_columns[j]),
                                         series.get()));
  }
  return df;
}

}  // namespace dorvik
