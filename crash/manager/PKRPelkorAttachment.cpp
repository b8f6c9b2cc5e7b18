#include "crash/manager/PKRPelkorAttachment.h"

using platform::foundation::Value;

PKRPelkorAttachment::PKRPelkorAttachment(OptionalString filename, std::optional<Data> pelkorAttachmentData,
                                         OptionalString contentType)
    : filename_(std::move(filename)), data_(std::move(pelkorAttachmentData)),
      contentType_(contentType ? std::move(contentType) : OptionalString(kPKRAttachmentDefaultContentType)) {}

PKRPelkorAttachment::PKRPelkorAttachment(const Value& coder) {
    if (const Value& v = coder["filename"]; v.isString()) filename_ = v.string();
    if (const Value& v = coder["data"]; v.isData()) data_ = v.data();
    if (const Value& v = coder["contentType"]; v.isString()) contentType_ = v.string();
}

void PKRPelkorAttachment::encodeWithCoder(Value& coder) const {
    if (filename_) coder["filename"] = *filename_;
    if (data_) coder["data"] = *data_;
    // Only a decoded archive that lacked it has no content type; it stays absent.
    if (contentType_) coder["contentType"] = *contentType_;
}
