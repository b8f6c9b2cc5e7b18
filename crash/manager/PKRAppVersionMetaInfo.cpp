#include "crash/manager/PKRAppVersionMetaInfo.h"

#include "crash/manager/PKRPelkorHelpers.h"
#include "platform/foundation/Format.h"

using platform::foundation::Value;

namespace {

std::optional<std::string> stringAt(const Value& dict, const char* key) {
    const Value& v = dict[key];
    return v.isString() ? std::optional<std::string>(v.string()) : std::nullopt;
}

Value numberAt(const Value& dict, const char* key) {
    const Value& v = dict[key];
    return v.isNumber() ? v : Value();
}

Value dictionaryAt(const Value& dict, const char* key) {
    const Value& v = dict[key];
    return v.isDictionary() ? v : Value();
}

void encodeString(Value& coder, const char* key, const std::optional<std::string>& v) {
    if (v) coder[key] = *v;
}

void encodeValue(Value& coder, const char* key, const Value& v) {
    if (!v.isNull()) coder[key] = v;
}

}  // namespace

PKRAppVersionMetaInfo::PKRAppVersionMetaInfo(const Value& coder)
    : name_(stringAt(coder, "name")), version_(stringAt(coder, "version")),
      shortVersion_(stringAt(coder, "shortVersion")), minOSVersion_(stringAt(coder, "minOSVersion")),
      notes_(stringAt(coder, "notes")), size_(numberAt(coder, "size")), mandatory_(numberAt(coder, "mandatory")),
      versionID_(numberAt(coder, "versionID")), uuids_(dictionaryAt(coder, "uuids")) {
    if (const Value& d = coder["date"]; d.isDate()) date_ = d.dateValue();
}

std::shared_ptr<PKRAppVersionMetaInfo> PKRAppVersionMetaInfo::appVersionMetaInfoFromDict(const Value& dict) {
    auto info = std::make_shared<PKRAppVersionMetaInfo>();
    if (!dict.isDictionary()) return info;
    info->name_ = stringAt(dict, "title");
    info->version_ = stringAt(dict, "version");
    info->shortVersion_ = stringAt(dict, "shortversion");
    info->minOSVersion_ = stringAt(dict, "minimum_os_version");
    info->notes_ = stringAt(dict, "notes");
    if (const Value& t = dict["timestamp"]; t.isNumber()) info->setDateWithTimestamp(t.doubleValue());
    info->size_ = numberAt(dict, "appsize");
    info->mandatory_ = numberAt(dict, "mandatory");
    info->versionID_ = numberAt(dict, "id");
    info->uuids_ = dictionaryAt(dict, "uuids");
    return info;
}

void PKRAppVersionMetaInfo::setDateWithTimestamp(double timestamp) {
    date_ = timestamp == 0 ? std::nullopt : std::optional<double>(timestamp);
}

void PKRAppVersionMetaInfo::encodeWithCoder(Value& coder) const {
    encodeString(coder, "name", name_);
    encodeString(coder, "version", version_);
    encodeString(coder, "shortVersion", shortVersion_);
    encodeString(coder, "minOSVersion", minOSVersion_);
    encodeString(coder, "notes", notes_);
    if (date_) coder["date"] = Value::date(*date_);
    encodeValue(coder, "size", size_);
    encodeValue(coder, "mandatory", mandatory_);
    encodeValue(coder, "versionID", versionID_);
    encodeValue(coder, "uuids", uuids_);
}

// An absent value equals nothing, not even another absent one.
bool PKRAppVersionMetaInfo::isEqualComparingString(const OptionalString& a, const OptionalString& b) {
    return a && b && *a == *b;
}

bool PKRAppVersionMetaInfo::isEqualComparingNumber(const Value& a, const Value& b) {
    return a.isNumber() && b.isNumber() && a.doubleValue() == b.doubleValue();
}

bool PKRAppVersionMetaInfo::isEqualComparingDate(std::optional<double> a, std::optional<double> b) {
    return a && b && *a == *b;
}

bool PKRAppVersionMetaInfo::isEqualComparingDictionary(const Value& a, const Value& b) {
    return a.isDictionary() && b.isDictionary() && a == b;
}

bool PKRAppVersionMetaInfo::isEqualToAppVersionMetaInfo(const PKRAppVersionMetaInfo* other) const {
    if (other == this) return true;
    if (!other) return false;
    return isEqualComparingString(name_, other->name_) && isEqualComparingString(version_, other->version_) &&
           isEqualComparingString(shortVersion_, other->shortVersion_) &&
           isEqualComparingString(minOSVersion_, other->minOSVersion_) &&
           isEqualComparingString(notes_, other->notes_) && isEqualComparingDate(date_, other->date_) &&
           isEqualComparingNumber(size_, other->size_) && isEqualComparingNumber(mandatory_, other->mandatory_) &&
           isEqualComparingDictionary(uuids_, other->uuids_);
}

std::string PKRAppVersionMetaInfo::nameAndVersionString() const { return name_.value_or("") + " " + versionString(); }

std::string PKRAppVersionMetaInfo::versionString() const {
    std::string numbers = shortVersion_ && !shortVersion_->empty() ? *shortVersion_ + " (" + version_.value_or("") + ")"
                                                                   : version_.value_or("");
    return localized_sdk_string("UpdateVersion") + " " + numbers;
}

std::string PKRAppVersionMetaInfo::dateString() const {
    // The platform's medium date style in its POSIX locale, without the time.
    return date_ ? platform::foundation::formatDate(*date_, "MMM d, y", false) : std::string();
}

std::string PKRAppVersionMetaInfo::sizeInMB() const {
    if (size_.isNumber() && size_.doubleValue() > 0)
        return platform::foundation::format("%.1f MB", size_.doubleValue() * 9.5367431640625e-7);
    return "0 MB";
}

bool PKRAppVersionMetaInfo::isValid() const {
    return name_ && !name_->empty() && version_ && !version_->empty() && date_.has_value();
}

bool PKRAppVersionMetaInfo::hasUUID(const OptionalString& uuid) const {
    if (!uuid || !uuids_.isDictionary()) return false;
    for (const auto& [arch, value] : uuids_.dictionary())
        if (value.isString() && value.string() == *uuid) return true;
    return false;
}
