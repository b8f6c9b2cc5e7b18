#pragma once
// The instance variables of an object's class, by name, for code that reads
// an object's members without knowing its type. C++ has no reflection, so a
// class lists them in one table, as an interface-file owner lists its
// outlets. A class lists only the members it declares itself: its override
// does not call its base class's, whose members are not its own.
//
//     void declareMembers(MemberTable& t) const override {
//         t.member("_capacity", capacity_);
//         t.member("_percentString", percentString_);  // an empty optional is nil
//     }
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform::foundation {

class MemberTable {
public:
    // The member's value now; nil (an empty optional) is the null value.
    template <class T>
    void member(const std::string& name, const T& value) {
        members_.emplace_back(name, Value(value));
    }
    template <class T>
    void member(const std::string& name, const std::optional<T>& value) {
        members_.emplace_back(name, value ? Value(*value) : Value());
    }

    // In declaration order.
    const std::vector<std::pair<std::string, Value>>& members() const { return members_; }

private:
    std::vector<std::pair<std::string, Value>> members_;
};

class MemberOwner {
public:
    virtual ~MemberOwner() = default;
    virtual void declareMembers(MemberTable&) const {}
};

}  // namespace platform::foundation
