#pragma once
// Entities and their attributes, as a context maps them to SQLite tables (one
// table per entity, one column per attribute).
#include <string>
#include <vector>

namespace platform::store {

// The platform's attribute type codes.
enum class AttributeType : int {
    Integer64 = 300,
    String = 700,
    Date = 900,           // seconds since 1970, stored as REAL
    Binary = 1000,        // Value::Data, stored as BLOB
    Transformable = 1800  // any Value, archived as a binary property list BLOB (null entries left out)
};

struct AttributeDescription {
    std::string name;
    AttributeType type = AttributeType::String;
    bool indexed = false;
    bool optional = true;
    std::string attributeValueClassName;  // informative only
};

struct EntityDescription {
    std::string name;
    std::vector<AttributeDescription> properties;
    const AttributeDescription* attribute(const std::string& attributeName) const {
        for (const auto& a : properties)
            if (a.name == attributeName) return &a;
        return nullptr;
    }
};

struct ObjectModel {
    std::vector<EntityDescription> entities;
    const EntityDescription* entity(const std::string& entityName) const {
        for (const auto& e : entities)
            if (e.name == entityName) return &e;
        return nullptr;
    }
};

}  // namespace platform::store
