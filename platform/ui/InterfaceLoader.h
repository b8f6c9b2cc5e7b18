#pragma once
// Loads interface files: JSON documents in a bundle ("MainView" is
// MainView.json) that describe objects and view trees, their properties, and
// their connections to an owner (outlets into its members, actions to its
// methods). The format is described in resources/README.md.
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Exception.h"
#include "platform/ui/ClassRegistry.h"

namespace platform::foundation {
class Bundle;
}

namespace platform::ui {

inline constexpr const char* kInterfaceFileErrorDomain = "QMInterfaceFileErrorDomain";
enum InterfaceFileError : int64_t {
    kInterfaceFileMissing = 1,    // no such file in the bundle
    kInterfaceFileMalformed = 2,  // not JSON, or not the expected shape
    kInterfaceFileUnknownClass = 3,
    kInterfaceFileBadProperty = 4,    // unknown property or a value of the wrong kind
    kInterfaceFileBadConnection = 5,  // no such outlet or action, or a type that does not fit
};

// Raised where code cannot go on without an interface file it loads (a view
// controller's view): an NSInternalInconsistencyException carrying the
// loader's error, so that a launch can end with that error in one line.
class InterfaceFileException : public foundation::Exception {
public:
    InterfaceFileException(std::string reason, foundation::Error error)
        : foundation::Exception(foundation::kInternalInconsistencyException, std::move(reason)),
          error_(std::move(error)) {}
    const foundation::Error& error() const { return error_; }

private:
    foundation::Error error_;
};

struct InterfaceContents {
    std::vector<NibInstance> topLevelObjects;  // in file order
};

class InterfaceLoader {
public:
    // Loads `name` (without ".json") from `bundle` (null: the main bundle),
    // connecting to `owner` (may be null). On failure returns nullopt and fills
    // `error` with a message that names the file and the fault ("the interface
    // file <path> cannot be read (<fault>)" once the file is found); nothing of
    // a failed file is connected to the owner.
    static std::optional<InterfaceContents> load(const std::string& name, const foundation::Bundle* bundle,
                                                 NibObject* owner, foundation::Error* error);
    // The same from a document already read; `fileName` names it in messages.
    static std::optional<InterfaceContents> loadFromText(const std::string& text, const std::string& fileName,
                                                         const foundation::Bundle* bundle, NibObject* owner,
                                                         foundation::Error* error);
};

}  // namespace platform::ui
