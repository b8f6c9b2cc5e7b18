#include "crash/manager/PKRKeychainUtils.h"

#include "platform/security/Keychain.h"

namespace keychain = platform::security;
using platform::foundation::Error;

namespace {

bool fail(Error* error, int64_t code) {
    if (error) *error = Error(kPKRKeychainUtilsErrorDomain, code);
    return false;
}

keychain::Query itemQuery(const std::string& service, const std::optional<std::string>& account) {
    keychain::Query query;
    query.service = service;
    query.account = account;
    return query;
}

}  // namespace

PKRKeychainUtils::OptionalString PKRKeychainUtils::getPasswordForUsername(const OptionalString& username,
                                                                          const OptionalString& serviceName,
                                                                          Error* error) {
    if (!username || !serviceName) {
        fail(error, kPKRKeychainMissingArgument);
        return std::nullopt;
    }
    if (error) *error = Error();
    keychain::Item item;
    keychain::Status status = keychain::Keychain::copyMatching(itemQuery(*serviceName, *username), &item);
    if (status == keychain::kItemNotFound) return std::nullopt;
    if (status != keychain::kSuccess) {
        fail(error, status);
        return std::nullopt;
    }
    return item.data;
}

bool PKRKeychainUtils::storeUsername(const OptionalString& username, const OptionalString& password,
                                     const OptionalString& serviceName, bool updateExisting, Error* error) {
    return storeUsername(username, password, serviceName, updateExisting, keychain::kAccessibleAlways, error);
}

bool PKRKeychainUtils::storeUsername(const OptionalString& username, const OptionalString& password,
                                     const OptionalString& serviceName, bool updateExisting,
                                     const std::string& accessibility, Error* error) {
    if (!username || !password || !serviceName) return fail(error, kPKRKeychainMissingArgument);
    if (error) *error = Error();
    // Another process may add or delete the item between the read and the
    // write; the write then answers duplicate or not-found and the decision is
    // taken again on what is there now.
    keychain::Status status = keychain::kSuccess;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Error readError;
        OptionalString existing = getPasswordForUsername(username, serviceName, &readError);
        if (readError.code != 0) {
            if (error) *error = readError;
            return false;
        }
        if (existing) {
            // Without leave to update, the stored value stands and the call succeeds.
            if (*existing == *password || !updateExisting) return true;
            keychain::Changes changes;
            changes.label = *serviceName;
            changes.accessibility = accessibility;
            changes.data = *password;
            // Matched by service and account only: the item's label and
            // accessibility may differ from what this call stores.
            status = keychain::Keychain::update(itemQuery(*serviceName, *username), changes);
            if (status == keychain::kItemNotFound) continue;
        } else {
            keychain::Item item;
            item.service = *serviceName;
            item.label = *serviceName;
            item.account = *username;
            item.accessibility = accessibility;
            item.data = *password;
            status = keychain::Keychain::add(item);
            if (status == keychain::kDuplicateItem) continue;
        }
        break;
    }
    return status == keychain::kSuccess ? true : fail(error, status);
}

bool PKRKeychainUtils::deleteItemForUsername(const OptionalString& username, const OptionalString& serviceName,
                                             Error* error) {
    if (!username || !serviceName) return fail(error, kPKRKeychainMissingArgument);
    if (error) *error = Error();
    keychain::Status status = keychain::Keychain::remove(itemQuery(*serviceName, *username));
    return status == keychain::kSuccess ? true : fail(error, status);
}

bool PKRKeychainUtils::purgeItemsForServiceName(const OptionalString& serviceName, Error* error) {
    if (!serviceName) return fail(error, kPKRKeychainMissingArgument);
    if (error) *error = Error();
    keychain::Status status = keychain::Keychain::remove(itemQuery(*serviceName, std::nullopt));
    return status == keychain::kSuccess ? true : fail(error, status);
}
