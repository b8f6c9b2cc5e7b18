#pragma once
// One published version of the application as the crash-report service lists
// it: built from one dictionary of the service's answer, archived as a
// property list, compared field by field and formatted for display.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class PKRAppVersionMetaInfo {
public:
    using OptionalString = std::optional<std::string>;
    using Value = platform::foundation::Value;

    PKRAppVersionMetaInfo() = default;
    // Decodes what encodeWithCoder wrote.
    explicit PKRAppVersionMetaInfo(const Value& coder);

    // Each property from its key of the service's dictionary; anything but a
    // dictionary gives an empty record.
    static std::shared_ptr<PKRAppVersionMetaInfo> appVersionMetaInfoFromDict(const Value& dict);

    // 0 clears the date; any other value is seconds since 1970.
    void setDateWithTimestamp(double timestamp);
    void encodeWithCoder(Value& coder) const;

    // Every compared property equal, an absent value equal only to an absent
    // one; versionID takes no part.
    bool isEqualToAppVersionMetaInfo(const PKRAppVersionMetaInfo* other) const;
    bool operator==(const PKRAppVersionMetaInfo& other) const { return isEqualToAppVersionMetaInfo(&other); }

    std::string nameAndVersionString() const;
    // The localised word for "version", then "short (version)" or the version alone.
    std::string versionString() const;
    std::string dateString() const;
    std::string sizeInMB() const;
    std::string notesOrEmptyString() const { return notes_.value_or(""); }
    bool isValid() const;
    bool hasUUID(const OptionalString& uuid) const;

    const OptionalString& name() const { return name_; }
    void setName(OptionalString v) { name_ = std::move(v); }
    const OptionalString& version() const { return version_; }
    void setVersion(OptionalString v) { version_ = std::move(v); }
    const OptionalString& shortVersion() const { return shortVersion_; }
    void setShortVersion(OptionalString v) { shortVersion_ = std::move(v); }
    const OptionalString& minOSVersion() const { return minOSVersion_; }
    void setMinOSVersion(OptionalString v) { minOSVersion_ = std::move(v); }
    const OptionalString& notes() const { return notes_; }
    void setNotes(OptionalString v) { notes_ = std::move(v); }
    // Seconds since 1970.
    std::optional<double> date() const { return date_; }
    void setDate(std::optional<double> v) { date_ = v; }
    // Numbers and the dictionary are null when absent.
    const Value& size() const { return size_; }
    void setSize(Value v) { size_ = std::move(v); }
    const Value& mandatory() const { return mandatory_; }
    void setMandatory(Value v) { mandatory_ = std::move(v); }
    const Value& versionID() const { return versionID_; }
    void setVersionID(Value v) { versionID_ = std::move(v); }
    const Value& uuids() const { return uuids_; }
    void setUuids(Value v) { uuids_ = std::move(v); }

    static bool isEqualComparingString(const OptionalString& a, const OptionalString& b);
    static bool isEqualComparingNumber(const Value& a, const Value& b);
    static bool isEqualComparingDate(std::optional<double> a, std::optional<double> b);
    static bool isEqualComparingDictionary(const Value& a, const Value& b);

private:
    OptionalString name_, version_, shortVersion_, minOSVersion_, notes_;
    std::optional<double> date_;
    Value size_, mandatory_, versionID_, uuids_;
};
