#pragma once
// Small strings (user values, the anonymous installation identifier) kept as
// generic-password items of the keychain, one per (service, user name).
// Stateless; callable from any thread and from several processes at once.
#include <optional>
#include <string>

#include "platform/foundation/Error.h"

inline constexpr const char* kPKRKeychainUtilsErrorDomain = "PKRKeychainUtilsErrorDomain";
// A user name, password or service name is missing.
inline constexpr int64_t kPKRKeychainMissingArgument = -2000;
// An item with these attributes exists but its data cannot be read.
inline constexpr int64_t kPKRKeychainUnreadableItem = -1999;
// Any other code is the keychain's own status, unchanged.

class PKRKeychainUtils {
public:
    using OptionalString = std::optional<std::string>;
    using Error = platform::foundation::Error;

    // Nil with no error when there is no such item.
    static OptionalString getPasswordForUsername(const OptionalString& username, const OptionalString& serviceName,
                                                 Error* error = nullptr);
    // Stored with the accessibility "always".
    static bool storeUsername(const OptionalString& username, const OptionalString& password,
                              const OptionalString& serviceName, bool updateExisting, Error* error = nullptr);
    // An existing equal password is success without a write. An existing
    // different one is replaced when `updateExisting`, and otherwise refused
    // with the duplicate-item status, keeping the old password.
    static bool storeUsername(const OptionalString& username, const OptionalString& password,
                              const OptionalString& serviceName, bool updateExisting, const std::string& accessibility,
                              Error* error = nullptr);
    static bool deleteItemForUsername(const OptionalString& username, const OptionalString& serviceName,
                                      Error* error = nullptr);
    // Deleting from a service without items fails with the not-found status.
    static bool purgeItemsForServiceName(const OptionalString& serviceName, Error* error = nullptr);
};
