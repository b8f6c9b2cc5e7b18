#pragma once
// The crash manager's upload: the first pending report as the service's XML
// document in a multipart request, and what each answer does to the report.
// A run goes from report to report while the service takes them (where it
// points, when it answers with a redirect) and ends at the first failure, or
// at a report that cannot be sent, which is deleted.
#include <memory>
#include <string>

#include "crash/manager/PKRCrashFiles.h"
#include "platform/foundation/Error.h"
#include "platform/net/URLRequest.h"

class PKRCrashManager;
class PKRPelkorAttachment;

class PKRCrashUploader {
public:
    PKRCrashUploader(PKRCrashManager& manager, PKRCrashFiles& files) : manager_(manager), files_(files) {}

    // The service's document: each value under its element's name, escaped
    // as element text, or split where it would end its CDATA section.
    static std::string xmlForReport(const PKRPendingCrashReport& report, const std::string& applicationName,
                                    const std::string& senderVersion, const std::string& installString);

    void sendNextCrashReport();
    platform::net::URLRequest requestWithBoundary(const std::string& boundary) const;
    static platform::net::Data postBodyWithXML(const std::string& xml, const PKRPelkorAttachment* attachment,
                                               const std::string& boundary);
    void sendCrashReportWithFilename(const std::string& path, const std::string& xml,
                                     std::shared_ptr<PKRPelkorAttachment> attachment);
    void processUploadResultWithFilename(const std::string& path, const platform::net::Data* responseData,
                                         int64_t statusCode, const platform::foundation::Error* error);

private:
    PKRCrashManager& manager_;
    PKRCrashFiles& files_;
};
