// Reading table b-tree pages as SQLite lays them out: a page header (after
// the 100-byte file header on page 1) whose first byte is the page kind,
// the cell count at offset 3 and, on interior pages, the right-most child
// at offset 8; then an array of two-byte cell offsets. A table-interior
// cell starts with its four-byte child page; a table-leaf cell with the
// payload size and the key, both varints.
#include "measurement/storage/database/sqlite_page_keys_internal.h"

#include <algorithm>
#include <string>

#include "measurement/storage/database/sqlite_store_internal.h"

namespace sqlite_internal {
namespace {

constexpr unsigned char kTableInterior = 0x05;
constexpr unsigned char kTableLeaf = 0x0d;
constexpr int64_t kFileHeaderBytes = 100;
// Bytes past the page kept zero, so that a varint at the page's end reads
// on without a bound check at each byte.
constexpr size_t kPadding = 16;

uint32_t bigEndian(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// A varint of at most nine bytes, the ninth giving all its eight bits.
int64_t varint(const unsigned char* bytes) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value = (value << 7) | (bytes[i] & 0x7f);
    if (bytes[i] < 0x80) return static_cast<int64_t>(value);
  }
  return static_cast<int64_t>((value << 8) | bytes[8]);
}

// SQLite takes a page with more cells than this for damaged.
int64_t mostCells(int64_t pageSize) { return (pageSize - 8) / 6; }

class PageReader {
 public:
  PageReader(sqlite3* handle, int* result) {
    *result = SQLITE_OK;
    pageSize_ = pageSizeOf(handle);
    sqlite3_int64 bytes = 0;
    if (pageSize_ < 512 || pageSize_ > 65536 ||
        sqlite3_file_control(handle, "main", SQLITE_FCNTL_FILE_POINTER, &file_) != SQLITE_OK || !file_ ||
        !file_->pMethods || (*result = file_->pMethods->xFileSize(file_, &bytes)) != SQLITE_OK) {
      pageSize_ = 0;
      return;
    }
    pages_ = (bytes + pageSize_ - 1) / pageSize_;
    buffer_.assign(static_cast<size_t>(pageSize_) + kPadding, 0);
  }

  int64_t pageSize() const { return pageSize_; }
  int64_t pages() const { return pages_; }

  // The page's bytes, or null when it lies past the file; `*result` is set
  // when the read fails.
  const unsigned char* read(int64_t page, int* result) {
    const int read = file_->pMethods->xRead(file_, buffer_.data(), static_cast<int>(pageSize_),
                                            (page - 1) * pageSize_);
    // A short read is the file's end: SQLite fills the rest with zeros.
    if (read != SQLITE_OK && read != SQLITE_IOERR_SHORT_READ) {
      *result = read;
      return nullptr;
    }
    return buffer_.data();
  }

 private:
  sqlite3_file* file_ = nullptr;
  int64_t pageSize_ = 0;
  int64_t pages_ = 0;
  std::vector<unsigned char> buffer_;
};

}  // namespace

int64_t pageSizeOf(sqlite3* handle) {
  Statement size(handle, "PRAGMA page_size");
  return size.result() == SQLITE_OK && sqlite3_step(size.get()) == SQLITE_ROW ? sqlite3_column_int64(size.get(), 0) : 0;
}

int64_t mostRowsIn(sqlite3* handle) {
  // Not through PRAGMA page_size, which reads the schema, unmetered: at
  // most a cell per six bytes of a page, of every page (and at least of
  // one of the largest).
  sqlite3_file* file = nullptr;
  sqlite3_int64 bytes = 0;
  if (sqlite3_file_control(handle, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
      !file->pMethods || file->pMethods->xFileSize(file, &bytes) != SQLITE_OK) {
    bytes = 0;
  }
  return mostCells(std::max<int64_t>(bytes, 65536));
}

PageKeys rowidsUnderRoot(sqlite3* handle, int64_t rootPage, int* result) {
  PageKeys found;
  std::vector<int64_t>& keys = found.rowids;
  PageReader reader(handle, result);
  if (*result != SQLITE_OK || reader.pageSize() == 0) return found;
  const int64_t pageSize = reader.pageSize();
  const int64_t maxCells = mostCells(pageSize);
  // Pages are marked when queued: a page many pointers lead to is queued
  // once, so the queue never holds more than the file's pages.
  std::vector<bool> queued(static_cast<size_t>(reader.pages()) + 1, false);
  std::vector<int64_t> pending;
  const auto queue = [&](int64_t page) {
    if (page < 1 || page > reader.pages()) {
      found.strayPages = true;
    } else if (!queued[static_cast<size_t>(page)]) {
      queued[static_cast<size_t>(page)] = true;
      pending.push_back(page);
    }
  };
  queue(rootPage);
  while (!pending.empty()) {
    const int64_t page = pending.back();
    pending.pop_back();
    const unsigned char* bytes = reader.read(page, result);
    if (!bytes) return {};
    const int64_t header = page == 1 ? kFileHeaderBytes : 0;
    const unsigned char kind = bytes[header];
    if (kind != kTableInterior && kind != kTableLeaf) {
      found.strayPages = true;
      continue;
    }
    const int64_t cells = std::min<int64_t>(bigEndian(bytes + header + 3, 2), maxCells);
    const int64_t offsets = header + (kind == kTableLeaf ? 8 : 12);
    if (kind == kTableInterior) queue(bigEndian(bytes + header + 8, 4));
    if (kind == kTableLeaf) found.cells += cells;
    for (int64_t cell = 0; cell < cells && offsets + 2 * cell + 2 <= pageSize; ++cell) {
      // SQLite masks each offset into the page rather than check it.
      const unsigned char* at = bytes + (bigEndian(bytes + offsets + 2 * cell, 2) & (pageSize - 1));
      if (kind == kTableInterior) {
        queue(bigEndian(at, 4));
        continue;
      }
      // The payload size, skipped as a lookup skips it: to its last byte,
      // the first with the high bit clear, which must lie within the page.
      const unsigned char* end = bytes + pageSize;
      while (at < end && *at >= 0x80) ++at;
      if (at < end) keys.push_back(varint(at + 1));
    }
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return found;
}

}  // namespace sqlite_internal
