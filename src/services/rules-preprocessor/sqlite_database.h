#pragma once
// A thin RAII layer over SQLite: one owner of the connection, prepared
// statements whose every use ends reset, a transaction guard, and numbered
// schema migrations counted in PRAGMA user_version.

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace talvoro::sqlite {

// A failed SQLite call. what() names the operation, SQLite's message and the
// database file; code() is SQLite's primary result code (SQLITE_FULL, ...).
class Error : public std::runtime_error {
 public:
  Error(const std::string& what, int extendedCode);

  int code() const { return extendedCode_ & 0xff; }
  int extendedCode() const { return extendedCode_; }
  // The file is no database, or its content contradicts itself.
  bool corrupt() const;

 private:
  int extendedCode_;
};

// The database was written by a newer build: its schema is unknown here.
class NewerSchema : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The one owner of a connection to a database file.
class Database {
 public:
  // Opens `path` for reading and writing, creating an empty database when
  // it is missing. Throws Error when it cannot be opened, or only for reading.
  explicit Database(std::string path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs `sql` (one or more statements), discarding any rows.
  void execute(const std::string& sql);
  // The first column of the first row of `sql`, as text; empty without a row.
  std::string queryText(const std::string& sql);

  int userVersion();

  bool inTransaction() const;
  const std::string& path() const { return path_; }
  sqlite3* handle() const { return db_; }

  // Throws the Error of the call `operation` that returned `code`.
  [[noreturn]] void fail(const std::string& operation, int code) const;

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

// A statement prepared once and used many times. Bound text and blobs must
// outlive the use they are bound in; nothing is copied.
class Statement {
 public:
  Statement(Database& db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // One use of the statement: parameters bound, rows stepped through. When it
  // ends, however, the statement is reset and its parameters cleared, so that
  // no read snapshot or lock outlives it.
  class Use {
   public:
    explicit Use(Statement& statement) : statement_(statement) {}
    ~Use();
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    // Parameters are numbered from 1.
    Use& bindText(int index, std::string_view text);
    Use& bindBlob(int index, std::string_view bytes);
    Use& bindInteger(int index, long long value);
    Use& bindNull(int index);

    // Steps to the next row: false when there is none.
    bool next();
    // Steps a statement that yields no rows to its end.
    void run();

    // Columns of the current row, numbered from 0. NULL reads as empty or 0.
    std::string text(int column) const;
    long long integer(int column) const;
    bool isNull(int column) const;

   private:
    Statement& statement_;
  };

  Use use() { return Use(*this); }

 private:
  Database& db_;
  sqlite3_stmt* statement_ = nullptr;
};

// BEGIN IMMEDIATE on construction, so that the write lock is held from the
// start; rolled back on destruction unless commit() went through.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Throws Error; the transaction is then rolled back.
  void commit();

 private:
  Database& db_;
  bool open_ = true;
};

// One step of the schema, from the version before it to the next.
using Migration = std::function<void(Database&)>;

// Brings the schema from its user_version to migrations.size(), each step in
// a transaction of its own that also sets the new version, so that a failed
// step leaves the schema at the version before it. Throws NewerSchema when the
// database's version is beyond the last step, Error when a step fails.
void migrate(Database& db, const std::vector<Migration>& migrations);

}  // namespace talvoro::sqlite
