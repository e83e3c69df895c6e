// The rowids a damaged table may still hold, read from the file's own
// b-tree pages; used by the salvage, not part of the store's interface.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <vector>

namespace sqlite_internal {

// The keys found on a table's pages.
struct PageKeys {
  // Sorted, without repeats.
  std::vector<int64_t> rowids;
  // A page reached is no table b-tree page: its rows, if any, are lost.
  bool strayPages = false;
  // The cells of the leaves reached, each leaf counted once: no read that
  // visits each page at most once reads more rows of the table.
  int64_t cells = 0;
};

// Every key of every table-leaf cell on the pages reachable from
// `rootPage` through table-interior pages, following every child pointer.
// A lookup by rowid descends from the root along child pointers it reads
// and answers a row only where a leaf cell holds that key, so the keys
// found here include every rowid a lookup in the table can find, whatever
// pages are damaged, out of place or shared with another table; a scan
// gives no such promise. Keys of damaged cells come too: each must still
// be confirmed by a lookup.
//
// Pages are read through the connection's own file handle, so the caller
// holds a read transaction on `handle` (no writer may change the file, and
// a hot journal has been rolled back). Each page is read and queued at most
// once, and yields at most as many keys as SQLite allows cells on it: the
// work and the memory are bounded by the file's size, however many child
// pointers lead to one page. `*result` is SQLITE_OK, or
// the code of a read that failed (an I/O error: no verdict on the bytes).
PageKeys rowidsUnderRoot(sqlite3* handle, int64_t rootPage, int* result);

// The size of the pages SQLite reads the connection's main file in; 0 when
// it cannot tell.
int64_t pageSizeOf(sqlite3* handle);

// The most rows a table of the connection's main file can hold: SQLite
// allows a cell per six bytes of a page (at least a 64 KiB page's worth).
int64_t mostRowsIn(sqlite3* handle);

}  // namespace sqlite_internal
