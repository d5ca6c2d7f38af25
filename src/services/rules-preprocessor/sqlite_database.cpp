#include "sqlite_database.h"

#include <fmt/format.h>
#include <sqlite3.h>

namespace talvoro::sqlite {
namespace {

// How long a write waits for a lock that another process (an operator's
// sqlite3 shell) holds before it fails.
constexpr int kBusyTimeoutMs = 5000;

}  // namespace

Error::Error(const std::string& what, int extendedCode)
    : std::runtime_error(what), extendedCode_(extendedCode) {}

bool Error::corrupt() const { return code() == SQLITE_CORRUPT || code() == SQLITE_NOTADB; }

Database::Database(std::string path) : path_(std::move(path)) {
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  const int code = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
  if (code != SQLITE_OK) {
    // The handle carries the message; it is closed with this object's
    // destructor never running, so close it here.
    const Error error(fmt::format("opening {}: {}", path_,
                                  db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code)),
                      db_ != nullptr ? sqlite3_extended_errcode(db_) : code);
    sqlite3_close_v2(db_);
    throw error;
  }
  if (sqlite3_db_readonly(db_, "main") == 1) {
    sqlite3_close_v2(db_);
    throw Error(fmt::format("opening {}: {}", path_, sqlite3_errstr(SQLITE_READONLY)),
                SQLITE_READONLY);
  }
  // No statement of ours writes the schema by hand: refuse what could
  // corrupt the file (writable_schema, direct page writes).
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
}

Database::~Database() { sqlite3_close_v2(db_); }

void Database::fail(const std::string& operation, int code) const {
  const int extended = db_ != nullptr ? sqlite3_extended_errcode(db_) : code;
  const char* message = db_ != nullptr && extended == code ? sqlite3_errmsg(db_)
                                                           : sqlite3_errstr(code);
  throw Error(fmt::format("{} in {}: {}", operation, path_, message), code);
}

void Database::execute(const std::string& sql) {
  char* message = nullptr;
  const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (code != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errstr(code);
    sqlite3_free(message);
    throw Error(fmt::format("\"{}\" in {}: {}", sql, path_, text), code);
  }
}

std::string Database::queryText(const std::string& sql) {
  Statement statement(*this, sql);
  Statement::Use use = statement.use();
  return use.next() ? use.text(0) : std::string{};
}

int Database::userVersion() { return std::stoi(queryText("PRAGMA user_version")); }

bool Database::inTransaction() const { return sqlite3_get_autocommit(db_) == 0; }

Statement::Statement(Database& db, std::string_view sql) : db_(db) {
  const int code = sqlite3_prepare_v3(db.handle(), sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
  if (code != SQLITE_OK) {
    db.fail(fmt::format("preparing \"{}\"", sql), code);
  }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement::Use::~Use() {
  sqlite3_reset(statement_.statement_);
  sqlite3_clear_bindings(statement_.statement_);
}

namespace {

// Throws unless a bind call went through.
void requireBound(Database& db, sqlite3_stmt* statement, int index, int code) {
  if (code != SQLITE_OK) {
    db.fail(fmt::format("binding parameter {} of \"{}\"", index, sqlite3_sql(statement)), code);
  }
}

}  // namespace

Statement::Use& Statement::Use::bindText(int index, std::string_view text) {
  // A pointer that is never null, also for an empty view: NULL would bind NULL.
  const char* data = text.empty() ? "" : text.data();
  requireBound(statement_.db_, statement_.statement_, index,
               sqlite3_bind_text64(statement_.statement_, index, data, text.size(),
                                   SQLITE_STATIC, SQLITE_UTF8));
  return *this;
}

Statement::Use& Statement::Use::bindBlob(int index, std::string_view bytes) {
  const char* data = bytes.empty() ? "" : bytes.data();
  requireBound(statement_.db_, statement_.statement_, index,
               sqlite3_bind_blob64(statement_.statement_, index, data, bytes.size(),
                                   SQLITE_STATIC));
  return *this;
}

Statement::Use& Statement::Use::bindInteger(int index, long long value) {
  requireBound(statement_.db_, statement_.statement_, index,
               sqlite3_bind_int64(statement_.statement_, index, value));
  return *this;
}

Statement::Use& Statement::Use::bindNull(int index) {
  requireBound(statement_.db_, statement_.statement_, index,
               sqlite3_bind_null(statement_.statement_, index));
  return *this;
}

bool Statement::Use::next() {
  const int code = sqlite3_step(statement_.statement_);
  if (code == SQLITE_ROW) {
    return true;
  }
  if (code != SQLITE_DONE) {
    statement_.db_.fail(fmt::format("\"{}\"", sqlite3_sql(statement_.statement_)), code);
  }
  return false;
}

void Statement::Use::run() {
  while (next()) {
  }
}

std::string Statement::Use::text(int column) const {
  // Blobs and text alike: the bytes as stored, NUL bytes included.
  const void* data = sqlite3_column_blob(statement_.statement_, column);
  const int size = sqlite3_column_bytes(statement_.statement_, column);
  return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string{};
}

long long Statement::Use::integer(int column) const {
  return sqlite3_column_int64(statement_.statement_, column);
}

bool Statement::Use::isNull(int column) const {
  return sqlite3_column_type(statement_.statement_, column) == SQLITE_NULL;
}

Transaction::Transaction(Database& db) : db_(db) { db_.execute("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  // A failed COMMIT may have ended the transaction already.
  if (open_ && db_.inTransaction()) {
    sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void Transaction::commit() {
  db_.execute("COMMIT");
  open_ = false;
}

void migrate(Database& db, const std::vector<Migration>& migrations) {
  const int known = static_cast<int>(migrations.size());
  for (;;) {
    // Read under the write lock: the version is the one this step starts from.
    Transaction transaction(db);
    const int version = db.userVersion();
    if (version > known) {
      throw NewerSchema(fmt::format(
          "{} has schema version {}, written by a newer build; this one knows up to {}",
          db.path(), version, known));
    }
    if (version == known) {
      return;
    }
    migrations[static_cast<std::size_t>(version)](db);
    db.execute(fmt::format("PRAGMA user_version = {}", version + 1));
    transaction.commit();
  }
}

}  // namespace talvoro::sqlite
