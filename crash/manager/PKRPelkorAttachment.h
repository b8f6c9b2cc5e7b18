#pragma once
// One file the application attaches to a crash report: kept beside the report
// as an archive (its keyed fields in a property list) and uploaded with it.
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

inline constexpr const char* kPKRAttachmentDefaultContentType = "application/octet-stream";

class PKRPelkorAttachment {
public:
    using OptionalString = std::optional<std::string>;
    using Data = platform::foundation::Value::Data;

    // A missing content type becomes "application/octet-stream".
    PKRPelkorAttachment(OptionalString filename, std::optional<Data> pelkorAttachmentData, OptionalString contentType);
    // Decodes the keyed fields that encodeWithCoder wrote; what is missing stays absent.
    explicit PKRPelkorAttachment(const platform::foundation::Value& coder);
    virtual ~PKRPelkorAttachment() = default;

    // Writes "filename" and "data" when present and "contentType" when known.
    void encodeWithCoder(platform::foundation::Value& coder) const;

    const OptionalString& filename() const { return filename_; }
    const std::optional<Data>& pelkorAttachmentData() const { return data_; }
    const OptionalString& contentType() const { return contentType_; }

private:
    OptionalString filename_;
    std::optional<Data> data_;
    OptionalString contentType_;
};

// The crash report's attachment; the same fields under the crash reports' name.
class PKRCrashAttachment : public PKRPelkorAttachment {
public:
    PKRCrashAttachment(OptionalString filename, std::optional<Data> crashAttachmentData, OptionalString contentType)
        : PKRPelkorAttachment(std::move(filename), std::move(crashAttachmentData), std::move(contentType)) {}
    using PKRPelkorAttachment::PKRPelkorAttachment;
};
