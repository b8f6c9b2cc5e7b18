#pragma once
// A tracker: the field values of one tracking identifier, and the hits sent
// with them. The public operations record usage letters; the tly_ forms,
// used by the client itself, do not.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class TLYTracker {
public:
    virtual ~TLYTracker() = default;

    // Sets a field of every later hit; a null value keeps the key, sending nothing.
    virtual void set(const std::string& parameterName, const platform::foundation::Value& value) = 0;
    // The field's value when it is a string.
    virtual std::optional<std::string> get(const std::string& parameterName) = 0;
    // Sends a hit: a dictionary of "&" fields, laid over the tracker's fields.
    virtual void send(const platform::foundation::Value& parameters) = 0;
    virtual const std::string& name() const = 0;
    virtual bool allowIDFACollection() const = 0;
    virtual void setAllowIDFACollection(bool allow) = 0;

    virtual void tly_set(const std::string& parameterName, const platform::foundation::Value& value) = 0;
    virtual std::optional<std::string> tly_get(const std::string& parameterName) = 0;
    virtual void tly_send(const platform::foundation::Value& parameters) = 0;
};
