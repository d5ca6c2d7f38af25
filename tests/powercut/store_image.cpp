#include "store_image.h"

#include <sqlite3.h>

#include <fmt/format.h>

#include <memory>
#include <stdexcept>

namespace powercut {
namespace {

using Connection = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;
using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw std::runtime_error(fmt::format("the state store: {}: {}", what, sqlite3_errmsg(db)));
}

std::string column(sqlite3_stmt* row, int index) {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(row, index));
  return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(row, index)))
               : std::string{};
}

// Calls `take` for every row of `sql`.
template <typename Take>
void query(sqlite3* db, const char* sql, Take take) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    fail(db, sql);
  }
  const Statement statement(raw, sqlite3_finalize);
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(raw)) == SQLITE_ROW) {
    take(raw);
  }
  if (step != SQLITE_DONE) {
    fail(db, sql);
  }
}

}  // namespace

StoreImage readStore(const std::string& path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const Connection db(raw, sqlite3_close);
  if (opened != SQLITE_OK) {
    fail(raw, "open " + path);
  }
  sqlite3_busy_timeout(raw, 5000);
  StoreImage image;
  query(raw, "SELECT hash FROM structure", [&](sqlite3_stmt* row) { image.structure = column(row, 0); });
  query(raw, "SELECT name, text, crc, structure, file FROM rules ORDER BY name",
        [&](sqlite3_stmt* row) {
          image.rules.push_back({column(row, 0), column(row, 1),
                                 static_cast<std::uint32_t>(sqlite3_column_int64(row, 2)),
                                 column(row, 3), column(row, 4)});
        });
  return image;
}

}  // namespace powercut
