#include "platform/store/Context.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

Error sqliteError(const std::string& message, int rc, const std::string& what) {
    Value info = Value(Value::Dictionary{});
    info[platform::foundation::kLocalizedDescriptionKey] = what + ": " + message;
    info["NSSQLiteErrorDomain"] = int64_t(rc);
    return Error(kSQLiteErrorDomain, rc, std::move(info));
}

Error sqliteError(const Database& db, int rc, const std::string& what) {
    return sqliteError(db.errorMessage(), rc, what);
}

Error cocoaError(int64_t code, const std::string& description) {
    return Error::withDescription(platform::foundation::kCocoaErrorDomain, code, description);
}

constexpr const char* kNoStoreDescription = "This context has no persistent store";

Error noStoreError() { return cocoaError(kPersistentStoreSaveError, kNoStoreDescription); }

[[noreturn]] void unknownKey(const std::string& entity, const std::string& key) {
    Exception::raise(kUnknownKeyException,
                     "the entity " + entity + " is not key value coding-compliant for the key \"" + key + "\"");
}

}  // namespace

namespace {

// Binds `value` as the given attribute type; false when the value's kind does
// not fit the attribute.
bool bindValue(Statement& stmt, int index, AttributeType type, const Value& value) {
    if (value.isNull()) return stmt.bindNull(index) == SQLITE_OK;
    switch (type) {
    case AttributeType::Integer64:
        if (!value.isNumber()) return false;
        return stmt.bindInt64(index, value.intValue()) == SQLITE_OK;
    case AttributeType::String:
        if (!value.isString()) return false;
        return stmt.bindText(index, value.string()) == SQLITE_OK;
    case AttributeType::Date:
        if (!value.isDate()) return false;
        return stmt.bindDouble(index, value.dateValue()) == SQLITE_OK;
    case AttributeType::Binary:
        if (!value.isData()) return false;
        return stmt.bindBlob(index, value.data().data(), value.data().size()) == SQLITE_OK;
    case AttributeType::Transformable: {
        Value::Data archived = value.toBinaryPropertyList();
        return stmt.bindBlob(index, archived.data(), archived.size()) == SQLITE_OK;
    }
    }
    return false;
}

// Binds a predicate operand: dates compare as seconds, numbers as numbers.
void bindOperand(Statement& stmt, int index, const Value& value) {
    switch (value.type()) {
    case Value::Type::Null: stmt.bindNull(index); break;
    case Value::Type::Bool:
    case Value::Type::Integer: stmt.bindInt64(index, value.intValue()); break;
    case Value::Type::Real: stmt.bindDouble(index, value.doubleValue()); break;
    case Value::Type::Date: stmt.bindDouble(index, value.dateValue()); break;
    case Value::Type::String: stmt.bindText(index, value.string()); break;
    case Value::Type::Data: stmt.bindBlob(index, value.data().data(), value.data().size()); break;
    default: {
        Value::Data archived = value.toBinaryPropertyList();
        stmt.bindBlob(index, archived.data(), archived.size());
    }
    }
}

Value columnValue(const Statement& stmt, int column, AttributeType type) {
    if (stmt.isNull(column)) return Value();
    switch (type) {
    case AttributeType::Integer64: return Value(stmt.int64Column(column));
    case AttributeType::String: return Value(stmt.textColumn(column));
    case AttributeType::Date: return Value::date(stmt.doubleColumn(column));
    case AttributeType::Binary:
    case AttributeType::Transformable: {
        std::string bytes = stmt.blobColumn(column);
        Value::Data data(bytes.begin(), bytes.end());
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
std::string moveAside(const std::string& path) { return setAside(path, companionSuffixes()); }

// The first `size` bytes of a regular file (fewer when it is shorter); none
// when it cannot be opened now (no descriptor left, no permission), which
// says nothing of its bytes.
std::optional<std::string> readHead(const std::string& path, size_t size) {
    const int fd = FileManager::openFile(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string head(size, '\0');
    size_t got = 0;
    struct stat st;
    bool readable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (readable && got < size) {
        const ssize_t n = ::pread(fd, head.data() + got, size - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            readable = n == 0;
            break;
        }
        got += size_t(n);
    }
    ::close(fd);
    if (!readable) return std::nullopt;
    head.resize(got);
    return head;
}

uint32_t bigEndian32(const std::string& bytes, size_t at) {
    return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
           uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
}

// A special file where the store belongs, or a file that exists and begins
// otherwise than an SQLite database. The special file is never opened.
bool isNotADatabase(const std::string& path) {
    if (isNotAStoreFile(path)) return true;
    auto attributes = FileManager::attributes(path);
    if (!attributes || attributes->isDirectory || attributes->size == 0) return false;
    const std::optional<std::string> header = readHead(path, 16);
    return header && header->size() == 16 && *header != std::string("SQLite format 3\0", 16);
}

// A log header SQLite would accept: magic, format, page size and the
// checksum of its first 24 bytes. An empty log is sound, and so is one that
// cannot be read now: SQLite cannot open it either, and the store stays closed.
bool walHeaderIsSound(const std::string& path) {
    auto attributes = FileManager::attributes(path);
    if (!attributes || attributes->size == 0) return true;
    const std::optional<std::string> bytes = readHead(path, 32);
    if (!bytes) return true;
    const std::string& head = *bytes;
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
    const std::optional<std::string> bytes = readHead(path, 13);
    if (!bytes) return true;
    const std::string& head = *bytes;
    if (head.size() < 13) return false;
    uint32_t version;
    std::memcpy(&version, head.data(), sizeof version);
    uint8_t initialised = uint8_t(head[12]);
    return (version == 0 || version == 3007000u) && initialised <= 1;
}

}  // namespace

bool setAsideDamagedCompanions(const std::string& path, std::string& report) {
    // No header is read before what is not a regular file has gone.
    if (!setAsideSpecialCompanions(path, report)) return false;
    std::vector<std::string> damaged;
    if (!walHeaderIsSound(path + "-wal")) {
        // The index describes the log it came with: it goes along.
        damaged = {path + "-wal", path + "-shm"};
    } else if (!shmHeaderIsSound(path + "-shm")) {
        damaged = {path + "-shm"};
    }
    std::string headers;
    bool moved = true;
    for (const auto& file : damaged) {
        if (!FileManager::isPresent(file)) continue;
        Error error;
        const std::string aside = setAside(file, {}, &error);
        // Opened beside the store, it would be discarded, and the commits in it with it.
        moved = moved && !aside.empty();
        headers += (headers.empty() ? "damaged " : "; ") + file +
                   (aside.empty() ? " cannot be moved aside: " + platform::foundation::reasonAbout(error, file)
                                 : " moved to " + aside);
    }
    if (!headers.empty()) report += (report.empty() ? "" : "; ") + headers;
    return moved;
}

namespace {

// One attempt at opening a store file, step by step. Each step answers the
// SQLite code of its failure (SQLITE_OK to go on) and says what failed in
// `failure`; a failed attempt leaves the connection closed.
class Opening {
public:
    Opening(const std::string& path, const ObjectModel& model, Error* failure)
        : path_(path), model_(model), failure_(failure) {}

    int run(Database& db, std::string& storeUUID) {
        int rc = open(db);
        if (rc == SQLITE_OK) rc = check(db);
        if (rc == SQLITE_OK) rc = setUpSchema(db);
        if (rc != SQLITE_OK) {
            db.close();
            return rc;
        }
        storeUUID = readUUID(db);
        return SQLITE_OK;
    }

private:
    int fail(const Database& db, int rc, const std::string& what) {
        if (failure_) *failure_ = sqliteError(db, rc, what + " " + path_);
        return rc == SQLITE_OK ? SQLITE_ERROR : rc;
    }

    int open(Database& db) {
        // A file that does not even begin like a database is set aside before
        // SQLite sees it: SQLite would discard the companion journal it finds.
        if (isNotADatabase(path_)) {
            if (failure_)
                *failure_ = sqliteError(sqlite3_errstr(SQLITE_NOTADB), SQLITE_NOTADB, "not a database: " + path_);
            return SQLITE_NOTADB;
        }
        FileManager::preparePrivateFile(path_);  // the stored data is the user's own
        int rc = db.open(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW);
        if (rc != SQLITE_OK) return fail(db, rc, "cannot open");
        sqlite3_extended_result_codes(db.handle(), 1);
        sqlite3_busy_timeout(db.handle(), kBusyTimeoutMs);
        if (sqlite3_db_readonly(db.handle(), "main") == 1) return fail(db, SQLITE_READONLY, "read-only store");
        return SQLITE_OK;
    }

    int check(Database& db) {
        // The first read of the file tells whether it is a database at all.
        int rc = db.exec("PRAGMA journal_mode=WAL");
        if (rc != SQLITE_OK) return fail(db, rc, "cannot read");
        std::string verdict;
        if ((rc = db.quickCheck(verdict)) != SQLITE_OK) return fail(db, rc, "cannot check");
        if (verdict != "ok") {
            if (failure_) {
                *failure_ =
                    Error(kSQLiteErrorDomain, SQLITE_CORRUPT,
                          Value(Value::Dictionary{{platform::foundation::kLocalizedDescriptionKey,
                                                   Value("integrity check failed for " + path_ + ": " + verdict)}}));
            }
            return SQLITE_CORRUPT;
        }
        // Commits survive a killed process; the WAL is synced at checkpoints.
        db.exec("PRAGMA synchronous=NORMAL");
        return SQLITE_OK;
    }

    // A table per entity, in one transaction with the columns added to the
    // model since the file was made.
    int setUpSchema(Database& db) {
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
        const char* what = "cannot set up";
        int rc = db.exec(schema);
        if (rc == SQLITE_OK) rc = addMissingColumns(db, what);
        if (rc == SQLITE_OK) rc = db.exec("COMMIT");
        if (rc == SQLITE_OK) return SQLITE_OK;
        // Said before the rollback replaces SQLite's message.
        fail(db, rc, what);
        db.exec("ROLLBACK");
        // A plain SQL error here is a file whose tables this model can never
        // take (another program's, or one a failed write left half made): it
        // is kept aside like damage, or the store would stay closed for good.
        if ((rc & 0xff) == SQLITE_ERROR) {
            if (failure_) failure_->code = SQLITE_CORRUPT;
            return SQLITE_CORRUPT;
        }
        return rc;
    }

    int addMissingColumns(Database& db, const char*& what) {
        for (const auto& entity : model_.entities) {
            for (const auto& a : entity.properties) {
                int rc = probeColumn(db, entity.name, a.name);
                if (rc == SQLITE_ROW) continue;
                if (rc != SQLITE_DONE) {
                    what = "cannot read the columns of";
                    return rc;
                }
                rc = db.exec("ALTER TABLE " + quote(entity.name) + " ADD COLUMN " + quote(a.name) + " " +
                             columnType(a.type));
                if (rc != SQLITE_OK) {
                    what = "cannot add column";
                    return rc;
                }
            }
        }
        return SQLITE_OK;
    }

    // SQLITE_ROW when `table` has `column`, SQLITE_DONE when it has not; a
    // question that could not be answered is no missing column.
    static int probeColumn(Database& db, const std::string& table, const std::string& column) {
        Statement probe = db.prepare("SELECT 1 FROM pragma_table_info(?) WHERE name = ?");
        if (!probe) return probe.prepareResult();
        probe.bindText(1, table);
        probe.bindText(2, column);
        return probe.step();
    }

    std::string readUUID(Database& db) {
        Statement uuid = db.prepare("SELECT value FROM " + quote(kMetadataTable) + " WHERE key = 'uuid'");
        return uuid.step() == SQLITE_ROW ? uuid.textColumn(0) : std::string();
    }

    const std::string& path_;
    const ObjectModel& model_;
    Error* failure_;
};

}  // namespace

bool isNoStoreError(const Error& error) {
    return error.domain == platform::foundation::kCocoaErrorDomain && error.code == kPersistentStoreSaveError &&
           error.localizedDescription() == kNoStoreDescription;
}

Context::Context(ObjectModel model) : model_(std::move(model)) {}

Context::~Context() { close(); }

void Context::close() {
    if (!db_) return;
    if (inTransaction_) rollback();
    statements_.clear();
    db_.close();
}

bool Context::addStore(const std::string& path, Error* error, Error* corruption) {
    close();
    path_ = path;
    // (A file that is no database at all takes its companions along instead.)
    std::string moved;
    const bool companionsSound =
        isNotADatabase(path) || setAsideDamagedCompanions(path, moved);
    if (!companionsSound) {
        // Said once, by the error: the store stays closed, as it is.
        if (error) *error = sqliteError(moved, SQLITE_CANTOPEN, "cannot open " + path);
        return false;
    }
    if (!moved.empty() && corruption) {
        *corruption = Error(kSQLiteErrorDomain, SQLITE_CORRUPT,
                            Value(Value::Dictionary{{platform::foundation::kLocalizedDescriptionKey, Value(moved)}}));
    }
    Error failure;
    int rc = Opening(path, model_, &failure).run(db_, storeUUID_);
    if (rc == SQLITE_OK) return true;
    if (failureOf(rc) != Failure::Damaged) {
        if (error) *error = failure;
        return false;
    }
    // Damaged: keep the bytes for later inspection, start over with an empty file.
    std::string aside = moveAside(path);
    if (corruption) {
        *corruption = failure;
        corruption->userInfo["movedAsidePath"] = aside;
    }
    rc = Opening(path, model_, &failure).run(db_, storeUUID_);
    if (rc == SQLITE_OK) return true;
    if (error) *error = failure;
    return false;
}

bool Context::begin(Error* error) {
    if (inTransaction_) return true;
    int rc = db_.exec("BEGIN");
    if (rc != SQLITE_OK) {
        if (error) *error = sqliteError(db_, rc, "cannot begin");
        return false;
    }
    inTransaction_ = true;
    return true;
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
        if (error) *error = noStoreError();
        return std::nullopt;
    }
    for (const auto& a : entity->properties) {
        auto it = values.find(a.name);
        if (!a.optional && (it == values.end() || it->second.isNull())) {
            if (error)
                *error =
                    cocoaError(kValidationMissingMandatoryPropertyError, "\"" + a.name + "\" is a required value.");
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

    if (!begin(error)) return std::nullopt;
    auto stmt = statements_.lease(db_.handle(), sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot insert");
        return std::nullopt;
    }
    for (size_t i = 0; i < entity->properties.size(); ++i) {
        const auto& a = entity->properties[i];
        auto it = values.find(a.name);
        Value v = it == values.end() ? Value() : it->second;
        if (!bindValue(*stmt, int(i + 1), a.type, v)) {
            if (error) *error = cocoaError(kValidationValueTypeError, "wrong type of value for \"" + a.name + "\"");
            return std::nullopt;
        }
    }
    int rc = stmt->step();
    if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(db_, rc, "cannot insert");
        return std::nullopt;
    }
    return std::string(kIDScheme) + storeUUID_ + "/" + entityName + "/p" +
           std::to_string(sqlite3_last_insert_rowid(db_.handle()));
}

bool Context::update(const ObjectID& objectID, const Value::Dictionary& values, Error* error) {
    if (!db_) {
        if (error) *error = noStoreError();
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
            if (error)
                *error = cocoaError(kValidationMissingMandatoryPropertyError, "\"" + key + "\" is a required value.");
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
    if (!begin(error)) return false;
    auto stmt = statements_.lease(db_.handle(), sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot update");
        return false;
    }
    int index = 1;
    for (const auto& [key, value] : values) {
        if (!bindValue(*stmt, index++, entity->attribute(key)->type, value)) {
            if (error) *error = cocoaError(kValidationValueTypeError, "wrong type of value for \"" + key + "\"");
            return false;
        }
    }
    stmt->bindInt64(index, parsed->row);
    int rc = stmt->step();
    if (rc != SQLITE_DONE) {
        if (error) *error = sqliteError(db_, rc, "cannot update");
        return false;
    }
    return true;
}

std::optional<ManagedObject> Context::existingObject(const ObjectID& objectID, Error* error) {
    if (!db_) {
        if (error) *error = noStoreError();
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
        if (error) *error = noStoreError();
        return false;
    }
    auto parsed = parseID(objectID, storeUUID_);
    if (!parsed || !model_.entity(parsed->entity)) return true;
    if (!begin(error)) return false;
    auto stmt = statements_.lease(db_.handle(),
                                  "DELETE FROM " + quote(parsed->entity) + " WHERE " + quote(kPrimaryKey) + " = ?");
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot delete");
        return false;
    }
    stmt->bindInt64(1, parsed->row);
    int rc = stmt->step();
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
        if (error) *error = noStoreError();
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

    auto stmt = statements_.lease(db_.handle(), sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot fetch");
        return std::nullopt;
    }
    for (size_t i = 0; i < request.predicate.size(); ++i) bindOperand(*stmt, int(i + 1), request.predicate[i].value);
    std::vector<ManagedObject> objects;
    std::string idPrefix = std::string(kIDScheme) + storeUUID_ + "/" + entity->name + "/p";
    int rc;
    while ((rc = stmt->step()) == SQLITE_ROW) {
        ManagedObject object;
        object.objectID = idPrefix + std::to_string(stmt->int64Column(0));
        object.entityName = entity->name;
        if (request.includesPropertyValues) {
            for (size_t i = 0; i < entity->properties.size(); ++i) {
                Value v = columnValue(*stmt, int(i + 1), entity->properties[i].type);
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
        if (error) *error = noStoreError();
        return -1;
    }
    std::string sql = "SELECT COUNT(*) FROM " + quote(entity->name) + whereClause(*entity, request);
    auto stmt = statements_.lease(db_.handle(), sql);
    if (!stmt) {
        if (error) *error = sqliteError(db_, stmt.prepareResult(), "cannot count");
        return -1;
    }
    for (size_t i = 0; i < request.predicate.size(); ++i) bindOperand(*stmt, int(i + 1), request.predicate[i].value);
    int rc = stmt->step();
    if (rc != SQLITE_ROW) {
        if (error) *error = sqliteError(db_, rc, "cannot count");
        return -1;
    }
    int64_t n = stmt->int64Column(0);
    if (request.fetchLimit && n > int64_t(request.fetchLimit)) n = int64_t(request.fetchLimit);
    return n;
}

bool Context::save(Error* error) {
    if (!inTransaction_) return true;
    if (!db_) {
        inTransaction_ = false;
        if (error) *error = noStoreError();
        return false;
    }
    int rc = db_.exec("COMMIT");
    if (rc != SQLITE_OK) {
        Error failure = sqliteError(db_, rc, "cannot save");
        // Some failures (a full disk) end the transaction; others leave it open
        // for a later try.
        if (!db_.inTransaction()) inTransaction_ = false;
        if (error) *error = failure;
        return false;
    }
    inTransaction_ = false;
    return true;
}

void Context::rollback() {
    if (db_.inTransaction()) db_.exec("ROLLBACK");
    inTransaction_ = false;
}

}  // namespace platform::store
