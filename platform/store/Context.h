#pragma once
// A managed-object context over one SQLite store file: one connection, whose
// unsaved changes are one open transaction. Inserts, updates and deletes take
// effect inside that transaction (fetches and counts see them); save() commits
// it, rollback() or destruction discards it. Use a context from one thread at a
// time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/store/Database.h"
#include "platform/store/FetchRequest.h"
#include "platform/store/ObjectModel.h"
#include "platform/store/Statement.h"

namespace platform::store {

inline constexpr const char* kSQLiteErrorDomain = "NSSQLiteErrorDomain";
// Cocoa-domain codes this store reports.
inline constexpr int64_t kValidationMissingMandatoryPropertyError = 1570;
inline constexpr int64_t kValidationValueTypeError = 1550;
inline constexpr int64_t kPersistentStoreSaveError = 134030;
// What each call answers on a context whose store could not be added. That
// failure was said once, when the store was added: a caller need not say it
// again at every call.
bool isNoStoreError(const platform::foundation::Error& error);
inline constexpr int64_t kPersistentStoreOpenError = 134080;
// The exception raised for an attribute or entity the model does not have.
inline constexpr const char* kUnknownKeyException = "NSUnknownKeyException";

// "qmstore://<store uuid>/<entity>/p<row>": unique per store file, never reused.
using ObjectID = std::string;

struct ManagedObject {
    ObjectID objectID;
    std::string entityName;
    platform::foundation::Value::Dictionary values;  // attribute name to value; absent when NULL
};

// SQLite trusts a store's write-ahead log (-wal) and its index (-shm) or
// silently discards them: a log whose header is damaged would be dropped with
// every commit in it. Before a store opens, such a file is set aside with
// setAside (a damaged log takes its index along), as is anything but a
// regular file at a companion (setAsideSpecialCompanions); `report` says what
// went where, empty when nothing was damaged. False when such a companion
// could not be moved: the store must then stay closed, as it is.
bool setAsideDamagedCompanions(const std::string& path, std::string& report);

class Context {
public:
    explicit Context(ObjectModel model);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Opens (or creates) the store file at `path` in WAL mode with a table per
    // entity. A file that is not a database, fails its integrity check or is
    // no regular file (isNotAStoreFile) is set aside with its -wal, -shm and -journal files (setAside()) and a new one is
    // created; a damaged companion alone is set aside by
    // setAsideDamagedCompanions(). `corruption` then tells why and where it went
    // ("movedAsidePath" in its user info). Another connection's transaction is
    // waited for, at most kBusyTimeoutMs. Any other failure (busy beyond that,
    // a full disk, no permission, no descriptor left, a bad companion that
    // cannot be moved) leaves the files alone and answers false;
    // failureOf(error->code) tells which it was.
    bool addStore(const std::string& path, platform::foundation::Error* error = nullptr,
                  platform::foundation::Error* corruption = nullptr);
    bool hasStore() const { return bool(db_); }
    const std::string& storePath() const { return path_; }
    const ObjectModel& model() const { return model_; }
    // Rolls back what is unsaved and closes the file.
    void close();

    // Unknown entity or attribute names raise kUnknownKeyException.
    std::optional<ObjectID> insert(const std::string& entityName, const platform::foundation::Value::Dictionary& values,
                                   platform::foundation::Error* error = nullptr);
    bool update(const ObjectID& objectID, const platform::foundation::Value::Dictionary& values,
                platform::foundation::Error* error = nullptr);
    // Null when there is no such row (no error then).
    std::optional<ManagedObject> existingObject(const ObjectID& objectID, platform::foundation::Error* error = nullptr);
    // Deleting a row that no longer exists is not an error.
    bool deleteObject(const ObjectID& objectID, platform::foundation::Error* error = nullptr);
    std::optional<std::vector<ManagedObject>> fetch(const FetchRequest& request,
                                                    platform::foundation::Error* error = nullptr);
    // -1 on error.
    int64_t count(const FetchRequest& request, platform::foundation::Error* error = nullptr);

    bool hasChanges() const { return inTransaction_; }
    bool save(platform::foundation::Error* error = nullptr);
    void rollback();

private:
    // Opens the change's transaction unless it is open already.
    bool begin(platform::foundation::Error* error);

    ObjectModel model_;
    std::string path_;
    std::string storeUUID_;
    Database db_;
    StatementCache statements_;  // finalized before the connection closes
    bool inTransaction_ = false;
};

}  // namespace platform::store
