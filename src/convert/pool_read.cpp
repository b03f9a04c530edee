#include "convert/pool_read.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

#include <oneapi/tbb/parallel_for.h>

#include "convert/read_order.hpp"
#include "engine/columns.hpp"
#include "engine/pool.hpp"

namespace dorvik {

namespace {

// Rows a worker reads between looks at whether another column failed.
constexpr std::size_t kFailureCheck = 4096;
// A column is split into parts read at once from this many rows a part. Each
// part finds its distinct texts on its own, so parts are few: the engine
// merges what they found twice. Where as many columns as threads are read,
// the columns alone keep the threads busy, and are not split.
constexpr std::size_t kPartRows = std::size_t{1} << 16;
// Up to this many columns a worker, and from a part's rows on, the columns
// costliest to read are taken up first.
constexpr std::size_t kOrderedColumns = 4;
// How far ahead of the cell read the cache slot it looks up is prefetched:
// less than kCellsAhead, so that the cell's object has arrived by then.
constexpr std::size_t kSlotsAhead = kCellsAhead / 2;
static_assert(kSlotsAhead < TextColumnBuilder::kHashesKept);
// And how far ahead the key that slot points to is.
constexpr std::size_t kRecordsAhead = kSlotsAhead / 2;

void prefetch_object(ObjectColumnView col, std::size_t r, std::size_t n) {
  if (r < n) __builtin_prefetch(col.at(r));
}

class ColumnReader {
 public:
  // `columns`: how many are read at once.
  ColumnReader(const PoolColumn& column, Matrix& m, std::atomic<bool>& failed, std::size_t columns)
      : col_(column.objects), index_(column.index), m_(m), failed_(failed), columns_(columns) {}

  // Reads the column; its stores (one per part) hold its texts, the first
  // of them the column.
  std::vector<CellTexts> read() {
    const std::size_t n = m_.rows;
    const std::size_t start = numbers_until_text();
    if (start == n || failed_.load(std::memory_order_relaxed)) return {};
    const std::size_t parts = part_count(n - start);
    std::vector<CellTexts> stores(parts);
    std::vector<std::vector<std::string_view>> texts(parts);
    std::vector<UnfilledVector<std::uint64_t>> prefixes(parts);
    std::vector<std::uint8_t> in_order(parts);
    TextColumn column;
    column.rows = n;
    auto bound = [&](std::size_t k) { return start + (n - start) * k / parts; };
    tbb::parallel_for(std::size_t{0}, parts, [&](std::size_t k) {
      CellTexts& store = stores[k];
      store.python_allowed = false;
      store.hold_objects = false;
      // The first part also takes the rows of numbers before the first text.
      TextColumnBuilder builder(store, n, &m_.at(k == 0 ? 0 : bound(k), index_), m_.row_step());
      // The first part's entries become the column's, the others' appended.
      builder.reserve_when_distinct(k == 0 ? n : bound(k + 1) - bound(k));
      // The column is encoded right after it is read, which these spare a
      // pass over its texts.
      builder.keep_prefixes_when_distinct();
      if (k == 0) {
        for (std::size_t r = 0; r < start; ++r) builder.add_number(m_.at(r, index_));
      }
      if (read_texts(builder, bound(k), bound(k + 1))) {
        in_order[k] = builder.rows_in_order();
        texts[k] = builder.finish();
        prefixes[k] = builder.finish_prefixes();
      }
    });
    if (failed_.load(std::memory_order_relaxed)) return {};
    // Parts whose rows are their entries in order stay so once merged.
    column.entries_are_rows = std::all_of(in_order.begin(), in_order.end(), [](std::uint8_t b) { return b != 0; });
    column.texts = merge(texts, bound, column.part_starts);
    column.prefixes = merge_prefixes(prefixes, column.texts.size());
    stores[0].columns.push_back({index_, std::move(column)});
    return stores;
  }

 private:
  // Writes the leading numbers into the matrix and returns the first row
  // that is not one: there the column turns to text.
  std::size_t numbers_until_text() {
    const std::size_t n = m_.rows;
    for (std::size_t r = 0; r < n; ++r) {
      prefetch_object(col_, r + kCellsAhead, n);
      PyObject* o = col_.at(r);
      if (auto v = plain_value(o)) {
        m_.at(r, index_) = *v;
      } else if (PyUnicode_CheckExact(o) || o == Py_None) {
        return r;  // neither has a float value
      } else {
        fail();
        return n;
      }
      if (r % kFailureCheck == 0 && failed_.load(std::memory_order_relaxed)) return n;
    }
    return n;
  }

  bool read_texts(TextColumnBuilder& builder, std::size_t from, std::size_t to) {
    const std::size_t n = m_.rows;
    bool far = builder.lookups_far();
    bool keys_far = builder.keys_far();
    bool contents = builder.reads_contents();
    bool by_content = builder.by_content_alone();
    bool appending = builder.appends();
    // Bands of rows, after each a look at whether another column failed and
    // at what the builder's state now calls for.
    for (std::size_t r = from; r < to;) {
      const std::size_t end = std::min(to, (r / kFailureCheck + 1) * kFailureCheck);
      // Repeats of objects seen before, and later of texts seen before, are
      // taken as runs, their slots fetched ahead where the index is far; the
      // cell a run stops at goes the way of every other cell, and a run is
      // tried again after it.
      while (r < end) {
        if (!contents) {
          r = far ? builder.add_seen_run<kSlotsAhead>(col_, r, end, n) : builder.add_seen_run<0>(col_, r, end, n);
          if (r == end) break;
        } else if (by_content) {
          r = !far       ? builder.add_str_run<0, 0>(col_, r, end, n)
              : keys_far ? builder.add_str_run<kSlotsAhead, kRecordsAhead>(col_, r, end, n)
                         : builder.add_str_run<kSlotsAhead, 0>(col_, r, end, n);
          if (r == end) break;
        }
        if (contents) {
          if (r + kCellsAhead < n) prefetch_str(col_.at(r + kCellsAhead));
        } else {
          prefetch_object(col_, r + kCellsAhead, n);
        }
        if (far && r + kSlotsAhead < n) builder.prefetch(col_.at(r + kSlotsAhead), kSlotsAhead);
        if (keys_far && r + kRecordsAhead < n) builder.prefetch_record(col_.at(r + kRecordsAhead), kRecordsAhead);
        PyObject* o = col_.at(r);
        char buf[kIntTextMax];
        // The steady state of a column of mostly distinct strs, taken inline.
        if (!(appending && builder.append_str(o)) && !builder.add_if_seen(o)) {
          if (!PyUnicode_CheckExact(o) && !plain_text(o, buf)) {
            fail();
            return false;
          }
          builder.add_unseen(o);
        }
        ++r;
      }
      if (failed_.load(std::memory_order_relaxed)) return false;
      far = builder.lookups_far();
      keys_far = builder.keys_far();
      contents = builder.reads_contents();
      by_content = builder.by_content_alone();
      appending = builder.appends();
    }
    return true;
  }

  void fail() { failed_.store(true, std::memory_order_relaxed); }

  std::size_t part_count(std::size_t rows) const {
    const std::size_t threads = static_cast<std::size_t>(pool().max_concurrency());
    if (columns_ >= threads) return 1;
    const std::size_t parts = rows / kPartRows;
    return parts < 1 ? 1 : parts < threads ? parts : threads;
  }

  // One list of entries for the column: each part's after those of the
  // parts before it. A part's rows keep naming entries of its own list, and
  // `starts` tells where each part's entries now begin; the codes are
  // written with that in mind, so the rows need no pass of their own here.
  template <class Bound>
  std::vector<std::string_view> merge(std::vector<std::vector<std::string_view>>& texts, Bound&& bound,
                                      std::vector<TextColumn::PartStart>& starts) {
    std::vector<std::string_view> all = std::move(texts[0]);
    std::size_t total = all.size();
    for (std::size_t k = 1; k < texts.size(); ++k) total += texts[k].size();
    all.reserve(total);  // mostly distinct texts: done already
    for (std::size_t k = 1; k < texts.size(); ++k) {
      starts.push_back({bound(k), static_cast<std::uint32_t>(all.size())});
      all.insert(all.end(), texts[k].begin(), texts[k].end());
    }
    return all;
  }

  // The parts' prefixes, in the order of their entries, if every part kept
  // them.
  static UnfilledVector<std::uint64_t> merge_prefixes(std::vector<UnfilledVector<std::uint64_t>>& prefixes,
                                                      std::size_t entries) {
    std::size_t total = 0;
    for (const auto& p : prefixes) total += p.size();
    if (total != entries) return {};
    UnfilledVector<std::uint64_t> all = std::move(prefixes[0]);
    all.reserve(total);
    for (std::size_t k = 1; k < prefixes.size(); ++k) all.insert(all.end(), prefixes[k].begin(), prefixes[k].end());
    return all;
  }

  ObjectColumnView col_;
  std::size_t index_;
  Matrix& m_;
  std::atomic<bool>& failed_;
  std::size_t columns_;
};

// An Arrow string column, read as `values` would give its cells: a str for
// each valid row and the float NaN for each null. NaN is a float, so the
// column stays numeric until its first valid row; later nulls read as the
// text "nan". The texts are viewed where Arrow holds them.
CellTexts read_arrow_column(const std::vector<ArrowTextChunk>& chunks, std::size_t col, Matrix& m) {
  CellTexts store;
  std::optional<TextColumnBuilder> text;
  TextColumn column;
  std::size_t r = 0;
  for (const ArrowTextChunk& chunk : chunks) {
    for (std::size_t i = 0; i < chunk.length; ++i, ++r) {
      const std::size_t k = chunk.offset + i;
      const bool valid = chunk.valid(k);
      if (!text) {
        if (!valid) {
          m.at(r, col) = std::numeric_limits<double>::quiet_NaN();
          continue;
        }
        column.rows = m.rows;
        text.emplace(store, m.rows, &m.at(0, col), m.row_step());
        for (std::size_t j = 0; j < r; ++j) text->add_number(m.at(j, col));
      }
      text->add_text(valid ? chunk.bytes(k) : std::string_view("nan"));
    }
  }
  if (text) {
    column.entries_are_rows = text->rows_in_order();
    column.texts = text->finish();
    store.columns.push_back({col, std::move(column)});
  }
  return store;
}

// Encodes the column just read into `stores`, on the same worker: it need
// not wait for the slowest of the other columns to be read, and its views go
// as soon as its dictionary holds the texts.
void encode_read(std::vector<CellTexts>& stores, Matrix& m, const std::atomic<bool>& failed) {
  if (stores.empty() || failed.load(std::memory_order_relaxed)) return;
  CellTexts& first = stores[0];
  for (PendingColumn& c : first.columns) {
    first.encoded.push_back(encode_text_column(c, SendPtr{m.begin()}, m.row_step(), m.col_step()));
  }
  first.columns.clear();
}

}  // namespace

std::optional<std::vector<CellTexts>> read_on_pool(const std::vector<PoolColumn>& columns, Matrix& m,
                                                   std::span<const std::function<void()>> alongside) {
  std::vector<std::vector<CellTexts>> stores(columns.size());
  std::atomic<bool> failed{false};
  auto take_up = [&](std::size_t j) {
    const PoolColumn& c = columns[j];
    if (c.arrow != nullptr) {
      stores[j].push_back(read_arrow_column(*c.arrow, c.index, m));
    } else {
      stores[j] = ColumnReader(c, m, failed, columns.size()).read();
    }
    encode_read(stores[j], m, failed);
  };
  // With more columns a worker, the one taken up last is a smaller share of
  // the work; in a short column, looking at the cells costs more than their
  // order saves.
  const std::size_t threads = static_cast<std::size_t>(pool().max_concurrency());
  const bool ordered =
      columns.size() > threads && columns.size() <= kOrderedColumns * threads && m.rows >= kPartRows;
  const std::vector<std::size_t> order = ordered ? costliest_first(columns, m.rows) : std::vector<std::size_t>();
  // Task t past the columns is alongside[t - columns.size()].
  const std::size_t tasks = columns.size() + alongside.size();
  auto run = [&](std::size_t t) {
    if (t < columns.size()) {
      take_up(ordered ? order[t] : t);
    } else {
      alongside[t - columns.size()]();
    }
  };
  run_in_pool([&] {
    if (!ordered) {
      tbb::parallel_for(std::size_t{0}, tasks, run);
      return;
    }
    // Each worker takes up the next column in order as it finishes one.
    std::atomic<std::size_t> next{0};
    tbb::parallel_for(std::size_t{0}, threads, [&](std::size_t) {
      for (std::size_t t; (t = next.fetch_add(1, std::memory_order_relaxed)) < tasks;) run(t);
    });
  });
  if (failed.load()) return std::nullopt;
  std::vector<CellTexts> all;
  for (auto& column_stores : stores) {
    for (CellTexts& s : column_stores) all.push_back(std::move(s));
  }
  return all;
}

}  // namespace dorvik
