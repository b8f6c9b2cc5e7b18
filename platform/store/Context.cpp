#include "platform/store/Context.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <unordered_map>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"

namespace platform::store {

using platform::foundation::Error;
using platform::foundation::Exception;
using platform::foundation::FileManager;
using platform::foundation::Value;

namespace {

constexpr const char* kPrimaryKey = "_pk";
constexpr const char* kMetadataTable = "_metadata";
constexpr const char* kIDScheme = "qmstore://";
const char* const kCompanionSuffixes[] = {"-wal", "-shm", "-journal"};

std::string quote(const std::string& identifier) {
    std::string q = "\"";
    for (char c : identifier) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

const char* columnType(AttributeType type) {
    switch (type) {
    case AttributeType::Integer64: return "INTEGER";
    case AttributeType::String: return "TEXT";
    case AttributeType::Date: return "REAL";
    case AttributeType::Binary:
    case AttributeType::Transformable: return "BLOB";
    }
    return "BLOB";
}

std::string randomHex(size_t bytes) {
    std::random_device rd;
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < bytes; ++i) {
        unsigned b = rd() & 0xFF;
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

Error sqliteError(sqlite3* db, int rc, const std::string& what) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    Value info = Value(Value::Dictionary{});
    info[platform::foundation::kLocalizedDescriptionKey] = what + ": " + message;
    info["NSSQLiteErrorDomain"] = int64_t(rc);
    return Error(kSQLiteErrorDomain, rc, std::move(info));
}

Error cocoaError(int64_t code, const std::string& description) {
    return Error::withDescription(platform::foundation::kCocoaErrorDomain, code, description);
}

bool isCorruption(int rc) {
    int primary = rc & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

[[noreturn]] void unknownKey(const std::string& entity, const std::string& key) {
    Exception::raise(kUnknownKeyException, "the entity " + entity + " is not key value coding-compliant for the key \"" +
                                               key + "\"");
}

}  // namespace

// Prepared statements, kept for the life of the connection.
struct Context::Impl {
    std::unordered_map<std::string, sqlite3_stmt*> statements;

    void finalizeAll() {
        for (auto& [sql, stmt] : statements) sqlite3_finalize(stmt);
        statements.clear();
    }
};

namespace {

// A cached statement, reset and unbound when the scope ends.
class Statement {
public:
    Statement(sqlite3* db, Context::Impl& impl, const std::string& sql) : db_(db) {
        auto it = impl.statements.find(sql);
        if (it != impl.statements.end()) {
            stmt_ = it->second;
        } else {
            rc_ = sqlite3_prepare_v2(db, sql.c_str(), int(sql.size()), &stmt_, nullptr);
            if (rc_ == SQLITE_OK) impl.statements.emplace(sql, stmt_);
            else stmt_ = nullptr;
        }
    }
    ~Statement() {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    explicit operator bool() const { return stmt_ != nullptr; }
    int prepareResult() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }
    int step() { return sqlite3_step(stmt_); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// Binds `value` as the given attribute type; false when the value's kind does
// not fit the attribute.
bool bindValue(sqlite3_stmt* stmt, int index, AttributeType type, const Value& value) {
    if (value.isNull()) return sqlite3_bind_null(stmt, index) == SQLITE_OK;
    switch (type) {
    case AttributeType::Integer64:
        if (!value.isNumber()) return false;
        return sqlite3_bind_int64(stmt, index, value.intValue()) == SQLITE_OK;
    case AttributeType::String:
        if (!value.isString()) return false;
        return sqlite3_bind_text(stmt, index, value.string().data(), int(value.string().size()), SQLITE_TRANSIENT) ==
               SQLITE_OK;
    case AttributeType::Date:
        if (!value.isDate()) return false;
        return sqlite3_bind_double(stmt, index, value.dateValue()) == SQLITE_OK;
    case AttributeType::Binary:
        if (!value.isData()) return false;
        return sqlite3_bind_blob(stmt, index, value.data().data(), int(value.data().size()), SQLITE_TRANSIENT) ==
               SQLITE_OK;
    case AttributeType::Transformable: {
        Value::Data archived = value.toBinaryPropertyList();
        return sqlite3_bind_blob(stmt, index, archived.data(), int(archived.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    }
    }
    return false;
}

// Binds a predicate operand: dates compare as seconds, numbers as numbers.
void bindOperand(sqlite3_stmt* stmt, int index, const Value& value) {
    switch (value.type()) {
    case Value::Type::Null: sqlite3_bind_null(stmt, index); break;
    case Value::Type::Bool:
    case Value::Type::Integer: sqlite3_bind_int64(stmt, index, value.intValue()); break;
    case Value::Type::Real: sqlite3_bind_double(stmt, index, value.doubleValue()); break;
    case Value::Type::Date: sqlite3_bind_double(stmt, index, value.dateValue()); break;
    case Value::Type::String:
        sqlite3_bind_text(stmt, index, value.string().data(), int(value.string().size()), SQLITE_TRANSIENT);
        break;
    case Value::Type::Data:
        sqlite3_bind_blob(stmt, index, value.data().data(), int(value.data().size()), SQLITE_TRANSIENT);
        break;
    default: {
        Value::Data archived = value.toBinaryPropertyList();
        sqlite3_bind_blob(stmt, index, archived.data(), int(archived.size()), SQLITE_TRANSIENT);
    }
    }
}

Value columnValue(sqlite3_stmt* stmt, int column, AttributeType type) {
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return Value();
    switch (type) {
    case AttributeType::Integer64: return Value(int64_t(sqlite3_column_int64(stmt, column)));
    case AttributeType::String: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        return Value(std::string(text, size_t(sqlite3_column_bytes(stmt, column))));
    }
    case AttributeType::Date: return Value::date(sqlite3_column_double(stmt, column));
    case AttributeType::Binary:
    case AttributeType::Transformable: {
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, column));
        Value::Data data(bytes, bytes + sqlite3_column_bytes(stmt, column));
        if (type == AttributeType::Binary) return Value(std::move(data));
        // An archive that no longer reads is left out rather than failing the fetch.
        auto decoded = Value::fromPropertyList(data);
        return decoded ? *decoded : Value();
    }
    }
    return Value();
}

const char* opText(Comparison::Op op) {
    switch (op) {
    case Comparison::Op::Equal: return " = ";
    case Comparison::Op::NotEqual: return " <> ";
    case Comparison::Op::Less: return " < ";
    case Comparison::Op::LessOrEqual: return " <= ";
    case Comparison::Op::Greater: return " > ";
    case Comparison::Op::GreaterOrEqual: return " >= ";
    }
    return " = ";
}

// Moves the store file and its companions aside; the destination keeps them
// openable together.
std::string moveAside(const std::string& path) {
    return FileManager::moveAside(path, std::vector<std::string>(std::begin(kCompanionSuffixes),
                                                                 std::end(kCompanionSuffixes)));
}

std::string readHead(const std::string& path, size_t size) {
    std::string head;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        head.resize(size);
        head.resize(std::fread(head.data(), 1, size, f));
        std::fclose(f);
    }
    return head;
}

uint32_t bigEndian32(const std::string& bytes, size_t at) {
    return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
           uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
}

// A file that exists and begins otherwise than an SQLite database.
bool isNotADatabase(const std::string& path) {
    auto attributes = FileManager::attributes(path);
    if (!attributes || attributes->isDirectory || attributes->size == 0) return false;
    std::string header = readHead(path, 16);
    return header.size() == 16 && header != std::string("SQLite format 3\0", 16);
}

// A log header SQLite would accept: magic, format, page size and the
// checksum of its first 24 bytes. An empty log is sound.
bool walHeaderIsSound(const std::string& path) {
    auto attributes = FileManager::attributes(path);
    if (!attributes || attributes->size == 0) return true;
    std::string head = readHead(path, 32);
    if (head.size() < 32) return false;
    uint32_t magic = bigEndian32(head, 0), pageSize = bigEndian32(head, 8);
    if ((magic & ~1u) != 0x377f0682u || bigEndian32(head, 4) != 3007000u) return false;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1))) return false;
    // The checksum's words are big-endian when the magic's low bit is set.
    auto word = [&](size_t at) {
        uint32_t v = bigEndian32(head, at);
        return (magic & 1) ? v : __builtin_bswap32(v);
    };
    uint32_t s1 = 0, s2 = 0;
    for (size_t at = 0; at < 24; at += 8) {
        s1 += word(at) + s2;
        s2 += word(at + 4) + s1;
    }
    return s1 == bigEndian32(head, 24) && s2 == bigEndian32(head, 28);
}

// The index begins with a version number and an "initialised" flag, both
// written in the machine's order; zeros mean not yet set up.
bool shmHeaderIsSound(const std::string& path) {
    auto attributes = FileManager::attributes(path);
    if (!attributes || attributes->size == 0) return true;
    std::string head = readHead(path, 13);
    if (head.size() < 13) return false;
    uint32_t version;
    std::memcpy(&version, head.data(), sizeof version);
    uint8_t initialised = uint8_t(head[12]);
    return (version == 0 || version == 3007000u) && initialised <= 1;
}

}  // namespace

std::string setAsideDamagedLogFiles(const std::string& path) {
    std::vector<std::string> damaged;
    if (!walHeaderIsSound(path + "-wal")) {
        // The index describes the log it came with: it goes along.
        damaged = {path + "-wal", path + "-shm"};
    } else if (!shmHeaderIsSound(path + "-shm")) {
        damaged = {path + "-shm"};
    }
    std::string report;
    for (const auto& file : damaged) {
        if (!FileManager::exists(file)) continue;
        std::string aside = FileManager::moveAside(file);
        if (aside.empty()) continue;
        report += (report.empty() ? "damaged " : "; ") + file + " moved to " + aside;
    }
    return report;
}

Context::Context(ObjectModel model) : model_(std::move(model)), impl_(std::make_unique<Impl>()) {}

Context::~Context() { close(); }

void Context::close() {
    if (!db_) return;
    if (inTransaction_) rollback();
    impl_->finalizeAll();
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool Context::addStore(const std::string& path, Error* error, Error* corruption) {
    close();
    path_ = path;

    // One attempt: open, check, set up the schema. Answers the SQLite code of the
    // first failure and leaves the connection closed on failure.
    auto attempt = [&](Error* failure) -> int {
        // A file that does not even begin like a database is set aside before
        // SQLite sees it: SQLite would discard the companion journal it finds.
        if (isNotADatabase(path)) {
            if (failure) *failure = sqliteError(nullptr, SQLITE_NOTADB, "not a database: " + path);
            return SQLITE_NOTADB;
        }
        FileManager::preparePrivateFile(path);  // the stored data is the user's own
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        auto fail = [&](int code, const std::string& what) {
            if (failure) *failure = sqliteError(db, code, what + " " + path);
            sqlite3_close_v2(db);
            return code == SQLITE_OK ? SQLITE_ERROR : code;
        };
        if (rc != SQLITE_OK) return fail(rc, "cannot open");
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, 5000);
        if (sqlite3_db_readonly(db, "main") == 1) return fail(SQLITE_READONLY, "read-only store");

        auto exec = [&](const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); };
        // The first read of the file tells whether it is a database at all.
        if ((rc = exec("PRAGMA journal_mode=WAL")) != SQLITE_OK) return fail(rc, "cannot read");
        sqlite3_stmt* check = nullptr;
        rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr);
        if (rc != SQLITE_OK) return fail(rc, "cannot check");
        std::string verdict;
        while ((rc = sqlite3_step(check)) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
            if (text && verdict.size() < 512) verdict += std::string(verdict.empty() ? "" : "; ") + text;
        }
        sqlite3_finalize(check);
        if (rc != SQLITE_DONE) return fail(rc, "cannot check");
        if (verdict != "ok") {
            if (failure) {
                *failure = Error(kSQLiteErrorDomain, SQLITE_CORRUPT,
                                 Value(Value::Dictionary{{platform::foundation::kLocalizedDescriptionKey,
                                                          Value("integrity check failed for " + path + ": " + verdict)}}));
            }
            sqlite3_close_v2(db);
            return SQLITE_CORRUPT;
        }
        // Commits survive a killed process; the WAL is synced at checkpoints.
        exec("PRAGMA synchronous=NORMAL");

        std::string schema = "BEGIN IMMEDIATE;";
        schema += "CREATE TABLE IF NOT EXISTS " + quote(kMetadataTable) + " (key TEXT PRIMARY KEY, value TEXT);";
        schema += "INSERT OR IGNORE INTO " + quote(kMetadataTable) + " VALUES ('uuid', '" + randomHex(16) + "');";
        for (const auto& entity : model_.entities) {
            schema += "CREATE TABLE IF NOT EXISTS " + quote(entity.name) + " (" + quote(kPrimaryKey) +
                      " INTEGER PRIMARY KEY AUTOINCREMENT";
            for (const auto& a : entity.properties) schema += ", " + quote(a.name) + " " + columnType(a.type);
            schema += ");";
            for (const auto& a : entity.properties) {
                if (!a.indexed) continue;
                schema += "CREATE INDEX IF NOT EXISTS " + quote(entity.name + "_" + a.name) + " ON " +
                          quote(entity.name) + " (" + quote(a.name) + ");";
            }
        }
        if ((rc = exec(schema)) != SQLITE_OK) {
            exec("ROLLBACK");
            return fail(rc, "cannot set up");
        }
        // Attributes added to a model since the file was made become new columns.
        for (const auto& entity : model_.entities) {
            for (const auto& a : entity.properties) {
                sqlite3_stmt* probe = nullptr;
                std::string sql = "SELECT 1 FROM pragma_table_info(?) WHERE name = ?";
                sqlite3_prepare_v2(db, sql.c_str(), -1, &probe, nullptr);
                sqlite3_bind_text(probe, 1, entity.name.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_text(probe, 2, a.name.c_str(), -1, SQLITE_TRANSIENT);
                bool present = sqlite3_step(probe) == SQLITE_ROW;
                sqlite3_finalize(probe);
                if (!present &&
                    (rc = exec("ALTER TABLE " + quote(entity.name) + " ADD COLUMN " + quote(a.name) + " " +
                               columnType(a.type))) != SQLITE_OK) {
                    exec("ROLLBACK");
                    return fail(rc, "cannot add column");
                }
            }
        }
        if ((rc = exec("COMMIT")) != SQLITE_OK) {
            exec("ROLLBACK");
            return fail(rc, "cannot set up");
        }
        sqlite3_stmt* uuid = nullptr;
        sqlite3_prepare_v2(db, ("SELECT value FROM " + quote(kMetadataTable) + " WHERE key = 'uuid'").c_str(), -1,
                           &uuid, nullptr);
        if (sqlite3_step(uuid) == SQLITE_ROW) storeUUID_ = reinterpret_cast<const char*>(sqlite3_column_text(uuid, 0));
        sqlite3_finalize(uuid);
        db_ = db;
        return SQLITE_OK;
    };

    // (A file that is no database at all takes its log files along instead.)
    if (std::string moved = isNotADatabase(path) ? "" : setAsideDamagedLogFiles(path); !moved.empty() && corruption) {
        *corruption = Error(kSQLiteErrorDomain, SQLITE_CORRUPT,
                            Value(Value::Dictionary{{platform::foundation::kLocalizedDescriptionKey, Value(moved)}}));
    }
    Error failure;
    int rc = attempt(&failure);
    if (rc == SQLITE_OK) return true;
    if (!isCorruption(rc)) {
        if (error) *error = failure;
        return false;
    }
    // Damaged: keep the bytes for later inspection, start over with an empty file.
    std::string aside = moveAside(path);
    if (corruption) {
        *corruption = failure;
        corruption->userInfo["movedAsidePath"] = aside;
    }
    rc = attempt(&failure);
    if (rc == SQLITE_OK) return true;
    if (error) *error = failure;
    return false;
}

namespace {

struct ParsedID {
    std::string entity;
    int64_t row = 0;
};

std::optional<ParsedID> parseID(const ObjectID& id, const std::string& storeUUID) {
    std::string prefix = std::string(kIDScheme) + storeUUID + "/";
    if (id.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    std::string rest = id.substr(prefix.size());
    auto slash = rest.rfind("/p");
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    ParsedID parsed;
    parsed.entity = rest.substr(0, slash);
    try {
        size_t used = 0;
        parsed.row = std::stoll(rest.substr(slash + 2), &used);
        if (used != rest.size() - slash - 2) return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
    return parsed;
}

}  // namespace

std::optional<ObjectID> Context::insert(const std::string& entityName, const Value::Dictionary& values, Error* error) {
    const EntityDescription* entity = model_.entity(entityName);
    if (!entity) unknownKey(entityName, "entity");
    for (const auto& [key, value] : values) {
        if (!entity->attribute(key)) unknownKey(entityName, key);
    }
    if (!db_) {
        if (error) *error = cocoaError(kPersistentStoreSaveError, "This context has no persistent store");
        return std::nullopt;
    }
    for (const auto& a : entity->properties) {
        auto it = values.find(a.name);
        if (!a.optional && (it == values.end() || it->second.isNull())) {
            if (error)
                *error = cocoaError(kValidationMissingMandatoryPropertyError, "\"" + a.name + "\" is a required value.");
            return std::nullopt;
        }
    }
    std::string sql = "INSERT INTO " + quote(entityName) + " (";
    std::string params;
    for (size_t i = 0; i < entity->properties.size(); ++i) {
        sql += (i ? ", " : "") + quote(entity->properties[i].name);
        params += i ? ", ?" : "?";
    }
    sql += entity->properties.empty() ? ") DEFAULT VALUES" : ") VALUES (" + params + ")";
    if (entity->properties.empty()) sql = "INSERT INTO " + quote(entityName) + " DEFAULT VALUES";

    if (!inTransaction_) {
        int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            if (error) *error = sqliteError(db_, rc, "cannot begin");
            return std::nullopt;
        }
        inTransaction_ = true;
    }
    Statement stmt(db_, *impl_, sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot insert");
        return std::nullopt;
    }
    for (size_t i = 0; i < entity->properties.size(); ++i) {
        const auto& a = entity->properties[i];
        auto it = values.find(a.name);
        Value v = it == values.end() ? Value() : it->second;
        if (!bindValue(stmt.get(), int(i + 1), a.type, v)) {
            if (error) *error = cocoaError(kValidationValueTypeError, "wrong type of value for \"" + a.name + "\"");
            return std::nullopt;
        }
    }
    int rc = stmt.step();
    if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(db_, rc, "cannot insert");
        return std::nullopt;
    }
    return std::string(kIDScheme) + storeUUID_ + "/" + entityName + "/p" + std::to_string(sqlite3_last_insert_rowid(db_));
}

bool Context::update(const ObjectID& objectID, const Value::Dictionary& values, Error* error) {
    if (!db_) {
        if (error) *error = cocoaError(kPersistentStoreSaveError, "This context has no persistent store");
        return false;
    }
    auto parsed = parseID(objectID, storeUUID_);
    const EntityDescription* entity = parsed ? model_.entity(parsed->entity) : nullptr;
    if (!entity) {
        if (error) *error = cocoaError(kPersistentStoreSaveError, "not an object of this store: " + objectID);
        return false;
    }
    for (const auto& [key, value] : values) {
        const AttributeDescription* a = entity->attribute(key);
        if (!a) unknownKey(entity->name, key);
        if (!a->optional && value.isNull()) {
            if (error) *error = cocoaError(kValidationMissingMandatoryPropertyError, "\"" + key + "\" is a required value.");
            return false;
        }
    }
    if (values.empty()) return true;
    std::string sql = "UPDATE " + quote(entity->name) + " SET ";
    bool first = true;
    for (const auto& [key, value] : values) {
        sql += (first ? "" : ", ") + quote(key) + " = ?";
        first = false;
    }
    sql += " WHERE " + quote(kPrimaryKey) + " = ?";
    if (!inTransaction_) {
        int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            if (error) *error = sqliteError(db_, rc, "cannot begin");
            return false;
        }
        inTransaction_ = true;
    }
    Statement stmt(db_, *impl_, sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot update");
        return false;
    }
    int index = 1;
    for (const auto& [key, value] : values) {
        if (!bindValue(stmt.get(), index++, entity->attribute(key)->type, value)) {
            if (error) *error = cocoaError(kValidationValueTypeError, "wrong type of value for \"" + key + "\"");
            return false;
        }
    }
    sqlite3_bind_int64(stmt.get(), index, parsed->row);
    int rc = stmt.step();
    if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(db_, rc, "cannot update");
        return false;
    }
    return true;
}

std::optional<ManagedObject> Context::existingObject(const ObjectID& objectID, Error* error) {
    if (!db_) {
        if (error) *error = cocoaError(kPersistentStoreSaveError, "This context has no persistent store");
        return std::nullopt;
    }
    auto parsed = parseID(objectID, storeUUID_);
    const EntityDescription* entity = parsed ? model_.entity(parsed->entity) : nullptr;
    if (!entity) return std::nullopt;
    FetchRequest request(entity->name);
    request.where(kPrimaryKey, Comparison::Op::Equal, Value(parsed->row));
    auto rows = fetch(request, error);
    if (!rows || rows->empty()) return std::nullopt;
    return rows->front();
}

bool Context::deleteObject(const ObjectID& objectID, Error* error) {
    if (!db_) {
        if (error) *error = cocoaError(kPersistentStoreSaveError, "This context has no persistent store");
        return false;
    }
    auto parsed = parseID(objectID, storeUUID_);
    if (!parsed || !model_.entity(parsed->entity)) return true;
    if (!inTransaction_) {
        int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            if (error) *error = sqliteError(db_, rc, "cannot begin");
            return false;
        }
        inTransaction_ = true;
    }
    Statement stmt(db_, *impl_, "DELETE FROM " + quote(parsed->entity) + " WHERE " + quote(kPrimaryKey) + " = ?");
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot delete");
        return false;
    }
    sqlite3_bind_int64(stmt.get(), 1, parsed->row);
    int rc = stmt.step();
    if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(db_, rc, "cannot delete");
        return false;
    }
    return true;
}

namespace {

// " WHERE ..." for a request, checking every attribute against the entity.
std::string whereClause(const EntityDescription& entity, const FetchRequest& request) {
    std::string sql;
    for (size_t i = 0; i < request.predicate.size(); ++i) {
        const auto& c = request.predicate[i];
        if (c.attribute != kPrimaryKey && !entity.attribute(c.attribute)) unknownKey(entity.name, c.attribute);
        sql += (i ? " AND " : " WHERE ") + quote(c.attribute) + opText(c.op) + "?";
    }
    return sql;
}

}  // namespace

std::optional<std::vector<ManagedObject>> Context::fetch(const FetchRequest& request, Error* error) {
    const EntityDescription* entity = model_.entity(request.entityName);
    if (!entity) unknownKey(request.entityName, "entity");
    if (!db_) {
        if (error) *error = cocoaError(kPersistentStoreSaveError, "This context has no persistent store");
        return std::nullopt;
    }
    std::string sql = "SELECT " + quote(kPrimaryKey);
    if (request.includesPropertyValues) {
        for (const auto& a : entity->properties) sql += ", " + quote(a.name);
    }
    sql += " FROM " + quote(entity->name) + whereClause(*entity, request);
    sql += " ORDER BY ";
    for (const auto& s : request.sortDescriptors) {
        if (!entity->attribute(s.attribute)) unknownKey(entity->name, s.attribute);
        sql += quote(s.attribute) + (s.ascending ? " ASC, " : " DESC, ");
    }
    sql += quote(kPrimaryKey) + " ASC";
    if (request.fetchLimit) sql += " LIMIT " + std::to_string(request.fetchLimit);

    Statement stmt(db_, *impl_, sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot fetch");
        return std::nullopt;
    }
    for (size_t i = 0; i < request.predicate.size(); ++i) bindOperand(stmt.get(), int(i + 1), request.predicate[i].value);
    std::vector<ManagedObject> objects;
    std::string idPrefix = std::string(kIDScheme) + storeUUID_ + "/" + entity->name + "/p";
    int rc;
    while ((rc = stmt.step()) == SQLITE_ROW) {
        ManagedObject object;
        object.objectID = idPrefix + std::to_string(sqlite3_column_int64(stmt.get(), 0));
        object.entityName = entity->name;
        if (request.includesPropertyValues) {
            for (size_t i = 0; i < entity->properties.size(); ++i) {
                Value v = columnValue(stmt.get(), int(i + 1), entity->properties[i].type);
                if (!v.isNull()) object.values.emplace(entity->properties[i].name, std::move(v));
            }
        }
        objects.push_back(std::move(object));
    }
    if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(db_, rc, "cannot fetch");
        return std::nullopt;
    }
    return objects;
}

int64_t Context::count(const FetchRequest& request, Error* error) {
    const EntityDescription* entity = model_.entity(request.entityName);
    if (!entity) unknownKey(request.entityName, "entity");
    if (!db_) {
        if (error) *error = cocoaError(kPersistentStoreSaveError, "This context has no persistent store");
        return -1;
    }
    std::string sql = "SELECT COUNT(*) FROM " + quote(entity->name) + whereClause(*entity, request);
    Statement stmt(db_, *impl_, sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot count");
        return -1;
    }
    for (size_t i = 0; i < request.predicate.size(); ++i) bindOperand(stmt.get(), int(i + 1), request.predicate[i].value);
    int rc = stmt.step();
    if (rc != SQLITE_ROW) {
        if (error) *error = sqliteError(db_, rc, "cannot count");
        return -1;
    }
    int64_t n = sqlite3_column_int64(stmt.get(), 0);
    if (request.fetchLimit && n > int64_t(request.fetchLimit)) n = int64_t(request.fetchLimit);
    return n;
}

bool Context::save(Error* error) {
    if (!inTransaction_) return true;
    if (!db_) {
        inTransaction_ = false;
        if (error) *error = cocoaError(kPersistentStoreSaveError, "This context has no persistent store");
        return false;
    }
    int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        Error failure = sqliteError(db_, rc, "cannot save");
        // Some failures (a full disk) end the transaction; others leave it open
        // for a later try.
        if (sqlite3_get_autocommit(db_)) inTransaction_ = false;
        if (error) *error = failure;
        return false;
    }
    inTransaction_ = false;
    return true;
}

void Context::rollback() {
    if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    inTransaction_ = false;
}

}  // namespace platform::store
